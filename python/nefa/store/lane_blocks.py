"""The rows of the lane blocks (``call_lanes``), made from rows read back.

The lanes of a trace: each (thread, depth) row's frames of one part, in
blocks of up to LANE_FRAMES (``call_lanes``).

Calls of one thread at one depth never overlap, and within a part a
lane's calls in id order are in end order too (a call at a depth starts
only once the one before it there has ended; a call's end is the time its
row completes, which never steps back on a thread).  So a block row holds
its frames' ends and ids as two arrays of little-endian int64, in order,
keyed by (thread, depth, part, last end, first id): within a part that key
order is the frames' order, and a time finds its block in one seek.  An
index of every frame by end, kept row by row, took two fifths of the index
build; a block row is written once for LANE_FRAMES frames.

The native writer makes the blocks while it writes a part's rows (see
``native/host/trace_index/lane_blocks.hpp``); :class:`LaneBlocks` makes the same
ones from rows read back, for databases indexed before the lanes.
"""

from __future__ import annotations

import sqlite3
import sys
from array import array
from bisect import bisect_right
from collections.abc import Iterator

from nefa._native import LANE_FRAMES

__all__ = ["INSERT", "LANE_FRAMES", "LaneBlocks", "fill_from_calls", "part_starts"]

INSERT = (
    "INSERT INTO call_lanes (trace_key, thread_native_id, depth, part_index, last_end, first_id, first_end,"
    " count, ends, ids) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
)

_SWAP = sys.byteorder != "little"


def _encode(values: array) -> bytes:
    if _SWAP:
        values = array("q", values)
        values.byteswap()
    return values.tobytes()


class LaneBlocks:
    """Makes the block rows of frames given lane by lane in order, or in id
    order, as (trace_key, thread, depth, part, end, id): the rows the
    native writer makes of the same frames."""

    def __init__(self) -> None:
        self._open: dict[tuple, tuple[array, array]] = {}

    def add(self, trace_key: int, thread: int, depth: int, part: int, end: int, call_id: int) -> tuple | None:
        """The row of the block this frame fills, if it does."""
        key = (trace_key, thread, depth, part)
        lane = self._open.get(key)
        if lane is None:
            lane = self._open[key] = (array("q"), array("q"))
        ends, ids = lane
        made = None
        # As the native writer does: a lane out of order closes its block.
        if ends and (end < ends[-1] or call_id <= ids[-1]):
            made = self._row(key, lane)
            ends, ids = lane = self._open[key] = (array("q"), array("q"))
        ends.append(end)
        ids.append(call_id)
        if len(ids) == LANE_FRAMES:  # never just after a block was closed above
            made = self._row(key, lane)
            del self._open[key]
        return made

    def flush(self) -> Iterator[tuple]:
        """The rows of the blocks still open; they are closed."""
        open_, self._open = self._open, {}
        for key, lane in open_.items():
            yield self._row(key, lane)

    @staticmethod
    def _row(key: tuple, lane: tuple[array, array]) -> tuple:
        ends, ids = lane
        return (*key, ends[-1], ids[0], ends[0], len(ids), _encode(ends), _encode(ids))


def part_starts(conn: sqlite3.Connection, trace_key: int) -> list[int]:
    """The first id of each part of the trace's index, in part order."""
    starts, first = [], 0
    for (calls,) in conn.execute(
        "SELECT call_count FROM call_index_parts WHERE trace_key = ? ORDER BY part_index", (trace_key,)
    ):
        starts.append(first)
        first += calls
    return starts


def _frames_with_parts(conn: sqlite3.Connection, rows) -> Iterator[tuple]:
    """(trace_key, thread, depth, end, id) rows with their part, told by id."""
    starts: dict[int, list[int]] = {}
    for trace_key, thread, depth, end, call_id in rows:
        found = starts.get(trace_key)
        if found is None:
            found = starts[trace_key] = part_starts(conn, trace_key)
        yield trace_key, thread, depth, max(0, bisect_right(found, call_id) - 1), end, call_id


def fill_from_calls(conn: sqlite3.Connection, trace_key: int | None = None) -> None:
    """Writes the lane blocks of the frames in ``calls`` (of one trace, or
    of all): read through the index by end where the database has it (each
    lane's frames together, in order), else in id order."""
    where = "kind IS NULL" + ("" if trace_key is None else " AND trace_key = ?")
    args = () if trace_key is None else (trace_key,)
    by_end = conn.execute(
        "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = 'calls_by_end'"
    ).fetchone()[0]
    if by_end:
        rows = conn.execute(
            "SELECT trace_key, thread_native_id, depth, end, id FROM calls INDEXED BY calls_by_end"
            f" WHERE {where} ORDER BY trace_key, thread_native_id, depth, end, id",
            args,
        )
    else:
        rows = conn.execute(
            f"SELECT trace_key, thread_native_id, depth, end, id FROM calls WHERE {where} ORDER BY trace_key, id", args
        )
    builder = LaneBlocks()
    batch: list[tuple] = []
    lane = None
    for frame in _frames_with_parts(conn, rows):
        if by_end and frame[:3] != lane:
            # Lane by lane: the one before is complete.
            batch.extend(builder.flush())
            lane = frame[:3]
        made = builder.add(*frame)
        if made is not None:
            batch.append(made)
        if len(batch) >= 1000:
            conn.executemany(INSERT, batch)
            batch.clear()
    batch.extend(builder.flush())
    conn.executemany(INSERT, batch)
