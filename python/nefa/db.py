"""SQLite storage of trace documents.

One row per trace in ``traces`` carries what a listing needs, so that
listing never decodes a document; the documents themselves live in
``trace_parts``.  Saving twice under one trace id appends a part (a
profiler that records several times, e.g. once per decorated call) and
folds its figures into the trace's summary.

The schema version is ``PRAGMA user_version``; each numbered migration
moves the database up by one and runs in the same transaction as the
version bump, so a database is never left half-migrated.

Only nefa's own databases are written (``PRAGMA application_id``), commands
that only read open them read-only, and a document that cannot be stored
is kept in a file for ``nefa import``: see the two sections below.
"""

from __future__ import annotations

import collections
import concurrent.futures
import io
import json
import os
import queue
import re
import sqlite3
import stat
import struct
import tempfile
import threading
import time
import urllib.parse
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import msgpack

from nefa import _native

__all__ = [
    "APPLICATION_ID",
    "SCHEMA_VERSION",
    "DatabaseError",
    "DatabaseNotFoundError",
    "DocumentDamagedError",
    "DocumentFile",
    "ForeignDatabaseError",
    "SchemaTooNewError",
    "TraceNotFoundError",
    "TraceNotStoredError",
    "DocumentSummary",
    "TraceSummary",
    "get_trace",
    "import_document",
    "list_traces",
    "open_document",
    "prepare_database",
    "read_document_range",
    "read_trace_parts",
    "save_trace_in_sqlite",
    "store_trace",
    "summarize_document",
    "take_unsaved",
]


# --- Opening: only nefa's own databases, created private ---------------------
#
# Everything here happens before nefa writes a byte: the file is checked
# (a directory, a text file, a truncated copy, no permission), and what
# SQLite reads of it says whose it is.  nefa's databases carry
# ``PRAGMA application_id`` = APPLICATION_ID; files from before that mark
# are recognised by their tables and marked on their next write.  Another
# program's database is refused untouched.  New files and directories are
# private (0600 / 0700, whatever the umask): a trace holds every recorded
# argument and local.  SQLite gives the -wal and -shm side files the mode
# of the database file.

# "nefa" in ASCII: what `file` and `sqlite3 .dbinfo` show for our databases.
APPLICATION_ID = 0x6E656661

# The tables every schema version has; a migration that adds a table must
# add it to KNOWN_TABLES, or older unmarked databases stop being recognised.
CORE_TABLES = frozenset({"traces", "trace_parts"})
KNOWN_TABLES = CORE_TABLES | frozenset({
    "document_chunks", "names", "paths", "call_indexes", "call_index_parts", "call_threads", "calls",
    "function_stats", "call_view", "call_name_blocks", "call_lanes",
})

_MAGIC = b"SQLite format 3\x00"
_HEADER_SIZE = 100


class DatabaseError(Exception):
    pass


class DocumentFormatError(ValueError):
    """Bytes that are not a trace document; the message says where and why."""


class DatabaseNotFoundError(DatabaseError):
    pass


class SchemaTooNewError(DatabaseError):
    pass


class ForeignDatabaseError(DatabaseError):
    """The file is a database, but not one of nefa's."""


def _refuse(path, cause: str, kind: type[DatabaseError] = DatabaseError) -> DatabaseError:
    return kind(f"cannot use {path} as a trace database: {cause}")


@dataclass(frozen=True)
class DatabaseState:
    application_id: int
    user_version: int
    tables: frozenset[str]

    @property
    def is_new(self) -> bool:
        """An empty database: nefa may make it its own."""
        return self.application_id == 0 and self.user_version == 0 and not self.tables

    @property
    def is_marked(self) -> bool:
        return self.application_id == APPLICATION_ID


# --- private files ---------------------------------------------------------

def make_private_dirs(directory: Path) -> None:
    """Create ``directory`` and its missing parents as 0700; existing ones
    are left as they are."""
    missing = []
    while not directory.exists():
        missing.append(directory)
        if directory.parent == directory:
            break
        directory = directory.parent
    for path in reversed(missing):
        try:
            os.mkdir(path, 0o700)
        except FileExistsError:
            continue
        # mkdir's mode passes through the umask; a umask of 0o277 would
        # leave a directory even its owner cannot use.
        os.chmod(path, 0o700)


def create_private_file(path: Path) -> int:
    """Create ``path`` (which must not exist) as 0600; returns the open,
    writable descriptor."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0), 0o600)
    try:
        os.fchmod(fd, 0o600)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _create_database_file(path: Path) -> None:
    try:
        make_private_dirs(path.parent)
    except OSError as error:
        where = error.filename or path.parent
        raise _refuse(path, f"cannot create its directory {where}: {error.strerror or error}") from None
    try:
        os.close(create_private_file(path))
    except FileExistsError:
        pass  # made by another process meanwhile: checked like any other file
    except OSError as error:
        raise _refuse(path, f"cannot create it: {error.strerror or error}") from None


# --- the file itself -------------------------------------------------------

def _looks_like_text(sample: bytes) -> bool:
    if b"\x00" in sample:
        return False
    for cut in range(4):  # the sample may end inside a character
        try:
            sample[: len(sample) - cut].decode("utf-8")
            return True
        except UnicodeDecodeError:
            continue
    return False


def _busy_side_file(path: Path) -> bool:
    # A writer may be mid-transaction or mid-checkpoint: the file's size
    # can then lag behind its header for a moment.
    for suffix in ("-wal", "-journal"):
        try:
            if os.stat(f"{path}{suffix}").st_size > 0:
                return True
        except OSError:
            continue
    return False


def _check_file(path: Path, *, write: bool) -> bool:
    """Checks what can be seen without SQLite; returns whether the file
    exists.  Raises a one-line DatabaseError naming the cause."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return False
    except NotADirectoryError:
        raise _refuse(path, "a part of its path is a file, not a directory") from None
    except PermissionError:
        raise _refuse(path, "no permission to reach it") from None
    except OSError as error:
        raise _refuse(path, error.strerror or str(error)) from None
    if stat.S_ISDIR(info.st_mode):
        raise _refuse(path, "it is a directory")
    if not stat.S_ISREG(info.st_mode):
        raise _refuse(path, "it is not a regular file")
    try:
        with open(path, "rb") as file:
            sample = file.read(512)
            # Sized after the read: a database another process is creating
            # may have had no bytes when it was first seen.
            size = os.fstat(file.fileno()).st_size
    except PermissionError:
        raise _refuse(path, "no permission to read it") from None
    except OSError as error:
        raise _refuse(path, f"cannot read it: {error.strerror or error}") from None
    if sample:
        _check_header(path, sample, size)
    # Then whether it can be written: what the file is says more than that.
    if write:
        if not os.access(path, os.W_OK):
            raise _refuse(path, "no permission to write it")
        directory = path.parent
        if not os.access(directory, os.W_OK | os.X_OK):
            raise _refuse(path, f"no permission to write in its directory {directory} (SQLite keeps its journal there)")
    return True


