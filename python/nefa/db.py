"""SQLite storage of trace documents.

One row per trace in ``traces`` carries what a listing needs, so that
listing never decodes a document; the documents themselves live in
``trace_parts``.  Saving twice under one trace id appends a part (a
profiler that records several times, e.g. once per decorated call) and
folds its figures into the trace's summary.

The schema version is ``PRAGMA user_version``; each numbered migration
moves the database up by one and runs in the same transaction as the
version bump, so a database is never left half-migrated.
"""

from __future__ import annotations

import io
import json
import os
import sqlite3
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import msgpack

__all__ = [
    "SCHEMA_VERSION",
    "DatabaseError",
    "DatabaseNotFoundError",
    "SchemaTooNewError",
    "TraceNotFoundError",
    "DocumentSummary",
    "TraceSummary",
    "get_trace",
    "list_traces",
    "read_trace_parts",
    "save_trace_in_sqlite",
    "summarize_document",
]


class DatabaseError(Exception):
    pass


class DatabaseNotFoundError(DatabaseError):
    pass


class SchemaTooNewError(DatabaseError):
    pass


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


# Index i holds the migration from version i to version i + 1.
MIGRATIONS: list[Callable[[sqlite3.Connection], None]] = [_migration_1, _migration_2]
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


class _Reader:
    """Streams through a document, decoding only the parts it needs."""

    def __init__(self, document: bytes):
        self.unpacker = msgpack.Unpacker(
            io.BytesIO(document),
            raw=False,
            strict_map_key=False,
            unicode_errors="replace",
            max_buffer_size=max(len(document), 1024),
            # Read in small pieces: the buffer then holds one record at a
            # time, not a large share of the document.
            read_size=min(1 << 16, max(len(document), 1024)),
        )

    def map_header(self) -> int:
        return self.unpacker.read_map_header()

    def array_header(self) -> int:
        return self.unpacker.read_array_header()

    def value(self):
        return self.unpacker.unpack()

    def skip(self) -> None:
        self.unpacker.skip()

    def record_fields(self, wanted: tuple[str, ...]) -> dict:
        """Decode the ``wanted`` keys of one record map, skipping the rest."""
        out = {}
        for _ in range(self.map_header()):
            key = self.value()
            if key in wanted:
                out[key] = self.value()
            else:
                self.skip()
        return out

    def records(self, wanted: tuple[str, ...]) -> tuple[int, dict, dict]:
        """Skip through an array of records: its length and the ``wanted``
        fields of its first and last records."""
        count = self.array_header()
        first = last = {}
        for index in range(count):
            if index == 0 or index == count - 1:
                last = self.record_fields(wanted)
                if index == 0:
                    first = last
            else:
                self.skip()
        return count, first, last


