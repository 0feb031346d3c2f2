"""``nefa view``: one self-contained HTML page showing a trace as a flame chart.

The page embeds two JSON blobs.  The first is what drawing needs, kept
compact: per thread, one array per field (start, duration, depth, ...)
with every text (names, paths, short values) replaced by its index in a
shared string table.  The second holds the full recorded values; the page
parses it only when a frame is first clicked.  Script and style are
inlined from ``viewer_format.js``, ``viewer.js`` and ``viewer.css``: the page needs no network.
"""

from __future__ import annotations

import html
import json
import re
import shlex
from importlib import resources
from pathlib import Path

from nefa.traces.output import open_private
from nefa.traces.tree import Frame, Thread, Trace
from nefa.traces.values import FORM_KEY, brief, brief_locals, jsonable
from nefa.version import __version__

__all__ = ["build_view_data", "render_html", "write_view"]

# A value bigger than this (as JSON) is shown cut, to keep pages loadable.
_MAX_VALUE_JSON = 20_000
_FLAG_NO_CALL, _FLAG_NO_RETURN, _FLAG_RESUMED = 1, 2, 4


class _Strings:
    def __init__(self):
        self.table: list[str] = []
        self.index: dict[str, int] = {}

    def __call__(self, text: str | None) -> int:
        if text is None:
            return -1
        found = self.index.get(text)
        if found is None:
            found = self.index[text] = len(self.table)
            self.table.append(text)
        return found


def _full(value):
    converted = jsonable(value)
    text = json.dumps(converted, ensure_ascii=False, allow_nan=False)
    if len(text) <= _MAX_VALUE_JSON:
        return converted
    return {FORM_KEY: "text", "text": brief(value, _MAX_VALUE_JSON) + f" ({len(text)} characters as JSON: cut)"}


def _micros(seconds: float, origin: float) -> float:
    return round((seconds - origin) * 1e6, 3)


def _thread_data(thread: Thread, origin: float, strings: _Strings) -> tuple[dict, dict]:
    frames = {key: [] for key in ("start", "dur", "depth", "name", "path", "parent", "args", "ret", "flags")}
    events = {key: [] for key in ("at", "depth", "label", "text", "parent")}
    full_frames: list = []
    full_events: list = []
    position: dict[int, int] = {}
    max_depth = 0
    for node, depth in thread.nodes():
        parent = position.get(id(node.parent), -1) if node.parent is not None else -1
        if node.kind != "frame":
            data = node.data
            events["at"].append(_micros(node.timestamp, origin))
            events["depth"].append(depth)
            events["label"].append(strings(node.label))
            events["text"].append(strings(brief_locals(data, width=100, each=40) if data else ""))
            events["parent"].append(parent)
            full_events.append(_full(data))
            continue
        frame: Frame = node
        position[id(frame)] = len(frames["start"])
        max_depth = max(max_depth, depth)
        start = _micros(frame.start, origin)
        frames["start"].append(start)
        frames["dur"].append(round(_micros(frame.end, origin) - start, 3))
        frames["depth"].append(depth)
        frames["name"].append(strings(frame.qualname))
        frames["path"].append(strings(frame.path))
        frames["parent"].append(parent)
        frames["args"].append(strings(brief_locals(frame.arguments, width=80)) if frame.shows_arguments else -1)
        returned = frame.returned and frame.has_values
        frames["ret"].append(strings(brief(frame.return_value, 60)) if returned else -1)
        frames["flags"].append(
            (0 if frame.called else _FLAG_NO_CALL)
            | (0 if frame.returned else _FLAG_NO_RETURN)
            | (_FLAG_RESUMED if frame.resumed else 0)
        )
        if frame.has_values:
            full_frames.append([
                _full(frame.arguments),
                _full(frame.locals),
                _full(frame.return_value) if frame.returned else None,
            ])
        else:
            full_frames.append(None)
    data = {
        "id": thread.native_id,
        "name": thread.name,
        "main": thread.is_main,
        "maxDepth": max_depth,
        "start": _micros(thread.start if thread.start is not None else origin, origin),
        "end": _micros(thread.end if thread.end is not None else origin, origin),
        "frames": frames,
        "events": events,
    }
    return data, {"frames": full_frames, "events": full_events}


def build_view_data(trace: Trace) -> tuple[dict, dict]:
    """(what the page draws, the full values it shows on click)."""
    strings = _Strings()
    threads = []
    values = []
    for thread in trace.threads:
        data, full = _thread_data(thread, trace.start, strings)
        threads.append(data)
        values.append(full)
    data = {
        "trace": {
            "id": trace.trace_id,
            "command": shlex.join(trace.command_line),
            "start": trace.start,
            "duration": _micros(trace.end, trace.start),
            "records": trace.record_count,
            "commit": trace.commit_sha,
            "version": __version__,
        },
        "strings": strings.table,
        "threads": threads,
    }
    return data, {"threads": values}


def _script_json(value) -> str:
    # Inside <script>: "<" escaped so no "</script>" can end the block early.
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def _asset(name: str) -> str:
    return resources.files("nefa.traces").joinpath(name).read_text(encoding="utf-8")


def render_html(trace: Trace) -> str:
    data, values = build_view_data(trace)
    pieces = {
        "TITLE": html.escape(f"{trace.trace_id} · {shlex.join(trace.command_line)}"),
        "CSS": _asset("viewer.css"),
        "JS": _asset("viewer_format.js") + "\n" + _asset("viewer.js"),
        "DATA": _script_json(data),
        "VALUES": _script_json(values),
    }
    # One pass, so that nothing inserted is itself searched for markers.
    return re.sub(r"%%([A-Z]+)%%", lambda match: pieces[match.group(1)], _asset("viewer.html"))


def write_view(trace: Trace, path) -> Path:
    """Write the page; it holds recorded values, so only its owner may read it."""
    path = Path(path)
    page = render_html(trace)
    with open_private(path) as out:
        out.write(page)
    return path