def _check_header(path: Path, sample: bytes, size: int) -> None:
    header = sample[:_HEADER_SIZE]
    if not (header.startswith(_MAGIC) or _MAGIC.startswith(header)):
        text = _looks_like_text(sample)
        raise _refuse(path, "it is a text file, not an SQLite database" if text else "it is not an SQLite database",
                      ForeignDatabaseError)
    if len(header) < _HEADER_SIZE:
        raise _refuse(path, f"it is truncated ({size} bytes, shorter than an SQLite header)")
    page_size = int.from_bytes(header[16:18], "big")
    page_size = 65536 if page_size == 1 else page_size
    page_count = int.from_bytes(header[28:32], "big")
    # The page count is valid only while the "version-valid-for" number
    # matches the change counter.
    if header[92:96] == header[24:28] and page_count and not _busy_side_file(path):
        expected = page_count * page_size
        if size < expected:
            raise _refuse(path, f"it is truncated ({size} of {expected} bytes)")


# --- what SQLite says ------------------------------------------------------

def inspect_database(conn: sqlite3.Connection) -> DatabaseState:
    """Reads the marks and table names; changes nothing.

    All three from one snapshot: read one statement at a time, a database
    that another process is creating could show its tables but not yet
    its marks, and be refused as foreign."""
    if conn.in_transaction:
        return _read_state(conn)
    conn.execute("BEGIN")
    try:
        return _read_state(conn)
    finally:
        # A failed read may have ended the transaction already; its error
        # is the one to see.
        if conn.in_transaction:
            conn.execute("COMMIT")


def _read_state(conn: sqlite3.Connection) -> DatabaseState:
    application_id = conn.execute("PRAGMA application_id").fetchone()[0]
    user_version = conn.execute("PRAGMA user_version").fetchone()[0]
    tables = frozenset(
        name
        for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type IN ('table', 'view')")
        if not name.startswith("sqlite_")
    )
    return DatabaseState(application_id, user_version, tables)


def _names(tables) -> str:
    shown = sorted(tables)
    return ", ".join(shown[:5]) + (f" and {len(shown) - 5} more" if len(shown) > 5 else "")


def check_ours(path, state: DatabaseState, *, schema_version: int) -> None:
    """Raises unless ``state`` is a new database or one of nefa's that this
    version can use."""
    if not state.is_marked and state.application_id != 0:
        raise _refuse(path, f"it belongs to another application (application_id {state.application_id:#010x})",
                      ForeignDatabaseError)
    if state.is_new:
        return
    if not state.is_marked:
        # Written before databases were marked: recognised by nefa's
        # tables and nothing else.
        foreign = state.tables - KNOWN_TABLES
        if foreign:
            raise _refuse(path, f"it is another program's database (it has tables {_names(foreign)})",
                          ForeignDatabaseError)
        if state.user_version == 0 or not CORE_TABLES <= state.tables:
            tables = f"tables {_names(state.tables)}" if state.tables else "no tables"
            raise _refuse(path, f"it is not a nefa trace database (user_version {state.user_version}, {tables})",
                          ForeignDatabaseError)
    if state.user_version > schema_version:
        raise SchemaTooNewError(
            f"{path} was written by a newer nefa (schema {state.user_version}, this one knows up to "
            f"{schema_version}): upgrade nefa to use it"
        )
    if state.user_version >= 1 and not CORE_TABLES <= state.tables:
        raise _refuse(path, f"it is marked as nefa's but lacks its tables {_names(CORE_TABLES - state.tables)}")


def mark_as_ours(conn: sqlite3.Connection) -> None:
    """Marks the database as nefa's (inside the caller's transaction)."""
    conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")


def _uri(path: Path, **params: str) -> str:
    query = "&".join(f"{key}={value}" for key, value in params.items())
    return f"file:{urllib.parse.quote(os.fspath(path.absolute()), safe='/')}?{query}"


def _connect_uri(uri: str, path: Path, timeout: float) -> sqlite3.Connection:
    try:
        # isolation_level=None: callers open their transactions explicitly.
        return sqlite3.connect(uri, timeout=timeout, isolation_level=None, uri=True)
    except sqlite3.Error as error:
        raise _refuse(path, f"SQLite cannot open it ({error})") from None


def _unreadable(path: Path, error: sqlite3.Error) -> DatabaseError:
    if getattr(error, "sqlite_errorname", "") == "SQLITE_NOTADB":
        return _refuse(path, "it is not an SQLite database", ForeignDatabaseError)
    return _refuse(path, f"SQLite cannot read it ({error})")


def _inspect_or_refuse(conn: sqlite3.Connection, path: Path) -> DatabaseState:
    try:
        return inspect_database(conn)
    except sqlite3.Error as error:
        conn.close()
        raise _unreadable(path, error) from None
    except BaseException:
        conn.close()
        raise


def _open_for_writing(db_path, *, timeout: float, schema_version: int) -> tuple[sqlite3.Connection, DatabaseState]:
    """A read-write connection to a new or nefa's own database, created
    (private) if missing.  Nothing is written yet: marking and migrating
    are the caller's, inside its transaction."""
    path = Path(os.fspath(db_path))
    if not _check_file(path, write=True):
        _create_database_file(path)
        _check_file(path, write=True)
    # mode=rw: never create the file behind our back, with SQLite's modes.
    conn = _connect_uri(_uri(path, mode="rw"), path, timeout)
    state = _inspect_or_refuse(conn, path)
    return _checked_ours(conn, path, state, schema_version), state


