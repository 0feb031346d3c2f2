"""Trace documents: what build_trace returns, and handing them to the database."""

import pytest
from nefa_native_support import decode, events, is_id, run_traced

DOCUMENT_KEYS = [
    "command_line_args",
    "current_commit_sha",
    "frames",
    "frames_of_interest",
    "main_thread_id",
    "meta",
    "timestamp",
    "trace_id",
]


@pytest.mark.parametrize("commit", ["0123456789abcdef0123456789abcdef01234567", None])
def test_document_layout(tmp_path, commit):
    result = run_traced(
        tmp_path,
        f"""
        import sys
        import threading
        import time
        import nefa.git
        import nefa.version
        from harness import start, finish, emit
        nefa.git.COMMIT_SHA = {commit!r}
        nefa.version.__version__ = "9.9.9+native"
        sys.argv = ["main.py", "--flag", "\\u00e9t\\u00e9"]
        def work():
            return 1
        before = time.time()
        p = start(trace_id="trc_01ARZ3NDEKTSV4RRFFQ69G5FAV", source="from the tests")
        after = time.time()
        work()
        finish(p)
        emit((threading.main_thread().native_id, before, after))
        """,
    )
    document_bytes, (main_id, before, after) = result.outputs
    document = decode(document_bytes)
    assert list(document) == DOCUMENT_KEYS
    assert document["command_line_args"] == ["main.py", "--flag", "\u00e9t\u00e9"]
    assert document["current_commit_sha"] == commit
    assert document["frames"] == {}
    assert events(document["frames_of_interest"]) == [("work", "call"), ("work", "return")]
    assert document["main_thread_id"] == main_id
    assert document["meta"] == {"version": "9.9.9+native", "source": "from the tests", "use_frame_boundaries": True}
    assert list(document["meta"]) == ["version", "source", "use_frame_boundaries"]
    # The registration's wall-clock time, in seconds.
    assert isinstance(document["timestamp"], float) and before <= document["timestamp"] <= after
    assert document["trace_id"] == "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"


