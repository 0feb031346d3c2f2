"""The lanes of a trace: each (thread, depth) row's frames of one part, in
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
``native/trace_index/lane_blocks.hpp``); :class:`LaneBlocks` makes the same
ones from rows read back, for databases indexed before the lanes.
"""

from __future__ import annotations

import sqlite3
import sys
from array import array
from bisect import bisect_right
from collections.abc import Iterable, Iterator

from nefa._native import LANE_FRAMES

__all__ = ["LANES", "LANE_FRAMES", "LaneBlocks", "decode", "decode_block", "ensure_lanes", "lane_from", "lane_ids"]

LANES = """
    CREATE TABLE {schema}call_lanes (
        trace_key INTEGER NOT NULL,
        thread_native_id INTEGER NOT NULL,
        depth INTEGER NOT NULL,
        part_index INTEGER NOT NULL,
        last_end INTEGER NOT NULL,      -- ends[count - 1]
        first_id INTEGER NOT NULL,      -- ids[0]
        first_end INTEGER NOT NULL,     -- ends[0]
        count INTEGER NOT NULL,         -- frames in the block, at most 48
        ends BLOB NOT NULL,             -- calls.end of each, little-endian int64
        ids BLOB NOT NULL,              -- calls.id of each, little-endian int64
        PRIMARY KEY (trace_key, thread_native_id, depth, part_index, last_end, first_id)
    ) WITHOUT ROWID
    """

INSERT = ("INSERT INTO call_lanes (trace_key, thread_native_id, depth, part_index, last_end, first_id, first_end,"
          " count, ends, ids) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")

_SWAP = sys.byteorder != "little"


def decode(blob: bytes) -> array:
    """A block's ends or ids."""
    values = array("q", blob)
    if _SWAP:
        values.byteswap()
    return values


def decode_block(last_end: int, ends: bytes, ids: bytes) -> tuple[array, array]:
    """A block row's (ends, ids); a damaged block (arrays that do not
    match each other or the row's last end) is an IndexDamagedError."""
    try:
        found_ends, found_ids = decode(ends), decode(ids)
    except (ValueError, TypeError):
        found_ends = found_ids = None
    if not found_ends or len(found_ends) != len(found_ids) or found_ends[-1] != last_end:
        from nefa.db import IndexDamagedError

        raise IndexDamagedError("a block of call_lanes is damaged")  # as the native walk says it
    return found_ends, found_ids


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
    for (calls,) in conn.execute("SELECT call_count FROM call_index_parts WHERE trace_key = ? ORDER BY part_index",
                                 (trace_key,)):
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
    by_end = conn.execute("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = 'calls_by_end'"
                          ).fetchone()[0]
    if by_end:
        rows = conn.execute("SELECT trace_key, thread_native_id, depth, end, id FROM calls INDEXED BY calls_by_end"
                            f" WHERE {where} ORDER BY trace_key, thread_native_id, depth, end, id", args)
    else:
        rows = conn.execute(f"SELECT trace_key, thread_native_id, depth, end, id FROM calls WHERE {where}"
                            " ORDER BY trace_key, id", args)
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


def ensure_lanes(conn: sqlite3.Connection, trace_key: int) -> None:
    """Gives a connection to a database indexed before the lanes, which it
    cannot upgrade (read-only), the lane blocks of one trace, in a TEMP
    table that lives as long as the connection."""
    found = conn.execute("SELECT (SELECT count(*) FROM sqlite_master WHERE name = 'call_lanes'),"
                         " (SELECT count(*) FROM sqlite_temp_master WHERE name = 'call_lanes')").fetchone()
    if any(found):
        return
    conn.execute(LANES.format(schema="temp."))
    fill_from_calls(conn, trace_key)


# The block that may hold frames at (end, id) and before it, then those
# after it, in one statement: both sides read in key order, merged lazily.
_LANE = "trace_key = :key AND thread_native_id = :thread AND depth = :depth AND part_index = :part"
_FROM = (f"SELECT last_end, first_id, ends, ids FROM (SELECT last_end, first_id, ends, ids FROM call_lanes"
         f" WHERE {_LANE} AND last_end = :end AND first_id <= :id ORDER BY first_id DESC LIMIT 1)"
         f" UNION ALL SELECT last_end, first_id, ends, ids FROM call_lanes WHERE {_LANE}"
         " AND (last_end, first_id) > (:end, :id) ORDER BY last_end, first_id")


def lane_from(conn: sqlite3.Connection, key: int, thread: int, depth: int, part: int, end: int,
              call_id: int) -> Iterator[tuple[array, array]]:
    """(ends, ids) of a part's blocks of one lane, in order, from the one
    that holds the lane's first frame at or after (end, id) in (end, id)
    order; that block may hold frames before it too.  Read lazily: a
    reader that stops reads no further."""
    args = {"key": key, "thread": thread, "depth": depth, "part": part, "end": end, "id": call_id}
    for last_end, _, ends, ids in conn.execute(_FROM, args):
        yield decode_block(last_end, ends, ids)


def lane_ids(conn: sqlite3.Connection, key: int, thread: int, depth: int) -> list[int]:
    """The ids of every frame of a lane, all parts, in id order."""
    ids: list[int] = []
    for (blob,) in conn.execute("SELECT ids FROM call_lanes WHERE trace_key = ? AND thread_native_id = ?"
                                " AND depth = ?", (key, thread, depth)):
        ids.extend(decode(blob))
    ids.sort()
    return ids