def _number(value, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{what} is not a number: {value!r}")
    return float(value)


def summarize_document(document: bytes) -> DocumentSummary:
    """Counts and bounds of a trace document, without decoding every record."""
    if not isinstance(document, (bytes, bytearray, memoryview)):
        raise TypeError(f"a trace document is bytes, not {type(document).__name__}")
    document = bytes(document)
    reader = _Reader(document)
    found: dict = {}
    record_count = 0
    thread_ids: set = set()
    ends: list[float] = []
    try:
        for _ in range(reader.map_header()):
            key = reader.value()
            if key == "frames":
                # Records of the other threads, keyed by native thread id.
                for _ in range(reader.map_header()):
                    thread_id = reader.value()
                    count, _, last = reader.records(("timestamp",))
                    record_count += count
                    if count:
                        thread_ids.add(thread_id)
                    if "timestamp" in last:
                        ends.append(_number(last["timestamp"], "a record timestamp"))
            elif key == "frames_of_interest":
                # One thread's records: the main thread's, or, when other
                # threads are not recorded, the thread that started recording
                # (hooks reach other threads only through the threading
                # module, whose records go to "frames").  Decoding the first
                # and last records is enough, and much cheaper than all.
                count, first, last = reader.records(("thread_native_id", "timestamp"))
                record_count += count
                for record in (first, last):
                    if "thread_native_id" in record:
                        thread_ids.add(record["thread_native_id"])
                if "timestamp" in last:
                    ends.append(_number(last["timestamp"], "a record timestamp"))
            else:
                found[key] = reader.value()
        if reader.unpacker.tell() != len(document):
            raise ValueError("trailing bytes after the document")
    except (msgpack.UnpackException, ValueError, TypeError) as error:
        raise ValueError(f"not a readable trace document: {error}") from None

    timestamp = _number(found.get("timestamp"), "the document timestamp")
    argv = found.get("command_line_args") or []
    meta = found.get("meta") if isinstance(found.get("meta"), dict) else {}
    sha = found.get("current_commit_sha")
    dropped = meta.get("dropped_events")
    parent = meta.get("parent_trace_id")
    return DocumentSummary(
        command_line=[str(arg) for arg in argv] if isinstance(argv, list) else [str(argv)],
        source=meta.get("source") if isinstance(meta.get("source"), str) else None,
        commit_sha=sha if isinstance(sha, str) else None,
        timestamp=timestamp,
        record_count=record_count,
        thread_ids=sorted(t for t in thread_ids if isinstance(t, int) and not isinstance(t, bool)),
        end_timestamp=max(ends) if ends else None,
        cut=meta.get("cut") is True,
        dropped_events=dropped if type(dropped) is int and dropped > 0 else 0,
        parent_trace_id=parent if isinstance(parent, str) else None,
    )


def _connect(db_path, *, timeout: float, create: bool) -> sqlite3.Connection:
    path = Path(os.fspath(db_path))
    if create:
        path.parent.mkdir(parents=True, exist_ok=True)
    elif not path.is_file():
        raise DatabaseNotFoundError(f"no trace database at {path}")
    try:
        # isolation_level=None: transactions are opened explicitly below.
        conn = sqlite3.connect(path, timeout=timeout, isolation_level=None)
    except sqlite3.Error as error:
        raise DatabaseError(f"cannot open {path}: {error}") from None
    try:
        conn.execute("PRAGMA foreign_keys = ON")
        _ensure_schema(conn, path)
    except sqlite3.DatabaseError as error:
        conn.close()
        raise DatabaseError(f"{path} is not a usable trace database: {error}") from None
    except BaseException:
        conn.close()
        raise
    return conn


def _user_version(conn: sqlite3.Connection) -> int:
    return conn.execute("PRAGMA user_version").fetchone()[0]


def _check_not_newer(version: int, path: Path) -> None:
    if version > SCHEMA_VERSION:
        raise SchemaTooNewError(
            f"{path} was written by a newer nefa (schema {version}, this one knows up to "
            f"{SCHEMA_VERSION}): upgrade nefa to use it"
        )


def _ensure_schema(conn: sqlite3.Connection, path: Path) -> None:
    version = _user_version(conn)
    _check_not_newer(version, path)
    if version == SCHEMA_VERSION:
        return
    if version == 0:
        # Persistent, and cannot be changed inside a transaction.
        conn.execute("PRAGMA journal_mode = WAL")
    conn.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have migrated while we waited for the lock.
        version = _user_version(conn)
        _check_not_newer(version, path)
        for number in range(version, SCHEMA_VERSION):
            MIGRATIONS[number](conn)
            conn.execute(f"PRAGMA user_version = {number + 1}")
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise


# Documents are written in pieces of this size: binding a whole document
# would make SQLite copy it, and then copy it again into the row.
_WRITE_CHUNK = 1 << 20


def _insert_document(conn, trace_id: str, part_index: int, now: float, record_count: int, document) -> None:
    rowid = conn.execute(
        "INSERT INTO trace_parts (trace_id, part_index, created_at, record_count, document)"
        " VALUES (?, ?, ?, ?, zeroblob(?))",
        (trace_id, part_index, now, record_count, len(document)),
    ).lastrowid
    view = memoryview(document).cast("B")
    with view, conn.blobopen("trace_parts", "document", rowid) as blob:
        for start in range(0, len(view), _WRITE_CHUNK):
            blob.write(view[start : start + _WRITE_CHUNK])


def save_trace_in_sqlite(db_path, trace_id: str, *, timeout: float = 60, msgpack: bytes) -> None:
    """Store a trace document, as a new trace or as one more part of one.

    ``timeout`` is how many seconds to wait for another writer.
    """
    if not isinstance(trace_id, str) or not trace_id:
        raise ValueError(f"a trace id is a non-empty string, not {trace_id!r}")
    document = msgpack
    summary = summarize_document(document)
    end = summary.end_timestamp if summary.end_timestamp is not None else summary.timestamp
    now = time.time()
    conn = _connect(db_path, timeout=timeout, create=True)
    try:
        conn.execute("BEGIN IMMEDIATE")
        try:
            row = conn.execute(
                "SELECT start_timestamp, duration, thread_ids, part_count FROM traces WHERE id = ?",
                (trace_id,),
            ).fetchone()
            if row is None:
                part_index = 0
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
            _insert_document(conn, trace_id, part_index, now, summary.record_count, document)
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
    finally:
        conn.close()


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
    """The documents stored under ``trace_id``, in the order they were saved."""
    conn = _connect(db_path, timeout=timeout, create=False)
    try:
        rows = conn.execute(
            "SELECT document FROM trace_parts WHERE trace_id = ? ORDER BY part_index",
            (trace_id,),
        ).fetchall()
    finally:
        conn.close()
    if not rows:
        raise TraceNotFoundError(f"no trace {trace_id!r} in {db_path}")
    return [bytes(row[0]) for row in rows]
