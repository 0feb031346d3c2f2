"""The table printed by ``nefa traces``."""

from __future__ import annotations

import math
import shlex
from collections.abc import Sequence

from nefa.store.catalog import TraceSummary
from nefa.traces.output import format_time, printable

_MAX_COMMAND = 80


def format_duration(seconds: float) -> str:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not math.isfinite(seconds):
        return "-"
    if seconds < 1:
        return f"{seconds * 1000:.0f} ms"
    if seconds < 120:
        return f"{seconds:.2f} s"
    minutes, rest = divmod(int(round(seconds)), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h{minutes:02d}m{rest:02d}s" if hours else f"{minutes}m{rest:02d}s"


def _command(argv: list[str]) -> str:
    text = printable(shlex.join(argv)) if argv else "-"
    if len(text) > _MAX_COMMAND:
        text = text[: _MAX_COMMAND - 3] + "..."
    return text


def format_listing(traces: Sequence[TraceSummary]) -> str:
    """An aligned table, one trace per line, in the order given (local times)."""
    header = ("TRACE ID", "STARTED", "RECORDS", "THREADS", "DURATION", "COMMAND")
    rows = [
        (
            printable(trace.id),
            format_time(trace.start_timestamp),
            f"{trace.record_count} (cut, {trace.dropped_events} dropped)" if trace.cut else str(trace.record_count),
            str(trace.thread_count),
            format_duration(trace.duration),
            _command(trace.command_line),
        )
        for trace in traces
    ]
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header))]
    # Numbers read best right-aligned; the last column is not padded.
    right = {2, 3, 4}
    lines = []
    for row in (header, *rows):
        cells = [
            cell.rjust(widths[i]) if i in right else cell.ljust(widths[i]) if i < len(row) - 1 else cell
            for i, cell in enumerate(row)
        ]
        lines.append("  ".join(cells))
    return "\n".join(lines)
