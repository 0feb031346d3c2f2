"""Stored documents read back: as files, as byte ranges, or whole.

A part as a read-only binary file, one record's bytes, or every part of
a trace.
"""

from __future__ import annotations

import io
import sqlite3

from nefa.store import connections
from nefa.store.chunks import StoredDocument
from nefa.store.errors import TraceNotFoundError

__all__ = ["DocumentFile", "open_document", "read_document_range", "read_trace_parts"]


class DocumentFile(io.RawIOBase):
    """A stored document as a read-only binary file (see :func:`open_document`)."""

    def __init__(self, stored: StoredDocument, *, own_connection: bool):
        super().__init__()
        self._stored = stored
        self._own = own_connection
        self._position = 0

    @property
    def size(self) -> int:
        return self._stored.size

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        self._checkClosed()
        return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._checkClosed()
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self._stored.size}.get(whence)
        if base is None:
            raise ValueError(f"invalid whence {whence!r}")
        position = base + offset
        if position < 0:
            raise ValueError(f"negative seek position {position}")
        self._position = position
        return position

    def readinto(self, buffer) -> int:
        self._checkClosed()
        view = memoryview(buffer).cast("B")
        # One chunk at a time: memory stays bounded whatever is asked for.
        step = self._stored.chunk_size or (1 << 20)
        data = self._stored.read(self._position, min(len(view), step))
        view[: len(data)] = data
        self._position += len(data)
        return len(data)

    def readall(self) -> bytes:
        return self.read(max(0, self._stored.size - self._position))

    def read(self, size: int = -1) -> bytes:
        self._checkClosed()
        if size is None or size < 0:
            size = max(0, self._stored.size - self._position)
        data = self._stored.read(self._position, size)
        self._position += len(data)
        return data

    def close(self) -> None:
        if not self.closed and self._own:
            self._stored.conn.close()
        super().close()


def open_document(db_path, trace_id: str, part_index: int = 0, *, timeout: float = 60) -> DocumentFile:
    """Part ``part_index`` of a stored trace as a read-only binary file.

    ``read(n)``, ``seek`` and ``tell`` give the exact document bytes that
    were saved, whether the part is stored as one BLOB (traces saved
    before chunked storage) or as compressed chunks, which are inflated
    one at a time: memory stays bounded by a chunk, whatever the size.
    ``.size`` is the document's length.  The file has its own read-only
    connection; close it (or use ``with``).  Raises
    :class:`TraceNotFoundError` for a missing trace or part and
    :class:`DocumentDamagedError` when the stored bytes are damaged.
    """
    conn = connections.connect(db_path, timeout=timeout, create=False)
    try:
        stored = StoredDocument(conn, trace_id, part_index)
    except BaseException:
        conn.close()
        raise
    return DocumentFile(stored, own_connection=True)


def read_document_range(conn_or_path, trace_id: str, part_index: int, offset: int, length: int) -> bytes:
    """``length`` bytes at ``offset`` in a stored document: one record's
    bytes, as the call index gives them (``calls.call_offset`` and
    ``call_length``).  ``conn_or_path`` is an open connection (reused; its
    last inflated chunks are kept for the next call) or a database path.
    """
    if isinstance(conn_or_path, sqlite3.Connection):
        return _stored_document(conn_or_path, trace_id, part_index).read(offset, length)
    with open_document(conn_or_path, trace_id, part_index) as document:
        document.seek(offset)
        return document.read(length)


# The documents recently read per connection, for read_document_range
# (connections take no weak references: keyed by id, checked by identity,
# and let go once closed or when others are newer).
_recent_documents: dict[int, tuple[sqlite3.Connection, dict]] = {}
_RECENT_CONNECTIONS = 8


def _is_closed(conn: sqlite3.Connection) -> bool:
    try:
        conn.in_transaction  # noqa: B018 (a closed connection raises on any use)
    except sqlite3.ProgrammingError:
        return True
    return False


def _stored_document(conn: sqlite3.Connection, trace_id: str, part_index: int) -> StoredDocument:
    entry = _recent_documents.pop(id(conn), None)
    if entry is None or entry[0] is not conn:
        for key, (other, _) in list(_recent_documents.items()):
            if _is_closed(other):
                del _recent_documents[key]
        while len(_recent_documents) >= _RECENT_CONNECTIONS:
            _recent_documents.pop(next(iter(_recent_documents)))
        entry = (conn, {})
    _recent_documents[id(conn)] = entry  # the newest last
    documents = entry[1]
    stored = documents.get((trace_id, part_index))
    if stored is None:
        if len(documents) > 16:
            documents.clear()
        stored = documents[(trace_id, part_index)] = StoredDocument(conn, trace_id, part_index)
    return stored


def read_trace_parts(db_path, trace_id: str, *, timeout: float = 60) -> list[bytes]:
    """The documents stored under ``trace_id``, in the order they were saved
    (each exactly as saved, however it is stored)."""
    conn = connections.connect(db_path, timeout=timeout, create=False)
    try:
        parts = [
            index
            for (index,) in conn.execute(
                "SELECT part_index FROM trace_parts WHERE trace_id = ? ORDER BY part_index", (trace_id,)
            )
        ]
        if not parts:
            raise TraceNotFoundError(f"no trace {trace_id!r} in {db_path}")
        documents = []
        for index in parts:
            stored = StoredDocument(conn, trace_id, index)
            if stored.chunk_size is None:
                documents.append(stored.read(0, stored.size))
            else:
                documents.append(b"".join(stored.pieces()))
        return documents
    finally:
        conn.close()
