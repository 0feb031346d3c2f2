"""The streamed export (native, from the stored pieces) reads back equal to
the tree-based chrome_trace and speedscope_profile of the same trace."""

import json
import os
import random
import sqlite3
import subprocess
import sys

import msgpack
import pytest

from nefa import cli, db
from nefa.traces import stream_export
from nefa.traces.stream_export import export_trace
from nefa.traces.tree import load_trace

from .conftest import cut_and_flipped
from .export_oracle import chrome_trace, speedscope_profile

FORMATS = {"chrome": chrome_trace, "speedscope": speedscope_profile}


def form(code, payload):
    return msgpack.ExtType(code, msgpack.packb(payload))


def assert_same_exports(tmp_path, database, trace_id):
    trace = load_trace(database, trace_id)
    # A span of 1 byte: every frame's ending comes from the survey (the
    # call index, or the survey pass without one); the default: every
    # frame's events wait for its return.
    totals = {}
    for indexed, long_span in ((True, 1), (True, 1 << 20), (False, 1)):
        for name, build in FORMATS.items():
            expected = json.loads(json.dumps(build(trace), ensure_ascii=False))
            output = tmp_path / f"{trace_id}.{name}.json"
            with pytest.MonkeyPatch.context() as patch:
                if not indexed:
                    patch.setattr(stream_export, "_current_index", lambda *_: None)
                export_trace(
                    database,
                    trace_id,
                    name,
                    output,
                    long_span=long_span,
                    progress=lambda done, total: totals.__setitem__(indexed, (done, total)),
                )
            assert json.loads(output.read_text(encoding="utf-8")) == expected, (name, long_span, indexed)
    # With the index each part is read once; without, twice.
    assert totals[True][0] == totals[True][1] and totals[False] == (2 * totals[True][0],) * 2


PROGRAM = """
import asyncio
import logging
import os
import random
import threading

import nefa

logging.basicConfig(level=logging.INFO)


def countdown(n):
    while n:
        yield n
        n -= 1


def fail(reason):
    raise ValueError(reason)


async def pause(x):
    await asyncio.sleep(0)
    return {"x": x, "t": (x, "é\\n"), "s": {1}}


def worker(k):
    logging.getLogger("work").info("worker %d", k)
    return sum(countdown(k))


@nefa.profile(db_path=os.environ["TRACES"])
def main(round):
    total = sum(countdown(3)) + sum(x * x for x in range(3))
    try:
        fail("boom")
    except ValueError:
        pass
    helper = threading.Thread(target=worker, args=(4,), name="helper")
    helper.start()
    helper.join()
    values = [b"\\x00'", 10**30, 1e-7, float("inf"), object(), bytearray(b"ab"), frozenset({2})]
    return asyncio.run(pause(round)), len(values)


main(1)
main(2)
"""


def test_recorded_programs(tmp_path, native_module, recorded):
    # Generators, threads, an exception, recursion; then plugin records,
    # coroutines and a trace of two parts (one per call of main).
    assert_same_exports(tmp_path, *recorded)
    (tmp_path / "program.py").write_text(PROGRAM)
    database = tmp_path / "parts.db"
    subprocess.run(
        [sys.executable, "program.py"],
        cwd=tmp_path,
        env=dict(os.environ, TRACES=str(database)),
        check=True,
        capture_output=True,
        timeout=120,
    )
    (summary,) = db.list_traces(database)
    trace = load_trace(database, summary.id)
    assert trace.part_count == 2 and len(trace.threads) >= 2
    assert any(node.kind == "event" for thread in trace.threads for node, _ in thread.nodes())
    assert_same_exports(tmp_path, database, summary.id)


