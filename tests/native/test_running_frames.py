"""Call sites, frame ids and locals read from running frames.

Under sys.monitoring a recorded call is read from the interpreter's own
frame record, whose memory is reused as soon as the frame returns; a frame
object is made only where one is needed. What could go wrong there: a call
site read from a frame that is gone, an id handed to another frame at the
same address, locals read from the wrong place. The program below goes
through the cases that move frames around: generators resumed by different
callers, recursion, an exception unwinding several recorded frames, filtered
library frames between recorded ones, frame objects the program makes
itself, recording started deep in a stack.
"""

import re
import sys

import msgpack
import pytest
from nefa_native_support import decode, frame_records, run_traced
from test_engines import normalised, under_each_engine

LIBRARY = """
def call_back(function, value, depth):
    # Filtered frames between the recorded caller and the recorded callee.
    if depth == 0:
        return function(value)
    return call_back(function, value, depth - 1)
"""

PROGRAM = """
import sys
import lib
from harness import start, stop, emit

def leaf(x):
    return x + 1

def gen(n):
    for i in range(n):
        yield leaf(i)  # site: in_gen

def drive(g):
    return next(g)  # site: drive

def two_callers():
    g = gen(3)
    first = drive(g)
    second = next(g)  # site: two_callers
    return first + second

def rec(n):
    if n == 0:
        return leaf(0)  # site: rec_bottom
    return rec(n - 1)  # site: rec

def raise_at(n):
    if n == 0:
        raise KeyError(n)
    return raise_at(n - 1)

def unwind_then_call():
    try:
        raise_at(3)
    except KeyError:
        pass
    # The unwound frames' memory is where these calls run now.
    return rec(2) + leaf(5)  # site: after_unwind

def through_library():
    return lib.call_back(leaf, 3, 5)  # site: through_library

def with_frame_object(x):
    frame = sys._getframe()
    return leaf(x) + frame.f_lineno  # site: with_frame_object

def with_cells(a):
    b = a * 2
    def inner():
        return a + b
    return inner()

def many_locals(a, b, c, d, e, f, g, h, i):
    j = a + i
    return j

def containers(items):
    table = {"k": [1, 2]}
    return len(items) + len(table)

def shadowing(__builtins__, y):
    return y

def written_locals(x):
    sys._getframe().f_locals["added"] = 7
    return leaf(x)

def make_body():
    class Body:
        z = leaf(3)
    return Body

def thrown():
    try:
        yield 1
    except ValueError:
        yield leaf(2)  # site: thrown

def deep_start(depth):
    # Recording starts here: the frames below return with no call seen.
    if depth:
        return deep_start(depth - 1)
    holder.append(start())
    return leaf(0)

holder = []
deep_start(3)
two_callers()
rec(3)
unwind_then_call()
through_library()
with_frame_object(1)
with_cells(1)
many_locals(1, 2, 3, 4, 5, 6, 7, 8, 9)
written_locals(4)
containers([3, (4, 5)])
shadowing([1], 2)
make_body()
t = thrown(); next(t); t.throw(ValueError("v")); t.close()
stop()
emit(holder[0].rust_profiler.build_trace())
"""


def site_lines():
    """The line of each '# site: NAME' mark in the program (main.py's lines)."""
    lines = {}
    for number, text in enumerate(PROGRAM.splitlines(), start=1):
        if "# site: " in text:
            lines[text.split("# site: ")[1].strip()] = number
    return lines


def run(tmp_path):
    result = run_traced(tmp_path, PROGRAM, files={"site-packages/lib.py": LIBRARY})
    return decode(result.outputs[0])


