"""The call index: one row per call (and per plugin record) of a stored trace.

The native scanner (:class:`nefa._native.TraceScanner`) reads a document
piece by piece without decoding its values; its rows go to the ``calls``
table in batches, its per-function figures to ``function_stats``, its
threads to ``call_threads``.  The tables are documented in the README
("Querying traces with SQL") and created by migration 3 in :mod:`nefa.db`.

The index of a trace is built when the trace is saved, in the same
transaction, and for traces saved before it existed on first read
(:func:`open_index`).  Where the database cannot be written, it
is built into temporary tables of the read-only connection, which hide
the stored ones for that connection.
"""

from __future__ import annotations

import re
import sqlite3
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import msgpack

from nefa._native import TraceScanner
from nefa import db
from nefa.db import DocumentFormatError
from nefa.traces import lanes
from nefa.traces.name_blocks import block_rows
from nefa.traces.pieces_ahead import pieces_ahead

__all__ = ["INDEX_VERSION", "NAME_BLOCKS", "READABLE_VERSIONS", "IndexedPart", "create_index_tables", "index_part", "scan_fields"]

# Raised when what the builder writes changes: older indexes are rebuilt,
# unless they read as they are.
INDEX_VERSION = 2
# Version 1 differs only in the size of its name blocks, which readers take
# from the version.
READABLE_VERSIONS = (1, 2)

# Bytes handed to the scanner at once: rows are taken after each piece, so
# this bounds the rows waiting in memory too.
PIECE = 1 << 20
# SQLite's page cache while a part is indexed, in KiB.
INDEX_BUILD_CACHE_KIB = 128 * 1024

_INSERT_CALL = (
    "INSERT INTO calls (trace_key, part_index, id, thread_native_id, parent, depth, start, duration, self_time,"
    " name_id, path_id, line, kind, resumed, flags, call_offset, call_length, return_offset, return_length)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
)


_TABLES = (
    "CREATE TABLE names (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE)",
    "CREATE TABLE paths (id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE)",
    """
    CREATE TABLE call_indexes (
        trace_key INTEGER PRIMARY KEY,  -- what the index tables use for the trace
        trace_id TEXT NOT NULL UNIQUE REFERENCES traces (id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED,
        version INTEGER NOT NULL,       -- of the index builder; an older one is rebuilt
        time_base REAL NOT NULL,        -- calls.start is nanoseconds after this Unix time
        part_count INTEGER NOT NULL,    -- parts indexed
        record_count INTEGER NOT NULL,
        call_count INTEGER NOT NULL,    -- rows in calls
        built_at REAL NOT NULL
    )
    """,
    """
    CREATE TABLE call_index_parts (
        trace_key INTEGER NOT NULL REFERENCES call_indexes (trace_key) ON DELETE CASCADE,
        part_index INTEGER NOT NULL,
        record_count INTEGER NOT NULL,
        call_count INTEGER NOT NULL,
        legacy_values INTEGER NOT NULL, -- 1: values stored before the value forms
        PRIMARY KEY (trace_key, part_index)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE call_threads (
        trace_key INTEGER NOT NULL REFERENCES call_indexes (trace_key) ON DELETE CASCADE,
        thread_native_id INTEGER NOT NULL,
        name TEXT NOT NULL,
        is_main INTEGER NOT NULL,
        record_count INTEGER NOT NULL,
        call_count INTEGER NOT NULL,    -- frame calls, plugin rows not counted
        start INTEGER NOT NULL,         -- nanoseconds after call_indexes.time_base
        end INTEGER NOT NULL,
        PRIMARY KEY (trace_key, thread_native_id)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE calls (
        trace_key INTEGER NOT NULL,
        part_index INTEGER NOT NULL,
        id INTEGER NOT NULL,            -- per trace, in the order the calls were recorded
        thread_native_id INTEGER NOT NULL,
        parent INTEGER,                 -- calls.id of the caller, NULL at the top
        depth INTEGER NOT NULL,         -- 0 at the top
        start INTEGER NOT NULL,         -- nanoseconds after call_indexes.time_base
        duration INTEGER NOT NULL,      -- nanoseconds
        self_time INTEGER NOT NULL,     -- nanoseconds, calls below left out
        name_id INTEGER NOT NULL,       -- names.id: qualified name (co_name when none)
        path_id INTEGER,                -- paths.id: the file
        line INTEGER,
        kind TEXT,                      -- NULL for a frame; a plugin record's type
        resumed INTEGER NOT NULL,       -- 1: a generator or coroutine resumed
        flags INTEGER NOT NULL,         -- 1: call not recorded, 2: return not recorded
        call_offset INTEGER,            -- the call record's bytes in the part's document
        call_length INTEGER,
        return_offset INTEGER,          -- the return record's bytes (NULL: none)
        return_length INTEGER,
        end INTEGER GENERATED ALWAYS AS (start + duration) VIRTUAL,
        PRIMARY KEY (trace_key, id)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE function_stats (
        trace_key INTEGER NOT NULL,
        name_id INTEGER NOT NULL,
        path_id INTEGER NOT NULL,       -- 0: no path (plugin records)
        calls INTEGER NOT NULL,
        total_time INTEGER NOT NULL,    -- nanoseconds, recursive calls counted once
        self_time INTEGER NOT NULL,
        PRIMARY KEY (trace_key, name_id, path_id)
    ) WITHOUT ROWID
    """,
    """
    CREATE VIEW call_view AS
    SELECT i.trace_id, c.part_index, c.id, c.thread_native_id, c.parent, c.depth,
           i.time_base + c.start * 1e-9 AS start, c.duration * 1e-9 AS duration,
           c.self_time * 1e-9 AS self_time, n.name, p.path, c.line, coalesce(c.kind, 'frame') AS kind,
           c.resumed
    FROM calls c JOIN call_indexes i USING (trace_key) JOIN names n ON n.id = c.name_id
    LEFT JOIN paths p ON p.id = c.path_id
    """,
)


