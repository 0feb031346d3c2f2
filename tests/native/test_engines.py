"""The two event sources: the profile hook and sys.monitoring (3.12+)."""

import re
import sys

import pytest
from nefa_native_support import decode, run_traced

pytestmark = [
    pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is 3.12+"),
    # Each test chooses its engines itself.
    pytest.mark.profile_hook,
]

PROGRAM = """
import asyncio
import json
import os
import pickle
import threading
import warnings
import nefa.db
import nefa.plugins
from harness import start, stop, emit

saved = []
nefa.db.save_trace_in_sqlite = lambda path, trace_id, *, timeout, msgpack: saved.append(msgpack)
nefa.plugins.load_plugin_data = lambda config: [
    {"co_names": ["begin_test"], "path_fragment": "main.py", "call_type": "start_test",
     "return_type": "unused", "events": ["call"]},
    {"co_names": ["finish_test"], "path_fragment": "main.py", "call_type": "unused",
     "return_type": "end_test", "events": ["return"]},
    {"co_names": ["dumps"], "path_fragment": "json/", "call_type": "plugin_call", "return_type": "plugin_return",
     "subtype": "probe", "process": lambda frame, event, arg, context: {"seen": event, "arg": repr(arg)}},
]

def plain(a, b=2):
    c = [a, b]
    return sum(c)

def counter(n):
    for i in range(n):
        yield i

def catcher():
    try:
        yield 1
    except KeyError:
        yield 2

async def leaf(x):
    await asyncio.sleep(0)
    return x

async def gather():
    return await leaf(1) + await leaf(2)

def boom():
    raise ValueError("no")

def in_thread():
    return plain(5)

def begin_test():
    return 1

def finish_test():
    return 3

def in_child():
    return plain(7)

p = start({"threading": True}, one_trace_per_test=True)
begin_test()
plain(1)
list(counter(3))
g = catcher(); next(g); g.throw(KeyError("k")); g.close()
asyncio.run(gather())
try:
    boom()
except ValueError:
    pass
json.dumps([1, (2, 3)])
worker = threading.Thread(target=in_thread, name="worker")
worker.start(); worker.join()
finish_test()
plain(3)
read_end, write_end = os.pipe()
# The worker's OS thread may take a moment to go after join().
warnings.simplefilter("ignore", DeprecationWarning)
pid = os.fork()
if pid == 0:
    os.close(read_end)
    in_child()
    stop()
    with os.fdopen(write_end, "wb") as pipe:
        pickle.dump(p.rust_profiler.build_trace(), pipe)
    os._exit(0)
os.close(write_end)
with os.fdopen(read_end, "rb") as pipe:
    child = pickle.load(pipe)
os.waitpid(pid, 0)
stop()
emit(p.rust_profiler.build_trace())
emit(saved)
emit(child)
"""

ID = re.compile(r"^(frm|trc)_[0-9A-HJKMNP-TV-Z]{26}$")


def normalised(value, ids):
    """The value with ids and thread numbers replaced by their order of first
    appearance (so that links between records still compare) and times dropped."""
    if isinstance(value, dict):
        out = {}
        for key, item in value.items():
            if key in ("timestamp", "start_timestamp"):
                continue
            if key in ("thread_native_id", "main_thread_id") or isinstance(key, int):
                item = (
                    ids.setdefault(("thread", item), len(ids))
                    if key in ("thread_native_id", "main_thread_id")
                    else item
                )
            if isinstance(key, int):
                key = ids.setdefault(("thread", key), len(ids))
            out[key] = normalised(item, ids)
        return out
    if isinstance(value, list):
        return [normalised(item, ids) for item in value]
    if isinstance(value, str) and ID.match(value):
        return ids.setdefault(value, len(ids))
    return value


def under_each_engine(tmp_path, monkeypatch, outcome):
    """``outcome(directory)`` under the profile engine, then the monitoring
    engine, each in a folder of its own: the pair of results."""
    outcomes = []
    for engine in ("profile", "monitoring"):
        monkeypatch.setenv("NEFA_TEST_ENGINE", engine)
        directory = tmp_path / engine
        directory.mkdir()
        outcomes.append(outcome(directory))
    return tuple(outcomes)


