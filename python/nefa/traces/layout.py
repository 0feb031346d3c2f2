"""What a flame chart shows of a time window, read from the call index.

Calls of one thread at one depth never overlap, so a row of the chart is
the calls of one (thread, depth) in start order, which its lane blocks
(``call_lanes``, see :mod:`nefa.traces.lanes`) give in (end, id) order,
each part's merged.  The walk skips: after a call narrower than a pixel it
jumps to the first call that ends past the pixel column that call ends in,
so it visits about one call per pixel column plus the wide calls, however
many calls the window holds.  Narrow calls closer than a pixel to each
other are merged into blocks here; a row therefore has at most one item
per pixel column.

The walk runs natively (:func:`nefa._native.layout_window`) through the
connection's own handle where it can, reading a call's row only where the
blocks cannot tell whether it is wide, half the rows on a second
connection, and writes the JSON the page reads; the server keeps the rows
it walked, and a pan at the same scale walks only what they lack.  The
same walk in Python, a call read a query, serves everywhere else.
"""

from __future__ import annotations

import json
import math
import sqlite3
from array import array
from bisect import bisect_right
from dataclasses import dataclass

from nefa import _native
from nefa.store import connections
from nefa.store.errors import DatabaseError, IndexDamagedError
from nefa.store.index_tables import create_layout_indexes
from nefa.traces.lanes import decode_block

__all__ = ["Window", "create_layout_indexes", "ensure_layout_indexes", "open_helper", "window", "window_json"]


def ensure_layout_indexes(conn: sqlite3.Connection) -> None:
    """Adds the indexes where this connection's call table lacks them: a
    TEMP table (read-only database) gets them for this connection."""
    temp = conn.execute("SELECT count(*) FROM sqlite_temp_master WHERE name = 'calls' AND type = 'table'").fetchone()[0]
    master = "sqlite_temp_master" if temp else "sqlite_master"
    found = conn.execute(f"SELECT count(*) FROM {master} WHERE name = 'events_by_time'").fetchone()[0]
    if not found:
        if not temp:
            raise DatabaseError(
                "the database predates the viewer's indexes and cannot be written:"
                " run any nefa command on it with write access once"
            )
        create_layout_indexes(conn, temporary=True)


_LANE = (
    "SELECT last_end, ends, ids FROM call_lanes WHERE trace_key = ? AND thread_native_id = ? AND depth = ?"
    " AND part_index = ? AND last_end > ? ORDER BY last_end, first_id"
)
_CALL = "SELECT id, start, duration, name_id, path_id, line, flags, resumed FROM calls WHERE trace_key = ? AND id = ?"


class _PartLane:
    """One part's frames of a lane in (end, id) order, a block row at a time."""

    def __init__(self, conn: sqlite3.Connection, key: int, thread: int, depth: int, part: int):
        self.conn = conn
        self.args = (key, thread, depth, part)
        self.rows: sqlite3.Cursor | None = None
        self.ends: array | None = None
        self.ids: array | None = None
        self.at = 0

    def seek(self, after: int) -> bool:
        """On to the first frame that ends after ``after``."""
        self.rows = self.conn.execute(_LANE, (*self.args, after))
        if not self._fetch():
            return False
        self.at = bisect_right(self.ends, after)  # type: ignore[arg-type]  # _fetch found a block
        return True

    def next(self) -> bool:
        if self.ends is None:
            return False
        self.at += 1
        return self.at < len(self.ends) or self._fetch()

    def advance(self, after: int) -> bool:
        """From the current frame on, to the first that ends after ``after``."""
        if self.ends is None:
            return False
        if self.ends[self.at] > after:
            return True
        if self.ends[-1] > after:
            self.at = bisect_right(self.ends, after, self.at)
            return True
        if not self._fetch():
            return False
        if self.ends[-1] > after:
            self.at = bisect_right(self.ends, after)
            return True
        return self.seek(after)

    @property
    def frame(self) -> tuple[int, int]:
        return self.ends[self.at], self.ids[self.at]  # type: ignore[index]  # read only while a block is loaded

    def _fetch(self) -> bool:
        row = self.rows.fetchone()  # type: ignore[union-attr]  # seek runs the query first
        self.ends = self.ids = None
        if row is None:
            return False
        self.ends, self.ids = decode_block(*row)
        self.at = 0
        return True


