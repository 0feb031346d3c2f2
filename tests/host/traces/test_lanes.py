"""The lane blocks: what the writers store, what reads them, and databases from before them."""

import random
import sqlite3
import struct

import pytest

from nefa import db
from nefa.store import index_build, opening, schema
from nefa.traces import call_index, lanes, layout
from nefa.traces.call_index import open_index
from nefa.traces.indexed import _COLUMNS, IndexedTrace
from nefa.traces.server import TraceViews

from .test_call_index import _as_schema_6, _index_into, _PythonConnection, run_cli

N = lanes.LANE_FRAMES


def _many_lanes(records, pack, trace_id, shift=0.0, seed=0):
    """Two threads: a block's worth of zero-length calls at one time, a
    block and one more, chains up to 70 deep (time standing still now and
    then), and two blocks' worth at the top."""
    main, worker = records(1, "MainThread"), records(7, "worker")
    t = shift
    top = main.call("app.full", t)
    for _ in range(N):
        main.ret("app.zero", t, main.call("app.zero", t))
    main.ret("app.full", t, top)
    top = main.call("app.more", t)
    for _ in range(N + 1):
        t += 1e-6
        main.ret("app.leaf", t + 5e-7, main.call("app.leaf", t))
    main.ret("app.more", t + 1e-6, top)
    rng = random.Random(seed)
    for _ in range(30):
        frames = []
        for depth in range(rng.randrange(1, 70)):
            t += 1e-6 * rng.randrange(2)
            frames.append(main.call(f"app.d{depth}", t))
        for depth, frame_id in reversed(list(enumerate(frames))):
            t += 1e-6 * rng.randrange(2)
            main.ret(f"app.d{depth}", t, frame_id)
    for k in range(2 * N):
        worker.ret("app.job", shift + k * 1e-5 + 5e-6, worker.call("app.job", shift + k * 1e-5))
    return pack(main, [worker], trace_id=trace_id)


@pytest.fixture
def laned(records, pack, store):
    """A trace of three parts: two over the same time, one after them."""
    return store(
        "trc_lanes",
        *(_many_lanes(records, pack, "trc_lanes", shift, seed) for shift, seed in ((0.0, 1), (0.0, 2), (1.0, 3))),
    )


def _stored(conn):
    return sorted(conn.execute("SELECT * FROM call_lanes"))


def _defined(conn):
    """The blocks as they are meant to be, made here from the calls: each
    part's frames of a lane in id order, cut every LANE_FRAMES."""
    frames: dict = {}
    for *lane, end, call_id in conn.execute(
        "SELECT trace_key, thread_native_id, depth, part_index, end, id FROM calls NOT INDEXED"
        " WHERE kind IS NULL ORDER BY id"
    ):
        frames.setdefault(tuple(lane), []).append((end, call_id))
    rows = []
    for lane, pairs in frames.items():
        # In id order, in (end, id) order too: the order the index by end gave.
        assert pairs == sorted(pairs), lane
        for first in range(0, len(pairs), N):
            ends, ids = zip(*pairs[first : first + N])
            rows.append(
                (
                    *lane,
                    ends[-1],
                    ids[0],
                    ends[0],
                    len(ids),
                    struct.pack(f"<{len(ends)}q", *ends),
                    struct.pack(f"<{len(ids)}q", *ids),
                )
            )
    return sorted(rows)


def test_blocks_hold_each_lanes_frames_of_a_part_in_order(laned, recorded, synthetic, store):
    for database in (laned, recorded[0], store("trc_synthetic", synthetic(6000))):
        with sqlite3.connect(database) as conn:
            stored = _stored(conn)
            assert stored == _defined(conn)
        conn.close()
    with sqlite3.connect(laned) as conn:
        counts = [row[7] for row in _stored(conn)]
        # Blocks exactly full, a block and one, zero-length calls, all three parts, deep lanes.
        assert counts.count(N) >= 12 and 1 in counts
        assert any(len(set(lanes.decode(row[8]))) == 1 for row in _stored(conn) if row[7] == N)
        assert {row[3] for row in _stored(conn)} == {0, 1, 2} and max(row[2] for row in _stored(conn)) > 40
    conn.close()


@pytest.mark.parametrize("piece", [4096, 1 << 20])
def test_every_writer_path_writes_the_same_blocks(records, pack, synthetic, tmp_path, monkeypatch, piece):
    # The writer thread, rows inserted where they are scanned, and rows
    # taken to Python; small pieces: a lane's frames come over many batches.
    monkeypatch.setattr(index_build, "PIECE", piece)
    documents = [synthetic(3000), _many_lanes(records, pack, "trc_synthetic")]
    threaded = index_build.Sink.start
    written = []
    for path in ("threaded", "direct", "python"):
        monkeypatch.setattr(index_build.Sink, "start", threaded if path == "threaded" else lambda *_: None)
        factory = _PythonConnection if path == "python" else sqlite3.Connection
        conn, build = _index_into(tmp_path / f"{path}.db", documents[0], factory)
        build()
        call_index.index_part(conn, "trc_synthetic", 1, [documents[1]])
        conn.execute("COMMIT")
        written.append(_stored(conn))
        assert written[-1] == _defined(conn)
        conn.close()
    assert written[0] == written[1] == written[2] and {row[3] for row in written[0]} == {0, 1}


