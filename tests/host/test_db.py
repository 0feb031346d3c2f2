import os
import signal
import sqlite3
import time

import msgpack
import pytest

from nefa import db
from nefa.store import schema


def save(path, trace_id, document):
    db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=document)


@pytest.fixture
def db_path(tmp_path):
    return tmp_path / "not" / "yet" / "db.sqlite3"  # saving creates the folders


def test_schema_wal_and_summary_figures(db_path, make_document):
    # Threaded: two other threads; the last record is a worker's, at +3 s.
    save(db_path, "trc_split", make_document(main=(0.1, 0.5), threads={11: (0.2, 3.0), 12: (0.3,)}, start=1000.0))
    save(db_path, "trc_mixed", make_document(main=(0.1,), threads={11: (0.2, 2.0)}, split=False, start=2000.0))
    save(db_path, "trc_empty", make_document(main=(), start=3000.0))

    with sqlite3.connect(db_path) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
        assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"

    split = db.get_trace(db_path, "trc_split")
    assert (split.record_count, split.thread_count, split.part_count) == (5, 3, 1)
    assert (split.start_timestamp, split.duration) == (1000.0, pytest.approx(3.0))
    assert split.command_line == ["app.py"]
    mixed = db.get_trace(db_path, "trc_mixed")
    assert (mixed.record_count, mixed.thread_count, mixed.duration) == (3, 2, pytest.approx(2.0))
    empty = db.get_trace(db_path, "trc_empty")
    assert (empty.record_count, empty.thread_count, empty.duration) == (0, 0, 0.0)


def test_second_save_adds_a_part(db_path, make_document):
    first = make_document(main=(0.1, 0.2), threads={11: (0.3,)}, start=1000.0)
    second = make_document(main=(0.1,), threads={11: (0.2,), 12: (0.4,)}, start=1010.0)
    save(db_path, "trc_parts", first)
    save(db_path, "trc_parts", second)

    assert db.read_trace_parts(db_path, "trc_parts") == [first, second]
    trace = db.get_trace(db_path, "trc_parts")
    # Thread 11 is in both parts: counted once.
    assert (trace.part_count, trace.record_count, trace.thread_count) == (2, 6, 3)
    assert (trace.start_timestamp, trace.duration) == (1000.0, pytest.approx(10.4))


def test_listing_newest_first_with_limit(db_path, make_document):
    for trace_id, start in [("trc_mid", 2000.0), ("trc_new", 3000.0), ("trc_old", 1000.0)]:
        save(db_path, trace_id, make_document(start=start))
    assert [t.id for t in db.list_traces(db_path)] == ["trc_new", "trc_mid", "trc_old"]
    assert [t.id for t in db.list_traces(db_path, limit=2)] == ["trc_new", "trc_mid"]


def test_reading_errors(db_path, tmp_path, make_document):
    with pytest.raises(db.DatabaseNotFoundError):
        db.list_traces(db_path)
    assert not db_path.exists()  # reading must not create it

    save(db_path, "trc_1", make_document())
    with pytest.raises(db.TraceNotFoundError):
        db.read_trace_parts(db_path, "trc_missing")

    with sqlite3.connect(db_path) as conn:
        conn.execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
    with pytest.raises(db.SchemaTooNewError, match="newer nefa"):
        db.list_traces(db_path)
    with pytest.raises(db.TraceNotStoredError) as failure:
        save(db_path, "trc_2", make_document())
    assert isinstance(failure.value.__cause__, db.SchemaTooNewError)

    not_sqlite = tmp_path / "notes.txt"
    not_sqlite.write_text("hello, I am not a database" * 100)
    with pytest.raises(db.ForeignDatabaseError, match="it is a text file, not an SQLite database"):
        db.list_traces(not_sqlite)


@pytest.mark.parametrize(
    "document",
    [b"\x92\x01\x02", b"\x81\xa1a", msgpack.packb({"frames_of_interest": []}), "not bytes"],
    ids=["not-a-map", "truncated", "no-timestamp", "str"],
)
def test_invalid_documents_are_refused_before_writing(db_path, document):
    with pytest.raises((ValueError, TypeError)):
        save(db_path, "trc_bad", document)
    assert not db_path.exists() or db.list_traces(db_path) == []


def test_failure_mid_save_leaves_nothing(db_path, make_document, monkeypatch):
    save(db_path, "trc_ok", make_document(start=1000.0))
    save(db_path, "trc_two", make_document(start=2000.0))

    class FailingParts(sqlite3.Connection):
        # The summary row is written first; fail on the part.
        def execute(self, sql, *args):
            if sql.startswith("INSERT INTO trace_parts"):
                raise sqlite3.OperationalError("disk I/O error (simulated)")
            return super().execute(sql, *args)

    real_connect = sqlite3.connect
    monkeypatch.setattr(sqlite3, "connect", lambda *a, **k: real_connect(*a, factory=FailingParts, **k))
    for trace_id, start in [("trc_new", 3000.0), ("trc_two", 2500.0)]:
        with pytest.raises(db.TraceNotStoredError) as failure:
            save(db_path, trace_id, make_document(start=start))
        assert isinstance(failure.value.__cause__, sqlite3.OperationalError)
    monkeypatch.undo()

    assert [t.id for t in db.list_traces(db_path)] == ["trc_two", "trc_ok"]
    two = db.get_trace(db_path, "trc_two")
    assert (two.part_count, two.record_count, two.start_timestamp) == (1, 2, 2000.0)
    assert len(db.read_trace_parts(db_path, "trc_two")) == 1