def _checked_ours(conn: sqlite3.Connection, path: Path, state: DatabaseState, schema_version: int):
    """``conn``, once ``state`` shows one of nefa's databases; closed otherwise."""
    try:
        check_ours(path, state, schema_version=schema_version)
    except BaseException:
        conn.close()
        raise
    return conn


def _read_only_cause(error: sqlite3.Error) -> bool:
    # What SQLite reports when a WAL database's -shm or -wal cannot be made.
    name = getattr(error, "sqlite_errorname", "")
    return name.startswith(("SQLITE_READONLY", "SQLITE_CANTOPEN"))


def _is_wal(path: Path) -> bool:
    try:
        with open(path, "rb") as file:
            header = file.read(20)
    except OSError:
        return False
    return len(header) == 20 and header[18] == 2


def _open_for_reading(db_path, *, timeout: float, schema_version: int) -> tuple[sqlite3.Connection, DatabaseState]:
    """A read-only connection (``mode=ro``) to one of nefa's databases.

    A WAL database needs its -shm file even to be read; where it cannot be
    made (a read-only directory) and no log is pending, the file alone
    is the whole database and is opened as immutable.
    """
    path = Path(os.fspath(db_path))
    if not _check_file(path, write=False):
        raise DatabaseNotFoundError(f"no trace database at {path}")
    conn = _connect_uri(_uri(path, mode="ro"), path, timeout)
    try:
        state = inspect_database(conn)
    except sqlite3.Error as error:
        conn.close()
        if not (_read_only_cause(error) and _is_wal(path)):
            raise _unreadable(path, error) from None
        wal = Path(f"{path}-wal")
        if wal.exists() and wal.stat().st_size > 0:
            raise _refuse(
                path, f"its write-ahead log {wal} holds changes that cannot be read without write access "
                "to its directory"
            ) from None
        conn = _connect_uri(_uri(path, mode="ro", immutable="1"), path, timeout)
        state = _inspect_or_refuse(conn, path)
    return _checked_ours(conn, path, state, schema_version), state

# --- Documents that could not be stored -------------------------------------
#
# When storing fails (disk full, the database locked past its time-out, its
# permissions changed while the program ran), the document is written beside
# the database as ``unsaved-<trace id>.msgpack`` (0600), or into the
# temporary directory when that directory cannot be written, for `nefa
# import`.  Each such failure is remembered for the process (take_unsaved),
# so that whoever ran the program can say where its traces went.

class TraceNotStoredError(DatabaseError):
    """Storing failed; ``path`` is where the document went (None: lost)."""

    def __init__(self, message: str, *, trace_id: str, db_path: str, path: Path | None):
        super().__init__(message)
        self.trace_id = trace_id
        self.db_path = db_path
        self.path = path


_lock = threading.Lock()
_kept: list[TraceNotStoredError] = []
_KEPT_LIMIT = 1000


def take_unsaved() -> list[TraceNotStoredError]:
    """The store failures of this process since the last call, oldest first."""
    with _lock:
        kept = list(_kept)
        _kept.clear()
    return kept


def _file_stem(trace_id: str) -> str:
    # Trace ids are "trc_" and a ULID; anything else given through the
    # API must not reach outside the directory.
    return "unsaved-" + (re.sub(r"[^A-Za-z0-9_.-]", "_", trace_id)[:120].lstrip(".") or "trace")


def _write_in(directory: Path, stem: str, document) -> Path:
    view = memoryview(document)
    for attempt in range(1000):
        path = directory / (f"{stem}.msgpack" if attempt == 0 else f"{stem}-{attempt + 1}.msgpack")
        try:
            fd = create_private_file(path)
        except FileExistsError:
            continue  # an earlier part of the same trace
        try:
            with open(fd, "wb", closefd=True) as file:
                file.write(view)
        except BaseException:
            os.unlink(path)
            raise
        return path
    raise FileExistsError(f"{directory / stem}.msgpack and 999 numbered copies exist")