class _Lane:
    """A lane's frames over all parts, in (end, id) order."""

    def __init__(self, parts: list[_PartLane]):
        self.parts = parts
        self.current: _PartLane | None = None

    def _pick(self) -> bool:
        live = [part for part in self.parts if part.ends is not None]
        self.current = min(live, key=lambda part: part.frame) if live else None
        return self.current is not None

    def seek(self, after: int) -> bool:
        for part in self.parts:
            part.seek(after)
        return self._pick()

    def next(self) -> bool:
        self.current.next()  # type: ignore[union-attr]  # called only after a seek that found a frame
        return self._pick()

    def advance(self, after: int) -> bool:
        for part in self.parts:
            part.advance(after)
        return self._pick()


def _walk_row(conn, lane: _Lane, key: int, t0: int, t1: int, px: float, most: int) -> list:
    """A row's calls as the page draws them: after a wide call the next
    one; after a narrow one, the first that ends past the pixel column it
    ends in (the calls it skips lie inside that column)."""
    walked = []
    have = lane.seek(t0)
    for _ in range(most):
        if not have:
            break
        call = conn.execute(_CALL, (key, lane.current.frame[1])).fetchone()  # type: ignore[union-attr]  # have: a frame is current
        if call is None:
            raise IndexDamagedError("a lane block names a call that is not there")
        call_id, start, duration = call[:3]
        if start >= t1:
            break
        walked.append(call)
        if duration >= px:
            have = lane.next()
        else:
            boundary = t0 + (int((max(start + duration, t0) - t0) / px) + 1) * px
            have = lane.advance(math.ceil(boundary) - 1)
    return walked


_EVENTS = """
WITH RECURSIVE walk(id, start, name_id) AS (
    SELECT c.id, c.start, c.name_id FROM calls c WHERE c.trace_key = :key AND c.id =
        (SELECT id FROM calls INDEXED BY events_by_time WHERE trace_key = :key AND thread_native_id = :thread
         AND kind IS NOT NULL AND start >= :t0 ORDER BY start, id LIMIT 1)
    UNION ALL
    SELECT c.id, c.start, c.name_id FROM walk w JOIN calls c ON c.trace_key = :key AND c.id =
        (SELECT id FROM calls INDEXED BY events_by_time WHERE trace_key = :key AND thread_native_id = :thread
         AND kind IS NOT NULL AND start >= :t0 + (CAST((w.start - :t0) / :px AS INTEGER) + 1) * :px
         ORDER BY start, id LIMIT 1)
    WHERE w.start < :t1
    LIMIT :most
)
SELECT * FROM walk WHERE start < :t1
"""


@dataclass
class Row:
    """One (thread, depth) row of a window: the calls at least a pixel
    wide, [id, start, duration, name_id, path_id, line, flags], and blocks
    [start, end, calls seen] of the narrower ones."""

    depth: int
    calls: list
    blocks: list


@dataclass
class Window:
    rows: list[Row]
    events: list  # [id, start, name_id], at most one per pixel column
    visited: int  # calls the walks read


_RESUMED = 4  # added to a call's flags: a generator or coroutine resumed


def _merge(walked: list, px: float) -> tuple[list, list]:
    calls: list = []
    blocks: list = []
    block = None
    for call_id, start, duration, name_id, path_id, line, flags, resumed in walked:
        if duration >= px:
            calls.append([call_id, start, duration, name_id, path_id, line, flags | (_RESUMED if resumed else 0)])
            block = None
            continue
        end = start + duration
        if block is not None and start - block[1] < px:
            block[1] = max(block[1], end)
            block[2] += 1
        else:
            block = [start, end, 1]
            blocks.append(block)
    return calls, blocks


def _bounds(t0: int, t1: int, width: int) -> tuple[int, int, float, int]:
    width = max(1, min(int(width), 20_000))
    t1 = max(t1, t0 + 1)
    # A bound on the walk, should the index disagree with itself.
    return t1, width, (t1 - t0) / width, 4 * width + 64


def _walked(conn, key: int, thread: int, depths: range, t0: int, t1: int, width: int) -> Window:
    t1, width, px, most = _bounds(t0, t1, width)
    params = {"key": key, "thread": thread, "t0": t0, "t1": t1, "px": px, "most": most}
    parts = [
        part
        for (part,) in conn.execute(
            "SELECT part_index FROM call_index_parts WHERE trace_key = ? ORDER BY part_index", (key,)
        )
    ]
    rows = []
    visited = 0
    for depth in depths:
        lane = _Lane([_PartLane(conn, key, thread, depth, part) for part in parts])
        walked = _walk_row(conn, lane, key, t0, t1, px, most)
        if not walked:
            continue
        visited += len(walked)
        calls, blocks = _merge(walked, px)
        rows.append(Row(depth, calls, blocks))
    events = [list(event) for event in conn.execute(_EVENTS, params)]
    return Window(rows, events, visited + len(events))


