"""Connections to a trace database: read-only, or created and migrated.

After a large write, the WAL log is copied back on a thread of its own.
"""

from __future__ import annotations

import contextlib
import os
import sqlite3
import threading
import time
from pathlib import Path

from nefa.store import opening, schema
from nefa.store.errors import DatabaseError, DatabaseNotFoundError

__all__ = ["connect", "copy_log_back_later", "empty_log", "prepare_database"]

# The schema and the opening checks are looked up through their modules at
# each call, so that a test can stand in for them.


def connect(db_path, *, timeout: float, create: bool) -> sqlite3.Connection:
    """A connection to one of nefa's databases: read-write (created, and
    migrated, when needed) or, without ``create``, read-only."""
    path = Path(os.fspath(db_path))
    if not create:
        conn, state = opening.open_for_reading(path, timeout=timeout, schema_version=schema.SCHEMA_VERSION)
        if state.user_version == schema.SCHEMA_VERSION or not state.tables:
            if not state.tables:
                conn.close()
                raise DatabaseNotFoundError(f"no trace database at {path} (the file is empty)")
            return conn
        # An older schema: upgraded where the file can be written, read as
        # it is otherwise.
        conn.close()
        try:
            connect(path, timeout=timeout, create=True).close()
        except DatabaseError:
            pass
        conn, _ = opening.open_for_reading(path, timeout=timeout, schema_version=schema.SCHEMA_VERSION)
        return conn
    conn, state = opening.open_for_writing(path, timeout=timeout, schema_version=schema.SCHEMA_VERSION)
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


def _ensure_schema(conn: sqlite3.Connection, path: Path, state: opening.DatabaseState) -> None:
    if state.user_version == schema.SCHEMA_VERSION and state.is_marked:
        return
    if state.is_new:
        _use_wal(conn, path)
    conn.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have migrated while we waited for the lock.
        state = opening.inspect_database(conn)
        opening.check_ours(path, state, schema_version=schema.SCHEMA_VERSION)
        for number in range(state.user_version, schema.SCHEMA_VERSION):
            schema.MIGRATIONS[number](conn)
            conn.execute(f"PRAGMA user_version = {number + 1}")
        if not state.is_marked:
            opening.mark_as_ours(conn)
        conn.execute("COMMIT")
    except BaseException:
        # SQLite may have ended it already (a full disk): keep its error.
        if conn.in_transaction:
            with contextlib.suppress(sqlite3.Error):
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
    uri = opening.uri(Path(os.fspath(db_path)), mode="rw")
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
    _checkpoint(opening.uri(Path(os.fspath(db_path)), mode="rw"), ("TRUNCATE",))


def prepare_database(db_path, *, timeout: float = 60, check: bool = False) -> None:
    """Create the database, or raise the one-line DatabaseError that says
    why it cannot be used: checked before a program is recorded.  With
    ``check``, a damaged database is refused too (see :func:`_quick_check`)."""
    conn = connect(db_path, timeout=timeout, create=True)
    try:
        if check:
            _quick_check(conn, Path(os.fspath(db_path)))
    finally:
        conn.close()


# Past this size a whole check takes seconds (about 8 s for 900 MB): only
# the tables of rows that every save reads and updates are checked, whose
# check stays well under a millisecond however large the traces are.
_WHOLE_CHECK_BYTES = 64 << 20
_CHECKED_TABLES = ("traces", "trace_parts", "names", "paths", "call_indexes", "call_index_parts", "function_stats")


def _quick_check(conn: sqlite3.Connection, path: Path) -> None:
    try:
        size = conn.execute("PRAGMA page_count").fetchone()[0] * conn.execute("PRAGMA page_size").fetchone()[0]
        if size <= _WHOLE_CHECK_BYTES:
            problems = [row[0] for row in conn.execute("PRAGMA quick_check(1)")]
        else:
            present = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            problems = [
                row[0]
                for table in _CHECKED_TABLES
                if table in present
                for row in conn.execute(f"PRAGMA quick_check({table})")
            ]
    except sqlite3.DatabaseError as error:
        problems = [str(error)]
    problems = [problem for problem in problems if problem != "ok"]
    if problems:
        detail = " ".join(problems[0].split())[:200]
        raise DatabaseError(f"{path} is damaged ({detail}): recording into it could lose the trace; use another --db")
