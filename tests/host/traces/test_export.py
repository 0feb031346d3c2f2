"""``nefa export``: Chrome Trace Event JSON and speedscope files that follow
their formats' rules."""

import json
import math
from collections import defaultdict

import pytest

from nefa import cli
from nefa.traces.export import SPEEDSCOPE_SCHEMA
from nefa.traces.tree import load_trace


def export(capsys, tmp_path, database, trace_id, fmt):
    output = tmp_path / f"out.{fmt}.json"
    status = cli.main(["export", "--db", str(database), trace_id, "--format", fmt, "-o", str(output)])
    out, err = capsys.readouterr()
    assert (status, err) == (0, "") and out.strip().endswith(output.name)
    # Strict JSON: no NaN / Infinity, which browsers refuse.
    return json.loads(output.read_text(), parse_constant=lambda name: pytest.fail(f"{name} in JSON"))


def check_chrome(document):
    """The Trace Event rules a viewer relies on; returns the "B" events by thread."""
    assert isinstance(document["traceEvents"], list)
    begun = defaultdict(list)
    named_threads = set()
    process_named = False
    last_ts = {}
    stacks = defaultdict(list)
    for event in document["traceEvents"]:
        assert {"ph", "pid", "tid"} <= event.keys()
        phase, tid = event["ph"], event["tid"]
        if phase == "M":
            assert event["name"] in ("process_name", "thread_name", "thread_sort_index")
            assert isinstance(event["args"], dict)
            process_named |= event["name"] == "process_name"
            if event["name"] == "thread_name":
                assert isinstance(event["args"]["name"], str)
                named_threads.add(tid)
            continue
        ts = event["ts"]
        assert isinstance(ts, (int, float)) and math.isfinite(ts) and ts >= 0
        assert ts >= last_ts.get(tid, 0), "timestamps of a thread must not go back"
        last_ts[tid] = ts
        if phase == "B":
            assert isinstance(event["name"], str) and event["name"]
            stacks[tid].append(event)
            begun[tid].append(event)
        elif phase == "E":
            assert stacks[tid], "E without B"
            stacks[tid].pop()
        elif phase == "i":
            assert event["s"] in ("g", "p", "t") and event["name"]
        else:
            pytest.fail(f"unexpected phase {phase!r}")
    assert process_named
    assert all(not stack for stack in stacks.values()), "B without E"
    assert set(last_ts) <= named_threads
    return begun


def check_speedscope(document):
    assert document["$schema"] == SPEEDSCOPE_SCHEMA
    frames = document["shared"]["frames"]
    assert all(isinstance(frame["name"], str) for frame in frames)
    assert 0 <= document["activeProfileIndex"] < len(document["profiles"])
    for profile in document["profiles"]:
        assert profile["type"] == "evented" and profile["unit"] == "microseconds"
        assert isinstance(profile["name"], str)
        stack = []
        at = profile["startValue"]
        for event in profile["events"]:
            assert event["type"] in ("O", "C")
            assert 0 <= event["frame"] < len(frames)
            assert event["at"] >= at, "events must be in time order"
            at = event["at"]
            if event["type"] == "O":
                stack.append(event["frame"])
            else:
                assert stack and stack.pop() == event["frame"], "frames must close in the order they opened"
        assert not stack
        assert at <= profile["endValue"]
    return frames


class TestChrome:
    def test_recorded_trace(self, capsys, tmp_path, recorded):
        document = export(capsys, tmp_path, *recorded, "chrome")
        begun = check_chrome(document)
        trace = load_trace(*recorded)
        assert sorted(begun) == sorted(thread.native_id for thread in trace.threads)
        assert sum(len(events) for events in begun.values()) == sum(1 for _ in trace.frames())
        fail = next(e for events in begun.values() for e in events if e["name"] == "__main__.fail")
        assert fail["args"]["arguments"] == {"reason": "'boom'"} and fail["args"]["path"] == "program.py:8"
        names = {e["args"]["name"] for e in document["traceEvents"] if e.get("name") == "thread_name"}
        assert names == {"MainThread", "helper"}

    def test_values_and_plugin_records(self, capsys, tmp_path, shop):
        document = export(capsys, tmp_path, shop, "trc_01SHOP", "chrome")
        begun = check_chrome(document)
        (checkout,) = [e for e in begun[1] if e["name"] == "shop.Cart.checkout"]
        assert checkout["args"]["return"] == "{'total': 42.5}"
        assert checkout["args"]["arguments"]["coupon"] == "'SAVE10'"
        (log,) = [e for e in document["traceEvents"] if e["ph"] == "i"]
        # Epoch timestamps as doubles are good to a fraction of a microsecond.
        assert (log["name"], log["tid"]) == ("log", 1) and log["ts"] == pytest.approx(5000, abs=1)
        assert log["args"]["message"] == "'charged card'"
        ends = [e["ts"] for e in document["traceEvents"] if e["ph"] == "E" and e["tid"] == 1]
        assert ends == pytest.approx([4000, 6000, 10000], abs=1)


class TestSpeedscope:
    def test_recorded_trace(self, capsys, tmp_path, recorded):
        document = export(capsys, tmp_path, *recorded, "speedscope")
        frames = check_speedscope(document)
        # Frames are shared: fib is one frame however often it ran.
        assert [frame["name"] for frame in frames].count("__main__.fib") == 1
        assert [profile["name"].split(" (")[0] for profile in document["profiles"]] == ["MainThread", "helper"]

    def test_unbalanced_stream_is_closed(self, capsys, tmp_path, records, pack, store):
        thread = records()
        inner = thread.call("app.inner", 0.1)
        thread.ret("app.inner", 0.2, inner)
        thread.ret("app.started_before", 0.3, "frm_gone")
        thread.call("app.never_returns", 0.4)
        thread.call("app.neither", 0.5)
        database = store("trc_unbalanced", pack(thread, trace_id="trc_unbalanced"))
        document = export(capsys, tmp_path, database, "trc_unbalanced", "speedscope")
        check_speedscope(document)
        (profile,) = document["profiles"]
        assert len(profile["events"]) == 8
        check_chrome(export(capsys, tmp_path, database, "trc_unbalanced", "chrome"))


def test_output_to_standard_output(capfd, shop):
    status = cli.main(["export", "--db", str(shop), "--format", "speedscope", "-o", "-"])
    out, _ = capfd.readouterr()
    assert status == 0
    check_speedscope(json.loads(out))
