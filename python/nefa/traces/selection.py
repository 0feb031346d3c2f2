"""Choosing the trace a command works on: the newest, or the one named."""

from __future__ import annotations

import difflib
import os

from nefa import db

__all__ = ["TraceSelectionError", "nearest_ids", "select_trace_id"]


class TraceSelectionError(LookupError):
    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


def _common_prefix(a: str, b: str) -> int:
    return len(os.path.commonprefix([a, b]))


def nearest_ids(wanted: str, known: list[str], limit: int = 5) -> list[str]:
    """The known ids most like ``wanted``: longest shared prefix first (ids
    are time-ordered, so a prefix is how people abbreviate them), then
    whatever difflib finds close."""
    by_prefix = sorted(known, key=lambda trace_id: -_common_prefix(wanted, trace_id))
    best = _common_prefix(wanted, by_prefix[0]) if by_prefix else 0
    # "trc_" alone says nothing about closeness.
    chosen = [trace_id for trace_id in by_prefix if best > 4 and _common_prefix(wanted, trace_id) == best]
    for trace_id in difflib.get_close_matches(wanted, known, n=limit, cutoff=0.6):
        if trace_id not in chosen:
            chosen.append(trace_id)
    return chosen[:limit]


def select_trace_id(db_path, wanted: str | None, *, where: str | None = None) -> str:
    """The id of the trace to show: ``wanted`` itself, the only trace it is
    a prefix of, or the newest trace when it is None.  ``where`` names the
    database in messages."""
    where = where or str(db_path)
    try:
        traces = db.list_traces(db_path)
    except db.DatabaseNotFoundError:
        raise TraceSelectionError(f"no trace database at {where} (record a program with `nefa run SCRIPT`)") from None
    if not traces:
        raise TraceSelectionError(f"no traces stored in {where} yet (record one with `nefa run SCRIPT`)")
    if wanted is None:
        return traces[0].id
    ids = [trace.id for trace in traces]
    if wanted in ids:
        return wanted
    starting = [trace_id for trace_id in ids if trace_id.startswith(wanted)]
    if len(starting) == 1 and len(wanted) > 4:
        return starting[0]
    if len(starting) > 1 and len(wanted) > 4:
        listed = "\n  ".join(starting[:10])
        raise TraceSelectionError(f"{wanted!r} matches {len(starting)} traces in {where}:\n  {listed}")
    near = nearest_ids(wanted, ids)
    message = f"no trace {wanted!r} in {where}"
    if near:
        message += "; nearest:\n  " + "\n  ".join(near)
    else:
        message += f" (`nefa traces --db {where}` lists them)"
    raise TraceSelectionError(message)
