"""The native plugin machinery, driven by descriptions patched into
nefa.plugins.load_plugin_data in a child interpreter."""

import sys

import pytest
from nefa_native_support import decode, frame_records, is_id, run_traced

PATCH = """
import nefa.plugins
from harness import start, stop, finish, emit, error_text, capture_warnings
def install(*descriptions):
    nefa.plugins.load_plugin_data = lambda config: list(descriptions)
"""


def plugin_records(records, type_="plugin_call", *more):
    return [r for r in records if r["type"] in (type_, *more)]


@pytest.mark.parametrize(
    "setup, error, message",
    [
        (
            "import sys; sys.modules['nefa.plugins'] = None",
            "InternalError",
            "nefa.plugins should always be importable: ModuleNotFoundError",
        ),
        ("nefa.plugins.load_plugin_data = 3", "InternalError", "load_plugin_data should be callable: TypeError"),
        ("install(1)", "TypeError", "'int' object cannot be converted to 'PyDict'"),
        ("install({'path_fragment': 'x', 'call_type': 'a', 'return_type': 'b'})", "KeyError", "'co_names'"),
        ("install({'co_names': ['f'], 'call_type': 'a', 'return_type': 'b'})", "KeyError", "'path_fragment'"),
        (
            "install({'co_names': ['f'], 'path_fragment': 'x', 'call_type': 'a', 'return_type': 'b', 'subtype': None})",
            "TypeError",
            "'PyString'",
        ),
        (
            "install({'co_names': ['f'], 'path_fragment': 'x', 'call_type': 'a', 'return_type': 'b', 'events': 'call'})",
            "TypeError",
            "Can't extract `str` to `Vec`",
        ),
        (
            "install({'co_names': [1], 'path_fragment': 'x', 'call_type': 'a', 'return_type': 'b'})",
            "TypeError",
            "'PyString'",
        ),
        (
            "install({'co_names': ['f'], 'path_fragment': 'x', 'call_type': 'a', 'return_type': 'b',"
            " 'build_context': lambda config: []})",
            "TypeError",
            "'list' object cannot be converted to 'PyDict'",
        ),
    ],
)
def test_bad_plugin_data_fails_registration_and_installs_no_hook(tmp_path, setup, error, message):
    result = run_traced(
        tmp_path,
        PATCH
        + f"""
import sys
from harness import Profiler
from nefa import _nefa
{setup}
try:
    _nefa.register_profiler(Profiler())
except Exception as error:
    emit((type(error).__name__, str(error), isinstance(error, RuntimeError), sys.getprofile()))
""",
    )
    [(name, text, is_runtime_error, hook)] = result.outputs
    assert name == error
    assert message in text
    assert is_runtime_error == (error == "InternalError")
    assert hook is None


def test_record_keys_come_in_order_with_the_call_site_of_the_nearest_user_frame(tmp_path):
    result = run_traced(
        tmp_path,
        PATCH
        + """
import json
install({"co_names": ["dumps"], "path_fragment": "json/", "call_type": "plugin_call",
         "return_type": "plugin_return", "subtype": "probe",
         "process": lambda frame, event, arg, context: {"zeta": 1, "alpha": event}})
def outer():
    return json.dumps([1])
p = start()
outer()
finish(p)
emit(outer.__code__.co_firstlineno + 1)
""",
    )
    records = decode(result.outputs[0])["frames_of_interest"]
    call_line = result.outputs[1]
    call, back = plugin_records(records, "plugin_call", "plugin_return")
    assert list(call) == [
        "frame_id",
        "timestamp",
        "thread",
        "thread_native_id",
        "user_code_call_site",
        "type",
        "subtype",
        "zeta",
        "alpha",
    ]
    [outer_call, _] = frame_records(records, "outer")
    site = {"call_frame_id": outer_call["frame_id"], "line_number": call_line}
    # json.dumps is library code: only its plugin records are made.
    assert [(r["type"], r["user_code_call_site"]) for r in (call, back)] == [
        ("plugin_call", site),
        ("plugin_return", site),
    ]
    assert (call["alpha"], back["alpha"]) == ("call", "return")


