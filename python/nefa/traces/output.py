"""What the command line writes: text safe for a terminal, files only the
user can read."""

from __future__ import annotations

import hashlib
import math
import os
import re
import stat
import time
from pathlib import Path

__all__ = ["file_name_for", "format_time", "open_private", "printable"]

# C0 controls, DEL and C1 controls (ESC and CSI among them: a recorded value
# could otherwise move the cursor, retitle the window or hide lines), and
# lone surrogates, which no terminal encoding can write.
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")


def _escape(match: re.Match) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}"


def printable(text, *, lines: bool = False) -> str:
    """``text`` with every control character written as its escape
    (``\\x1b``); with ``lines``, line breaks are kept."""
    text = str(text)
    if lines:
        return "\n".join(_UNPRINTABLE.sub(_escape, line) for line in text.split("\n"))
    return _UNPRINTABLE.sub(_escape, text)


def format_time(timestamp, pattern: str = "%Y-%m-%d %H:%M:%S") -> str:
    """A stored epoch timestamp in local time, or "-" when it is not a time."""
    if isinstance(timestamp, bool) or not isinstance(timestamp, (int, float)) or not math.isfinite(timestamp):
        return "-"
    try:
        return time.strftime(pattern, time.localtime(timestamp))
    except (OverflowError, OSError, ValueError):
        return "-"


# A trace id that may stand as a file name as it is: no separator, no
# leading dot, nothing a shell or a terminal would make more of.
_PLAIN_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,99}")


def file_name_for(trace_id: str, suffix: str) -> str:
    """The name of a file written for ``trace_id`` by default: the id itself
    when it is a plain name, otherwise one made from its digest (an id is
    text from the database, and old ones were never checked)."""
    if _PLAIN_NAME.fullmatch(trace_id):
        return trace_id + suffix
    digest = hashlib.sha256(trace_id.encode("utf-8", "surrogatepass")).hexdigest()[:16]
    return f"trace-{digest}{suffix}"


def open_private(path, mode: str = "w"):
    """Open ``path`` for writing as a file only its owner can read (0600,
    whatever the umask, also when it already existed).  No directory is
    made: a missing one is the caller's error.  Anything that is not a
    regular file (a device such as ``/dev/null``, a pipe) is written as it
    is, its mode untouched."""
    path = Path(path)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0), 0o600)
    try:
        if stat.S_ISREG(os.fstat(fd).st_mode):
            os.fchmod(fd, 0o600)
        return os.fdopen(fd, mode, encoding="utf-8")
    except BaseException:
        os.close(fd)
        raise