def test_unbalanced_streams_and_awkward_values(tmp_path, records, pack, store):
    main, worker = records(1, "MainThread"), records(2, "worker")
    # Running before recording began: returns whose calls were not recorded,
    # at the top (enclosing all before them) and inside a recorded call.
    early = main.call("app.early", 0.1, locals={"t": form(1, [1, form(6, 2)]), "d": form(11, [1, "a"])})
    main.ret("app.early", 0.2, early, value=form(4, ["Foo", form(5, ["Foo(1, ", 20])]))
    main.ret("app.started_before", 0.3, "frm_gone", value=[1, 2, form(6, 3)])
    outer = main.call("app.outer", 0.4, locals={"s": "x" * 500, "b": b"\xff" * 300, "u": "ünï\u200b"})
    main.ret("app.unseen", 0.45, "frm_unseen", value=form(99, [1]))
    main.plugin("log", 0.46, message="inside", level=form(7, ["list", 5]))
    inner = main.call("app.inner", 0.5, locals={"n": -(2**63), "big": form(10, "-12345678901234567890123")})
    main.call("app.lost", 0.55)
    main.ret("app.outer", 0.6, outer, value={"k": form(1, [form(2, [form(4, ["P", "P()"])])])})
    main.ret("app.before_that", 0.7, "frm_older", value=None)
    main.call("app.never_returns", 0.8, locals={"x": float("nan")})
    # A generator resumed where it suspended.
    first = main.call("app.gen", 0.9, line=5, locals={"n": 2})
    main.ret("app.gen", 0.95, first, line=7, locals={"n": 2, "i": 0}, value=0)
    again = main.call("app.gen", 1.0, line=7, locals={"n": 2, "i": 0})
    main.ret("app.gen", 1.05, again, line=9, value=None)
    assert inner
    task = worker.call("app.task", 0.35, locals={"q": form(12, form(5, [b"ab", 3]))})
    worker.plugin("http", 0.36, subtype="request", url="/a", headers={"h": "v"})
    worker.ret("app.task", 0.37, task, value=form(8, "list"))
    worker.ret("app.top_of_worker", 0.38, "frm_w")
    database = store(
        "trc_unbalanced",
        pack(main, [worker], trace_id="trc_unbalanced"),
        pack(main, [worker], interleave=True, trace_id="trc_unbalanced", start=1_700_000_001.0),
    )
    assert_same_exports(tmp_path, database, "trc_unbalanced")


def test_legacy_values(tmp_path, records, pack, store):
    # Stored before the value forms: repr-shaped strings are shown bare.
    thread = records()
    call = thread.call("app.f", 0.1, locals={"self": "<app.Foo object at 0x1>", "p": "Point(1, 2)", "s": "plain"})
    thread.ret("app.f", 0.2, call, value=["<x>", ("a", "Foo()")])
    database = store("trc_legacy", pack(thread, trace_id="trc_legacy"))
    assert_same_exports(tmp_path, database, "trc_legacy")


def test_a_big_trace_in_bounded_memory(tmp_path, synthetic, store):
    database = store("trc_synthetic", synthetic(60_000))
    assert_same_exports(tmp_path, database, "trc_synthetic")


def stored_as(database, document):
    """The stored part replaced by ``document``'s bytes, whatever they are."""
    with sqlite3.connect(database) as conn:
        conn.execute("DELETE FROM document_chunks")
        conn.execute("UPDATE trace_parts SET document = ?, document_size = NULL, chunk_size = NULL", (document,))
    conn.close()