def _cause(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    return " ".join(text.split())  # one line


def _keep_unsaved(db_path, trace_id: str, document, error: BaseException) -> TraceNotStoredError:
    """Write ``document``, whose store failed with ``error``, to a file;
    returns the exception that says where (remembered for :func:`take_unsaved`)."""
    db_file = Path(os.path.abspath(os.fspath(db_path)))
    stem = _file_stem(trace_id)
    cause = _cause(error)
    path = None
    problems = []
    for directory in (db_file.parent, Path(tempfile.gettempdir())):
        try:
            path = _write_in(directory, stem, document)
            break
        except OSError as write_error:
            problems.append(f"{directory}: {write_error.strerror or write_error}")
    if path is not None:
        message = (
            f"could not store trace {trace_id} in {db_file}: {cause}; it was written to {path} "
            f"(store it later with `nefa import {path}`)"
        )
    else:
        message = (
            f"could not store trace {trace_id} in {db_file}: {cause}; nor write it to a file "
            f"({'; '.join(problems)}): the trace is lost"
        )
    failure = TraceNotStoredError(message, trace_id=trace_id, db_path=str(db_file), path=path)
    with _lock:
        _kept.append(failure)
        del _kept[:-_KEPT_LIMIT]  # a long-lived process nobody asks
    return failure


def read_kept_document(path) -> bytes:
    """The bytes of a kept document, with one-line errors."""
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        raise OSError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise OSError(f"{path}: it is a directory") from None
    except PermissionError:
        raise OSError(f"{path}: no permission to read it") from None
    except OSError as error:
        raise OSError(f"{path}: cannot read it: {error.strerror or error}") from None


class TraceNotFoundError(DatabaseError, LookupError):
    pass


def _migration_1(conn: sqlite3.Connection) -> None:
    conn.execute(
        """
        CREATE TABLE traces (
            id TEXT PRIMARY KEY,
            created_at REAL NOT NULL,       -- when the first part was stored
            updated_at REAL NOT NULL,       -- when the last part was stored
            command_line TEXT NOT NULL,     -- JSON array of str (sys.argv)
            source TEXT,
            commit_sha TEXT,
            start_timestamp REAL NOT NULL,  -- earliest document timestamp
            duration REAL NOT NULL,         -- last record timestamp - start
            record_count INTEGER NOT NULL,
            thread_ids TEXT NOT NULL,       -- JSON array of native thread ids
            thread_count INTEGER NOT NULL,
            part_count INTEGER NOT NULL
        )
        """
    )
    conn.execute("CREATE INDEX traces_by_start ON traces (start_timestamp)")
    conn.execute(
        """
        CREATE TABLE trace_parts (
            trace_id TEXT NOT NULL REFERENCES traces (id) ON DELETE CASCADE,
            part_index INTEGER NOT NULL,
            created_at REAL NOT NULL,
            record_count INTEGER NOT NULL,
            document BLOB NOT NULL,         -- the MessagePack trace document
            PRIMARY KEY (trace_id, part_index)
        )
        """
    )


def _migration_2(conn: sqlite3.Connection) -> None:
    # A trace cut at its memory budget keeps its records and says how many
    # events it dropped; a forked child's trace names the trace it came from.
    conn.execute("ALTER TABLE traces ADD COLUMN cut INTEGER NOT NULL DEFAULT 0")
    conn.execute("ALTER TABLE traces ADD COLUMN dropped_events INTEGER NOT NULL DEFAULT 0")
    conn.execute("ALTER TABLE traces ADD COLUMN parent_trace_id TEXT")


def _migration_3(conn: sqlite3.Connection) -> None:
    # Documents stored from now on are zlib-compressed chunks (document_chunks);
    # older parts keep their BLOB.  document_size is the raw size of a chunked
    # document (NULL: the BLOB is the document), chunk_size its raw chunk size.
    conn.execute("ALTER TABLE trace_parts ADD COLUMN document_size INTEGER")
    conn.execute("ALTER TABLE trace_parts ADD COLUMN chunk_size INTEGER")
    conn.execute(
        """
        CREATE TABLE document_chunks (
            trace_id TEXT NOT NULL,
            part_index INTEGER NOT NULL,
            chunk_index INTEGER NOT NULL,   -- raw bytes [chunk_index * chunk_size, ...)
            raw_offset INTEGER NOT NULL,
            data BLOB NOT NULL,             -- the raw bytes as zlib streams (db.compress_chunk)
            PRIMARY KEY (trace_id, part_index, chunk_index),
            -- The part's row is written after its chunks (it holds their count).
            FOREIGN KEY (trace_id, part_index) REFERENCES trace_parts (trace_id, part_index) ON DELETE CASCADE
                DEFERRABLE INITIALLY DEFERRED
        )
        """
    )
    # The call index (nefa.traces.call_index builds it; the README documents it).
    from nefa.traces.call_index import create_index_tables

    create_index_tables(conn)
    # Calls by name (migration 6 replaces it).
    conn.execute("CREATE INDEX calls_by_name ON calls (trace_key, name_id)")
    # The children of a call, by parent (migration 5 replaces it).
    conn.execute("CREATE INDEX calls_by_parent ON calls (trace_key, parent, id, kind)")


def _migration_4(conn: sqlite3.Connection) -> None:
    # The viewer's window queries: calls by thread, depth and start time
    # (calls_by_end: migration 7 replaces it).
    from nefa.traces.layout import create_layout_indexes

    conn.execute("CREATE INDEX calls_by_end ON calls (trace_key, thread_native_id, depth, end) WHERE kind IS NULL")
    create_layout_indexes(conn)


def _migration_5(conn: sqlite3.Connection) -> None:
    # A call's frames are found through calls_by_end (same thread, one
    # deeper, ending within the call's time; through the lane blocks since
    # migration 7), its plugin records through a small index of their own:
    # the index by parent took a fifth of the index build and a tenth of its
    # bytes.
    from nefa.traces.call_index import EVENTS_BY_PARENT

    conn.execute("DROP INDEX IF EXISTS calls_by_parent")
    conn.execute(EVENTS_BY_PARENT.format(schema=""))


def _migration_6(conn: sqlite3.Connection) -> None:
    # Calls by name are found through the blocks of calls each name occurs
    # in: the index of calls by name took a quarter of the index build.  The
    # blocks are read off that index, a name of a trace at a time.
    from nefa.traces.call_index import NAME_BLOCKS
    from nefa.traces.name_blocks import block_ids, block_rows

    conn.execute(NAME_BLOCKS.format(schema=""))
    names = conn.execute("SELECT DISTINCT trace_key, name_id FROM calls INDEXED BY calls_by_name").fetchall()
    for trace_key, name_id in names:
        ids = conn.execute("SELECT id FROM calls INDEXED BY calls_by_name WHERE trace_key = ? AND name_id = ?",
                           (trace_key, name_id))
        conn.executemany(
            "INSERT INTO call_name_blocks (trace_key, name_id, first_id, first_offset, ids) VALUES (?, ?, ?, ?, ?)",
            # Indexes of this schema were all built by version 1.
            block_rows(((trace_key, name_id, call_id) for (call_id,) in ids), block_ids(1)))
    conn.execute("DROP INDEX calls_by_name")


def _migration_7(conn: sqlite3.Connection) -> None:
    # Each lane's frames (one thread at one depth) are kept in blocks,
    # which the index by end held one row each: keeping that index took two
    # fifths of the index build.  The blocks are read off that index, lane
    # by lane.
    from nefa.traces import lanes

    conn.execute(lanes.LANES.format(schema=""))
    lanes.fill_from_calls(conn)
    conn.execute("DROP INDEX IF EXISTS calls_by_end")


# Index i holds the migration from version i to version i + 1.
MIGRATIONS: list[Callable[[sqlite3.Connection], None]] = [
    _migration_1, _migration_2, _migration_3, _migration_4, _migration_5, _migration_6, _migration_7]
SCHEMA_VERSION = len(MIGRATIONS)


@dataclass(frozen=True)
class DocumentSummary:
    """Figures read from one trace document."""

    command_line: list[str]
    source: str | None
    commit_sha: str | None
    timestamp: float
    record_count: int
    thread_ids: list[int]
    # Timestamp of the latest record, or None when there is none.
    end_timestamp: float | None
    # Recording stopped at the memory budget, having dropped this many events.
    cut: bool = False
    dropped_events: int = 0
    # The trace of the process this one was forked from.
    parent_trace_id: str | None = None
    # The document's own "trace_id" entry.
    trace_id: str | None = None


@dataclass(frozen=True)
class TraceSummary:
    """A stored trace, as listed."""

    id: str
    created_at: float
    updated_at: float
    command_line: list[str]
    source: str | None
    commit_sha: str | None
    start_timestamp: float
    duration: float
    record_count: int
    thread_count: int
    part_count: int
    cut: bool = False
    dropped_events: int = 0
    parent_trace_id: str | None = None


def _number(value, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{what} is not a number: {value!r}")
    return float(value)


def _check_document(document) -> None:
    if not isinstance(document, (bytes, bytearray, memoryview)):
        raise TypeError(f"a trace document is bytes, not {type(document).__name__}")


def _document_summary(part) -> DocumentSummary:
    """The summary of a scanned document (a call_index.IndexedPart)."""
    found = part.fields
    try:
        timestamp = _number(found.get("timestamp"), "the document timestamp")
    except ValueError as error:
        raise DocumentFormatError(f"not a readable trace document: {error}") from None
    argv = found.get("command_line_args") or []
    meta = found.get("meta") if isinstance(found.get("meta"), dict) else {}
    sha = found.get("current_commit_sha")
    dropped = meta.get("dropped_events")
    parent = meta.get("parent_trace_id")
    trace_id = found.get("trace_id")
    return DocumentSummary(
        command_line=[str(arg) for arg in argv] if isinstance(argv, list) else [str(argv)],
        source=meta.get("source") if isinstance(meta.get("source"), str) else None,
        commit_sha=sha if isinstance(sha, str) else None,
        timestamp=timestamp,
        record_count=part.record_count,
        thread_ids=part.thread_ids,
        end_timestamp=part.end_timestamp,
        cut=meta.get("cut") is True,
        dropped_events=dropped if type(dropped) is int and dropped > 0 else 0,
        parent_trace_id=parent if isinstance(parent, str) else None,
        trace_id=trace_id if isinstance(trace_id, str) else None,
    )


def summarize_document(document: bytes) -> DocumentSummary:
    """Counts and bounds of a trace document, read by the native scanner
    (no Python object per record).  Raises ValueError for bytes that are
    not a trace document."""
    _check_document(document)
    from nefa.traces import call_index

    return _document_summary(call_index.scan([document], strict_time=False)[1])


def _connect(db_path, *, timeout: float, create: bool) -> sqlite3.Connection:
    """A connection to one of nefa's databases: read-write (created, and
    migrated, when needed) or, without ``create``, read-only."""
    path = Path(os.fspath(db_path))
    if not create:
        conn, state = _open_for_reading(path, timeout=timeout, schema_version=SCHEMA_VERSION)
        if state.user_version == SCHEMA_VERSION or not state.tables:
            if not state.tables:
                conn.close()
                raise DatabaseNotFoundError(f"no trace database at {path} (the file is empty)")
            return conn
        # An older schema: upgraded where the file can be written, read as
        # it is otherwise.
        conn.close()
        try:
            _connect(path, timeout=timeout, create=True).close()
        except DatabaseError:
            pass
        conn, _ = _open_for_reading(path, timeout=timeout, schema_version=SCHEMA_VERSION)
        return conn
    conn, state = _open_for_writing(path, timeout=timeout, schema_version=SCHEMA_VERSION)
    try:
        conn.execute("PRAGMA foreign_keys = ON")
        _ensure_schema(conn, path, state)
    except sqlite3.DatabaseError as error:
        conn.close()
        raise DatabaseError(f"{path} is not a usable trace database: {error}") from None
    except BaseException:
        conn.close()
        raise
    return conn


def _ensure_schema(conn: sqlite3.Connection, path: Path, state: DatabaseState) -> None:
    if state.user_version == SCHEMA_VERSION and state.is_marked:
        return
    if state.is_new:
        _use_wal(conn, path)
    conn.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have migrated while we waited for the lock.
        state = inspect_database(conn)
        check_ours(path, state, schema_version=SCHEMA_VERSION)
        for number in range(state.user_version, SCHEMA_VERSION):
            MIGRATIONS[number](conn)
            conn.execute(f"PRAGMA user_version = {number + 1}")
        if not state.is_marked:
            mark_as_ours(conn)
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise


def _use_wal(conn: sqlite3.Connection, path: Path) -> None:
    """Puts a database nefa creates in WAL mode (persistent, and only
    outside a transaction; an existing file keeps its journal mode).

    Changing the mode needs the file to itself, and SQLite does not wait
    for it: when another process or thread creates the same database at
    the same moment, this is retried until it is done, by either, or the
    busy time-out has passed."""
    timeout = conn.execute("PRAGMA busy_timeout").fetchone()[0] / 1000
    deadline = time.monotonic() + timeout
    pause = 0.001
    while True:
        try:
            conn.execute("PRAGMA journal_mode = WAL")
            return
        except sqlite3.OperationalError as error:
            if getattr(error, "sqlite_errorcode", 0) & 0xFF != sqlite3.SQLITE_BUSY or time.monotonic() >= deadline:
                raise
        try:
            if conn.execute("PRAGMA journal_mode").fetchone()[0].lower() == "wal":
                return
        except sqlite3.OperationalError:
            pass
        time.sleep(pause)
        pause = min(pause * 2, 0.05)


def _checkpoint(uri: str, modes: tuple[str, ...]) -> None:
    """Runs these checkpoints on a connection of their own; a failure loses
    nothing (the log stays until a later connection copies it) and is not
    reported."""
    try:
        conn = sqlite3.connect(uri, uri=True, timeout=0, isolation_level=None)
    except sqlite3.Error:
        return
    try:
        for mode in modes:
            conn.execute(f"PRAGMA wal_checkpoint({mode})").fetchall()
    except sqlite3.Error:
        pass
    finally:
        conn.close()


def copy_log_back_later(db_path) -> threading.Thread | None:
    """Copies a WAL database's log back into it on a thread of its own (a
    checkpoint), once a large transaction was committed without one: the
    committed data is durable and readable meanwhile, and the interpreter
    waits for the thread at exit.  None when no thread can be started: the
    log then stays until a later connection copies it.  Pass the thread to
    :func:`empty_log` once done reading."""
    # PASSIVE copies without holding anyone up; TRUNCATE then empties the
    # file when no reader still needs it, and gives up at once otherwise.
    uri = _uri(Path(os.fspath(db_path)), mode="rw")
    thread = threading.Thread(target=_checkpoint, args=(uri, ("PASSIVE", "TRUNCATE")), name="nefa-log-copy")
    try:
        thread.start()
    except RuntimeError:
        return None
    return thread


def empty_log(db_path, copy: threading.Thread | None) -> None:
    """Once `copy` (from :func:`copy_log_back_later`) is done, empties the
    log it copied back, which a reader open meanwhile may have kept whole:
    a read-only connection closing last cannot."""
    if copy is not None:
        copy.join()
    _checkpoint(_uri(Path(os.fspath(db_path)), mode="rw"), ("TRUNCATE",))


def prepare_database(db_path, *, timeout: float = 60) -> None:
    """Create the database, or raise the one-line DatabaseError that says
    why it cannot be used: checked before a program is recorded."""
    _connect(db_path, timeout=timeout, create=True).close()


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
    streams = [zlib.compress(view[start : start + DOCUMENT_BLOCK_SIZE], _COMPRESSION_LEVEL)
               for start in range(0, len(view), DOCUMENT_BLOCK_SIZE)]
    header = _BLOCK_HEADER.pack(DOCUMENT_BLOCK_SIZE, len(streams))
    return b"".join([header, struct.pack(f">{len(streams)}I", *map(len, streams)), *streams])


class DocumentDamagedError(DatabaseError):
    """A stored document whose chunks are missing or do not inflate."""


class IndexDamagedError(DatabaseError):
    """A trace's call index whose rows are missing or do not hold together.

    Raised where a read finds it, with the trace when that is known there;
    each command names the trace once, with :meth:`of`.
    """

    def __init__(self, detail: str, trace_id: str | None = None):
        super().__init__(detail)
        self.detail = detail
        self.trace_id = trace_id

    def __str__(self) -> str:
        where = f"trace {self.trace_id}: " if self.trace_id else ""
        return f"{where}its call index is damaged: {self.detail}"

    # What reading a damaged index raises besides this error: SQLite's
    # (a damaged page, a dropped table) and a row of the wrong type's.
    READ_ERRORS = (sqlite3.DatabaseError, TypeError, ValueError)

    @classmethod
    def of(cls, error: BaseException, trace_id: str) -> IndexDamagedError:
        """``error``, raised while ``trace_id``'s index was read, as its damage."""
        return cls(error.detail if isinstance(error, cls) else str(error), trace_id)


class _StoredDocument:
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
                    f"trace {trace_id}: part {part_index} is stored as {kind.upper()}, not as a BLOB of MessagePack")
            self.size, self.chunk_size = blob_size, None
        else:
            if type(size) is not int or type(chunk_size) is not int or size < 0 or chunk_size <= 0:
                raise DocumentDamagedError(f"trace {trace_id}: part {part_index} has a damaged size ({size}, {chunk_size})")
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
        if offset != index * self.chunk_size or not isinstance(data, bytes):
            raise DocumentDamagedError(f"{where}: damaged (offset {offset!r})")
        expected = min(self.chunk_size, self.size - index * self.chunk_size)
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
        expected = min(block_size, self.size - index * self.chunk_size - block * block_size)
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
            row[0] == index and row[1] == index * self.chunk_size and type(row[2]) is bytes
            for index, row in zip(indexes, rows)
        ):
            sizes = [min(self.chunk_size, self.size - index * self.chunk_size) for index in indexes]
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


