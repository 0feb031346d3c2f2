"""The rows of the index by name (``call_name_blocks``), as written.

The index by name: for each name, the blocks of NAME_BLOCK_IDS calls it
occurs in, each with the ids of its rows there (``call_name_blocks``).

A row holds offsets from the block's first id: 2 bytes each, little-endian,
while fewer than a sixteenth of the block, else the block's bitmap (bit
``i`` of byte ``i // 8``: offset ``i``), which is longer than any list.  A
block may have several rows of one name, told apart by their first offset:
the native writer keeps the newest blocks open from batch to batch, and the
calls of older ones (a call's row comes when it returns) make rows of their
own.  Indexes of version 1 have blocks of 1,024 ids.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Iterator

from nefa._native import NAME_BLOCK_IDS

__all__ = ["NAME_BLOCK_IDS", "block_ids", "block_rows", "encode"]

_VERSION_1_BLOCK_IDS = 1024


def block_ids(index_version: int) -> int:
    """The ids per block in an index of ``index_version``."""
    return _VERSION_1_BLOCK_IDS if index_version == 1 else NAME_BLOCK_IDS


def encode(offsets: list[int], size: int = NAME_BLOCK_IDS) -> bytes:
    """The stored form of a block's sorted offsets."""
    if len(offsets) < size // 16:
        return struct.pack(f"<{len(offsets)}H", *offsets)
    bitmap = bytearray(size // 8)
    for offset in offsets:
        bitmap[offset >> 3] |= 1 << (offset & 7)
    return bytes(bitmap)


def block_rows(
    rows: Iterable[tuple[int, int, int]], size: int = NAME_BLOCK_IDS
) -> Iterator[tuple[int, int, int, int, bytes]]:
    """Table rows for (trace_key, name_id, id) triples, each id once:
    (trace_key, name_id, first_id, first_offset, ids)."""
    grouped: dict[tuple[int, int, int], list[int]] = {}
    for trace_key, name_id, call_id in rows:
        first_id = call_id - call_id % size
        grouped.setdefault((trace_key, name_id, first_id), []).append(call_id - first_id)
    for (trace_key, name_id, first_id), offsets in sorted(grouped.items()):
        offsets.sort()
        yield trace_key, name_id, first_id, offsets[0], encode(offsets, size)