# The plugin records under a call (and at the top of a thread).  A call's
# frames are found through the lane blocks: calls of one thread at one depth
# never overlap, so the calls one deeper between a call and the next at its
# depth are its children (see nefa.traces.indexed).  Plugin records are
# few: this index costs little.
EVENTS_BY_PARENT = ("CREATE INDEX {schema}events_by_parent ON calls (trace_key, thread_native_id, parent, id)"
                    " WHERE kind IS NOT NULL")


# Each name's rows, a block of NAME_BLOCK_IDS calls at a time (see
# nefa.traces.name_blocks): an index of calls by name, kept row by row,
# took a quarter of the index build.
NAME_BLOCKS = """
    CREATE TABLE {schema}call_name_blocks (
        trace_key INTEGER NOT NULL,
        name_id INTEGER NOT NULL,
        first_id INTEGER NOT NULL,      -- a multiple of the block size (8192; 1024 in version 1)
        first_offset INTEGER NOT NULL,  -- the first of ids
        ids BLOB NOT NULL,              -- offsets from first_id: 2 bytes each (little-endian), or a bitmap of 128
        PRIMARY KEY (trace_key, name_id, first_id, first_offset)
    ) WITHOUT ROWID
    """


def create_index_tables(conn: sqlite3.Connection, *, temporary: bool = False) -> None:
    """The index tables as migration 3 made them or, ``temporary``, as TEMP
    tables of this connection, which hide the stored ones: those get the
    tables and indexes of the latest schema too."""
    for statement in _TABLES:
        if temporary:
            statement = re.sub(r"REFERENCES \w+ \([\w, ]+\)( ON DELETE CASCADE)?( DEFERRABLE INITIALLY DEFERRED)?",
                               "", statement)
            statement = re.sub(r"^\s*CREATE (TABLE|VIEW) ", r"CREATE TEMP \1 ", statement)
            statement = re.sub(r"^\s*CREATE INDEX ", "CREATE INDEX temp.", statement)
        conn.execute(statement)
    if temporary:
        from nefa.traces.layout import create_layout_indexes

        create_layout_indexes(conn, temporary=True)
        conn.execute(EVENTS_BY_PARENT.format(schema="temp."))
        conn.execute(NAME_BLOCKS.format(schema="temp."))
        conn.execute(lanes.LANES.format(schema="temp."))




@dataclass
class IndexedPart:
    """What scanning one document found."""

    fields: dict
    record_count: int
    call_count: int
    thread_ids: list[int]
    end_timestamp: float | None
    time_base: float | None
    value_forms_seen: bool