class DocumentFile(io.RawIOBase):
    """A stored document as a read-only binary file (see :func:`open_document`)."""

    def __init__(self, stored: _StoredDocument, *, own_connection: bool):
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
    conn = _connect(db_path, timeout=timeout, create=False)
    try:
        stored = _StoredDocument(conn, trace_id, part_index)
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
        conn.in_transaction
    except sqlite3.ProgrammingError:
        return True
    return False


def _stored_document(conn: sqlite3.Connection, trace_id: str, part_index: int) -> _StoredDocument:
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
        stored = documents[(trace_id, part_index)] = _StoredDocument(conn, trace_id, part_index)
    return stored


def save_trace_in_sqlite(db_path, trace_id: str, *, timeout: float = 60, msgpack: bytes) -> None:
    """Store a trace document, as a new trace or as one more part of one,
    and index its calls (see :mod:`nefa.traces.call_index`).

    ``timeout`` is how many seconds to wait for another writer.  A
    document that cannot be stored is written to a file instead (see
    the "Documents that could not be stored" section) and :class:`TraceNotStoredError` says where; an
    invalid document or trace id raises ValueError or TypeError.
    """
    _check_trace_id(trace_id)
    _check_document(msgpack)
    document = msgpack
    try:
        store_trace(db_path, trace_id, timeout=timeout, msgpack=document)
    except DocumentFormatError:
        raise
    except (Exception, KeyboardInterrupt) as error:
        failure = _keep_unsaved(db_path, trace_id, document, error)
        if isinstance(error, KeyboardInterrupt):
            error.add_note(str(failure))
            raise
        raise failure from error


