"""The lanes of a trace, read: a lane's blocks decoded, from a time on or all
of its ids, and the blocks of a database indexed before the lanes that
cannot be upgraded.  The store writes them (:mod:`nefa.store.lane_blocks`
describes them).
"""

from __future__ import annotations

import sqlite3
import sys
from array import array
from collections.abc import Iterator

from nefa.store.errors import IndexDamagedError
from nefa.store.index_tables import LANES
from nefa.store.lane_blocks import LANE_FRAMES, LaneBlocks, fill_from_calls

__all__ = ["LANES", "LANE_FRAMES", "LaneBlocks", "decode", "decode_block", "ensure_lanes", "lane_from", "lane_ids"]

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
    found_ends: array | None
    found_ids: array | None
    try:
        found_ends, found_ids = decode(ends), decode(ids)
    except (ValueError, TypeError):
        found_ends = found_ids = None
    if not found_ends or found_ids is None or len(found_ends) != len(found_ids) or found_ends[-1] != last_end:
        raise IndexDamagedError("a block of call_lanes is damaged")  # as the native walk says it
    return found_ends, found_ids


def ensure_lanes(conn: sqlite3.Connection, trace_key: int) -> None:
    """Gives a connection to a database indexed before the lanes, which it
    cannot upgrade (read-only), the lane blocks of one trace, in a TEMP
    table that lives as long as the connection."""
    found = conn.execute(
        "SELECT (SELECT count(*) FROM sqlite_master WHERE name = 'call_lanes'),"
        " (SELECT count(*) FROM sqlite_temp_master WHERE name = 'call_lanes')"
    ).fetchone()
    if any(found):
        return
    conn.execute(LANES.format(schema="temp."))
    fill_from_calls(conn, trace_key)


# The block that may hold frames at (end, id) and before it, then those
# after it, in one statement: both sides read in key order, merged lazily.
_LANE = "trace_key = :key AND thread_native_id = :thread AND depth = :depth AND part_index = :part"
_FROM = (
    f"SELECT last_end, first_id, ends, ids FROM (SELECT last_end, first_id, ends, ids FROM call_lanes"
    f" WHERE {_LANE} AND last_end = :end AND first_id <= :id ORDER BY first_id DESC LIMIT 1)"
    f" UNION ALL SELECT last_end, first_id, ends, ids FROM call_lanes WHERE {_LANE}"
    " AND (last_end, first_id) > (:end, :id) ORDER BY last_end, first_id"
)


def lane_from(
    conn: sqlite3.Connection, key: int, thread: int, depth: int, part: int, end: int, call_id: int
) -> Iterator[tuple[array, array]]:
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
    for (blob,) in conn.execute(
        "SELECT ids FROM call_lanes WHERE trace_key = ? AND thread_native_id = ? AND depth = ?", (key, thread, depth)
    ):
        ids.extend(decode(blob))
    ids.sort()
    return ids