def test_events_filter_still_asks_the_predicate_on_every_event(tmp_path):
    result = run_traced(
        tmp_path,
        PATCH
        + """
asked = []
def wanted(frame, event, arg, context):
    asked.append((event, arg))
    return frame.f_locals["n"] != 2
install({"co_names": ["work"], "path_fragment": "main.py", "call_type": "plugin_call",
         "return_type": "plugin_return", "events": ["call"], "call": wanted,
         "process": lambda frame, event, arg, context: {"n": frame.f_locals["n"]}})
def work(n):
    return n * 10
p = start()
for n in (1, 2, 3):
    work(n)
finish(p)
emit(asked)
""",
    )
    document, asked = decode(result.outputs[0]), result.outputs[1]
    assert asked == [("call", None), ("return", 10), ("call", None), ("return", 20), ("call", None), ("return", 30)]
    assert [r["n"] for r in plugin_records(document["frames_of_interest"], "plugin_call", "plugin_return")] == [1, 3]


def test_a_predicate_must_return_a_real_bool(tmp_path):
    result = run_traced(
        tmp_path,
        PATCH
        + """
warnings = capture_warnings()
install({"co_names": ["work"], "path_fragment": "main.py", "call_type": "plugin_call",
         "return_type": "plugin_return", "call": lambda frame, event, arg, context: 1})
def work():
    return 1
p = start()
outcome = work()
finish(p)
emit((outcome, [type(r.exc_info[1]).__name__ for r in warnings]))
""",
    )
    document = decode(result.outputs[0])
    outcome, warned = result.outputs[1]
    assert outcome == 1
    assert warned == ["TypeError", "TypeError"]
    assert plugin_records(document["frames_of_interest"], "plugin_call", "plugin_return") == []
    assert len(frame_records(document["frames_of_interest"], "work")) == 2


def test_each_frame_has_its_own_plugin_id_shared_by_its_call_and_return(tmp_path):
    result = run_traced(
        tmp_path,
        PATCH
        + """
install({"co_names": ["countdown"], "path_fragment": "main.py", "call_type": "plugin_call",
         "return_type": "plugin_return",
         "process": lambda frame, event, arg, context: {"n": frame.f_locals["n"]}})
def countdown(n):
    return countdown(n - 1) if n else 0
p = start()
countdown(2)
countdown(0)
finish(p)
""",
    )
    records = result.document["frames_of_interest"]
    plugin = plugin_records(records, "plugin_call", "plugin_return")
    assert [(r["type"][7:], r["n"]) for r in plugin] == [
        ("call", 2),
        ("call", 1),
        ("call", 0),
        ("return", 0),
        ("return", 1),
        ("return", 2),
        ("call", 0),
        ("return", 0),
    ]
    ids = [r["frame_id"] for r in plugin]
    assert all(is_id(i, "frm_") for i in ids)
    assert ids[:6] == ids[:3] + ids[2::-1]
    assert len(set(ids)) == 4
    # Plugin ids are their own, not the frame records' ids.
    assert not set(ids) & {r["frame_id"] for r in frame_records(records)}


def test_process_can_turn_any_record_into_a_test_cut(tmp_path):
    result = run_traced(
        tmp_path,
        PATCH
        + """
import nefa.db
saved = []
nefa.db.save_trace_in_sqlite = lambda path, trace_id, *, timeout, msgpack: saved.append((trace_id, msgpack))
install({"co_names": ["marker"], "path_fragment": "main.py", "call_type": "plugin_call",
         "return_type": "plugin_return", "events": ["call"],
         "process": lambda frame, event, arg, context: {"type": frame.f_locals["kind"],
                                                      "name": frame.f_locals["name"]}})
def marker(kind, name):
    pass
def body(name):
    return name
p = start(one_trace_per_test=True)
for name in ("first", "second"):
    marker("start_test", name)
    body(name)
    marker("end_test", name)
stop()
emit(saved)
""",
    )
    [saved] = result.outputs
    assert len(saved) == 2 and saved[0][0] != saved[1][0]
    for (trace_id, document), name in zip(saved, ("first", "second")):
        records = decode(document)["frames_of_interest"]
        assert decode(document)["trace_id"] == trace_id
        assert [(r["type"], r.get("name") or r.get("co_name")) for r in records if r.get("event") != "return"] == [
            ("start_test", name),
            ("frame", "marker"),
            ("frame", "body"),
            ("end_test", name),
        ]