def test_corrupt_documents_give_one_line_and_no_file(tmp_path, capsys, synthetic, store):
    document = synthetic(3_000, trace_id="trc_damaged")
    database = store("trc_damaged", document)
    output = tmp_path / "out.json"
    output.write_text("before")
    for damaged, cause in (
        (document[: len(document) // 2], "truncated"),
        (b"\x81\xa6frames\x81\x01\x91\xc1", "0xc1"),
        # A length past the end of the bytes.
        (b"\x81\xb2frames_of_interest\xdd\xff\xff\xff\xff\x80", "truncated"),
    ):
        stored_as(database, damaged)
        assert cli.main(["export", "--db", str(database), "-o", str(output)]) == 1
        out, err = capsys.readouterr()
        assert out == "" and err.count("\n") == 1
        assert "trc_damaged" in err and cause in err
        # What was there is untouched, and nothing is left beside it.
        assert output.read_text() == "before" and not [
            name for name in os.listdir(tmp_path) if "out.json" in name and name != "out.json"
        ]


def test_truncated_and_bit_flipped_documents_export_or_fail_cleanly(tmp_path, synthetic, store):
    # The exporter reads the stored bytes itself: whatever they are, it
    # writes valid JSON or raises the one error the command turns into a
    # line, and never reads outside them (the sanitised build checks that).
    from nefa.traces.reader import TraceFormatError

    document = synthetic(200, trace_id="trc_fuzzed")
    database = store("trc_fuzzed", document)
    rng = random.Random(4321)
    cases = cut_and_flipped(document, rng, 60, 60, 3)
    outcomes = {"written": 0, "refused": 0}
    output = tmp_path / "out.json"
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(stream_export, "_current_index", lambda *_: None)
        for number, case in enumerate(cases):
            stored_as(database, case)
            name = ("chrome", "speedscope")[number % 2]
            try:
                export_trace(database, "trc_fuzzed", name, output)
            except TraceFormatError as error:
                assert "trc_fuzzed" in str(error) and "\n" not in str(error)
                outcomes["refused"] += 1
            else:
                json.loads(output.read_text(encoding="utf-8"))
                outcomes["written"] += 1
    assert outcomes["refused"] >= 60  # every truncation is refused


def test_msgpack_gives_back_the_stored_bytes_a_chunk_at_a_time(tmp_path, capsys, monkeypatch, synthetic, store):
    database = store("trc_synthetic", synthetic(6_000), synthetic(300))
    expected = b""
    for part in (0, 1):
        with db.open_document(database, "trc_synthetic", part) as stored:
            expected += stored.read()
    monkeypatch.chdir(tmp_path)
    assert cli.main(["export", "--db", str(database), "--format", "msgpack"]) == 0
    assert capsys.readouterr().out == "trc_synthetic.msgpack\n"
    written = tmp_path / "trc_synthetic.msgpack"
    assert written.read_bytes() == expected and written.stat().st_mode & 0o777 == 0o600
    # Never more than a chunk in hand when pieces are a chunk.
    monkeypatch.setattr(stream_export, "PIECE", db.DOCUMENT_CHUNK_SIZE)
    sizes = []

    class Sink:
        def write(self, piece):
            sizes.append(len(piece))
            kept.append(bytes(piece))

    kept = []
    stream_export.export_document(database, "trc_synthetic", Sink())
    assert b"".join(kept) == expected and len(sizes) > 4 and max(sizes) <= db.DOCUMENT_CHUNK_SIZE
    # To standard output; and a part stored as one BLOB, as older nefa did.
    stored_as(database, expected[:1000])
    piped = subprocess.run(
        [sys.executable, "-m", "nefa", "export", "--db", str(database), "--format", "msgpack", "-o", "-"],
        capture_output=True,
        check=True,
    )
    assert piped.stdout == expected[:1000] * 2 and piped.stderr == b""
    # A damaged chunk: one line, and what was there is kept.
    database = store("trc_damaged", synthetic(3_000, trace_id="trc_damaged"))
    with sqlite3.connect(database) as conn:
        conn.execute("UPDATE document_chunks SET data = x'00112233' WHERE trace_id = 'trc_damaged' AND chunk_index = 1")
    conn.close()
    written.write_bytes(b"before")
    assert cli.main(["export", "trc_damaged", "--db", str(database), "--format", "msgpack", "-o", str(written)]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and "trc_damaged" in err and "chunk 1" in err
    assert written.read_bytes() == b"before" and not [name for name in os.listdir(tmp_path) if name.endswith(".part")]


SURVEY_LOST = """
import json, sys
from nefa.traces import stream_export

real = stream_export.plan_from_index


class FirstPartOnly:
    # Hands on the first part's survey only, as a lost row of the index would.
    def __init__(self, exporter):
        self.exporter, self.parts = exporter, 0

    def plan_part(self, *args):
        self.parts += 1
        if self.parts == 1:
            self.exporter.plan_part(*args)


stream_export.plan_from_index = lambda index, stored, plan, exporter, span: real(
    index, stored, plan, FirstPartOnly(exporter), span)
stream_export.export_trace(sys.argv[1], "trc_synthetic", "chrome", sys.argv[2], long_span=1)
print(len(json.load(open(sys.argv[2]))["traceEvents"]))
"""


def test_the_exporter_survives_a_part_left_without_its_survey(tmp_path, synthetic, store):
    database = store("trc_synthetic", synthetic(4_000), synthetic(4_000))
    output = tmp_path / "out.json"
    done = subprocess.run(
        [sys.executable, "-c", SURVEY_LOST, str(database), str(output)],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONFAULTHANDLER": "1"},
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) > 4_000
