"""The index by name, read: the call ids a block row holds.  The rows are
written by the store (:mod:`nefa.store.name_blocks`, which describes them)."""

from __future__ import annotations

import struct

from nefa.store.name_blocks import NAME_BLOCK_IDS, block_ids, block_rows, encode

__all__ = ["NAME_BLOCK_IDS", "block_ids", "block_rows", "decode", "encode"]


def decode(first_id: int, ids: bytes, size: int = NAME_BLOCK_IDS) -> list[int]:
    """The call ids a row holds, in order."""
    if len(ids) == size // 8:
        bits = int.from_bytes(ids, "little")
        found = []
        while bits:
            low = bits & -bits
            found.append(first_id + low.bit_length() - 1)
            bits ^= low
        return found
    return [first_id + offset for offset in struct.unpack(f"<{len(ids) // 2}H", ids)]