def _check_trace_id(trace_id) -> None:
    if not isinstance(trace_id, str) or not trace_id:
        raise ValueError(f"a trace id is a non-empty string, not {trace_id!r}")


def store_trace(db_path, trace_id: str, *, timeout: float = 60, msgpack: bytes = b"",
                summary: DocumentSummary | None = None, pieces=None, index: bool = True) -> DocumentSummary:
    """:func:`save_trace_in_sqlite` without the fallback file: failures are
    raised as they come.  The document is ``msgpack``, or the bytes-like
    ``pieces`` in order (streamed: never held whole); it is scanned once,
    and its calls are indexed in the same transaction unless ``index`` is
    false (the first read then indexes it).  ``summary`` is accepted for
    callers of old and ignored: the scan makes it.  Returns the summary."""
    from nefa.traces import call_index

    _check_trace_id(trace_id)
    if pieces is None:
        _check_document(msgpack)
        pieces = (msgpack,)
    now = time.time()
    conn = _connect(db_path, timeout=timeout, create=True)
    try:
        conn.execute("BEGIN IMMEDIATE")
        try:
            row = conn.execute(
                "SELECT start_timestamp, duration, thread_ids, part_count FROM traces WHERE id = ?",
                (trace_id,),
            ).fetchone()
            part_index = 0 if row is None else row[3]
            writer = _ChunkWriter(conn, trace_id, part_index)
            if index and (row is None or _index_is_current(conn, trace_id, part_index)):
                conn.execute("SAVEPOINT indexing")
                try:
                    part = call_index.index_part(conn, trace_id, part_index, pieces, on_piece=writer.write)
                    conn.execute("RELEASE indexing")
                except DocumentFormatError:
                    if not isinstance(pieces, tuple):
                        raise
                    # Damage that a reader may get past (a record's time):
                    # the document is kept, unindexed; reading it says why.
                    conn.execute("ROLLBACK TO indexing")
                    conn.execute("RELEASE indexing")
                    writer = _ChunkWriter(conn, trace_id, part_index)
                    part = call_index.scan(pieces, on_piece=writer.write, strict_time=False)[1]
            else:
                # The trace's index is missing or stale: its first read rebuilds it whole.
                part = call_index.scan(pieces, on_piece=writer.write, strict_time=False)[1]
            summary = _document_summary(part)
            end = summary.end_timestamp if summary.end_timestamp is not None else summary.timestamp
            if row is None:
                conn.execute(
                    "INSERT INTO traces (id, created_at, updated_at, command_line, source, commit_sha,"
                    " start_timestamp, duration, record_count, thread_ids, thread_count, part_count,"
                    " cut, dropped_events, parent_trace_id)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1, ?, ?, ?)",
                    (
                        trace_id,
                        now,
                        now,
                        json.dumps(summary.command_line),
                        summary.source,
                        summary.commit_sha,
                        summary.timestamp,
                        max(0.0, end - summary.timestamp),
                        summary.record_count,
                        json.dumps(summary.thread_ids),
                        len(summary.thread_ids),
                        int(summary.cut),
                        summary.dropped_events,
                        summary.parent_trace_id,
                    ),
                )
            else:
                old_start, old_duration, old_threads, part_index = row
                start = min(old_start, summary.timestamp)
                stop = max(old_start + old_duration, end)
                threads = sorted(set(json.loads(old_threads)) | set(summary.thread_ids))
                conn.execute(
                    "UPDATE traces SET updated_at = ?, start_timestamp = ?, duration = ?,"
                    " record_count = record_count + ?, thread_ids = ?, thread_count = ?,"
                    " part_count = part_count + 1, cut = max(cut, ?), dropped_events = dropped_events + ?"
                    " WHERE id = ?",
                    (
                        now,
                        start,
                        max(0.0, stop - start),
                        summary.record_count,
                        json.dumps(threads),
                        len(threads),
                        int(summary.cut),
                        summary.dropped_events,
                        trace_id,
                    ),
                )
            writer.finish(now, summary.record_count)
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
    finally:
        conn.close()
    return summary


