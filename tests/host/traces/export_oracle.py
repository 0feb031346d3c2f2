"""The exports built from a trace read whole (:func:`nefa.traces.load_trace`):
what the streamed export (:mod:`nefa.traces.stream_export`) must read back
equal to.  Test helpers, not the product's code."""

from __future__ import annotations

import shlex

from nefa.traces.export import PID, SPEEDSCOPE_SCHEMA, micros
from nefa.traces.tree import Frame, Thread, Trace
from nefa.traces.values import brief
from nefa.version import __version__

_VALUE_WIDTH = 200


def _frame_args(frame: Frame, values: bool) -> dict:
    args = {"path": frame.path, "qualname": frame.qualname}
    if frame.frame_id:
        args["frame_id"] = frame.frame_id
    if values and frame.has_values:
        arguments = frame.arguments
        if isinstance(arguments, dict) and frame.shows_arguments:
            args["arguments"] = {str(name): brief(value, _VALUE_WIDTH) for name, value in arguments.items()}
        if frame.returned:
            args["return"] = brief(frame.return_value, _VALUE_WIDTH)
    for flag, note in (
        (frame.resumed, "resumed"),
        (not frame.called, "call not recorded"),
        (not frame.returned, "no return recorded"),
    ):
        if flag:
            args.setdefault("notes", []).append(note)
    return args


def _thread_events(thread: Thread, origin: float, values: bool) -> list:
    tid = thread.native_id
    events = []
    # (node, exiting?) pairs: a frame is visited once entering, once leaving.
    stack = [(node, False) for node in reversed(thread.roots)]
    while stack:
        node, leaving = stack.pop()
        if node.kind != "frame":
            events.append(
                {
                    "name": node.label,
                    "cat": "plugin",
                    "ph": "i",
                    "s": "t",
                    "ts": micros(node.timestamp, origin),
                    "pid": PID,
                    "tid": tid,
                    "args": {key: brief(value, _VALUE_WIDTH) for key, value in node.data.items()},
                }
            )
        elif leaving:
            events.append({"ph": "E", "ts": micros(node.end, origin), "pid": PID, "tid": tid})
        else:
            events.append(
                {
                    "name": node.qualname,
                    "cat": "frame",
                    "ph": "B",
                    "ts": micros(node.start, origin),
                    "pid": PID,
                    "tid": tid,
                    "args": _frame_args(node, values),
                }
            )
            stack.append((node, True))
            stack.extend((child, False) for child in reversed(node.children))
    return events


def chrome_trace(trace: Trace, *, values: bool = True) -> dict:
    command = shlex.join(trace.command_line) if trace.command_line else trace.trace_id
    # Built here, not by the exporter's own helper, so that its events are checked too.
    events: list = [
        {"name": "process_name", "ph": "M", "pid": PID, "tid": 0, "args": {"name": f"nefa {trace.trace_id}: {command}"}}
    ]
    for index, thread in enumerate(trace.threads):
        tid = thread.native_id
        events.append({"name": "thread_name", "ph": "M", "pid": PID, "tid": tid, "args": {"name": thread.name}})
        events.append({"name": "thread_sort_index", "ph": "M", "pid": PID, "tid": tid, "args": {"sort_index": index}})
    for thread in trace.threads:
        events.extend(_thread_events(thread, trace.start, values))
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {
            "trace_id": trace.trace_id,
            "command_line": command,
            "start_epoch_seconds": trace.start,
            "exporter": f"nefa {__version__}",
        },
    }


def speedscope_profile(trace: Trace) -> dict:
    frames: list = []
    index_of: dict = {}

    def frame_index(frame: Frame) -> int:
        key = (frame.qualname, frame.file, frame.line)
        found = index_of.get(key)
        if found is None:
            found = index_of[key] = len(frames)
            entry = {"name": frame.qualname, "file": frame.file}
            if frame.line is not None:
                entry["line"] = frame.line
            frames.append(entry)
        return found

    profiles = []
    origin = trace.start
    for thread in trace.threads:
        events = []
        stack = [(node, False) for node in reversed(thread.roots) if node.kind == "frame"]
        while stack:
            frame, leaving = stack.pop()
            if leaving:
                events.append({"type": "C", "frame": frame_index(frame), "at": micros(frame.end, origin)})
            else:
                events.append({"type": "O", "frame": frame_index(frame), "at": micros(frame.start, origin)})
                stack.append((frame, True))
                stack.extend((child, False) for child in reversed(frame.children) if child.kind == "frame")
        start = micros(thread.start if thread.start is not None else origin, origin)
        end = micros(thread.end if thread.end is not None else origin, origin)
        profiles.append(
            {
                "type": "evented",
                "name": thread.label,
                "unit": "microseconds",
                "startValue": min([start] + [event["at"] for event in events[:1]]),
                "endValue": max([end] + [event["at"] for event in events[-1:]]),
                "events": events,
            }
        )
    return {
        "$schema": SPEEDSCOPE_SCHEMA,
        "shared": {"frames": frames},
        "profiles": profiles,
        "name": f"{trace.trace_id} {shlex.join(trace.command_line)}".strip(),
        "activeProfileIndex": 0,
        "exporter": f"nefa {__version__}",
    }