def test_old_schema_is_migrated_once(tmp_path, make_document, monkeypatch):
    path = tmp_path / "db.sqlite3"
    save(path, "trc_0", make_document())  # a database of the current schema
    applied = []
    migrations = [*db.MIGRATIONS, lambda c: (applied.append(1), c.execute("CREATE TABLE extra (y)"))]
    monkeypatch.setattr(schema, "MIGRATIONS", migrations)
    monkeypatch.setattr(schema, "SCHEMA_VERSION", len(migrations))
    save(path, "trc_1", make_document())
    save(path, "trc_1", make_document())

    assert applied == [1]
    with sqlite3.connect(path) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == len(migrations)
        tables = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    assert {"traces", "trace_parts", "extra"} <= tables

    # A read of an older database upgrades it where it can be written.
    migrations.append(lambda c: (applied.append(2), c.execute("CREATE TABLE newest (z)")))
    monkeypatch.setattr(schema, "SCHEMA_VERSION", len(migrations))
    assert {t.id for t in db.list_traces(path)} == {"trc_0", "trc_1"}
    assert applied == [1, 2]
    with sqlite3.connect(path) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == len(migrations)


def test_cut_and_forked_traces_are_marked_in_their_row(db_path, make_document):
    save(db_path, "trc_cut", make_document(meta={"cut": True, "dropped_events": 120}))
    save(db_path, "trc_cut", make_document(meta={"cut": True, "dropped_events": 5}))
    save(db_path, "trc_cut", make_document())
    save(db_path, "trc_child", make_document(meta={"parent_trace_id": "trc_cut"}))
    # Figures of the wrong kind are not believed.
    save(db_path, "trc_odd", make_document(meta={"cut": 1, "dropped_events": "many", "parent_trace_id": 3}))

    cut = db.get_trace(db_path, "trc_cut")
    assert (cut.cut, cut.dropped_events, cut.part_count, cut.parent_trace_id) == (True, 125, 3, None)
    child = db.get_trace(db_path, "trc_child")
    assert (child.cut, child.dropped_events, child.parent_trace_id) == (False, 0, "trc_cut")
    odd = db.get_trace(db_path, "trc_odd")
    assert (odd.cut, odd.dropped_events, odd.parent_trace_id) == (False, 0, None)
    assert {t.id: t.cut for t in db.list_traces(db_path)} == {"trc_cut": True, "trc_child": False, "trc_odd": False}


def test_a_database_of_the_first_schema_gains_the_new_columns(tmp_path, make_document):
    path = tmp_path / "db.sqlite3"
    with sqlite3.connect(path) as conn:
        db.MIGRATIONS[0](conn)
        conn.execute("PRAGMA user_version = 1")
        conn.execute(
            "INSERT INTO traces VALUES ('trc_old', 1.0, 1.0, '[\"app.py\"]', 'cli', NULL, 1.0, 0.5, 2, '[1]', 1, 1)"
        )
    save(path, "trc_new", make_document(meta={"cut": True, "dropped_events": 7}))
    old, new = db.get_trace(path, "trc_old"), db.get_trace(path, "trc_new")
    assert (old.cut, old.dropped_events, old.parent_trace_id, old.record_count) == (False, 0, None, 2)
    assert (new.cut, new.dropped_events) == (True, 7)
    with sqlite3.connect(path) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION == 7


def test_a_large_document_is_stored_in_pieces_without_a_copy_in_python(db_path, make_document):
    import tracemalloc

    # Records of 100 kB: several write pieces, and a tail that is no whole piece.
    document = msgpack.unpackb(make_document(main=[i / 100 for i in range(60)]), raw=False, strict_map_key=False)
    for index, record in enumerate(document["frames_of_interest"]):
        record["locals"] = {"blob": "x" * (100_000 + index)}
    document = msgpack.packb(document)
    tracemalloc.start()
    try:
        save(db_path, "trc_big", document)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert db.read_trace_parts(db_path, "trc_big") == [document]
    # A copy of the document would show here; reading and writing pieces does not.
    assert peak < len(document) // 4


def test_a_document_streamed_from_a_reused_buffer_reads_back_exactly(db_path, make_document):
    # Chunks are compressed on a worker while the pieces go on: a caller
    # that refills one buffer for every piece must not change what is stored.
    records = make_document(main=tuple(0.0001 * i for i in range(1, 20000)), start=1000.0)
    # Pieces of a few chunks each, and of a prime size: they straddle every
    # chunk boundary.
    buffer = bytearray(3 * db.DOCUMENT_CHUNK_SIZE + 7919)

    def pieces():
        for start in range(0, len(records), len(buffer)):
            piece = records[start : start + len(buffer)]
            buffer[: len(piece)] = piece
            yield memoryview(buffer)[: len(piece)]
        buffer[:] = bytes(len(buffer))

    db.store_trace(db_path, "trc_stream", pieces=pieces())
    assert len(records) > 4 * len(buffer)
    assert db.read_trace_parts(db_path, "trc_stream") == [records]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_saves_after_its_parent_has(db_path, make_document):
    # The parent's compression worker is not in the child, which must make
    # its own rather than wait for it forever.
    save(db_path, "trc_parent", make_document(start=1000.0))
    child = os.fork()
    if child == 0:
        try:
            save(db_path, "trc_child", make_document(start=2000.0))
        finally:
            os._exit(0)
    deadline = time.monotonic() + 60
    while (finished := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if finished[0] == 0:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        pytest.fail("the forked child's save hung")
    assert os.waitstatus_to_exitcode(finished[1]) == 0
    assert {t.id for t in db.list_traces(db_path)} == {"trc_parent", "trc_child"}
