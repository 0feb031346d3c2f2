"""The indented call tree printed by ``nefa show``."""

from __future__ import annotations

import os
import shlex
from typing import TextIO

from nefa.traces.output import format_time, printable
from nefa.traces.tree import Frame, Thread, Trace
from nefa.traces.values import brief, brief_locals, format_span

__all__ = ["ThreadNotFoundError", "render", "select_threads", "use_color"]

_INDENT = "  "


class ThreadNotFoundError(LookupError):
    pass


class _Style:
    """ANSI styles, or nothing at all."""

    def __init__(self, enabled: bool):
        self.enabled = enabled

    def _wrap(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.enabled and text else text

    def name(self, text):
        return self._wrap("1", text)

    def path(self, text):
        return self._wrap("2", text)

    def duration(self, text):
        return self._wrap("33", text)

    def value(self, text):
        return self._wrap("36", text)

    def warning(self, text):
        return self._wrap("31", text)

    def event(self, text):
        return self._wrap("1;35", text)

    def heading(self, text):
        return self._wrap("1;4", text)


def use_color(stream: TextIO, choice: str = "auto") -> bool:
    """Colour for a terminal, unless NO_COLOR is set (https://no-color.org)."""
    if choice in ("always", "never"):
        return choice == "always"
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def select_threads(trace: Trace, wanted: str | None) -> list[Thread]:
    """Threads named ``wanted`` or with that native id; all when None."""
    if wanted is None:
        return list(trace.threads)
    chosen = [thread for thread in trace.threads if wanted in (thread.name, str(thread.native_id))]
    if not chosen:
        folded = wanted.casefold()
        chosen = [thread for thread in trace.threads if folded in thread.name.casefold()]
    if not chosen:
        known = ", ".join(printable(thread.label) for thread in trace.threads) or "none"
        raise ThreadNotFoundError(f"no thread {wanted!r} in trace {trace.trace_id} (threads: {known})")
    return chosen


def _matches(frame: Frame, needle: str) -> bool:
    return needle in frame.qualname.casefold() or needle in frame.path.casefold()


def _shown_ancestors(thread: Thread, needle: str) -> tuple[set, set]:
    """Ids of the frames matching ``needle``, and of their ancestors."""
    matched: set = set()
    ancestors: set = set()
    for frame in thread.frames():
        if _matches(frame, needle):
            matched.add(id(frame))
            parent = frame.parent
            while parent is not None and id(parent) not in ancestors:
                ancestors.add(id(parent))
                parent = parent.parent
    return matched, ancestors


def _frame_line(frame: Frame, style: _Style, hidden: int) -> str:
    # Everything recorded is escaped: a name or value must not drive the terminal.
    arguments = printable(brief_locals(frame.arguments)) if frame.shows_arguments else ""
    text = style.name(printable(frame.qualname)) + f"({arguments})"
    text += "  " + style.path(printable(frame.path)) + "  " + style.duration(format_span(frame.duration))
    if frame.returned:
        value = frame.return_value
        if value is not None:
            text += "  → " + style.value(printable(brief(value, 50)))
    return text + call_notes(style, resumed=frame.resumed, called=frame.called, returned=frame.returned,
                             hidden=hidden)


def call_notes(style: _Style, *, resumed: bool, called: bool, returned: bool, hidden: int) -> str:
    """What a call line says after its values: its marks and its hidden calls."""
    text = ""
    notes = []
    if resumed:
        notes.append("resumed")
    if not called:
        notes.append("call not recorded")
    if not returned:
        notes.append("no return recorded")
    if notes:
        text += "  " + style.warning("(" + ", ".join(notes) + ")")
    if hidden:
        text += "  " + style.path(f"[+{hidden} call{'s' if hidden != 1 else ''} below]")
    return text


def _event_line(event, style: _Style, trace_start: float) -> str:
    details = ""
    data = event.data
    # What a reader looks for first, then the rest in recorded order.
    first = [key for key in ("message", "name", "method", "url", "status", "outcome") if key in data]
    data = {key: data[key] for key in first} | data
    if data:
        details = " " + printable(brief_locals(data, width=80, each=40))
    offset = format_span(max(0.0, event.timestamp - trace_start))
    return style.event(f"◆ {printable(event.label)}") + details + "  " + style.path(f"@ +{offset}")


def _thread_lines(thread: Thread, trace: Trace, style: _Style, depth: int | None, needle: str | None):
    matched = ancestors = None
    if needle:
        matched, ancestors = _shown_ancestors(thread, needle.casefold())
        if not matched:
            return
    frames = sum(1 for _ in thread.frames())
    yield style.heading(
        f"Thread {printable(thread.label)}{' · main' if thread.is_main else ''}"
        f" · {frames} frame{'s' if frames != 1 else ''}"
        f" · {format_span((thread.end or 0) - (thread.start or 0))}"
    )
    # (node, depth, inside a matching subtree)
    stack = [(node, 0, False) for node in reversed(thread.roots)]
    while stack:
        node, level, inside = stack.pop()
        if matched is not None and not inside:
            if node.kind != "frame":
                continue
            if id(node) in matched:
                inside = True
            elif id(node) not in ancestors:
                continue
        indent = _INDENT * level
        if node.kind != "frame":
            yield indent + _event_line(node, style, trace.start)
            continue
        children = node.children
        hidden = 0
        if depth is not None and level + 1 >= depth:
            hidden = sum(1 for child in children if child.kind == "frame")
            children = ()
        yield indent + _frame_line(node, style, hidden)
        stack.extend((child, level + 1, inside) for child in reversed(children))


def _notes(trace: Trace, style: _Style) -> str:
    notes = ""
    parent = trace.meta.get("parent_trace_id")
    if isinstance(parent, str):
        notes += f"  forked from {parent}"
    if trace.cut:
        events = f"{trace.dropped_events} event{'' if trace.dropped_events == 1 else 's'}"
        notes += "  " + style.warning(f"cut at the memory budget: {events} dropped")
    return notes


def render(trace: Trace, out: TextIO, *, depth: int | None = None, needle: str | None = None,
           thread: str | None = None, color: bool = False) -> int:
    """Write the call tree of ``trace``; returns the number of lines of tree written."""
    style = _Style(color)
    threads = select_threads(trace, thread)
    started = format_time(trace.start)
    command = printable(shlex.join(trace.command_line)) if trace.command_line else "-"
    out.write(
        f"{style.name(printable(trace.trace_id))}  {command}  started {started}  {format_span(trace.duration)}"
        f"  {trace.record_count} records{_notes(trace, style)}\n"
    )
    written = 0
    for one in threads:
        batch = []
        for line in _thread_lines(one, trace, style, depth, needle):
            batch.append(line)
            if len(batch) >= 512:
                out.write("\n".join(batch) + "\n")
                written += len(batch)
                batch.clear()
        if batch:
            out.write("\n".join(batch) + "\n")
            written += len(batch)
    if needle and not written:
        out.write(f"No frame matches {printable(repr(needle))}.\n")
    return written