def test_both_engines_make_the_same_records(tmp_path, monkeypatch):
    def outcome(directory):
        document, saved, child = run_traced(directory, PROGRAM).outputs
        ids: dict = {}
        return [normalised(decode(d), ids) for d in (document, *saved, child)]

    profile, monitoring = under_each_engine(tmp_path, monkeypatch, outcome)
    assert len(profile) == len(monitoring) == 3
    for profile_document, monitoring_document in zip(profile, monitoring):
        assert profile_document.keys() == monitoring_document.keys()
        for key in profile_document:
            assert profile_document[key] == monitoring_document[key], key
    # The program did reach every kind of record it was written for.
    main = profile[1]  # the test's trace
    names = {(r.get("co_name"), r.get("event"), r["type"]) for r in main["frames_of_interest"]}
    for expected in [
        ("counter", "call", "frame"),
        ("catcher", "call", "frame"),
        ("leaf", "return", "frame"),
        ("boom", "return", "frame"),
        (None, None, "plugin_call"),
    ]:
        assert expected in names
    assert [r["thread"] for records in main["frames"].values() for r in records] == ["worker"] * 4
    assert [r.get("co_name") for r in profile[0]["frames_of_interest"] if r["type"] == "frame"][:1] == ["plain"]
    assert "in_child" in {r.get("co_name") for r in profile[2]["frames_of_interest"]}


OWNERSHIP = """
import cProfile, pstats, sys
from harness import Profiler, start, stop, emit, error_text
from nefa import _nefa
mon = sys.monitoring
import quiet   # under site-packages: filtered, and no plugin wants it

def recorded():
    return 1

seen = []
def count(code, offset):
    seen.append(code.co_name)

p = start()
quiet.f(); recorded()                     # the first events decide
emit(mon.get_tool(mon.PROFILER_ID))
mon.register_callback(mon.PROFILER_ID, mon.events.PY_START, count)
for _ in range(3):
    quiet.f(); recorded()
emit(sorted(seen))                         # quiet.f was switched off, recorded was not

p2 = start()                               # a new profiler starts clean
seen.clear()
mon.register_callback(mon.PROFILER_ID, mon.events.PY_START, count)
for _ in range(3):
    quiet.f()
emit(sorted(seen))
stop()
emit((mon.get_tool(mon.PROFILER_ID), mon.get_events(mon.PROFILER_ID)))

# The id is free again, and what nefa switched off is on for its next holder.
profile = cProfile.Profile()
profile.enable()
for _ in range(5):
    quiet.f()
profile.disable()
stats = pstats.Stats(profile).stats
emit(sum(calls for (path, line, name), (calls, *_rest) in stats.items() if name == "f"))

refused = Profiler()
profile = cProfile.Profile()
profile.enable()
try:
    _nefa.register_profiler(refused)
except Exception as error:
    emit(error_text(error))
profile.disable()
emit(hasattr(refused, "rust_profiler"))
"""


def test_filtered_code_is_switched_off_and_the_id_owned_and_given_back(tmp_path, monkeypatch):
    monkeypatch.setenv("NEFA_TEST_ENGINE", "monitoring")
    result = run_traced(
        tmp_path,
        OWNERSHIP,
        files={"site-packages/quiet.py": "def f():\n    return 0\n"},
    )
    tool, before_restart, after_restart, released, cprofile_calls, refusal, built = result.outputs
    assert tool == "nefa"
    assert before_restart == ["recorded"] * 3
    assert after_restart == ["f"] * 3
    assert released == (None, 0)
    assert cprofile_calls == 5
    assert refusal[0] == "RuntimeError" and "'cProfile'" in refusal[1] and "'profile' engine" in refusal[1]
    assert not built


CALLED_FROM_PYTHON = """
import sys
from harness import start, finish, emit, capture_warnings
mon = sys.monitoring

def recorded():
    return 1

p = start()
recorded()
warnings = capture_warnings()
callback = mon.register_callback(mon.PROFILER_ID, mon.events.PY_START, None)
mon.register_callback(mon.PROFILER_ID, mon.events.PY_START, callback)
code = recorded.__code__
outcomes = []
for args, keywords in [((), {}), ((code,), {}), ((code, 0, 1), {}), (("code", 0), {}), ((code, 0), {"x": 1}),
                       ((code, 0), {})]:
    try:
        outcomes.append(("returned", callback(*args, **keywords)))
    except TypeError as error:
        outcomes.append(("TypeError", "interpreter only" in str(error)))
recorded()
finish(p)
emit(outcomes)
emit([r.getMessage() for r in warnings])
"""


def test_callbacks_called_from_python_refuse_wrong_arguments_and_record_nothing(tmp_path, monkeypatch):
    # The callbacks are ours to call only through sys.monitoring; a call from
    # Python code with the right arguments is about a frame that is not the
    # running one: it is dropped, and the events around it are recorded.
    monkeypatch.setenv("NEFA_TEST_ENGINE", "monitoring")
    document, outcomes, messages = run_traced(tmp_path, CALLED_FROM_PYTHON).outputs
    assert outcomes == [("TypeError", True)] * 5 + [("returned", None)]
    assert messages == ["nefa dropped 1 event it could not record: 1 after an internal error"]
    records = decode(document)["frames_of_interest"]
    assert [(r["co_name"], r["event"]) for r in records if r["type"] == "frame"] == [
        ("recorded", "call"),
        ("recorded", "return"),
    ] * 2
