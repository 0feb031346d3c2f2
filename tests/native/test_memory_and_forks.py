"""How much a trace may hold (the memory budget), what a cut trace says,
the recorder's stats, and forked children recording traces of their own."""

import os

import pytest
from nefa_native_support import decode, events, is_id, run_traced

PER_TEST_PLUGINS = """
import nefa.plugins
nefa.plugins.load_plugin_data = lambda config: [
    {"co_names": ["begin_test"], "path_fragment": "main.py", "call_type": "start_test",
     "return_type": "unused", "events": ["call"]},
    {"co_names": ["finish_test"], "path_fragment": "main.py", "call_type": "unused",
     "return_type": "end_test", "events": ["return"]},
]
"""


def test_records_across_many_chunks_come_back_whole_and_in_order(tmp_path):
    # About 300 bytes a record: several megabytes cross many chunk
    # boundaries, and a 3 MB value makes one record larger than a chunk.
    result = run_traced(
        tmp_path,
        """
        from harness import start, finish
        def step(i):
            return i
        def big(text):
            return len(text)
        p = start({"lightweight_repr": False})
        for i in range(20000):
            step(i)
        big("x" * 3_000_000)
        step(-1)
        finish(p)
        """,
    )
    records = result.document["frames_of_interest"]
    steps = [r["locals"]["i"] for r in records if r["co_name"] == "step" and r["event"] == "call"]
    assert steps == [*range(20000), -1]
    assert [r["co_name"] for r in records[-4:]] == ["big", "big", "step", "step"]
    assert "cut" not in result.document["meta"]


def test_a_trace_past_its_budget_keeps_its_start_and_counts_the_rest(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, stop, emit
        def step(i):
            return i
        p = start({"memory_budget": 64 * 1024})
        for i in range(2000):
            step(i)
        stop()
        emit(p.rust_profiler.stats())
        emit(p.rust_profiler.build_trace())
        emit(p.rust_profiler.stats())
        """,
    )
    during, document, after = result.outputs
    document_bytes = len(document)
    document = decode(document)
    records = document["frames_of_interest"]
    # The records kept are the first ones, whole calls, within the budget.
    assert 0 < len(records) < 4000
    calls = [r["locals"]["i"] for r in records if r["event"] == "call"]
    assert calls == list(range(len(calls))) and len(calls) >= len(records) // 2
    assert document_bytes < 64 * 1024 + 1024
    meta = document["meta"]
    assert list(meta) == ["version", "source", "use_frame_boundaries", "cut", "dropped_events"]
    assert meta["cut"] is True
    # Every call and return after the cut, the hook's own last call included.
    assert meta["dropped_events"] >= 4000 - len(records)
    assert during["cut"] is True and during["dropped_events"] == meta["dropped_events"]
    assert during["memory_budget"] == 64 * 1024 and during["buffered_bytes"] <= 64 * 1024
    # Drained: the next document starts a fresh, uncut count.
    assert (after["cut"], after["dropped_events"], after["buffered_bytes"]) == (False, 0, 0)


def test_without_a_budget_nothing_is_cut(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, stop, emit
        def step(i):
            return i
        p = start({"memory_budget": None})
        for i in range(3000):
            step(i)
        stop()
        emit(p.rust_profiler.stats())
        emit(p.rust_profiler.build_trace())
        """,
    )
    stats, document = result.outputs
    assert stats["memory_budget"] == 0 and not stats["cut"]
    assert len(decode(document)["frames_of_interest"]) == 6000
    assert list(decode(document)["meta"]) == ["version", "source", "use_frame_boundaries"]


def test_a_negative_budget_is_refused_at_registration(tmp_path):
    result = run_traced(
        tmp_path,
        """
        from harness import start, emit, error_text
        try:
            start({"memory_budget": -1})
        except Exception as error:
            emit(error_text(error))
        """,
    )
    [(kind, _)] = result.outputs
    assert kind == "OverflowError"


