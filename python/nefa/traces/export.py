"""Traces in other tools' formats.

* ``chrome``: the Trace Event format read by Perfetto UI and chrome://tracing:
  a "B"/"E" pair per frame (begin and end keep their own exact timestamps,
  so nesting survives rounding), an "i" instant per plugin record, and "M"
  metadata naming the process and threads.
* ``speedscope``: speedscope's evented profile format, one profile per
  thread, with frames shared between them.

Timestamps are microseconds since the start of the trace.
"""

from __future__ import annotations

import json
import shlex

from nefa.traces.output import open_private
from nefa.traces.tree import Frame, Thread, Trace
from nefa.traces.values import brief
from nefa.version import __version__

__all__ = ["FORMATS", "chrome_trace", "speedscope_profile", "write_export"]

SPEEDSCOPE_SCHEMA = "https://www.speedscope.app/file-format-schema.json"
_PID = 1
_VALUE_WIDTH = 200


def _micros(seconds: float, origin: float) -> float:
    # Rounding is monotonic, so a child never starts before its parent.
    return round((seconds - origin) * 1e6, 3)


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
    for flag, note in ((frame.resumed, "resumed"), (not frame.called, "call not recorded"),
                       (not frame.returned, "no return recorded")):
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
            events.append({
                "name": node.label, "cat": "plugin", "ph": "i", "s": "t",
                "ts": _micros(node.timestamp, origin), "pid": _PID, "tid": tid,
                "args": {key: brief(value, _VALUE_WIDTH) for key, value in node.data.items()},
            })
        elif leaving:
            events.append({"ph": "E", "ts": _micros(node.end, origin), "pid": _PID, "tid": tid})
        else:
            events.append({
                "name": node.qualname, "cat": "frame", "ph": "B", "ts": _micros(node.start, origin),
                "pid": _PID, "tid": tid, "args": _frame_args(node, values),
            })
            stack.append((node, True))
            stack.extend((child, False) for child in reversed(node.children))
    return events


def chrome_trace(trace: Trace, *, values: bool = True) -> dict:
    command = shlex.join(trace.command_line) if trace.command_line else trace.trace_id
    events: list = [{"name": "process_name", "ph": "M", "pid": _PID, "tid": 0,
                     "args": {"name": f"nefa {trace.trace_id}: {command}"}}]
    for index, thread in enumerate(trace.threads):
        events.append({"name": "thread_name", "ph": "M", "pid": _PID, "tid": thread.native_id,
                       "args": {"name": thread.name}})
        events.append({"name": "thread_sort_index", "ph": "M", "pid": _PID, "tid": thread.native_id,
                       "args": {"sort_index": index}})
    for thread in trace.threads:
        events.extend(_thread_events(thread, trace.start, values))
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {"trace_id": trace.trace_id, "command_line": command, "start_epoch_seconds": trace.start,
                      "exporter": f"nefa {__version__}"},
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
                events.append({"type": "C", "frame": frame_index(frame), "at": _micros(frame.end, origin)})
            else:
                events.append({"type": "O", "frame": frame_index(frame), "at": _micros(frame.start, origin)})
                stack.append((frame, True))
                stack.extend((child, False) for child in reversed(frame.children) if child.kind == "frame")
        start = _micros(thread.start if thread.start is not None else origin, origin)
        end = _micros(thread.end if thread.end is not None else origin, origin)
        profiles.append({
            "type": "evented", "name": thread.label, "unit": "microseconds",
            "startValue": min([start] + [event["at"] for event in events[:1]]),
            "endValue": max([end] + [event["at"] for event in events[-1:]]),
            "events": events,
        })
    return {
        "$schema": SPEEDSCOPE_SCHEMA,
        "shared": {"frames": frames},
        "profiles": profiles,
        "name": f"{trace.trace_id} {shlex.join(trace.command_line)}".strip(),
        "activeProfileIndex": 0,
        "exporter": f"nefa {__version__}",
    }


FORMATS = {
    "chrome": lambda trace: chrome_trace(trace),
    "speedscope": speedscope_profile,
}


def write_export(trace: Trace, format_name: str, path) -> None:
    """Write the export to ``path`` (a file only its owner may read: it holds
    recorded values), or to ``path`` itself when it is an open text file."""
    document = FORMATS[format_name](trace)
    if hasattr(path, "write"):
        _dump(document, path)
        return
    with open_private(path) as out:
        _dump(document, out)


def _dump(document, out) -> None:
    json.dump(document, out, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    out.write("\n")