def _decode_field(encoded: bytes):
    return msgpack.unpackb(encoded, raw=False, strict_map_key=False, unicode_errors="replace")


def scan_fields(scanner: TraceScanner) -> dict:
    fields = {}
    for key, encoded in scanner.fields():
        try:
            fields[key] = _decode_field(encoded)
        except (msgpack.UnpackException, ValueError, TypeError):
            fields[key] = None
    return fields


def _intern(conn: sqlite3.Connection, table: str, column: str, texts: list[str], cache: dict) -> list[int]:
    missing = [text for text in dict.fromkeys(texts) if text not in cache]
    if missing:
        conn.executemany(f"INSERT OR IGNORE INTO {table} ({column}) VALUES (?)", ((text,) for text in missing))
        for start in range(0, len(missing), 500):
            batch = missing[start : start + 500]
            marks = ",".join("?" * len(batch))
            cache.update(conn.execute(f"SELECT {column}, id FROM {table} WHERE {column} IN ({marks})", batch))
    return [cache[text] for text in texts]


class _Sink:
    """Where one scan's rows go: a trace's index tables, or nowhere."""

    def __init__(self, conn: sqlite3.Connection | None, trace_key: int, part_index: int, id_base: int):
        self.conn = conn
        self.trace_key = trace_key
        self.part_index = part_index
        self.id_base = id_base
        self.names: dict = {}
        self.paths: dict = {}
        self.threaded = False

    def start(self, scanner: TraceScanner) -> None:
        """Rows are written on a thread of their own while the scan goes on,
        where the connection allows it."""
        if self.conn is not None:
            self.threaded = scanner.start_writer(self.conn, self.trace_key, self.part_index, self.id_base)

    def drain(self, scanner: TraceScanner) -> None:
        if self.conn is None:
            names, paths = scanner.new_names(), scanner.new_paths()
            scanner.map_names([0] * len(names))
            scanner.map_paths([0] * len(paths))
            scanner.drop_rows()
            return
        scanner.map_names(_intern(self.conn, "names", "name", scanner.new_names(), self.names))
        scanner.map_paths(_intern(self.conn, "paths", "path", scanner.new_paths(), self.paths))
        if self.threaded:
            scanner.submit_rows()
        elif not scanner.insert_rows(self.conn, self.trace_key, self.part_index, self.id_base):
            rows = scanner.take_rows(self.trace_key, self.part_index, self.id_base)
            self.conn.executemany(_INSERT_CALL, rows)
            self.conn.executemany(
                "INSERT INTO call_name_blocks (trace_key, name_id, first_id, first_offset, ids) VALUES (?, ?, ?, ?, ?)",
                block_rows((self.trace_key, row[9], row[2]) for row in rows))
            self.conn.executemany(lanes.INSERT, scanner.take_lanes(self.trace_key, self.part_index))

    def finish(self, scanner: TraceScanner) -> None:
        if self.threaded:
            scanner.finish_writer()

    def stop(self, scanner: TraceScanner) -> None:
        if self.threaded:
            scanner.stop_writer()


def scan(pieces: Iterable, *, time_base: float | None = None, sink: _Sink | None = None, strict_time: bool = True,
         progress: Callable[[int], None] | None = None,
         on_piece: Callable[[memoryview], None] | None = None) -> tuple[TraceScanner, IndexedPart]:
    """Scan a document given as pieces of bytes; rows go to ``sink``, and
    every piece, once scanned, to ``on_piece``."""
    scanner = TraceScanner(time_base, strict_time)
    sink = sink or _Sink(None, 0, 0, 0)
    done = 0
    sink.start(scanner)
    try:
        for piece in pieces:
            view = memoryview(piece)
            for start in range(0, len(view), PIECE):
                piece_view = view[start : start + PIECE]
                scanner.feed(piece_view)
                sink.drain(scanner)
                if on_piece is not None:
                    on_piece(piece_view)
            done += len(view)
            if progress is not None:
                progress(done)
        scanner.finish()
        sink.drain(scanner)
        sink.finish(scanner)
    except ValueError as error:
        sink.stop(scanner)
        raise DocumentFormatError(f"not a readable trace document: {error}") from None
    except BaseException:
        # Nothing may write on the connection once the caller rolls back.
        sink.stop(scanner)
        raise
    finally:
        # A reader thread behind the pieces stops now, not when the
        # traceback goes: one still inflating as the interpreter ends would
        # crash it.
        close = getattr(pieces, "close", None)
        if close is not None:
            close()
    threads = scanner.threads()
    ends = [thread[6] for thread in threads if thread[2]]
    part = IndexedPart(
        fields=scan_fields(scanner),
        record_count=scanner.record_count,
        call_count=scanner.call_count,
        thread_ids=sorted(thread[0] for thread in threads if thread[2]),
        end_timestamp=max(ends) if ends else None,
        time_base=scanner.time_base,
        value_forms_seen=scanner.value_forms_seen,
    )
    return scanner, part


