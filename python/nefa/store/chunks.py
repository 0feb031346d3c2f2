"""The chunk format of stored documents, and a part's bytes read back.

A part is stored as compressed chunks, or (saved before chunks) as one BLOB.
"""

from __future__ import annotations

import sqlite3
import struct
import zlib

from nefa import _native
from nefa.store.errors import DocumentDamagedError, TraceNotFoundError

__all__ = ["DOCUMENT_BLOCK_SIZE", "DOCUMENT_CHUNK_SIZE", "StoredDocument", "compress_chunk"]

# Documents are stored in chunks of this many raw bytes, one row each, and
# each chunk as independent zlib streams of DOCUMENT_BLOCK_SIZE raw bytes:
# reading one record's bytes (nefa show, the viewer: a tree printed to
# depth 3 reads records from all over a big trace) inflates a block, not a
# chunk, while rows stay large enough to fill SQLite's pages (a row of one
# small stream would leave most of its page empty).
DOCUMENT_CHUNK_SIZE = 1 << 16
DOCUMENT_BLOCK_SIZE = 1 << 14
# Fast: saving a trace is on the recorded program's way out.
_COMPRESSION_LEVEL = 1
_BLOCK_HEADER = struct.Struct(">II")  # block size, block count; then a >I compressed size per block

# Inflated blocks kept per open document: 2 MiB.  A tree printed depth
# first reads a call's record, then its return's far ahead, then its
# children's near the first: they all stay inflated.
_BLOCKS_KEPT = 128


def compress_chunk(raw) -> bytes:
    """One chunk's row data: its blocks compressed, after a header of their sizes."""
    view = memoryview(raw).cast("B")
    streams = [
        zlib.compress(view[start : start + DOCUMENT_BLOCK_SIZE], _COMPRESSION_LEVEL)
        for start in range(0, len(view), DOCUMENT_BLOCK_SIZE)
    ]
    header = _BLOCK_HEADER.pack(DOCUMENT_BLOCK_SIZE, len(streams))
    return b"".join([header, struct.pack(f">{len(streams)}I", *map(len, streams)), *streams])


