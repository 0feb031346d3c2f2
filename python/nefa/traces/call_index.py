"""The call index, read: one row per call (and per plugin record) of a stored trace.

The index of a trace is built (:mod:`nefa.store.index_build`) when the
trace is saved, in the same transaction, and for traces saved before it
existed on first read (:func:`open_index`).  Where the database cannot be
written, it is built into temporary tables of the read-only connection,
which hide the stored ones for that connection.
"""

from __future__ import annotations

import sqlite3
import threading
from dataclasses import dataclass

from nefa.store import connections
from nefa.store.chunks import StoredDocument
from nefa.store.errors import DatabaseError, IndexDamagedError, TraceNotFoundError
from nefa.store.index_build import INDEX_VERSION, IndexedPart, index_part, scan, scan_fields
from nefa.store.index_tables import EVENTS_BY_PARENT, NAME_BLOCKS, create_index_tables
from nefa.traces.pieces_ahead import pieces_ahead

__all__ = [
    "EVENTS_BY_PARENT",
    "INDEX_VERSION",
    "NAME_BLOCKS",
    "READABLE_VERSIONS",
    "IndexedPart",
    "OpenIndex",
    "create_index_tables",
    "index_part",
    "open_index",
    "scan",
    "scan_fields",
]

# Version 1 differs from INDEX_VERSION only in the size of its name blocks,
# which readers take from the version.
READABLE_VERSIONS = (1, 2)


@dataclass
class OpenIndex:
    """A read-only connection where the index of one trace is current."""

    conn: sqlite3.Connection
    trace_id: str
    trace_key: int
    time_base: float
    version: int  # of the builder that made it
    # Set when the index could not be stored and lives in this connection only.
    note: str | None = None
    # When this index was built now: the database, whose log is emptied once
    # the connection is closed, and the thread copying the log back.
    built_in: object = None
    log_copy: threading.Thread | None = None

    def close(self) -> None:
        self.conn.close()
        if self.built_in is not None:
            built_in, self.built_in = self.built_in, None
            connections.empty_log(built_in, self.log_copy)

    def __enter__(self) -> OpenIndex:
        return self

    def __exit__(self, *_) -> None:
        self.close()


def _current_key(conn: sqlite3.Connection, trace_id: str) -> tuple[int, float, int] | None:
    """(trace_key, time_base, version) of a current index of ``trace_id``, or None."""
    parts = conn.execute("SELECT part_count FROM traces WHERE id = ?", (trace_id,)).fetchone()
    if parts is None:
        raise TraceNotFoundError(f"no trace {trace_id!r}")
    try:
        row = conn.execute(
            "SELECT trace_key, time_base, version, part_count FROM call_indexes WHERE trace_id = ?", (trace_id,)
        ).fetchone()
    except sqlite3.OperationalError:
        return None  # an older schema, read as it is
    if row is None or row[2] not in READABLE_VERSIONS or row[3] != parts[0]:
        return None
    return row[0], row[1], row[2]


def _reader_path(conn: sqlite3.Connection) -> str | None:
    """The file to read the documents from on a connection of their own,
    while ``conn`` writes the index: a WAL database only, where a reader
    never holds up the writer."""
    if conn.execute("PRAGMA main.journal_mode").fetchone()[0].lower() != "wal":
        return None
    return next((file for _, name, file in conn.execute("PRAGMA database_list") if name == "main"), None) or None


def _index_all_parts(conn: sqlite3.Connection, trace_id: str, progress) -> None:
    indexes = [
        index
        for (index,) in conn.execute(
            "SELECT part_index FROM trace_parts WHERE trace_id = ? ORDER BY part_index", (trace_id,)
        )
    ]
    # The documents are read and inflated on a thread and a connection of
    # their own: on the writing connection their pages took turns with the
    # index's for its lock and filled its page cache, which at ten million
    # records cost more than half the build.
    reader = _reader_path(conn)
    for position, part_index in enumerate(indexes):
        if reader is not None:
            pieces = pieces_ahead(reader, trace_id, part_index, name="nefa-index-reader")
        else:
            pieces = StoredDocument(conn, trace_id, part_index).pieces()
        index_part(conn, trace_id, position, pieces, progress=progress)


