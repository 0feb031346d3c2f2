"""Recording other threads: which ones, under which identity, in which buffer."""

import pytest
from nefa_native_support import decode, events, frame_records, run_traced

TWO_WORKERS = """
import threading
from harness import start, finish, emit
def work(tag):
    return tag
def run(name):
    thread = threading.Thread(target=work, args=(name,), name=name)
    thread.start()
    thread.join()
    return thread.native_id
p = start({config})
work("main")
ids = [run("worker-1"), run("worker-2")]
finish(p)
emit(ids)
"""


@pytest.mark.parametrize(
    "setting, recorded",
    [("True", True), ("False", False), (None, False), ("1", False), ("'true'", False)],
)
def test_only_threading_true_records_later_threads(tmp_path, setting, recorded):
    config = "{}" if setting is None else "{'threading': %s}" % setting
    result = run_traced(tmp_path, TWO_WORKERS.format(config=config))
    document_bytes, ids = result.outputs
    document = decode(document_bytes)
    # The main thread's records are always the records of interest.
    main_work = frame_records(document["frames_of_interest"], "work")
    assert [(r["arg"], r["thread"]) for r in main_work] == [(None, "MainThread"), ("main", "MainThread")]
    if not recorded:
        assert document["frames"] == {}
        return
    assert set(document["frames"]) == set(ids)
    workers = [r for records in document["frames"].values() for r in records]
    # Each worker under its own name and id: an ended thread's identity is
    # never handed on, even if the OS reuses its native id.
    assert sorted((r["thread"], r["thread_native_id"], r["event"], r["arg"]) for r in workers) == sorted(
        [(name, native_id, "call", None) for name, native_id in zip(["worker-1", "worker-2"], ids)]
        + [(name, native_id, "return", name) for name, native_id in zip(["worker-1", "worker-2"], ids)]
    )
    for native_id, records in document["frames"].items():
        assert all(r["thread_native_id"] == native_id for r in records)


def test_thread_started_before_registration_is_never_recorded(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import threading
        from harness import start, finish
        go = threading.Event()
        def work():
            return 1
        def early():
            go.wait()
            return work()
        thread = threading.Thread(target=early)
        thread.start()
        p = start({"threading": True})
        go.set()
        thread.join()
        finish(p)
        """,
    )
    assert result.document["frames"] == {}
    assert result.document["frames_of_interest"] == []


def test_each_thread_has_its_own_stack(tmp_path):
    # The threads take turns so that B's outer frame is the newest recorded
    # frame of the process when A calls inner: a shared stack would make B's
    # outer A's call site.
    result = run_traced(
        tmp_path,
        """
        import threading
        from harness import start, finish, emit
        b_inside = threading.Event()
        a_done = threading.Event()
        def inner(tag):
            return tag
        def outer(tag):
            if tag == "A":
                b_inside.wait()
                result = inner(tag)
                a_done.set()
            else:
                b_inside.set()
                a_done.wait()
                result = inner(tag)
            return result
        p = start({"threading": True})
        threads = [threading.Thread(target=outer, args=(tag,), name=tag) for tag in "AB"]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        finish(p)
        emit({thread.name: thread.native_id for thread in threads})
        """,
    )
    document_bytes, ids = result.outputs
    frames = decode(document_bytes)["frames"]
    for tag, line in [("A", 11), ("B", 16)]:
        records = frames[ids[tag]]
        assert events(records) == [("outer", "call"), ("inner", "call"), ("inner", "return"), ("outer", "return")]
        assert {r["thread"] for r in records} == {tag}
        outer_id = records[0]["frame_id"]
        site = {"call_frame_id": outer_id, "line_number": line}
        assert [r["user_code_call_site"] for r in records] == [None, site, site, None]


def test_serialiser_module_still_being_imported_by_another_thread_is_waited_for(tmp_path):
    # Another thread is halfway through importing nefa.serialize when the
    # first event needs it: the module is in sys.modules but its code has not
    # run yet. The event must wait for that import, not find a half-initialised
    # module and lose its record.
    result = run_traced(
        tmp_path,
        """
        import importlib.abc, importlib.util, sys, threading, time
        from harness import start, finish, capture_warnings
        halfway = threading.Event()
        class HalfwayLoader(importlib.abc.Loader):
            def __init__(self, loader):
                self.loader = loader
            def create_module(self, module_spec):
                return self.loader.create_module(module_spec)
            def exec_module(self, module):
                halfway.set()
                time.sleep(0.5)
                self.loader.exec_module(module)
        class SlowSerialize(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name != "nefa.serialize":
                    return None
                sys.meta_path.remove(self)
                found = importlib.util.find_spec(name)
                found.loader = HalfwayLoader(found.loader)
                return found
        sys.modules.pop("nefa.serialize", None)
        sys.meta_path.insert(0, SlowSerialize())
        warnings = capture_warnings()
        importer = threading.Thread(target=lambda: __import__("nefa.serialize"))
        importer.start()
        assert halfway.wait(30)
        assert "nefa.serialize" in sys.modules and not hasattr(sys.modules["nefa.serialize"], "dump_msgpack")
        def f(x):
            return x
        p = start()
        f(1)
        finish(p)
        importer.join()
        assert not warnings, [r.getMessage() for r in warnings]
        """,
    )
    assert events(result.document["frames_of_interest"]) == [("f", "call"), ("f", "return")]