def test_each_test_has_its_own_budget_and_keeps_its_end_marker(tmp_path):
    result = run_traced(
        tmp_path,
        PER_TEST_PLUGINS
        + """
import nefa.db
from harness import start, stop, emit
saved = []
nefa.db.save_trace_in_sqlite = lambda path, trace_id, *, timeout, msgpack: saved.append(msgpack)
def begin_test():
    return 1
def finish_test():
    return 3
def step(i):
    return i
def run_test(calls):
    begin_test()
    for i in range(calls):
        step(i)
    finish_test()
p = start({"memory_budget": 32 * 1024}, one_trace_per_test=True)
run_test(2000)
run_test(3)
stop()
emit(saved)
emit(p.rust_profiler.stats())
""",
    )
    saved, stats = result.outputs
    big, small = [decode(document) for document in saved]
    assert big["meta"]["cut"] is True and big["meta"]["dropped_events"] > 0
    assert big["frames_of_interest"][0]["type"] == "start_test"
    assert big["frames_of_interest"][-1]["type"] == "end_test"
    assert "cut" not in small["meta"]
    assert [
        r["locals"]["i"] for r in small["frames_of_interest"] if r.get("co_name") == "step" and r["event"] == "call"
    ] == [0, 1, 2]
    assert (stats["stored"], stats["store_failures"], stats["stored_cut"]) == (2, 0, 1)
    assert stats["stored_dropped_events"] == big["meta"]["dropped_events"]


def test_a_failed_store_of_a_cut_trace_keeps_it_cut(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import nefa.db
        from harness import start, stop, emit
        stored = []
        failures = [OSError("disk on fire")]
        def save(db_path, trace_id, *, timeout, msgpack):
            if failures:
                raise failures.pop()
            stored.append(msgpack)
        nefa.db.save_trace_in_sqlite = save
        def step(i):
            return i
        p = start({"memory_budget": 16 * 1024})
        for i in range(500):
            step(i)
        stop()
        dropped = p.rust_profiler.stats()["dropped_events"]
        try:
            p.rust_profiler.save_request_in_db()
        except OSError:
            emit(p.rust_profiler.stats())
        p.rust_profiler.save_request_in_db()
        emit(dropped)
        emit(stored)
        emit(p.rust_profiler.stats())
        """,
    )
    after_failure, dropped, [document], final = result.outputs
    assert after_failure["cut"] and after_failure["dropped_events"] == dropped
    assert after_failure["store_failures"] == 1 and after_failure["stored"] == 0
    meta = decode(document)["meta"]
    assert (meta["cut"], meta["dropped_events"]) == (True, dropped)
    assert [r["locals"]["i"] for r in decode(document)["frames_of_interest"] if r["event"] == "call"][:3] == [0, 1, 2]
    assert (final["stored"], final["stored_cut"], final["stored_dropped_events"]) == (1, 1, dropped)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_records_a_trace_of_its_own(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import os
        import threading
        from harness import start, stop, emit
        def before_fork(i):
            return i
        def in_child():
            return "child"
        def in_parent():
            return "parent"
        p = start({"threading": True})
        for i in range(100):
            before_fork(i)
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            in_child()
            stop()
            stats = p.rust_profiler.stats()
            document = p.rust_profiler.build_trace()
            with os.fdopen(write_end, "wb") as pipe:
                import pickle
                pickle.dump((stats, document, threading.get_native_id()), pipe)
            # A child that ends as any program does, not with os._exit.
            raise SystemExit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            import pickle
            child = pickle.load(pipe)
        os.waitpid(pid, 0)
        in_parent()
        stop()
        emit(child)
        emit(p.rust_profiler.build_trace())
        emit(threading.get_native_id())
        """,
    )
    (child_stats, child_document, child_thread), parent_document, parent_thread = result.outputs
    child, parent = decode(child_document), decode(parent_document)
    assert parent["trace_id"] == "trc_01TESTTRACE0000000000000000"
    assert is_id(child["trace_id"], "trc_") and child["trace_id"] != parent["trace_id"]
    assert child["meta"]["parent_trace_id"] == parent["trace_id"]
    assert child_stats["parent_trace_id"] == parent["trace_id"] and child_stats["trace_id"] == child["trace_id"]
    assert "parent_trace_id" not in parent["meta"]
    # Nothing recorded before the fork is in the child's trace, and its
    # records carry its own thread's id, as its main thread.
    child_calls = [name for name, event in events(child["frames_of_interest"]) if event == "call"]
    assert "before_fork" not in child_calls and "in_child" in child_calls
    assert child["main_thread_id"] == child_thread != parent_thread
    assert {r["thread_native_id"] for r in child["frames_of_interest"] if "thread_native_id" in r} == {child_thread}
    assert child["frames"] == {}
    parent_calls = [name for name, event in events(parent["frames_of_interest"]) if event == "call"]
    assert parent_calls.count("before_fork") == 100 and "in_child" not in parent_calls
    assert "in_parent" in parent_calls