def _commands(capsys, database):
    return [run_cli(capsys, *argv, "--db", database) for argv in (["show"], ["show", "--depth", "2"], ["top"])]


def _read_only(monkeypatch):
    def refuse(path, **_):
        raise db.DatabaseError(f"cannot use {path} as a trace database: no permission to write it")

    monkeypatch.setattr(opening, "open_for_writing", refuse)


def _whole_window(database, trace_id):
    with open_index(database, trace_id) as index:
        views = TraceViews(IndexedTrace(index))
        try:
            return [views.window(0, views.micros(thread.end) + 1, 700) for thread in views.trace.threads[:1]]
        finally:
            views.close()


class TestOlderDatabases:
    @pytest.mark.parametrize("by_end", [True, False])
    def test_migration_7_reads_the_blocks_off_the_old_index(self, capsys, laned, by_end):
        expected = _commands(capsys, laned)
        with sqlite3.connect(laned) as conn:
            blocks = _stored(conn)
        conn.close()
        _as_schema_6(laned)
        if not by_end:  # dropped by hand: read in id order instead
            with sqlite3.connect(laned) as conn:
                conn.execute("DROP INDEX calls_by_end")
            conn.close()
        assert _commands(capsys, laned) == expected
        with sqlite3.connect(laned) as conn:
            assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION == 7
            assert not conn.execute("SELECT count(*) FROM sqlite_master WHERE name = 'calls_by_end'").fetchone()[0]
            assert _stored(conn) == blocks and blocks
        conn.close()

    def test_a_read_only_schema_6_database_is_shown_and_viewed(self, capsys, laned, monkeypatch):
        expected = _commands(capsys, laned)
        window = _whole_window(laned, "trc_lanes")
        _as_schema_6(laned)
        _read_only(monkeypatch)
        assert _commands(capsys, laned) == expected
        assert _whole_window(laned, "trc_lanes") == window
        with open_index(laned, "trc_lanes") as index:
            trace = IndexedTrace(index)
            # Lanes of its own, on this connection only: no second connection walks half the rows.
            assert index.conn.execute("SELECT count(*) FROM temp.call_lanes").fetchone()[0]
            assert layout.open_helper(index.conn) is None
            assert [call.id for call in trace.roots(1)] == [
                row[0]
                for row in index.conn.execute(
                    "SELECT id FROM calls WHERE thread_native_id = 1 AND parent IS NULL ORDER BY id"
                )
            ]
        with sqlite3.connect(laned) as conn:  # untouched
            assert conn.execute("PRAGMA user_version").fetchone()[0] == 6
            assert not conn.execute("SELECT count(*) FROM sqlite_master WHERE name = 'call_lanes'").fetchone()[0]
        conn.close()

    def test_a_nefa_of_schema_6_refuses_the_database(self, laned, monkeypatch):
        monkeypatch.setattr(schema, "SCHEMA_VERSION", 6)
        monkeypatch.setattr(schema, "MIGRATIONS", schema.MIGRATIONS[:6])
        with pytest.raises(db.SchemaTooNewError, match=r"newer nefa \(schema 7, this one knows up to 6\)"):
            db.list_traces(laned)


# The walk of a row as it was read off the index by end, in SQL: what the
# walks through the lanes must still find.
_BY_END = (
    "FROM calls INDEXED BY calls_by_end WHERE trace_key = :key AND thread_native_id = :thread"
    " AND depth = :depth AND kind IS NULL"
)
_OLD_WALK = f"""
WITH RECURSIVE walk(id, start, duration, name_id, path_id, line, flags, resumed) AS (
    SELECT c.id, c.start, c.duration, c.name_id, c.path_id, c.line, c.flags, c.resumed FROM calls c
    WHERE c.trace_key = :key AND c.id = (SELECT id {_BY_END} AND end > :t0 ORDER BY end, id LIMIT 1)
    UNION ALL
    SELECT c.id, c.start, c.duration, c.name_id, c.path_id, c.line, c.flags, c.resumed FROM walk w JOIN calls c
    ON c.trace_key = :key AND c.id = CASE WHEN w.duration >= :px
        THEN (SELECT id {_BY_END} AND (end, id) > (w.start + w.duration, w.id) ORDER BY end, id LIMIT 1)
        ELSE (SELECT id {_BY_END}
              AND end >= :t0 + (CAST((max(w.start + w.duration, :t0) - :t0) / :px AS INTEGER) + 1) * :px
              ORDER BY end, id LIMIT 1)
        END
    WHERE w.start < :t1
    LIMIT :most
)
SELECT * FROM walk WHERE start < :t1
"""


def _old_rows(conn, key, thread, depths, t0, t1, width):
    t1, width, px, most = layout._bounds(t0, t1, width)
    rows = []
    for depth in depths:
        walked = conn.execute(
            _OLD_WALK, {"key": key, "thread": thread, "depth": depth, "t0": t0, "t1": t1, "px": px, "most": most}
        ).fetchall()
        if walked:
            rows.append(layout.Row(depth, *layout._merge(walked, px)))
    return rows