def _index_is_current(conn: sqlite3.Connection, trace_id: str, part_count: int) -> bool:
    from nefa.traces.call_index import INDEX_VERSION

    row = conn.execute("SELECT version, part_count FROM call_indexes WHERE trace_id = ?", (trace_id,)).fetchone()
    return row is not None and row[0] == INDEX_VERSION and row[1] == part_count


class _ChunkWriter:
    """Writes a document, given in pieces, as compressed chunks; the part's
    row comes last (the chunks' reference to it is checked at commit).

    Chunks are compressed on a worker thread (zlib lets go of the
    interpreter lock) while this one scans and indexes the pieces: at the
    end of ``nefa run`` compression was half of the save.  The rows go in
    on this thread, in order, at most ``_CHUNKS_AHEAD`` chunks behind."""

    def __init__(self, conn: sqlite3.Connection, trace_id: str, part_index: int):
        self.conn = conn
        self.trace_id = trace_id
        self.part_index = part_index
        self.pending = bytearray()
        self.count = 0
        self.size = 0
        self.compressing: collections.deque = collections.deque()

    def _insert(self, raw) -> None:
        compressor = _compressor()
        if compressor is not None:
            future = compressor.submit(compress_chunk, raw)
        else:
            future = concurrent.futures.Future()
            future.set_result(compress_chunk(raw))
        self.compressing.append((self.count, future))
        self.count += 1
        while len(self.compressing) > _CHUNKS_AHEAD:
            self._store_oldest()

    def _store_oldest(self) -> None:
        index, future = self.compressing.popleft()
        self.conn.execute(
            "INSERT INTO document_chunks (trace_id, part_index, chunk_index, raw_offset, data) VALUES (?, ?, ?, ?, ?)",
            (self.trace_id, self.part_index, index, index * DOCUMENT_CHUNK_SIZE, future.result()),
        )

    def write(self, piece) -> None:
        view = memoryview(piece).cast("B")
        if type(view.obj) is not bytes:
            # Only bytes surely stay as they are until the worker has read
            # them: a caller may reuse its buffer once this returns.
            view = memoryview(bytes(view))
        self.size += len(view)
        start = 0
        if self.pending:
            take = min(len(view), DOCUMENT_CHUNK_SIZE - len(self.pending))
            self.pending += view[:take]
            start = take
            if len(self.pending) < DOCUMENT_CHUNK_SIZE:
                return
            self._insert(bytes(self.pending))
            self.pending.clear()
        while len(view) - start >= DOCUMENT_CHUNK_SIZE:
            self._insert(view[start : start + DOCUMENT_CHUNK_SIZE])
            start += DOCUMENT_CHUNK_SIZE
        self.pending += view[start:]

    def finish(self, now: float, record_count: int) -> None:
        if self.pending:
            self._insert(bytes(self.pending))
            self.pending.clear()
        while self.compressing:
            self._store_oldest()
        self.conn.execute(
            "INSERT INTO trace_parts (trace_id, part_index, created_at, record_count, document, document_size,"
            " chunk_size) VALUES (?, ?, ?, ?, x'', ?, ?)",
            (self.trace_id, self.part_index, now, record_count, self.size, DOCUMENT_CHUNK_SIZE),
        )