def test_call_sites_and_frame_ids_follow_the_running_frames(tmp_path):
    records = frame_records(run(tmp_path)["frames_of_interest"])
    by_id = {r["frame_id"]: r for r in records if r["event"] == "call"}
    # The stack of recorded frames as the records tell it: each call's site
    # is the newest open frame, each return closes the newest open frame and
    # names its caller below it.
    stack = []
    unseen_returns = 0
    for record in records:
        site = record["user_code_call_site"]
        if record["event"] == "call":
            assert record["frame_id"] not in (entry["frame_id"] for entry in stack)
            assert (site and site["call_frame_id"]) == (stack[-1]["frame_id"] if stack else None), record
            stack.append(record)
            continue
        if record["frame_id"] is None:
            # A frame entered before recording began: no call, no id, nothing open.
            assert not stack and site is None, record
            unseen_returns += 1
            continue
        call = by_id[record["frame_id"]]
        assert stack and stack[-1] is call, record
        assert call["co_name"] == record["co_name"]
        stack.pop()
        assert (site and site["call_frame_id"]) == (stack[-1]["frame_id"] if stack else None), record
    assert stack == []
    # deep_start at depths 0..3 (the module's frame is still running at the end).
    assert unseen_returns == 4

    # The lines are those of the callers at the time of the call.
    lines = site_lines()

    def sites(co_name, event="call"):
        return [
            (by_id[r["user_code_call_site"]["call_frame_id"]]["co_name"], r["user_code_call_site"]["line_number"])
            for r in records
            if r["co_name"] == co_name and r["event"] == event and r["user_code_call_site"]
        ]

    assert sites("gen") == [("drive", lines["drive"]), ("two_callers", lines["two_callers"])]
    assert sites("drive") == [("two_callers", lines["two_callers"] - 1)]
    assert ("gen", lines["in_gen"]) in sites("leaf")
    assert (
        sites("rec")
        == [("rec", lines["rec"])] * 3 + [("unwind_then_call", lines["after_unwind"])] + [("rec", lines["rec"])] * 2
    )
    assert sites("leaf").count(("rec", lines["rec_bottom"])) == 2
    assert ("unwind_then_call", lines["after_unwind"]) in sites("leaf")
    assert ("through_library", lines["through_library"]) in sites("leaf")
    assert ("with_frame_object", lines["with_frame_object"]) in sites("leaf")
    assert ("thrown", lines["thrown"]) in sites("leaf")
    # Every frame that raised through: a return with its call's id.
    raised = [r for r in records if r["co_name"] == "raise_at"]
    assert [r["event"] for r in raised] == ["call"] * 4 + ["return"] * 4
    assert [r["frame_id"] for r in raised[4:]] == [r["frame_id"] for r in reversed(raised[:4])]


def test_locals_beyond_the_small_map_writer(tmp_path):
    records = frame_records(run(tmp_path)["frames_of_interest"])

    def returned(co_name):
        [record] = [r for r in records if r["co_name"] == co_name and r["event"] == "return"]
        return record["locals"]

    cells = returned("with_cells")
    assert cells["a"] == 1 and cells["b"] == 2 and "inner" in cells
    assert returned("many_locals") == {**{name: i for i, name in enumerate("abcdefghi", start=1)}, "j": 10}
    # Plain variables holding what only the serialiser writes; a dict of
    # locals never shows "__builtins__" (as before, when they were read
    # through the frame object).
    assert returned("containers") == {"items": [3, msgpack.ExtType(1, msgpack.packb([4, 5]))], "table": {"k": [1, 2]}}
    assert returned("shadowing") == {"y": 2}
    written = returned("written_locals")
    assert written["x"] == 4 and written["added"] == 7
    body = [r for r in records if r["co_name"] == "Body"]
    assert [r["event"] for r in body] == ["call", "return"] and body[1]["locals"]["z"] == 4
    with_object = returned("with_frame_object")
    assert with_object["x"] == 1 and "frame" in with_object


def without_addresses(value, directory):
    """The value with what differs between two runs in recorded reprs
    ('<frame at 0x7f..., file '/tmp/.../main.py'...>') blanked."""
    if isinstance(value, dict):
        return {key: without_addresses(item, directory) for key, item in value.items()}
    if isinstance(value, list):
        return [without_addresses(item, directory) for item in value]
    if isinstance(value, msgpack.ExtType):
        return (value.code, without_addresses(msgpack.unpackb(value.data, raw=False), directory))
    if isinstance(value, str):
        return re.sub(r"0x[0-9a-f]+", "0x", value).replace(str(directory), "DIR")
    return value


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is 3.12+")
@pytest.mark.profile_hook
def test_both_engines_record_running_frames_alike(tmp_path, monkeypatch):
    profile, monitoring = under_each_engine(
        tmp_path, monkeypatch, lambda directory: without_addresses(normalised(run(directory), {}), directory)
    )
    assert len(profile["frames_of_interest"]) == len(monitoring["frames_of_interest"]) > 70
    for number, (left, right) in enumerate(zip(profile["frames_of_interest"], monitoring["frames_of_interest"])):
        assert left == right, number
    assert profile == monitoring
