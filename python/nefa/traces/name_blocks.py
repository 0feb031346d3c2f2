"""The index by name: for each name, the blocks of NAME_BLOCK_IDS calls it
occurs in, each with the ids of its rows there (``call_name_blocks``).

A row holds offsets from the block's first id: 2 bytes each, little-endian,
while fewer than 64, else the block's bitmap of 128 bytes (bit ``i`` of
byte ``i // 8``: offset ``i``).  The native writer makes the rows of each
batch of calls; a block's rows of one name from several batches are rows of
their own, told apart by their first offset.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Iterator

from nefa._native import NAME_BLOCK_IDS

__all__ = ["NAME_BLOCK_IDS", "block_rows", "decode", "encode"]

_LISTED_BELOW = 64
_BITMAP_BYTES = NAME_BLOCK_IDS // 8


def encode(offsets: list[int]) -> bytes:
    """The stored form of a block's sorted offsets."""
    if len(offsets) < _LISTED_BELOW:
        return struct.pack(f"<{len(offsets)}H", *offsets)
    bitmap = bytearray(_BITMAP_BYTES)
    for offset in offsets:
        bitmap[offset >> 3] |= 1 << (offset & 7)
    return bytes(bitmap)


def decode(first_id: int, ids: bytes) -> list[int]:
    """The call ids a row holds, in order."""
    if len(ids) == _BITMAP_BYTES:
        bits = int.from_bytes(ids, "little")
        found = []
        while bits:
            low = bits & -bits
            found.append(first_id + low.bit_length() - 1)
            bits ^= low
        return found
    return [first_id + offset for offset in struct.unpack(f"<{len(ids) // 2}H", ids)]


def block_rows(rows: Iterable[tuple[int, int, int]]) -> Iterator[tuple[int, int, int, int, bytes]]:
    """Table rows for (trace_key, name_id, id) triples, each id once:
    (trace_key, name_id, first_id, first_offset, ids)."""
    grouped: dict[tuple[int, int, int], list[int]] = {}
    for trace_key, name_id, call_id in rows:
        first_id = call_id - call_id % NAME_BLOCK_IDS
        grouped.setdefault((trace_key, name_id, first_id), []).append(call_id - first_id)
    for (trace_key, name_id, first_id), offsets in sorted(grouped.items()):
        offsets.sort()
        yield trace_key, name_id, first_id, offsets[0], encode(offsets)