@pytest.mark.parametrize("parts", [[(0.0, 1)], [(0.0, 1), (1.0, 3)], [(0.0, 1), (0.0, 2), (1.0, 3)]])
def test_the_walks_find_what_the_index_by_end_did(records, pack, store, parts):
    database = store("trc_lanes", *(_many_lanes(records, pack, "trc_lanes", shift, seed) for shift, seed in parts))
    overlapping = len({shift for shift, _ in parts}) < len(parts)
    # Beside the lanes, for the old walk only.
    with sqlite3.connect(database) as conn:
        conn.execute("CREATE INDEX calls_by_end ON calls (trace_key, thread_native_id, depth, end) WHERE kind IS NULL")
    conn.close()
    shown = 0
    with open_index(database, "trc_lanes") as index:
        conn, key = index.conn, index.trace_key
        for thread, start, end in conn.execute(
            "SELECT thread_native_id, start, end FROM call_threads WHERE trace_key = ?", (key,)
        ).fetchall():
            span = end - start
            for t0, t1, width in (
                (start, end, 300),
                (start, end, 50_000),
                (start + span // 3, start + span // 2, 90),
                (start + span // 5, start + span // 5 + span // 400 + 1, 600),
            ):
                old = _old_rows(conn, key, thread, range(80), t0, t1, width)
                python = layout.window(conn, key, thread, range(80), t0, t1, width, native=False)
                assert python.rows == old
                # The native walk takes a row's calls not to overlap, which
                # parts saved apart over the same time do.
                if not overlapping:
                    assert layout.window(conn, key, thread, range(80), t0, t1, width).rows == old
                shown += len(old)
        assert shown > 100


def test_a_calls_children_are_read_from_the_blocks_around_it(records, pack, store, monkeypatch):
    # A clock that stood still: every call at one time, each with a child.
    thread = records()
    for _ in range(30 * N):
        outer = thread.call("app.outer", 0.0)
        thread.ret("app.inner", 0.0, thread.call("app.inner", 0.0))
        thread.ret("app.outer", 0.0, outer)
    database = store("trc_still", pack(thread, trace_id="trc_still"))
    decoded = []
    real = lanes.decode
    monkeypatch.setattr(lanes, "decode", lambda blob: (decoded.append(1), real(blob))[1])
    with open_index(database, "trc_still") as index:
        trace = IndexedTrace(index)
        roots = trace.roots(1)
        assert len(roots) == 30 * N
        for call in roots[::97]:
            decoded.clear()
            assert [child.id for child in trace.children(call)] == [call.id + 1]
            assert trace.frame_children(call) == 1
            assert len(decoded) <= 8  # two lanes' blocks, ends and ids, about the call


def test_a_damaged_block_is_an_error_not_a_crash(laned):
    with sqlite3.connect(laned) as conn:
        conn.execute("UPDATE call_lanes SET ends = substr(ends, 1, 8) WHERE count > 1")
    conn.close()
    with open_index(laned, "trc_lanes") as index:
        conn, key = index.conn, index.trace_key
        for native in (True, False):
            with pytest.raises(db.IndexDamagedError, match="call_lanes is damaged"):
                layout.window(conn, key, 1, range(10), 0, 10**10, 500, native=native)


def test_hidden_calls_are_counted_without_listing_them(capsys, laned, records, pack, store, monkeypatch):
    # Every frame of a trace of ties and parts over one time: the count is
    # what the list of ids the children are read from holds.
    with open_index(laned, "trc_lanes") as index:
        trace = IndexedTrace(index)
        frames = trace._rows(
            f"SELECT {_COLUMNS} FROM calls c WHERE c.trace_key = ? AND c.kind IS NULL ORDER BY c.id", (trace.key,)
        )
        counts = [trace.frame_children(call) for call in frames]
        assert counts == [len(trace._frames_under(call)) for call in frames] and max(counts) > N
    # A flat trace: the count of a call's thousands of children, read off
    # a few blocks at its ends; the ones between are counted in SQL.
    thread = records()
    main = thread.call("app.main", 0.0)
    for k in range(40 * N + 7):
        thread.ret("app.leaf", k * 1e-6 + 5e-7, thread.call("app.leaf", k * 1e-6))
    thread.ret("app.main", 1.0, main)
    database = store("trc_flat", pack(thread, trace_id="trc_flat"))
    run_cli(capsys, "show", "--db", database)  # indexed now, not under the patches
    decoded = []
    real = lanes.decode
    monkeypatch.setattr(lanes, "decode", lambda blob: (decoded.append(1), real(blob))[1])

    def listed(*_):
        raise AssertionError("every child listed to count them")

    monkeypatch.setattr(IndexedTrace, "_frames_under", listed)
    status, out, _ = run_cli(capsys, "show", "--db", database, "--depth", "1")
    assert status == 0 and f"[+{40 * N + 7} calls below]" in out
    assert len(decoded) <= 6  # the block at each end of the run, ids and ends