# Chunks compressed ahead of their insert: bounds the memory they hold.
_CHUNKS_AHEAD = 8


class _Compressor:
    """One daemon thread that compresses chunks: daemon, so that waiting
    for a program's own threads at its end never waits for it (every save
    waits for its own chunks before it commits)."""

    def __init__(self):
        self.jobs: queue.SimpleQueue = queue.SimpleQueue()
        threading.Thread(target=self._work, name="nefa-compress", daemon=True).start()

    def submit(self, function, raw) -> concurrent.futures.Future:
        future: concurrent.futures.Future = concurrent.futures.Future()
        self.jobs.put((function, raw, future))
        return future

    def _work(self) -> None:
        while True:
            function, raw, future = self.jobs.get()
            try:
                future.set_result(function(raw))
            except BaseException as error:  # handed to the saving thread
                future.set_exception(error)
            del function, raw, future


_compressor_pool: tuple[int, _Compressor] | None = None
_compressor_lock = threading.Lock()


def _compressor() -> _Compressor | None:
    """The compressing worker, made on first use in each process (a forked
    child has no copy of its parent's worker thread); None where no thread
    can be started, as at interpreter shutdown: the caller compresses."""
    global _compressor_pool
    with _compressor_lock:
        if _compressor_pool is None or _compressor_pool[0] != os.getpid():
            try:
                _compressor_pool = (os.getpid(), _Compressor())
            except RuntimeError:
                return None
        return _compressor_pool[1]


def _forget_compressor_in_child() -> None:
    global _compressor_pool, _compressor_lock
    _compressor_lock = threading.Lock()
    _compressor_pool = None


os.register_at_fork(after_in_child=_forget_compressor_in_child)


_SUMMARY_COLUMNS = (
    "id, created_at, updated_at, command_line, source, commit_sha, start_timestamp, duration,"
    " record_count, thread_count, part_count, cut, dropped_events, parent_trace_id"
)


def _summary(row) -> TraceSummary:
    (id_, created, updated, argv, source, sha, start, duration, records, threads, parts, cut, dropped, parent) = row
    try:
        command_line = json.loads(argv)
    except ValueError:
        command_line = [argv]
    return TraceSummary(
        id_, created, updated, command_line, source, sha, start, duration, records, threads, parts,
        bool(cut), dropped, parent,
    )


def list_traces(db_path, *, limit: int | None = None, timeout: float = 60) -> list[TraceSummary]:
    """Stored traces, the most recently started first."""
    if limit is not None and (type(limit) is not int or limit < 0):
        raise ValueError(f"limit must be a whole number, 0 or more, not {limit!r}")
    conn = _connect(db_path, timeout=timeout, create=False)
    try:
        rows = conn.execute(
            f"SELECT {_SUMMARY_COLUMNS} FROM traces ORDER BY start_timestamp DESC, rowid DESC LIMIT ?",
            (-1 if limit is None else limit,),
        ).fetchall()
    finally:
        conn.close()
    return [_summary(row) for row in rows]


def get_trace(db_path, trace_id: str, *, timeout: float = 60) -> TraceSummary:
    conn = _connect(db_path, timeout=timeout, create=False)
    try:
        row = conn.execute(f"SELECT {_SUMMARY_COLUMNS} FROM traces WHERE id = ?", (trace_id,)).fetchone()
    finally:
        conn.close()
    if row is None:
        raise TraceNotFoundError(f"no trace {trace_id!r} in {db_path}")
    return _summary(row)


def read_trace_parts(db_path, trace_id: str, *, timeout: float = 60) -> list[bytes]:
    """The documents stored under ``trace_id``, in the order they were saved
    (each exactly as saved, however it is stored)."""
    conn = _connect(db_path, timeout=timeout, create=False)
    try:
        parts = [index for (index,) in conn.execute(
            "SELECT part_index FROM trace_parts WHERE trace_id = ? ORDER BY part_index", (trace_id,))]
        if not parts:
            raise TraceNotFoundError(f"no trace {trace_id!r} in {db_path}")
        documents = []
        for index in parts:
            stored = _StoredDocument(conn, trace_id, index)
            if stored.chunk_size is None:
                documents.append(stored.read(0, stored.size))
            else:
                documents.append(b"".join(stored.pieces()))
        return documents
    finally:
        conn.close()


_COMPARE_STEP = 1 << 20


def import_document(db_path, document, *, timeout: float = 60) -> tuple[str, bool]:
    """Store a document kept by a failed save, under its own trace id.

    Returns ``(trace_id, stored)``; ``stored`` is False when that very
    document is already part of the trace (imported before).  Raises
    ValueError for something that is not a trace document.
    """
    summary = summarize_document(document)
    trace_id = summary.trace_id
    if not trace_id:
        raise ValueError(f"not a trace document: its trace_id is {trace_id!r}")
    conn = _connect(db_path, timeout=timeout, create=True)
    try:
        present = False
        same_size = conn.execute(
            "SELECT part_index FROM trace_parts WHERE trace_id = ? AND coalesce(document_size, length(document)) = ?",
            (trace_id, len(document)),
        ).fetchall()
        for (part_index,) in same_size:
            stored = _StoredDocument(conn, trace_id, part_index)
            if all(stored.read(start, _COMPARE_STEP) == document[start : start + _COMPARE_STEP]
                   for start in range(0, len(document), _COMPARE_STEP)):
                present = True
                break
    finally:
        conn.close()
    if present:
        return trace_id, False
    store_trace(db_path, trace_id, timeout=timeout, msgpack=document)
    return trace_id, True
