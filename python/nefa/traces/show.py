"""What the terminal output of ``nefa show`` and ``nefa top`` shares: its
styles, the choice of threads, and the marks of a call line."""

from __future__ import annotations

import os
from typing import TextIO

from nefa.traces.output import printable

__all__ = ["Style", "ThreadNotFoundError", "call_notes", "select_threads", "use_color"]


class ThreadNotFoundError(LookupError):
    pass


class Style:
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


def select_threads(trace, wanted: str | None) -> list:
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


def call_notes(style: Style, *, resumed: bool, called: bool, returned: bool, hidden: int) -> str:
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
