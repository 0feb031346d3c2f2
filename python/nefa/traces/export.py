"""What the exports in other tools' formats share (written by
:mod:`nefa.traces.stream_export`):

* ``chrome``: the Trace Event format read by Perfetto UI and chrome://tracing:
  a "B"/"E" pair per frame (begin and end keep their own exact timestamps,
  so nesting survives rounding), an "i" instant per plugin record, and "M"
  metadata naming the process and threads.
* ``speedscope``: speedscope's evented profile format, one profile per
  thread, with frames shared between them.

Timestamps are microseconds since the start of the trace.
"""

from __future__ import annotations

from collections.abc import Iterable

__all__ = ["PID", "SPEEDSCOPE_SCHEMA", "chrome_metadata", "micros"]

SPEEDSCOPE_SCHEMA = "https://www.speedscope.app/file-format-schema.json"
PID = 1


def micros(seconds: float, origin: float) -> float:
    # Rounding is monotonic, so a child never starts before its parent.
    return round((seconds - origin) * 1e6, 3)


def chrome_metadata(trace_id: str, command: str, threads: Iterable[tuple[int, str]]) -> list[dict]:
    """The "M" events naming the process (after the trace and ``command``)
    and each of ``threads`` ((native id, name), in the order shown)."""
    events: list = [
        {"name": "process_name", "ph": "M", "pid": PID, "tid": 0, "args": {"name": f"nefa {trace_id}: {command}"}}
    ]
    for index, (native_id, name) in enumerate(threads):
        events.append({"name": "thread_name", "ph": "M", "pid": PID, "tid": native_id, "args": {"name": name}})
        events.append(
            {"name": "thread_sort_index", "ph": "M", "pid": PID, "tid": native_id, "args": {"sort_index": index}}
        )
    return events