def open_index(db_path, trace_id: str, *, timeout: float = 60, progress=None) -> OpenIndex:
    """A read-only connection to ``db_path`` with the index of ``trace_id``.

    A trace stored before the index existed (or by an older builder) is
    indexed now, and the index stored, when the database can be written;
    otherwise it is built into temporary tables of this connection and
    ``note`` says so.  ``progress(bytes_done)`` is called while building.
    Raises :class:`nefa.db.TraceNotFoundError`, :class:`nefa.db.DatabaseError`
    (:class:`nefa.db.IndexDamagedError` for an index SQLite cannot read)
    or :class:`nefa.db.DocumentFormatError` (naming the trace).
    """
    try:
        return _open_index(db_path, trace_id, timeout=timeout, progress=progress)
    except sqlite3.OperationalError as error:
        raise DatabaseError(f"cannot read trace {trace_id} in {db_path}: {error}") from None
    except sqlite3.DatabaseError as error:
        raise IndexDamagedError.of(error, trace_id) from None


def _open_index(db_path, trace_id: str, *, timeout: float, progress) -> OpenIndex:
    def failed(error: Exception) -> Exception:
        return type(error)(f"trace {trace_id}: {error}")

    conn: sqlite3.Connection | None
    conn = connections.connect(db_path, timeout=timeout, create=False)
    try:
        key = _current_key(conn, trace_id)
        if key is not None:
            return OpenIndex(conn, trace_id, *key)
    except BaseException:
        conn.close()
        raise
    conn.close()
    try:
        writer = connections.connect(db_path, timeout=timeout, create=True)
    except DatabaseError:
        writer = None
    if writer is not None:
        built = False
        try:
            writer.execute("BEGIN IMMEDIATE")
            try:
                if _current_key(writer, trace_id) is None:
                    # The log's copy into the database waits for the commit
                    # (below): SQLite would make it at the commit, on this
                    # thread alone, a sixth of a ten-million-record build.
                    writer.execute("PRAGMA wal_autocheckpoint = 0")
                    _index_all_parts(writer, trace_id, progress)
                    built = True
                writer.execute("COMMIT")
            except BaseException:
                writer.execute("ROLLBACK")
                raise
            # Open before the writer closes: closing the last connection
            # would copy the log back here and now.
            conn = connections.connect(db_path, timeout=timeout, create=False)
        except sqlite3.OperationalError as error:
            if "readonly" not in str(error) and "read-only" not in str(error):
                raise DatabaseError(f"cannot index trace {trace_id} in {db_path}: {error}") from None
            conn = None
        except (ValueError, DatabaseError) as error:
            raise failed(error) from None
        finally:
            writer.close()
        copy = None
        if conn is None:
            conn = connections.connect(db_path, timeout=timeout, create=False)
        elif built:
            copy = connections.copy_log_back_later(db_path)
        try:
            key = _current_key(conn, trace_id)
        except BaseException:
            conn.close()
            raise
        if key is not None:
            return OpenIndex(conn, trace_id, *key, built_in=db_path if built else None, log_copy=copy)
        conn.close()
    # The file cannot be written: the index lives in this connection.
    conn = connections.connect(db_path, timeout=timeout, create=False)
    try:
        create_index_tables(conn, temporary=True)
        _index_all_parts(conn, trace_id, progress)
        key = _current_key(conn, trace_id)
    except (ValueError, DatabaseError) as error:
        conn.close()
        raise failed(error) from None
    except BaseException:
        conn.close()
        raise
    return OpenIndex(  # type: ignore[misc]  # key: the index just built is current
        conn, trace_id, *key, note="the database cannot be written: the call index was built for this command only"
    )