class StoredDocument:
    """Where one part's bytes are: the BLOB itself, or its chunks."""

    __slots__ = ("conn", "trace_id", "part_index", "rowid", "size", "chunk_size", "_cache", "_rows")

    def __init__(self, conn: sqlite3.Connection, trace_id: str, part_index: int):
        try:
            row = conn.execute(
                "SELECT rowid, document_size, chunk_size, length(document), typeof(document) FROM trace_parts"
                " WHERE trace_id = ? AND part_index = ?",
                (trace_id, part_index),
            ).fetchone()
        except sqlite3.OperationalError:
            # A database of an older schema, opened read-only: BLOBs only.
            row = conn.execute(
                "SELECT rowid, NULL, NULL, length(document), typeof(document) FROM trace_parts"
                " WHERE trace_id = ? AND part_index = ?",
                (trace_id, part_index),
            ).fetchone()
        if row is None:
            raise TraceNotFoundError(f"no part {part_index} of trace {trace_id!r}")
        rowid, size, chunk_size, blob_size, kind = row
        self.conn = conn
        self.trace_id = trace_id
        self.part_index = part_index
        self.rowid = rowid
        if chunk_size is None:
            if kind != "blob":
                raise DocumentDamagedError(
                    f"trace {trace_id}: part {part_index} is stored as {kind.upper()}, not as a BLOB of MessagePack"
                )
            self.size, self.chunk_size = blob_size, None
        else:
            if type(size) is not int or type(chunk_size) is not int or size < 0 or chunk_size <= 0:
                raise DocumentDamagedError(
                    f"trace {trace_id}: part {part_index} has a damaged size ({size}, {chunk_size})"
                )
            self.size, self.chunk_size = size, chunk_size
        self._cache: dict[tuple[int, int], bytes] = {}  # (chunk, block) -> raw bytes
        self._rows: dict[int, tuple[int, list, bytes]] = {}  # chunk -> (block size, stream bounds, data)

    def _where(self, index: int) -> str:
        return f"trace {self.trace_id}, part {self.part_index}, chunk {index}"

    def _row(self, index: int) -> tuple[int, list, bytes]:
        """Chunk ``index``'s block size, the bounds of its streams, its data."""
        found = self._rows.get(index)
        if found is not None:
            return found
        where = self._where(index)
        row = self.conn.execute(
            "SELECT raw_offset, data FROM document_chunks WHERE trace_id = ? AND part_index = ? AND chunk_index = ?",
            (self.trace_id, self.part_index, index),
        ).fetchone()
        if row is None:
            raise DocumentDamagedError(f"{where}: missing, the document is damaged")
        offset, data = row
        if offset != index * self.chunk_size or not isinstance(data, bytes):  # type: ignore[operator]  # only chunked documents get here
            raise DocumentDamagedError(f"{where}: damaged (offset {offset!r})")
        expected = min(self.chunk_size, self.size - index * self.chunk_size)  # type: ignore[operator]  # only chunked documents get here
        if data[:1] == b"\x78":
            parsed = (expected, [(0, len(data))], data)  # one zlib stream
        else:
            try:
                block_size, count = _BLOCK_HEADER.unpack_from(data)
                sizes = struct.unpack_from(f">{count}I", data, _BLOCK_HEADER.size)
            except struct.error:
                raise DocumentDamagedError(f"{where}: damaged (its header)") from None
            start = _BLOCK_HEADER.size + 4 * count
            bounds = []
            for size in sizes:
                bounds.append((start, start + size))
                start += size
            if block_size <= 0 or start != len(data) or count != -(-expected // block_size):
                raise DocumentDamagedError(f"{where}: damaged (its blocks do not add up)")
            parsed = (block_size, bounds, data)
        if len(self._rows) >= 8:
            self._rows.pop(next(iter(self._rows)))
        self._rows[index] = parsed
        return parsed

    def block(self, index: int, block: int) -> bytes:
        """The raw bytes of one block of chunk ``index``."""
        found = self._cache.get((index, block))
        if found is not None:
            return found
        block_size, bounds, data = self._row(index)
        expected = min(block_size, self.size - index * self.chunk_size - block * block_size)  # type: ignore[operator]  # only chunked documents get here
        if not 0 <= block < len(bounds):
            raise DocumentDamagedError(f"{self._where(index)}: has no block {block}")
        start, end = bounds[block]
        try:
            raw = zlib.decompress(data[start:end])
        except zlib.error as error:
            raise DocumentDamagedError(f"{self._where(index)}: does not inflate ({error})") from None
        if len(raw) != expected:
            raise DocumentDamagedError(f"{self._where(index)}: holds {len(raw)} bytes in a block, not {expected}")
        if len(self._cache) >= _BLOCKS_KEPT:
            self._cache.pop(next(iter(self._cache)))
        self._cache[(index, block)] = raw
        return raw

    def chunk(self, index: int) -> bytes:
        """The raw bytes of chunk ``index``."""
        block_size, bounds, _ = self._row(index)
        blocks = [self.block(index, block) for block in range(len(bounds))]
        return blocks[0] if len(blocks) == 1 else b"".join(blocks)

    def pieces(self, size: int = 1 << 20):
        """The whole document, a piece at a time (whole chunks, about ``size``
        bytes, for a chunked one)."""
        if self.chunk_size is None:
            for start in range(0, self.size, size):
                yield self.read(start, size)
            return
        per = max(1, size // self.chunk_size)
        count = -(-self.size // self.chunk_size)
        for first in range(0, count, per):
            yield self._chunks(first, min(count, first + per))

    def _chunks(self, first: int, stop: int) -> bytes:
        """The raw bytes of chunks ``first`` to ``stop`` (excluded), read in
        one query and inflated natively, straight into one piece."""
        rows = self.conn.execute(
            "SELECT chunk_index, raw_offset, data FROM document_chunks WHERE trace_id = ? AND part_index = ?"
            " AND chunk_index >= ? AND chunk_index < ? ORDER BY chunk_index",
            (self.trace_id, self.part_index, first, stop),
        ).fetchall()
        indexes = range(first, stop)
        if len(rows) == len(indexes) and all(
            row[0] == index and row[1] == index * self.chunk_size and type(row[2]) is bytes  # type: ignore[operator]  # only chunked documents get here
            for index, row in zip(indexes, rows)
        ):
            sizes = [min(self.chunk_size, self.size - index * self.chunk_size) for index in indexes]  # type: ignore[operator]  # only chunked documents get here
            try:
                raw = _native.inflate_chunks([row[2] for row in rows], sizes)
            except ValueError:
                raw = None  # damaged: read below, which says how
            if raw is not None:
                return raw
        return b"".join([self.chunk(index) for index in indexes])

    def read(self, offset: int, length: int) -> bytes:
        """``length`` bytes from ``offset`` (fewer at the end)."""
        offset = max(0, offset)
        length = max(0, min(length, self.size - offset))
        if length == 0:
            return b""
        if self.chunk_size is None:
            with self.conn.blobopen("trace_parts", "document", self.rowid, readonly=True) as blob:
                blob.seek(offset)
                return blob.read(length)
        pieces = []
        position, stop = offset, offset + length
        while position < stop:
            index, skip = divmod(position, self.chunk_size)
            block_size = self._row(index)[0]
            block, skip = divmod(skip, block_size)
            raw = self.block(index, block)
            piece = raw[skip : skip + (stop - position)]
            if not piece:
                raise DocumentDamagedError(f"{self._where(index)}: shorter than the document says")
            pieces.append(piece)
            position += len(piece)
        return pieces[0] if len(pieces) == 1 else b"".join(pieces)