def index_part(conn: sqlite3.Connection, trace_id: str, part_index: int, pieces: Iterable,
               progress: Callable[[int], None] | None = None,
               on_piece: Callable[[memoryview], None] | None = None) -> IndexedPart:
    """Scan one part of ``trace_id`` into the index tables, inside the
    caller's transaction.  Parts are indexed in order, from part 0."""
    row = conn.execute(
        "SELECT trace_key, time_base, part_count, call_count FROM call_indexes WHERE trace_id = ?", (trace_id,)
    ).fetchone()
    if part_index == 0:
        if row is not None:
            delete_index(conn, row[0])
        trace_key = conn.execute(
            "INSERT INTO call_indexes (trace_id, version, time_base, part_count, record_count, call_count, built_at)"
            " VALUES (?, ?, 0, 0, 0, 0, ?)",
            (trace_id, INDEX_VERSION, time.time()),
        ).lastrowid
        # A key handed out anew may still have rows, left by an index whose
        # row in call_indexes was lost: they would refuse this index's.
        _delete_rows(conn, trace_key)
        time_base, id_base = None, 0
    else:
        if row is None or row[2] != part_index:
            raise ValueError(f"trace {trace_id}: part {part_index} indexed out of order")
        trace_key, time_base, _, id_base = row
    # Each call row goes into the table, and its lane's and name's blocks
    # (a plugin record into two indexes) at places spread over their trees:
    # a page cache that holds them saves most of the reads and writes.
    (cache_pages,) = conn.execute("PRAGMA cache_size").fetchone()
    conn.execute(f"PRAGMA cache_size = {-INDEX_BUILD_CACHE_KIB}")
    try:
        scanner, part = scan(pieces, time_base=time_base, sink=_Sink(conn, trace_key, part_index, id_base),
                             progress=progress, on_piece=on_piece)
    finally:
        conn.execute(f"PRAGMA cache_size = {int(cache_pages)}")
    if part_index == 0:
        time_base = part.time_base if part.time_base is not None else 0.0
    conn.execute(
        "UPDATE call_indexes SET time_base = ?, part_count = part_count + 1, record_count = record_count + ?,"
        " call_count = call_count + ?, built_at = ? WHERE trace_key = ?",
        (time_base, part.record_count, part.call_count, time.time(), trace_key),
    )
    conn.execute(
        "INSERT INTO call_index_parts (trace_key, part_index, record_count, call_count, legacy_values)"
        " VALUES (?, ?, ?, ?, ?)",
        (trace_key, part_index, part.record_count, part.call_count, int(not part.value_forms_seen)),
    )
    main_id = part.fields.get("main_thread_id")
    conn.executemany(
        "INSERT INTO call_threads (trace_key, thread_native_id, name, is_main, record_count, call_count, start, end)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (trace_key, thread_native_id) DO UPDATE SET"
        " record_count = record_count + excluded.record_count, call_count = call_count + excluded.call_count,"
        " start = min(start, excluded.start), end = max(end, excluded.end), is_main = max(is_main, excluded.is_main)",
        [
            (trace_key, native_id, name, int(native_id == main_id), records, calls, start, end)
            for native_id, name, records, calls, start, end, _ in scanner.threads()
            if records
        ],
    )
    conn.executemany(
        "INSERT INTO function_stats (trace_key, name_id, path_id, calls, total_time, self_time)"
        " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (trace_key, name_id, path_id) DO UPDATE SET"
        " calls = calls + excluded.calls, total_time = total_time + excluded.total_time,"
        " self_time = self_time + excluded.self_time",
        [(trace_key, *stats) for stats in scanner.stats()],
    )
    return part