def test_build_trace_drains_the_buffers(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, stop, emit
        def first():
            return 1
        def second():
            return 2
        p = start()
        first()
        emit(p.rust_profiler.build_trace())
        second()
        emit(p.rust_profiler.build_trace())
        stop()
        emit(p.rust_profiler.build_trace())
        """,
    )
    one, two, three = result.outputs
    assert events(decode(one)["frames_of_interest"]) == [("first", "call"), ("first", "return")]
    assert events(decode(two)["frames_of_interest"]) == [("second", "call"), ("second", "return")]
    # Empty buffers are written as empty containers, not left out.
    assert b"\xa6frames\x80" in three and b"\xb2frames_of_interest\x90" in three
    assert decode(three)["trace_id"] == decode(one)["trace_id"]


def test_records_of_every_size_come_back_whole_across_the_buffers_chunks(tmp_path):
    # Records of a few bytes to about 25 KiB, enough to fill several of the
    # buffer's chunks: each lands whole where it fits, or is split across
    # chunks when it would leave much of one unused.
    result = run_traced(
        tmp_path,
        """
        from harness import start, stop, emit
        def sized(i, a, b, c):
            return len(a) + len(b) + len(c)
        p = start()
        for i in range(600):
            n = 1 + (i * 37) % 40
            sized(i, ["a" * 200] * n, ["b" * 200] * n, ["c" * 200] * (n if i % 3 else 1))
        stop()
        emit(p.rust_profiler.build_trace())
        """,
    )
    records = decode(result.outputs[0])["frames_of_interest"]
    calls = [r for r in records if r["co_name"] == "sized" and r["event"] == "call"]
    returns = [r for r in records if r["co_name"] == "sized" and r["event"] == "return"]
    sizes = [1 + (i * 37) % 40 for i in range(600)]
    assert [call["locals"]["i"] for call in calls] == list(range(600))
    assert [(len(call["locals"]["a"]), len(call["locals"]["c"])) for call in calls] == [
        (n, n if i % 3 else 1) for i, n in enumerate(sizes)
    ]
    assert all(item == "b" * 200 for call in calls for item in call["locals"]["b"])
    assert [ret["arg"] for ret in returns] == [2 * n + (n if i % 3 else 1) for i, n in enumerate(sizes)]


@pytest.mark.parametrize(
    "breakage, restore, error",
    [
        ("nefa.version.__version__ = 5", "nefa.version.__version__ = '1'", "TypeError"),
        ("nefa.git.COMMIT_SHA = 3", "nefa.git.COMMIT_SHA = None", "TypeError"),
        # An argument that is not UTF-8 is stored as its bytes: one that is not str fails.
        ("sys.argv = [b'main.py']", "sys.argv = ['main.py']", "TypeError"),
        ("sys.argv = 'main.py'", "sys.argv = ['main.py']", "TypeError"),
    ],
)
def test_failed_build_keeps_the_records(tmp_path, breakage, restore, error):
    result = run_traced(
        tmp_path,
        f"""
        import sys
        import nefa.git
        import nefa.version
        from harness import start, stop, emit, error_text
        def first():
            return 1
        def second():
            return 2
        p = start()
        first()
        {breakage}
        try:
            p.rust_profiler.build_trace()
        except Exception as failure:
            emit(error_text(failure))
        {restore}
        second()
        stop()
        emit(p.rust_profiler.build_trace())
        """,
    )
    (kind, _), document = result.outputs
    assert kind == error
    assert events(decode(document)["frames_of_interest"]) == [
        ("first", "call"),
        ("first", "return"),
        ("second", "call"),
        ("second", "return"),
    ]


@pytest.mark.parametrize("timeout_setting, timeout", [(None, 60), (0, 0), (7, 7)])
def test_save_request_in_db_hands_the_document_over(tmp_path, timeout_setting, timeout):
    config = {} if timeout_setting is None else {"sqlite_busy_timeout": timeout_setting}
    result = run_traced(
        tmp_path,
        f"""
        import pathlib
        import nefa.db
        from harness import start, stop, emit
        calls = []
        def save(*args, **kwargs):
            calls.append((args, list(kwargs.items())))
        nefa.db.save_trace_in_sqlite = save
        def work():
            return 1
        p = start({config!r}, db_path=pathlib.Path("data") / "traces.db", trace_id="trc_01ARZ3NDEKTSV4RRFFQ69G5FAV")
        work()
        stop()
        p.rust_profiler.save_request_in_db()
        emit(calls)
        emit(p.rust_profiler.build_trace())
        """,
    )
    calls, after = result.outputs
    [(args, kwargs)] = calls
    assert args == ("data/traces.db", "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV")
    assert [key for key, _ in kwargs] == ["timeout", "msgpack"]
    (_, timeout_value), (_, document) = kwargs
    assert type(timeout_value) is int and timeout_value == timeout
    assert type(document) is bytes
    assert events(decode(document)["frames_of_interest"]) == [("work", "call"), ("work", "return")]
    # What was stored is gone from the buffers.
    assert decode(after)["frames_of_interest"] == []


def test_failed_save_puts_the_records_back_in_order(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import threading
        import nefa.db
        from harness import start, stop, emit, error_text
        stored = []
        failures = [OSError("disk on fire")]
        def save(db_path, trace_id, *, timeout, msgpack):
            if failures:
                raise failures.pop()
            stored.append(msgpack)
        nefa.db.save_trace_in_sqlite = save
        def first():
            return 1
        def in_thread():
            return 2
        def second():
            return 3
        p = start({"threading": True})
        first()
        worker = threading.Thread(target=in_thread, name="worker")
        worker.start()
        worker.join()
        try:
            p.rust_profiler.save_request_in_db()
        except OSError as error:
            emit(error_text(error))
        second()
        stop()
        p.rust_profiler.save_request_in_db()
        emit(stored)
        emit(worker.native_id)
        """,
    )
    failure, stored, worker_id = result.outputs
    assert failure == ("OSError", "disk on fire")
    [document] = [decode(item) for item in stored]
    # The failing save ran while recording: its records arrived after the
    # drain and must follow the records put back.
    assert events(document["frames_of_interest"]) == [
        ("first", "call"),
        ("first", "return"),
        ("save", "call"),
        ("save", "return"),
        ("second", "call"),
        ("second", "return"),
    ]
    assert list(document["frames"]) == [worker_id]
    assert events(document["frames"][worker_id]) == [("in_thread", "call"), ("in_thread", "return")]


def test_saved_trace_is_readable_from_the_database(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import nefa.db
        from harness import start, stop, emit
        def work(n):
            return n * 2
        p = start(db_path="store/traces.db", trace_id="trc_01ARZ3NDEKTSV4RRFFQ69G5FAV")
        work(21)
        stop()
        p.rust_profiler.save_request_in_db()
        emit(nefa.db.read_trace_parts("store/traces.db", "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"))
        """,
    )
    [[document]] = result.outputs
    records = decode(document)["frames_of_interest"]
    assert [(r["event"], r["arg"], r["locals"]) for r in records] == [
        ("call", None, {"n": 21}),
        ("return", 42, {"n": 21}),
    ]
    assert is_id(records[0]["frame_id"], "frm_")