def test_a_test_trace_starts_when_its_test_starts(tmp_path):
    result = run_traced(
        tmp_path,
        PATCH
        + """
import time
import nefa.db
saved = []
nefa.db.save_trace_in_sqlite = lambda path, trace_id, *, timeout, msgpack: saved.append(msgpack)
install({"co_names": ["begin", "end"], "path_fragment": "main.py", "call_type": "start_test",
         "return_type": "unused", "events": ["call"],
         "process": lambda frame, event, arg, context: {"type": "start_test" if frame.f_code.co_name == "begin"
                                                        else "end_test"}})
def begin():
    pass
def end():
    pass
p = start(one_trace_per_test=True)
for _ in range(2):
    time.sleep(0.01)
    begin()
    end()
stop()
emit(saved)
""",
    )
    [saved] = result.outputs
    first, second = (decode(document) for document in saved)
    # The second test's trace begins after the first one ended.
    assert second["timestamp"] >= first["frames_of_interest"][-1]["timestamp"]


@pytest.mark.parametrize("threading_on", [True, False])
def test_plugin_records_of_later_threads_follow_the_threading_setting(tmp_path, threading_on):
    result = run_traced(
        tmp_path,
        PATCH
        + f"""
import threading
install({{"co_names": ["work", "run"], "path_fragment": "main.py", "call_type": "plugin_call",
         "return_type": "plugin_return",
         "process": lambda frame, event, arg, context: {{"name": frame.f_code.co_name}}}})
def work():
    return 1
class Worker(threading.Thread):
    def run(self):
        work()
p = start({{"threading": {threading_on}}})
worker = Worker()
worker.start()
worker.join()
finish(p)
emit(worker.native_id)
""",
    )
    document = decode(result.outputs[0])
    native_id = result.outputs[1]
    assert plugin_records(document["frames_of_interest"], "plugin_call", "plugin_return") == []
    if not threading_on:
        assert document["frames"] == {}
        return
    records = document["frames"][native_id]
    plugin = plugin_records(records, "plugin_call", "plugin_return")
    # The thread's first profile event only installs the native hook and is
    # not recorded: on 3.11 that is run's call; from 3.12 on it is the return
    # from sys.setprofile in the thread's start-up, so run's call is recorded.
    expected = [("plugin_call", "work"), ("plugin_return", "work"), ("plugin_return", "run")]
    if sys.version_info >= (3, 12):
        expected.insert(0, ("plugin_call", "run"))
    assert [(r["type"], r["name"]) for r in plugin] == expected
    assert {r["thread_native_id"] for r in plugin} == {native_id}


def test_many_threads_and_one_shared_lock_never_deadlock(tmp_path):
    # Every Python callable the native side runs (predicate, process, the
    # serialiser, a handler of nefa's warnings) takes the same lock and
    # sleeps while holding it, from 16 threads at once.
    result = run_traced(
        tmp_path,
        PATCH
        + """
import logging
import threading
import time
import nefa.serialize

lock = threading.Lock()

def locked(value=None):
    with lock:
        time.sleep(0.0005)
    return value

real = nefa.serialize.dump_msgpack
def dump(value):
    locked()
    if value == "poison":
        raise ValueError("refused")
    return real(value)
nefa.serialize.dump_msgpack = dump

class LockingHandler(logging.Handler):
    def emit(self, record):
        locked()
warned = []
logging.getLogger("nefa").addHandler(LockingHandler())
logging.getLogger("nefa").addHandler(logging.Handler())
logging.getLogger("nefa").handlers[-1].emit = warned.append
logging.getLogger("nefa").propagate = False

install({"co_names": ["step"], "path_fragment": "main.py", "call_type": "plugin_call",
         "return_type": "plugin_return",
         "call": lambda frame, event, arg, context: locked(True),
         "process": lambda frame, event, arg, context: locked({"n": frame.f_locals["n"]})})

def step(n):
    return "poison" if n % 7 == 0 else n

def worker():
    for n in range(20):
        step(n)

for round_ in range(5):
    p = start({"threading": True})
    threads = [threading.Thread(target=worker) for _ in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stop()
    document = p.rust_profiler.build_trace()
emit(len(warned))
emit(document)
""",
    )
    warned, document = result.outputs
    assert warned > 0
    frames = decode(document)["frames"]
    assert len(frames) == 16
    for records in frames.values():
        assert len(plugin_records(records, "plugin_call")) == 20