def _delete_rows(conn: sqlite3.Connection, trace_key: int) -> None:
    for table in ("calls", "call_name_blocks", "call_lanes", "function_stats", "call_threads", "call_index_parts"):
        conn.execute(f"DELETE FROM {table} WHERE trace_key = ?", (trace_key,))


def delete_index(conn: sqlite3.Connection, trace_key: int) -> None:
    _delete_rows(conn, trace_key)
    conn.execute("DELETE FROM call_indexes WHERE trace_key = ?", (trace_key,))


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
    log_copy: object = None

    def close(self) -> None:
        self.conn.close()
        if self.built_in is not None:
            built_in, self.built_in = self.built_in, None
            db.empty_log(built_in, self.log_copy)

    def __enter__(self) -> OpenIndex:
        return self

    def __exit__(self, *_) -> None:
        self.close()


def _current_key(conn: sqlite3.Connection, trace_id: str):
    """(trace_key, time_base, version) of a current index of ``trace_id``, or None."""
    parts = conn.execute("SELECT part_count FROM traces WHERE id = ?", (trace_id,)).fetchone()
    if parts is None:
        raise db.TraceNotFoundError(f"no trace {trace_id!r}")
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
    indexes = [index for (index,) in conn.execute(
        "SELECT part_index FROM trace_parts WHERE trace_id = ? ORDER BY part_index", (trace_id,))]
    # The documents are read and inflated on a thread and a connection of
    # their own: on the writing connection their pages took turns with the
    # index's for its lock and filled its page cache, which at ten million
    # records cost more than half the build.
    reader = _reader_path(conn)
    for position, part_index in enumerate(indexes):
        if reader is not None:
            pieces = pieces_ahead(reader, trace_id, part_index, name="nefa-index-reader")
        else:
            pieces = db._StoredDocument(conn, trace_id, part_index).pieces()
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
        raise db.DatabaseError(f"cannot read trace {trace_id} in {db_path}: {error}") from None
    except sqlite3.DatabaseError as error:
        raise db.IndexDamagedError.of(error, trace_id) from None


def _open_index(db_path, trace_id: str, *, timeout: float, progress) -> OpenIndex:
    def failed(error: Exception) -> Exception:
        return type(error)(f"trace {trace_id}: {error}")

    conn = db._connect(db_path, timeout=timeout, create=False)
    try:
        key = _current_key(conn, trace_id)
        if key is not None:
            return OpenIndex(conn, trace_id, *key)
    except BaseException:
        conn.close()
        raise
    conn.close()
    try:
        writer = db._connect(db_path, timeout=timeout, create=True)
    except db.DatabaseError:
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
            conn = db._connect(db_path, timeout=timeout, create=False)
        except sqlite3.OperationalError as error:
            if "readonly" not in str(error) and "read-only" not in str(error):
                raise db.DatabaseError(f"cannot index trace {trace_id} in {db_path}: {error}") from None
            conn = None
        except (ValueError, db.DatabaseError) as error:
            raise failed(error) from None
        finally:
            writer.close()
        copy = None
        if conn is None:
            conn = db._connect(db_path, timeout=timeout, create=False)
        elif built:
            copy = db.copy_log_back_later(db_path)
        try:
            key = _current_key(conn, trace_id)
        except BaseException:
            conn.close()
            raise
        if key is not None:
            return OpenIndex(conn, trace_id, *key, built_in=db_path if built else None, log_copy=copy)
        conn.close()
    # The file cannot be written: the index lives in this connection.
    conn = db._connect(db_path, timeout=timeout, create=False)
    try:
        create_index_tables(conn, temporary=True)
        _index_all_parts(conn, trace_id, progress)
        key = _current_key(conn, trace_id)
    except (ValueError, db.DatabaseError) as error:
        conn.close()
        raise failed(error) from None
    except BaseException:
        conn.close()
        raise
    return OpenIndex(conn, trace_id, *key,
                     note="the database cannot be written: the call index was built for this command only")