# Pages each connection keeps: a wide window reads some thousands, and the
# next window most of the same ones.
_CACHE_KIB = 32 * 1024


def open_helper(conn: sqlite3.Connection) -> sqlite3.Connection | None:
    """A second read-only connection to ``conn``'s database, to walk half
    the rows on; None when the index (or its lanes) is in TEMP tables that
    only ``conn`` sees, or the database is no file.  Both keep more pages cached."""
    conn.execute(f"PRAGMA cache_size = -{_CACHE_KIB}")
    if conn.execute(
        "SELECT count(*) FROM sqlite_temp_master WHERE name IN ('calls', 'call_lanes') AND type = 'table'"
    ).fetchone()[0]:
        return None
    path = next((file for _, name, file in conn.execute("PRAGMA database_list") if name == "main"), "")
    if not path:
        return None
    helper = connections.connect(path, timeout=30, create=False)
    helper.execute(f"PRAGMA cache_size = -{_CACHE_KIB}")
    return helper


def _native_walk(conn, key, thread, depths: range, t0, t1, width, offset: int, micros: bool, helper, kept):
    t1, width, px, most = _bounds(t0, t1, width)
    walk = kept.window if kept is not None else _native.layout_window
    try:
        return walk(conn, helper, key, thread, depths.start, depths.stop - 1, t0, t1, px, most, offset, micros)
    except RuntimeError as error:
        message, prefix = str(error), "cannot read the call index: "
        if message.startswith(prefix):
            raise IndexDamagedError(message[len(prefix) :]) from None
        raise DatabaseError(message) from None


def window(
    conn: sqlite3.Connection,
    key: int,
    thread: int,
    depths: range,
    t0: int,
    t1: int,
    width: int,
    *,
    native: bool = True,
    helper: sqlite3.Connection | None = None,
    kept: _native.WindowLayout | None = None,
) -> Window:
    """The calls of ``thread`` in [t0, t1) (nanoseconds, as calls.start)
    drawn ``width`` pixels wide, for the given depths; half the rows walked
    on the ``helper`` connection (:func:`open_helper`) if one is given; what
    ``kept`` walked before (at the same scale: a pan) reused, and the rows
    walked kept there."""
    found = _native_walk(conn, key, thread, depths, t0, t1, width, 0, False, helper, kept) if native else None
    if found is None:
        return _walked(conn, key, thread, depths, t0, t1, width)
    rows, events, _, _, visited = found
    return Window(
        [Row(row["depth"], row["calls"], row["blocks"]) for row in json.loads(rows)], json.loads(events), visited
    )


def window_json(
    conn: sqlite3.Connection,
    key: int,
    thread: int,
    depths: range,
    t0: int,
    t1: int,
    width: int,
    offset: int,
    helper: sqlite3.Connection | None = None,
    kept: _native.WindowLayout | None = None,
) -> tuple[str, str, list, list]:
    """As :func:`window`, as the JSON of the rows and of the events, times
    in microseconds after adding ``offset`` nanoseconds; and the name ids
    and path ids they hold."""
    found = _native_walk(conn, key, thread, depths, t0, t1, width, offset, True, helper, kept)
    if found is not None:
        return found[:4]
    walked = _walked(conn, key, thread, depths, t0, t1, width)

    def micros(ns: int) -> float:
        return round((ns + offset) / 1000, 3)

    rows = [
        {
            "depth": row.depth,
            "calls": [
                [call_id, micros(start), round(duration / 1000, 3), name_id, path_id, line, flags]
                for call_id, start, duration, name_id, path_id, line, flags in row.calls
            ],
            "blocks": [[micros(start), micros(end), count] for start, end, count in row.blocks],
        }
        for row in walked.rows
    ]
    events = [[event_id, micros(at), name_id] for event_id, at, name_id in walked.events]
    names = {call[3] for row in walked.rows for call in row.calls} | {event[2] for event in walked.events}
    paths = {call[4] for row in walked.rows for call in row.calls if call[4] is not None}
    return (
        json.dumps(rows, separators=(",", ":")),
        json.dumps(events, separators=(",", ":")),
        sorted(names),
        sorted(paths),
    )
