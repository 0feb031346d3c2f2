"""The stored traces, listed and looked up by id.

One row per trace in ``traces`` carries what a listing needs, so that a
listing never decodes a document.
"""

from __future__ import annotations

import json
from dataclasses import dataclass

from nefa.store import connections
from nefa.store.errors import TraceNotFoundError

__all__ = ["TraceSummary", "get_trace", "list_traces"]


@dataclass(frozen=True)
class TraceSummary:
    """A stored trace, as listed."""

    id: str
    created_at: float
    updated_at: float
    command_line: list[str]
    source: str | None
    commit_sha: str | None
    start_timestamp: float
    duration: float
    record_count: int
    thread_count: int
    part_count: int
    cut: bool = False
    dropped_events: int = 0
    parent_trace_id: str | None = None


_SUMMARY_COLUMNS = (
    "id, created_at, updated_at, command_line, source, commit_sha, start_timestamp, duration,"
    " record_count, thread_count, part_count, cut, dropped_events, parent_trace_id"
)


def _summary(row) -> TraceSummary:
    (id_, created, updated, argv, source, sha, start, duration, records, threads, parts, cut, dropped, parent) = row
    try:
        command_line = json.loads(argv)
    except ValueError:
        command_line = [argv]
    return TraceSummary(
        id_,
        created,
        updated,
        command_line,
        source,
        sha,
        start,
        duration,
        records,
        threads,
        parts,
        bool(cut),
        dropped,
        parent,
    )


def list_traces(db_path, *, limit: int | None = None, timeout: float = 60) -> list[TraceSummary]:
    """Stored traces, the most recently started first."""
    if limit is not None and (type(limit) is not int or limit < 0):
        raise ValueError(f"limit must be a whole number, 0 or more, not {limit!r}")
    conn = connections.connect(db_path, timeout=timeout, create=False)
    try:
        rows = conn.execute(
            f"SELECT {_SUMMARY_COLUMNS} FROM traces ORDER BY start_timestamp DESC, rowid DESC LIMIT ?",
            (-1 if limit is None else limit,),
        ).fetchall()
    finally:
        conn.close()
    return [_summary(row) for row in rows]


def get_trace(db_path, trace_id: str, *, timeout: float = 60) -> TraceSummary:
    conn = connections.connect(db_path, timeout=timeout, create=False)
    try:
        row = conn.execute(f"SELECT {_SUMMARY_COLUMNS} FROM traces WHERE id = ?", (trace_id,)).fetchone()
    finally:
        conn.close()
    if row is None:
        raise TraceNotFoundError(f"no trace {trace_id!r} in {db_path}")
    return _summary(row)
