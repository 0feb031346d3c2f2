"""The call index: the native scanner, the tables, and reading through them."""

import io
import json
import os
import pathlib
import random
import re
import shutil
import sqlite3
import struct
import subprocess
import sys
import zlib

import msgpack
import pytest

from nefa import cli, db
from nefa._native import NAME_BLOCK_IDS
from nefa.store import connections, index_build, opening, schema
from nefa.traces import call_index, name_blocks
from nefa.traces.indexed import IndexedTrace
from nefa.traces.tree import load_trace

from .conftest import START, cut_and_flipped


def run_cli(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def calls_of(database, trace_id):
    with call_index.open_index(database, trace_id) as index:
        index.conn.row_factory = sqlite3.Row
        return [
            dict(row)
            for row in index.conn.execute(
                "SELECT c.*, n.name, p.path FROM calls c JOIN names n ON n.id = c.name_id"
                " LEFT JOIN paths p ON p.id = c.path_id WHERE trace_key = ? ORDER BY id",
                (index.trace_key,),
            )
        ]


class TestScanner:
    def test_rows_agree_with_the_tree_reader(self, synthetic, store):
        document = synthetic(3000)
        database = store("trc_synthetic", document)
        rows = calls_of(database, "trc_synthetic")
        trace = load_trace(database, "trc_synthetic")
        frames = sorted(trace.frames(), key=lambda frame: (frame.thread_id, frame.start, -frame.duration))
        frame_rows = sorted(
            (row for row in rows if row["kind"] is None),
            key=lambda row: (row["thread_native_id"], row["start"], -row["duration"]),
        )
        assert [f.qualname for f in frames] == [r["name"] for r in frame_rows]
        assert [round(f.duration * 1e9) for f in frames] == pytest.approx([r["duration"] for r in frame_rows], abs=2)
        by_id = {row["id"]: row for row in rows}
        for row in rows:
            children = [child for child in rows if child["parent"] == row["id"] and child["kind"] is None]
            if row["kind"] is None:
                assert row["self_time"] == max(0, row["duration"] - sum(c["duration"] for c in children))
            if row["parent"] is not None:
                assert by_id[row["parent"]]["depth"] == row["depth"] - 1
        plugins = [row for row in rows if row["kind"] is not None]
        assert plugins and all(row["kind"] == "log" and row["name"] == "log" for row in plugins)
        # Each row's byte ranges hold its own records.
        raw = db.read_trace_parts(database, "trc_synthetic")[0]
        for row in rows[:50]:
            record = msgpack.unpackb(raw[row["call_offset"] : row["call_offset"] + row["call_length"]])
            assert record.get("qualname", record.get("type")) == row["name"]
            if row["return_offset"] is not None:
                record = msgpack.unpackb(raw[row["return_offset"] : row["return_offset"] + row["return_length"]])
                assert record["event"] == "return" and record["qualname"] == row["name"]

    def test_unclosed_orphan_and_cut_calls(self, records, pack, store):
        thread = records()
        thread.ret("app.running", 0.001, "frm_unknown")  # recording began inside it
        outer = thread.call("app.outer", 0.002)
        thread.call("app.inner", 0.003)  # its return never recorded
        thread.ret("app.outer", 0.005, outer)
        thread.call("app.cut", 0.006)  # the trace ends inside it
        thread.plugin("log", 0.009, message="last")
        rows = calls_of(store("trc_open", pack(thread, trace_id="trc_open")), "trc_open")
        shown = {row["name"]: (row["flags"], row["duration"], row["depth"]) for row in rows}
        assert shown["app.running"] == (1, 0, 0)  # starts at the thread's first record
        assert shown["app.inner"][::2] == (2, 1) and shown["app.inner"][1] == pytest.approx(2e6, abs=1e3)
        assert shown["app.cut"][::2] == (2, 0) and shown["app.cut"][1] == pytest.approx(3e6, abs=1e3)

    def test_truncated_and_bit_flipped_documents_never_crash(self, synthetic):
        document = synthetic(300)
        rng = random.Random(1234)
        cases = cut_and_flipped(document, rng, 150, 250, 4)
        outcomes = {"ok": 0, "error": 0}
        for case in cases:
            try:
                call_index.scan([case[: len(case) // 2], case[len(case) // 2 :]])
                outcomes["ok"] += 1
            except ValueError as error:
                assert str(error).startswith("not a readable trace document: at byte ")
                outcomes["error"] += 1
        assert outcomes["error"] >= 150  # every truncation fails
        with pytest.raises(ValueError, match="truncated"):
            call_index.scan([document[:-1]])
        with pytest.raises(ValueError, match="after the end"):
            call_index.scan([document + b"\x00"])

    def test_pieces_of_any_size_give_the_same_rows(self, synthetic, tmp_path):
        document = synthetic(500)
        results = []
        for size in (1, 7, 4096, 5000, 65_537, len(document)):
            pieces = [document[i : i + size] for i in range(0, len(document), size)]
            scanner, part = call_index.scan(pieces)
            results.append((part.record_count, part.call_count, part.thread_ids, part.end_timestamp))
        assert len(set(map(repr, results))) == 1 and results[0][0] > 400


class TestStorage:
    def test_documents_read_back_exactly_whatever_the_form(self, synthetic, store, tmp_path):
        document = synthetic(2000)
        database = store("trc_synthetic", document)
        with db.open_document(database, "trc_synthetic") as stored:
            assert stored.size == len(document) and stored.read() == document
            stored.seek(len(document) - 100_000)
            assert stored.read(70_000) == document[-100_000:-30_000] and stored.tell() == len(document) - 30_000
            assert io.BufferedReader(stored, 4096).read() == document[-30_000:]
        with sqlite3.connect(database) as conn:
            assert conn.execute("SELECT count(*) FROM document_chunks").fetchone()[0] > 1
            at = db.DOCUMENT_CHUNK_SIZE - 5  # a range across two chunks
            assert db.read_document_range(conn, "trc_synthetic", 0, at, 10) == document[at : at + 10]
        assert db.read_document_range(database, "trc_synthetic", 0, 3, 4) == document[3:7]

    def test_chunks_inflated_natively_and_their_damage(self, synthetic, store):
        from nefa import _native

        document = synthetic(6000)
        database = store("trc_synthetic", document)
        with sqlite3.connect(database) as conn:
            rows = [
                data
                for (data,) in conn.execute(
                    "SELECT data FROM document_chunks WHERE trace_id = 'trc_synthetic' ORDER BY chunk_index"
                )
            ]
        assert len(rows) >= 4
        size = db.DOCUMENT_CHUNK_SIZE
        sizes = [min(size, len(document) - i * size) for i in range(len(rows))]
        assert _native.inflate_chunks(rows, sizes) == document
        # A row of one zlib stream, as the first chunked form wrote them.
        assert _native.inflate_chunks([zlib.compress(document[:size])], [size]) == document[:size]
        middle = bytearray(rows[2])
        middle[len(middle) // 2] ^= 0x55
        for damaged, raw in (
            (bytes(middle), sizes[2]),
            (rows[2][:-3], sizes[2]),
            (rows[2][:6], sizes[2]),
            (rows[2], sizes[2] - 1),
            (rows[2] + b"\0", sizes[2]),
        ):
            with pytest.raises(ValueError, match="^row 2: "):
                _native.inflate_chunks(rows[:2] + [damaged], sizes[:2] + [raw])
        # Read back through the database: the chunk is named, the rest is whole.
        with sqlite3.connect(database) as conn:
            conn.execute(
                "UPDATE document_chunks SET data = ? WHERE trace_id = 'trc_synthetic' AND chunk_index = 2",
                (bytes(middle),),
            )
        conn = db.connect(database, timeout=5, create=False)
        try:
            pieces = db.StoredDocument(conn, "trc_synthetic", 0).pieces(size)
            assert next(pieces) == document[:size]
            with pytest.raises(db.DocumentDamagedError, match="chunk 2: does not inflate"):
                b"".join(pieces)
        finally:
            conn.close()
        with pytest.raises(db.DocumentDamagedError, match="chunk 2: does not inflate"):
            db.read_trace_parts(database, "trc_synthetic")
        with db.open_document(database, "trc_synthetic") as stored:
            assert stored.read(2 * size) == document[: 2 * size]

    def test_each_stream_checked_against_its_checksum(self):
        from nefa import _native

        rng = random.Random(7)
        # Lengths about the checksum's blocks of 16 bytes and its reductions
        # every 5,552; bytes of 0xff make the largest sums.
        lengths = [0, 1, 15, 16, 17, 255, 5551, 5552, 5553, 5568, 11104, 65536 + 7, *rng.sample(range(70000), 20)]
        for length in lengths:
            for raw in (rng.randbytes(length), b"\xff" * length, bytes(length)):
                stream = zlib.compress(raw, 6)
                assert _native.inflate_chunks([stream], [length]) == raw
                if length:
                    damaged = bytearray(stream)
                    damaged[-1 - rng.randrange(4)] ^= 1 << rng.randrange(8)  # the checksum only
                    with pytest.raises(ValueError, match="does not inflate"):
                        _native.inflate_chunks([bytes(damaged)], [length])
        stream = zlib.compress(b"abc" * 100)
        for damaged in (
            b"\x78\x9d" + stream[2:],  # header checksum wrong
            b"\x79\x9c" + stream[2:],  # not deflate
            bytes([0x78, 0xBB]) + stream[2:],  # a preset dictionary
            stream + b"\0",
            stream[:-1],
        ):  # bytes after it, or its checksum cut
            with pytest.raises(ValueError, match="^row 0: "):
                _native.inflate_chunks([damaged], [300])

    def test_a_damaged_chunk_or_index_is_a_one_line_error(self, capsys, shop, tmp_path):
        with sqlite3.connect(shop) as conn:
            conn.execute("UPDATE document_chunks SET data = x'00112233'")
        status, out, err = run_cli(capsys, "show", "--db", shop)
        assert (status, out) == (1, "") and err.count("\n") == 1 and "trc_01SHOP" in err
        assert "chunk 0" in err and "damaged" in err

    def test_an_index_pointing_outside_its_document(self, capsys, shop):
        with sqlite3.connect(shop) as conn:
            conn.execute("UPDATE calls SET call_offset = 1000000")
        status, out, err = run_cli(capsys, "show", "--db", shop)
        assert status != 0 and out == "" and err.count("\n") == 1 and "trc_01SHOP" in err


def _damage(path, table, how):
    """Drops ``table``, deletes its rows, or writes garbage over its first page."""
    conn = sqlite3.connect(path)
    try:
        if how == "corrupt":
            conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")  # every page in the file, none in the log
            (root,) = conn.execute("SELECT rootpage FROM sqlite_master WHERE name = ?", (table,)).fetchone()
            (size,) = conn.execute("PRAGMA page_size").fetchone()
        else:
            conn.execute(f"DROP TABLE {table}" if how == "drop" else f"DELETE FROM {table}")
            conn.commit()
    finally:
        conn.close()
    if how == "corrupt":
        with open(path, "r+b") as file:
            file.seek((root - 1) * size)
            file.write(b"\x0d" + b"\xff" * (size - 1))


def _copy_database(source, target):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(f"{source}{suffix}"):
            shutil.copyfile(f"{source}{suffix}", f"{target}{suffix}")
    return target


_COMMANDS = {
    "show": ["show"],
    "filter": ["show", "--filter", "price"],
    "top": ["top"],
    "chrome": ["export", "--format", "chrome", "-o", "-"],
    "speedscope": ["export", "--format", "speedscope", "-o", "-"],
}
_ALL = set(_COMMANDS)
# The shop trace's index tables, and the commands that read each.
_READ_BY = {
    "call_indexes": _ALL,
    "call_index_parts": _ALL,
    "call_threads": _ALL,
    "names": {"show", "filter", "top"},
    "paths": {"show", "filter", "top"},
    "calls": {"show", "filter", "chrome", "speedscope"},
    "function_stats": {"filter", "top"},
    "call_name_blocks": {"filter"},
    "call_lanes": {"show", "filter"},
}
# Damage a command gets round and shows the trace as it is: the index
# rebuilt (its row lost; dropped, for one that can do without it), lanes
# made again from the calls (as for a database from before them), or rows
# the command has no need of here.
_GOT_ROUND = {
    ("call_indexes", "empty"): _ALL,
    ("call_indexes", "drop"): {"chrome", "speedscope"},
    ("call_indexes", "corrupt"): {"chrome", "speedscope"},
    ("call_lanes", "drop"): _ALL,
    ("calls", "empty"): {"chrome", "speedscope"},
    ("call_lanes", "empty"): {"filter"},
}


class TestDamagedIndex:
    def test_each_table_damaged_is_one_line_naming_the_trace(self, capsys, shop, tmp_path, serve):
        from .test_server import get

        def run(database, name):
            return run_cli(capsys, *_COMMANDS[name], "--db", database)

        intact = {name: run(_copy_database(shop, tmp_path / "intact.db"), name) for name in _COMMANDS}
        assert all(status == 0 and out for status, out, _ in intact.values())
        for table, readers in _READ_BY.items():
            for how in ("drop", "empty", "corrupt"):
                for name in _COMMANDS:
                    database = _copy_database(shop, tmp_path / f"{table}-{how}-{name}.db")
                    _damage(database, table, how)
                    status, out, err = run(database, name)
                    case = (table, how, name, err)
                    if name in readers - _GOT_ROUND.get((table, how), set()):
                        assert status != 0 and out == "" and err.count("\n") == 1, case
                        assert err.startswith("nefa: error: ") and "trc_01SHOP" in err, case
                    else:
                        assert (status, out, err) == intact[name], case
                if (table, how) == ("call_indexes", "empty"):
                    # Rebuilt over the rows its lost row left: none twice.
                    with sqlite3.connect(database) as conn:
                        assert conn.execute("SELECT count(*), count(DISTINCT trace_key) FROM calls").fetchone() == (
                            5,
                            1,
                        )
                    conn.close()
        # Served: the damage found by a call's answer, while the server runs.
        with sqlite3.connect(shop) as conn:
            (checkout,) = conn.execute(
                "SELECT c.id FROM calls c JOIN names n ON n.id = c.name_id WHERE n.name = 'shop.Cart.checkout'"
            ).fetchone()
        conn.close()
        for damage in (
            "DELETE FROM names",
            "DELETE FROM paths",
            "UPDATE calls SET call_offset = 'x'",
            "UPDATE call_lanes SET ids = x'0000'",
            "DROP TABLE calls",
            "",
        ):
            server = serve(_copy_database(shop, tmp_path / f"served-{len(damage)}.db"), "trc_01SHOP")
            assert get(server.url + "api/trace")[0] == 200
            with sqlite3.connect(tmp_path / f"served-{len(damage)}.db") as conn:
                conn.execute(damage or "DELETE FROM call_name_blocks")  # "": a search finds it
            conn.close()
            capsys.readouterr()
            status, body = get(server.url + (f"api/call?id={checkout}" if damage else "api/search?q=checkout"))
            message = json.loads(body)["error"]
            err = capsys.readouterr().err
            assert status == 500 and "trc_01SHOP" in message and "\n" not in message, damage
            assert err == f"nefa: error: {message}\n", damage


def _old_database(path, document, trace_id):
    """A database as nefa wrote it before the call index: schema 2, the
    document in one BLOB."""
    with sqlite3.connect(path) as conn:
        conn.execute("PRAGMA journal_mode = WAL")
        for migration in db.MIGRATIONS[:2]:
            migration(conn)
        conn.execute("PRAGMA user_version = 2")
        conn.execute(f"PRAGMA application_id = {db.APPLICATION_ID}")
        conn.execute(
            "INSERT INTO traces (id, created_at, updated_at, command_line, source, commit_sha, start_timestamp,"
            ' duration, record_count, thread_ids, thread_count, part_count) VALUES (?, 1, 1, \'["app.py", "--fast"]\','
            " 'cli', NULL, ?, 0.01, 9, '[1, 2]', 2, 1)",
            (trace_id, START),
        )
        conn.execute("INSERT INTO trace_parts VALUES (?, 0, 1, 9, ?)", (trace_id, document))
    conn.close()


class TestOlderDatabases:
    def test_indexed_on_first_read(self, capsys, shop, tmp_path):
        document = db.read_trace_parts(shop, "trc_01SHOP")[0]
        old = tmp_path / "old.db"
        _old_database(old, document, "trc_01SHOP")
        expected = run_cli(capsys, "show", "--db", shop)
        status, out, err = run_cli(capsys, "show", "--db", old)
        assert (status, err) == (0, "") and out == expected[1]
        with sqlite3.connect(old) as conn:
            assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
            assert conn.execute("SELECT count(*) FROM calls").fetchone()[0] == 5
            # The old part keeps its BLOB.
            assert conn.execute("SELECT chunk_size, length(document) FROM trace_parts").fetchone() == (
                None,
                len(document),
            )
        assert db.read_trace_parts(old, "trc_01SHOP") == [document]

    def test_read_only_file_is_indexed_in_memory(self, capsys, shop, tmp_path, monkeypatch):
        document = db.read_trace_parts(shop, "trc_01SHOP")[0]
        old = tmp_path / "old.db"
        _old_database(old, document, "trc_01SHOP")

        def read_only(path, **_):
            raise db.DatabaseError(f"cannot use {path} as a trace database: no permission to write it")

        expected = run_cli(capsys, "show", "--db", shop)[1]
        monkeypatch.setattr(opening, "open_for_writing", read_only)
        status, out, err = run_cli(capsys, "top", "--db", old)
        assert status == 0 and "built for this command only" in err
        assert "shop.Cart.checkout" in out
        # The tree through the TEMP tables' own indexes.
        status, out, err = run_cli(capsys, "show", "--db", old)
        assert status == 0 and "built for this command only" in err and out == expected
        with sqlite3.connect(old) as conn:  # untouched
            assert conn.execute("PRAGMA user_version").fetchone()[0] == 2


class TestReaders:
    def test_top_counts_recursion_once_and_sorts(self, capsys, records, pack, store):
        thread = records()
        ids = [thread.call("app.fib", 0.001 * depth) for depth in range(3)]
        for depth, frame_id in reversed(list(enumerate(ids))):
            thread.ret("app.fib", 0.01 - 0.001 * depth, frame_id)
        leaf = thread.call("app.leaf", 0.02)
        thread.ret("app.leaf", 0.05, leaf)
        database = store("trc_fib", pack(thread, trace_id="trc_fib"))
        status, out, _ = run_cli(capsys, "top", "--db", database, "--sort", "total")
        lines = out.splitlines()
        assert status == 0 and "2 functions" in lines[1]
        assert lines[3].split()[:4] == ["1", "30", "ms", "30"] and lines[3].split()[-2:] == ["app.leaf", "app.py"]
        # Three nested calls of 10, 8 and 6 ms: 10 ms in total, not 24.
        assert lines[4].split()[:3] == ["3", "10", "ms"] and "app.fib" in lines[4]
        status, out, _ = run_cli(capsys, "top", "--db", database, "--sort", "calls", "--limit", "1")
        assert "app.fib" in out and "app.leaf" not in out

    def test_the_readmes_queries_run_as_the_sqlite3_shell_gets_them(self, shop):
        readme = (pathlib.Path(__file__).parents[3] / "README.md").read_text()
        section = readme.split("## Querying traces with SQL", 1)[1]
        shell = re.findall(r'```sh\nsqlite3 -header -column \.nefa/db\.sqlite3 "(.*?)"\n```', section, re.S)
        assert len(shell) == 2
        with sqlite3.connect(shop) as conn:
            rows = conn.execute(shell[0]).fetchall()
            longest = conn.execute(shell[1].replace("'json.loads'", "'shop.pricing.price'")).fetchall()
        # name, path, calls, total ms, self ms
        assert rows[0][0] == "__main__.<module>" and rows[0][3:] == (pytest.approx(10.0), pytest.approx(5.0))
        assert {row[0] for row in rows} == {
            "__main__.<module>",
            "shop.Cart.checkout",
            "shop.pricing.price",
            "shop.shipping.pack",
        }
        assert [row[1:] for row in longest] == [(pytest.approx(2.0), 2, "shop.Cart.checkout")]


GENERATORS = """
    import asyncio

    def countdown(n):
        while n:
            yield n
            n -= 1

    def chain(n):
        yield from countdown(n)

    async def pause():
        await asyncio.sleep(0)
        return 1

    def main():
        first = sum(x for x in range(2))
        second = sum(y for y in range(2))
        wide = sum(z
                   for z in range(2))
        listed = [w for w in range(2)]
        unique = {v for v in range(2)}
        total = sum(countdown(2)) + sum(chain(2))
        return first + second + wide + len(listed) + len(unique) + total + asyncio.run(pause())

    main()
"""


def resumption_marks(capsys, database, trace_id):
    """(function, line) -> whether each of its frames in the program's
    file shows the "(resumed)" mark, in order."""
    status, out, _ = run_cli(capsys, "show", "--db", database, trace_id, "--filter", "program.py")
    assert status == 0
    marks = {}
    for line in out.splitlines():
        name = line.strip().split("(", 1)[0]
        if name.startswith("__main__.") and "program.py:" in line:
            marks.setdefault((name.rsplit(".", 1)[-1], line.split("program.py:")[1].split()[0]), []).append(
                "(resumed)" in line
            )
    return marks


def test_resumptions_are_marked_from_what_the_records_say(capsys, record_program):
    marks = resumption_marks(capsys, *record_program(GENERATORS))
    # Each generator expression: its first entry, then one resumption per
    # value and the last, exhausted one; the second one in main starts fresh.
    assert marks[("<genexpr>", "17")] == [False, True, True]
    assert marks[("<genexpr>", "18")] == [False, True, True]
    assert [mark for (name, _), mark in marks.items() if name == "<genexpr>" and _ not in ("17", "18")] == [
        [False, True, True]
    ]
    # Comprehensions (functions on 3.11 only) are never resumed.
    assert not any(any(v) for (name, _), v in marks.items() if name in ("<listcomp>", "<setcomp>"))
    # countdown: called alone and through chain, each time entered at line 4.
    assert marks[("countdown", "4")] == [False, False]
    assert marks[("countdown", "6")] == [True] * 4
    assert marks[("chain", "9")] == [False] and marks[("chain", "10")] == [True, True]
    assert marks[("pause", "12")] == [False] and marks[("pause", "13")] == [True]


MANY_SUSPENDED = """
    import asyncio

    def step(i):
        x = i
        yield x
        yield x + 1

    async def worker(i):
        for _ in range(2):
            await asyncio.sleep(0)

    def main():
        # Forty of one generator suspended before the first resumes, then
        # each advanced in turn: more than a code's few recent returns.
        steps = [step(i) for i in range(40)]
        for _ in range(2):
            for one in steps:
                next(one)
        async def gather():
            await asyncio.gather(*(worker(i) for i in range(30)))
        asyncio.run(gather())

    main()
"""


def test_resumptions_are_marked_when_many_instances_are_suspended(capsys, record_program):
    marks = resumption_marks(capsys, *record_program(MANY_SUSPENDED))
    assert marks[("step", "4")] == [False] * 40
    assert marks[("step", "6")] == [True] * 40
    assert marks[("worker", "9")] == [False] * 30
    assert marks[("worker", "11")] == [True] * 60


def test_parts_share_one_index_and_a_stale_one_is_rebuilt(capsys, records, pack, store, tmp_path):
    first, second = records(), records()
    first.ret("app.a", 0.002, first.call("app.a", 0.001))
    second.ret("app.b", 1.002, second.call("app.b", 1.001))
    database = store("trc_parts", pack(first, trace_id="trc_parts"), pack(second, trace_id="trc_parts"))
    rows = calls_of(database, "trc_parts")
    assert [(row["id"], row["part_index"], row["name"]) for row in rows] == [(0, 0, "app.a"), (1, 1, "app.b")]
    # One time base: the second part's call starts a second after the first's.
    assert rows[1]["start"] - rows[0]["start"] == pytest.approx(1e9, abs=1e3)
    with sqlite3.connect(database) as conn:
        conn.execute("UPDATE call_indexes SET version = 0")
        conn.execute("DELETE FROM calls")
    status, out, _ = run_cli(capsys, "show", "--db", database, "--filter", "app.b")
    assert status == 0 and "app.b()" in out and "app.a()" not in out
    assert [row["name"] for row in calls_of(database, "trc_parts")] == ["app.a", "app.b"]


def test_filter_shows_callers_and_subtrees_from_the_index(capsys, shop):
    status, out, _ = run_cli(capsys, "show", "--db", shop, "--filter", "PRICING.py")
    lines = out.splitlines()
    assert status == 0 and len(lines) == 5
    assert lines[2].startswith("__main__.<module>()") and lines[3].startswith("  shop.Cart.checkout(")
    assert lines[4].startswith("    shop.pricing.price(items=[1, 2])")
    status, out, _ = run_cli(capsys, "show", "--db", shop, "--filter", "shipping", "--depth", "1")
    assert status == 0 and "shop.shipping.pack(order=7)" in out and "checkout" not in out
    assert out.splitlines()[1].startswith("Thread packer (2)")


class _PythonConnection(sqlite3.Connection):
    """Not a sqlite3.Connection by type name: its rows go through Python."""


def _index_into(path, document, factory=sqlite3.Connection, setup=None):
    db.prepare_database(path)
    conn = sqlite3.connect(path, isolation_level=None, factory=factory)
    if setup:
        conn.execute(setup)
    conn.execute("BEGIN IMMEDIATE")
    return conn, lambda: call_index.index_part(conn, "trc_synthetic", 0, [document])


@pytest.mark.parametrize("piece", [4096, 1 << 20])
def test_rows_written_on_the_writer_thread_match_the_python_path(synthetic, tmp_path, monkeypatch, piece):
    # Small pieces: many batches pass through the writer's bounded queue,
    # and a block's calls of one name come in several. Large ones: names
    # with enough calls in a block to be stored as its bitmap.
    monkeypatch.setattr(index_build, "PIECE", piece)
    document = synthetic(3 * NAME_BLOCK_IDS)
    written = []
    for factory in (sqlite3.Connection, _PythonConnection):
        conn, build = _index_into(tmp_path / f"{factory.__name__}.db", document, factory)
        build()
        # A second part on the same connection: its ids follow the first's.
        call_index.index_part(conn, "trc_synthetic", 1, [document])
        conn.execute("COMMIT")
        written.append(conn.execute("SELECT * FROM calls ORDER BY id").fetchall())
        # The name blocks hold each row's id once, under its name.
        blocks = conn.execute("SELECT * FROM call_name_blocks ORDER BY 1, 2, 3, 4").fetchall()
        held = [
            (key, name_id, call_id)
            for key, name_id, first_id, first_offset, ids in blocks
            for call_id in name_blocks.decode(first_id, ids)
        ]
        assert sorted(held) == conn.execute("SELECT trace_key, name_id, id FROM calls ORDER BY 1, 2, 3").fetchall()
        assert all(
            first_id % NAME_BLOCK_IDS == 0 and name_blocks.decode(first_id, ids)[0] == first_id + first_offset
            for _, _, first_id, first_offset, ids in blocks
        )
        written.append(blocks)
        conn.close()
    assert len(written[0]) > 2000 and written[0] == written[2]
    assert {row[1] for row in written[0]} == {0, 1}
    assert len({row[2] for row in written[1]}) >= 3
    if piece == 4096:
        # The Python path makes a block's rows per batch; the writer thread
        # keeps a block open from batch to batch.
        assert len({row[:3] for row in written[3]}) < len(written[3])
        assert len(written[1]) < len(written[3])
    else:
        assert {len(row[4]) == NAME_BLOCK_IDS // 8 for row in written[1]} == {True, False}


def test_name_blocks_hold_calls_that_return_blocks_later(records, pack, store, tmp_path, monkeypatch):
    # The outer call's row comes when it returns, two blocks on, after
    # its block was written: it makes a row of its own, which reads back
    # like the rest.
    monkeypatch.setattr(index_build, "PIECE", 4096)
    main = records(1, "MainThread")
    outer = main.call("app.main", 0.0)
    clock = 1e-6
    for item in range(int(NAME_BLOCK_IDS * 2.6)):
        frame = main.call("app.even" if item % 2 else "app.odd", clock)
        main.ret("app.even" if item % 2 else "app.odd", clock + 1e-7, frame)
        clock += 2e-7
    main.ret("app.main", clock, outer)
    document = pack(main, trace_id="trc_synthetic")
    for factory in (sqlite3.Connection, _PythonConnection):
        conn, build = _index_into(tmp_path / f"{factory.__name__}.db", document, factory)
        build()
        conn.execute("COMMIT")
        blocks = conn.execute("SELECT trace_key, name_id, first_id, first_offset, ids FROM call_name_blocks").fetchall()
        held = sorted(
            (key, name_id, call_id)
            for key, name_id, first_id, _, ids in blocks
            for call_id in name_blocks.decode(first_id, ids)
        )
        assert held == conn.execute("SELECT trace_key, name_id, id FROM calls ORDER BY 1, 2, 3").fetchall()
        assert len({row[:4] for row in blocks}) == len(blocks)
        assert max(row[2] for row in blocks) == 2 * NAME_BLOCK_IDS
        conn.close()
    with call_index.open_index(store("trc_synthetic", document), "trc_synthetic") as index:
        trace = IndexedTrace(index)
        for name in ("app.main", "app.odd", "app.even"):
            (name_id,) = index.conn.execute("SELECT id FROM names WHERE name = ?", (name,)).fetchone()
            expected = index.conn.execute(
                "SELECT id FROM calls NOT INDEXED WHERE name_id = ? ORDER BY id", (name_id,)
            ).fetchall()
            assert trace.named("c.id", name_id) == expected
            assert trace.named("c.id", name_id, limit=700) == expected[:700]


def test_scan_memory_follows_the_codes_each_thread_runs(records, pack, tmp_path):
    # 20,000 functions on one thread, then 1,500 threads that each call the
    # newest: figures kept per thread and per code of the whole trace would
    # take 20,000 x 1,500 entries.
    main = records(1, "MainThread")
    clock = 1e-6
    for number in range(20000):
        main.ret(f"app.f{number}", clock + 1e-7, main.call(f"app.f{number}", clock))
        clock += 2e-7
    others = []
    for number in range(1500):
        thread = records(100 + number, f"T{number}")
        thread.ret("app.f19999", clock + 1e-7, thread.call("app.f19999", clock))
        clock += 2e-7
        others.append(thread)
    document = tmp_path / "document.msgpack"
    document.write_bytes(pack(main, others, interleave=True))
    script = (
        "import resource, sys\n"
        "from nefa.traces import call_index\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "scanner, part = call_index.scan([data])\n"
        "print(part.call_count, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(document)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONFAULTHANDLER="1"),
    )
    assert done.returncode == 0, done.stderr
    calls, grown_mib = map(int, done.stdout.split())
    assert calls == 21500 and grown_mib < 100


def test_calls_by_name_through_the_name_blocks(synthetic, store):
    readme = (pathlib.Path(__file__).parents[3] / "docs" / "sql.md").read_text()
    query = next(block for block in re.findall(r"```sql\n(.*?)```", readme, re.S) if "call_name_blocks" in block)
    database = store("trc_synthetic", synthetic(4 * NAME_BLOCK_IDS))
    with call_index.open_index(database, "trc_synthetic") as index:
        trace = IndexedTrace(index)
        assert not trace.by_name_index
        name_ids = [name_id for (name_id,) in index.conn.execute("SELECT DISTINCT name_id FROM calls")]
        spread = 0
        for name_id in name_ids:
            expected = index.conn.execute(
                "SELECT id, depth FROM calls NOT INDEXED WHERE name_id = ? AND kind IS NULL ORDER BY id", (name_id,)
            ).fetchall()
            assert trace.named("c.id, c.depth", name_id) == expected
            assert trace.named("c.id, c.depth", name_id, limit=3) == expected[:3]
            everything = index.conn.execute("SELECT * FROM calls WHERE name_id = ? ORDER BY id", (name_id,)).fetchall()
            assert index.conn.execute(query, {"key": trace.key, "name_id": name_id}).fetchall() == everything
            spread += len({call_id // NAME_BLOCK_IDS for call_id, _ in expected}) > 1
        assert spread  # some name lies in several blocks


def test_an_index_of_version_1_is_read_as_it_is_and_an_older_one_rebuilt(synthetic, store):
    database = store("trc_synthetic", synthetic(3 * NAME_BLOCK_IDS))
    with call_index.open_index(database, "trc_synthetic") as index:
        trace = IndexedTrace(index)
        names = [name_id for (name_id,) in index.conn.execute("SELECT id FROM names")]
        expected = {name_id: trace.named("c.id, c.depth", name_id) for name_id in names}
    _as_version_1(database)
    with sqlite3.connect(database) as conn:
        # Bitmaps of 128 bytes, which read as lists of 64 offsets in blocks of 8,192.
        assert conn.execute("SELECT count(*) FROM call_name_blocks WHERE length(ids) = 128").fetchone()[0]
        built = conn.execute("SELECT built_at FROM call_indexes").fetchall()
    conn.close()
    with call_index.open_index(database, "trc_synthetic") as index:
        assert index.version == 1
        trace = IndexedTrace(index)
        assert {name_id: trace.named("c.id, c.depth", name_id) for name_id in names} == expected
        assert index.conn.execute("SELECT built_at FROM call_indexes").fetchall() == built
    with sqlite3.connect(database) as conn:
        conn.execute("UPDATE call_indexes SET version = 0")
    conn.close()
    with call_index.open_index(database, "trc_synthetic") as index:
        assert index.version == call_index.INDEX_VERSION == 2
        assert {name_id: IndexedTrace(index).named("c.id, c.depth", name_id) for name_id in names} == expected


def test_an_sqlite_error_on_the_writer_thread_is_raised_and_the_transaction_stays_usable(
    synthetic, tmp_path, monkeypatch
):
    monkeypatch.setattr(index_build, "PIECE", 4096)
    conn, build = _index_into(
        tmp_path / "refused.db",
        synthetic(3000),
        setup=(
            "CREATE TRIGGER refuse BEFORE INSERT ON calls WHEN NEW.id = 700 BEGIN SELECT RAISE(ABORT, 'no room'); END"
        ),
    )
    with pytest.raises(RuntimeError, match="cannot index the calls: no room"):
        build()
    # The writer has stopped: the rollback leaves nothing of the build.
    conn.execute("ROLLBACK")
    assert conn.execute("SELECT count(*) FROM calls").fetchone()[0] == 0
    conn.close()


def test_an_index_error_left_uncaught_ends_the_program_cleanly(synthetic, store, tmp_path):
    # The document is still being read ahead, on a thread of its own, when
    # the error reaches the top: the program must end with its traceback.
    import os
    import subprocess
    import sys

    database = store("trc_synthetic", synthetic(60000))
    with sqlite3.connect(database) as conn:
        conn.execute("DELETE FROM call_indexes")
        conn.execute(
            "CREATE TRIGGER refuse BEFORE INSERT ON calls WHEN NEW.id = 700 BEGIN SELECT RAISE(ABORT, 'no room'); END"
        )
    conn.close()
    program = f"from nefa.traces import call_index\ncall_index.open_index({str(database)!r}, 'trc_synthetic')\n"
    for _ in range(3):
        done = subprocess.run(
            [sys.executable, "-c", program],
            capture_output=True,
            text=True,
            timeout=120,
            env={**os.environ, "PYTHONFAULTHANDLER": "1"},
        )
        assert done.returncode == 1 and "no room" in done.stderr.splitlines()[-1], done.stderr[-2000:]


def _touching_calls(records, seed):
    """A thread whose calls share timestamps a lot: zero-length calls at a
    sibling's very start and end, orphan returns, calls never returned, a
    time that steps back, plugin records at the top and inside calls."""
    rng = random.Random(seed)
    thread = records()
    clock = 0.0
    thread.ret("app.running", 0.0, "frm_unknown")
    thread.plugin("log", 0.0, message="at the top")
    stack = []
    for step in range(400):
        # Time stands still most of the time, and once in a while goes back.
        clock += rng.choice((0.0, 0.0, 0.0, 1e-6)) - (1e-6 if rng.random() < 0.02 else 0.0)
        choice = rng.random()
        if choice < 0.4 and len(stack) < 6:
            name = f"app.f{rng.randrange(5)}"
            stack.append((name, thread.call(name, clock)))
        elif choice < 0.75 and stack:
            name, frame_id = stack.pop()
            thread.ret(name, clock, frame_id)
        elif choice < 0.8 and stack:
            stack.pop()  # its return never recorded: closed by its caller's
        elif choice < 0.9:
            thread.plugin("log", clock, message=f"step {step}")
        else:
            thread.ret("app.orphan", clock, f"frm_gone_{step}")
    return thread


def test_children_found_through_the_time_indexes_are_those_the_parents_say(capsys, records, pack, store, tmp_path):
    from nefa.traces.indexed import IndexedTrace

    documents = [pack(_touching_calls(records, seed), trace_id="trc_touch") for seed in (1, 2)]
    # Two parts over the same span of time, on the same thread.
    database = store("trc_touch", *documents)
    with call_index.open_index(database, "trc_touch") as index:
        trace = IndexedTrace(index)
        assert not trace.by_parent
        conn = index.conn
        rows = conn.execute(
            "SELECT id, parent, kind FROM calls NOT INDEXED WHERE trace_key = ? ORDER BY id", (index.trace_key,)
        ).fetchall()
        assert len(rows) > 500
        under: dict = {}
        for call_id, parent, kind in rows:
            under.setdefault(parent, []).append((call_id, kind))
        assert [call.id for call in trace.roots(1)] == [call_id for call_id, _ in under[None]]
        checked = 0
        for call_id, _, kind in rows:
            if kind is not None:
                continue
            call = trace.call(call_id)
            expected = under.get(call_id, [])
            assert [child.id for child in trace.children(call)] == [child for child, _ in expected]
            assert trace.frame_children(call) == sum(1 for _, child_kind in expected if child_kind is None)
            checked += bool(expected)
        assert checked > 100
    # Through the index by parent, as a database of schema 4 is read, the same.
    shown = run_cli(capsys, "show", "--db", database)
    with sqlite3.connect(database) as conn:
        conn.execute("DROP INDEX events_by_parent")
        conn.execute("CREATE INDEX calls_by_parent ON calls (trace_key, parent, id, kind)")
    with call_index.open_index(database, "trc_touch") as index:
        trace = IndexedTrace(index)
        assert trace.by_parent
        assert [call.id for call in trace.roots(1)] == [call_id for call_id, _ in under[None]]
    assert run_cli(capsys, "show", "--db", database) == shown


def _as_version_1(path):
    """The index as its builder of version 1 left it: name blocks of 1,024 ids."""
    with sqlite3.connect(path) as conn:
        calls = conn.execute("SELECT trace_key, name_id, id FROM calls").fetchall()
        conn.execute("DELETE FROM call_name_blocks")
        conn.executemany(
            "INSERT INTO call_name_blocks VALUES (?, ?, ?, ?, ?)",
            name_blocks.block_rows(calls, name_blocks.block_ids(1)),
        )
        conn.execute("UPDATE call_indexes SET version = 1")
    conn.close()


def _as_schema_6(path):
    """The database as the nefa of schema 6 left it: its frames indexed by
    end, no lane blocks, an index of version 1."""
    _as_version_1(path)
    with sqlite3.connect(path) as conn:
        conn.execute("DROP TABLE call_lanes")
        conn.execute("CREATE INDEX calls_by_end ON calls (trace_key, thread_native_id, depth, end) WHERE kind IS NULL")
        conn.execute("PRAGMA user_version = 6")
    conn.close()


def _as_schema_4(path):
    """The database as the nefa of schema 4 left it: its indexes by parent
    and by name, none of plugin records by parent, no name blocks."""
    _as_schema_6(path)
    with sqlite3.connect(path) as conn:
        conn.execute("DROP TABLE call_name_blocks")
        conn.execute("CREATE INDEX calls_by_name ON calls (trace_key, name_id)")
        conn.execute("DROP INDEX events_by_parent")
        conn.execute("CREATE INDEX calls_by_parent ON calls (trace_key, parent, id, kind)")
        conn.execute("PRAGMA user_version = 4")
    conn.close()


def _indexes(path):
    with sqlite3.connect(path) as conn:
        found = {
            name
            for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'calls'")
        }
        version = conn.execute("PRAGMA user_version").fetchone()[0]
    conn.close()
    return version, found


_OLD_SCHEMA_COMMANDS = (["show"], ["show", "--depth", "1"], ["top"], ["show", "--filter", "checkout"])


def _name_blocks(path):
    with sqlite3.connect(path) as conn:
        found = conn.execute("SELECT * FROM call_name_blocks ORDER BY 1, 2, 3").fetchall()
    conn.close()
    return found


class TestMigration5:
    def test_a_schema_4_database_read_only_is_read_as_it_is(self, capsys, shop, monkeypatch):
        expected = [run_cli(capsys, *argv, "--db", shop) for argv in _OLD_SCHEMA_COMMANDS]
        _as_schema_4(shop)

        def read_only(path, **_):
            raise db.DatabaseError(f"cannot use {path} as a trace database: no permission to write it")

        monkeypatch.setattr(opening, "open_for_writing", read_only)
        for argv, before in zip(_OLD_SCHEMA_COMMANDS, expected):
            assert run_cli(capsys, *argv, "--db", shop) == before
        assert "[+1 call below]" in expected[1][1]  # counted through the index by parent
        assert "checkout" in expected[3][1]  # found through the index by name
        version, found = _indexes(shop)
        assert version == 4 and {"calls_by_parent", "calls_by_name"} <= found and "events_by_parent" not in found

    def test_a_schema_4_database_is_migrated_and_keeps_its_index(self, capsys, shop):
        expected = [run_cli(capsys, *argv, "--db", shop) for argv in _OLD_SCHEMA_COMMANDS]
        _as_version_1(shop)
        blocks = _name_blocks(shop)
        _as_schema_4(shop)
        with sqlite3.connect(shop) as conn:
            built = conn.execute("SELECT built_at FROM call_indexes").fetchall()
        conn.close()
        for argv, before in zip(_OLD_SCHEMA_COMMANDS, expected):
            assert run_cli(capsys, *argv, "--db", shop) == before
        version, found = _indexes(shop)
        assert version == db.SCHEMA_VERSION == 7
        assert not {"calls_by_parent", "calls_by_name", "calls_by_end"} & found and "events_by_parent" in found
        # The name blocks read off the old index are the ones its builder wrote.
        assert _name_blocks(shop) == blocks and blocks
        with sqlite3.connect(shop) as conn:  # not built again
            assert conn.execute("SELECT built_at FROM call_indexes").fetchall() == built
        conn.close()
        # The plugin record under checkout, found through its new index.
        assert "◆ log" in expected[0][1]

    def test_a_database_of_schema_5_is_refused_by_a_nefa_of_schema_4(self, shop, monkeypatch):
        monkeypatch.setattr(schema, "SCHEMA_VERSION", 4)
        monkeypatch.setattr(schema, "MIGRATIONS", schema.MIGRATIONS[:4])
        with pytest.raises(db.SchemaTooNewError):
            db.list_traces(shop)


def test_the_readme_query_for_children_gives_the_parents_children(records, pack, store):
    import pathlib
    import re as regex

    readme = (pathlib.Path(__file__).parents[3] / "docs" / "sql.md").read_text()
    query = next(block for block in regex.findall(r"```sql\n(.*?)```", readme, regex.S) if "call_lanes" in block)
    # Two parts over the same time, the second ending past the first.
    database = store("trc_touch", *(pack(_touching_calls(records, seed), trace_id="trc_touch") for seed in (3, 4)))
    with sqlite3.connect(database) as conn:
        calls = conn.execute(
            "SELECT trace_key, thread_native_id, depth, start, duration, id, part_index FROM calls WHERE kind IS NULL"
        ).fetchall()
        assert {call[-1] for call in calls} == {0, 1}
        for key, thread, depth, start, duration, call_id, part in calls:
            found = conn.execute(
                query,
                {
                    "key": key,
                    "thread": thread,
                    "depth": depth,
                    "start": start,
                    "duration": duration,
                    "id": call_id,
                    "part": part,
                },
            ).fetchall()
            expected = conn.execute(
                "SELECT * FROM calls NOT INDEXED WHERE parent = ? AND kind IS NULL", (call_id,)
            ).fetchall()
            assert sorted(found) == sorted(expected)
    conn.close()


def test_a_first_read_indexes_alike_whatever_the_journal(synthetic, tmp_path, monkeypatch):
    # The WAL database's documents are read on a thread and connection of
    # their own, the other's on the writing connection.
    document = synthetic(3000)
    rows, readers = [], []
    real = call_index.pieces_ahead
    monkeypatch.setattr(call_index, "pieces_ahead", lambda *a, **k: (readers.append(a[0]), real(*a, **k))[1])
    for journal in ("wal", "delete"):
        path = tmp_path / f"{journal}.db"
        db.prepare_database(path)
        with sqlite3.connect(path) as conn:
            conn.execute(f"PRAGMA journal_mode = {journal}")
        conn.close()
        db.store_trace(path, "trc_synthetic", msgpack=document, index=False)
        rows.append(calls_of(path, "trc_synthetic"))
    assert len(rows[0]) > 1000 and rows[0] == rows[1]
    assert [pathlib.Path(reader).name for reader in readers] == ["wal.db"]


def test_a_first_read_leaves_the_log_copy_to_a_thread_and_the_file_ends_whole(synthetic, tmp_path, monkeypatch):
    path = tmp_path / "trace.db"
    db.store_trace(path, "trc_synthetic", msgpack=synthetic(3000), index=False)
    expected = calls_of(path, "trc_synthetic")
    path.unlink()
    db.store_trace(path, "trc_synthetic", msgpack=synthetic(3000), index=False)
    later = []
    monkeypatch.setattr(connections, "copy_log_back_later", later.append)
    # As if the index were as large as SQLite's own threshold for a copy.
    connect = connections.connect

    def connect_copying_early(*args, **kwargs):
        conn = connect(*args, **kwargs)
        conn.execute("PRAGMA wal_autocheckpoint = 10")
        return conn

    monkeypatch.setattr(connections, "connect", connect_copying_early)
    with call_index.open_index(path, "trc_synthetic") as index:
        # Committed, readable, and not yet copied back by the commit.
        assert index.conn.execute("SELECT count(*) FROM calls").fetchone()[0] == len(expected)
        log = pathlib.Path(f"{path}-wal")
        # The log's frames, and those copied back (the shared-memory index's
        # mxFrame and nBackfill).
        shm = pathlib.Path(f"{path}-shm").read_bytes()
        frames, copied = struct.unpack_from("=I", shm, 16)[0], struct.unpack_from("=I", shm, 96)[0]
        assert frames > 20 and copied == 0
        monkeypatch.undo()
        assert later == [path]
        db.copy_log_back_later(path).join()
        assert log.stat().st_size == 0
    # The file alone, without its log, holds the whole index.
    alone = tmp_path / "alone.db"
    alone.write_bytes(path.read_bytes())
    with sqlite3.connect(f"file:{alone}?immutable=1", uri=True) as conn:
        assert conn.execute("SELECT count(*) FROM calls").fetchone()[0] == len(expected)
        assert conn.execute("SELECT count(*) FROM call_indexes").fetchone()[0] == 1
    conn.close()
    assert calls_of(alone, "trc_synthetic") == expected


def test_the_log_is_emptied_once_the_index_built_by_a_read_is_closed(synthetic, tmp_path, monkeypatch):
    path = tmp_path / "trace.db"
    db.store_trace(path, "trc_synthetic", msgpack=synthetic(20000), index=False)
    log = pathlib.Path(f"{path}-wal")
    copy_later = connections.copy_log_back_later
    reads = []

    def read_first(db_path):
        # A read under way while the log is copied back, begun before the
        # copy can start: the copy cannot empty the log then, and the
        # read-only connection cannot at close.
        reader = sqlite3.connect(db_path)
        rows = reader.execute("SELECT * FROM calls")
        rows.fetchone()
        reads.append((reader, rows))
        return copy_later(db_path)

    monkeypatch.setattr(connections, "copy_log_back_later", read_first)
    with call_index.open_index(path, "trc_synthetic") as index:
        assert index.log_copy is not None and reads
        index.log_copy.join()
        assert log.stat().st_size > 0
        reader, rows = reads[0]
        rows.fetchall()
        reader.close()
    assert not log.exists() or log.stat().st_size == 0
