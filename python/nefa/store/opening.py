"""Opening nefa's own databases only: whose a file is, then a connection.

Whose a file is comes from what SQLite reads of it; the connection is
read-write or read-only.
"""

from __future__ import annotations

import os
import sqlite3
import urllib.parse
from dataclasses import dataclass
from pathlib import Path

from nefa.store.errors import DatabaseError, DatabaseNotFoundError, ForeignDatabaseError, SchemaTooNewError, refuse
from nefa.store.files import check_file, create_database_file

__all__ = [
    "APPLICATION_ID",
    "CORE_TABLES",
    "KNOWN_TABLES",
    "DatabaseState",
    "check_ours",
    "inspect_database",
    "mark_as_ours",
    "open_for_reading",
    "open_for_writing",
    "uri",
]

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
KNOWN_TABLES = CORE_TABLES | frozenset(
    {
        "document_chunks",
        "names",
        "paths",
        "call_indexes",
        "call_index_parts",
        "call_threads",
        "calls",
        "function_stats",
        "call_view",
        "call_name_blocks",
        "call_lanes",
    }
)


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
        raise refuse(
            path,
            f"it belongs to another application (application_id {state.application_id:#010x})",
            ForeignDatabaseError,
        )
    if state.is_new:
        return
    if not state.is_marked:
        # Written before databases were marked: recognised by nefa's
        # tables and nothing else.
        foreign = state.tables - KNOWN_TABLES
        if foreign:
            raise refuse(
                path, f"it is another program's database (it has tables {_names(foreign)})", ForeignDatabaseError
            )
        if state.user_version == 0 or not CORE_TABLES <= state.tables:
            tables = f"tables {_names(state.tables)}" if state.tables else "no tables"
            raise refuse(
                path,
                f"it is not a nefa trace database (user_version {state.user_version}, {tables})",
                ForeignDatabaseError,
            )
    if state.user_version > schema_version:
        raise SchemaTooNewError(
            f"{path} was written by a newer nefa (schema {state.user_version}, this one knows up to "
            f"{schema_version}): upgrade nefa to use it"
        )
    if state.user_version >= 1 and not CORE_TABLES <= state.tables:
        raise refuse(path, f"it is marked as nefa's but lacks its tables {_names(CORE_TABLES - state.tables)}")


def mark_as_ours(conn: sqlite3.Connection) -> None:
    """Marks the database as nefa's (inside the caller's transaction)."""
    conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")


def uri(path: Path, **params: str) -> str:
    query = "&".join(f"{key}={value}" for key, value in params.items())
    return f"file:{urllib.parse.quote(os.fspath(path.absolute()), safe='/')}?{query}"


def _connect_uri(address: str, path: Path, timeout: float) -> sqlite3.Connection:
    try:
        # isolation_level=None: callers open their transactions explicitly.
        return sqlite3.connect(address, timeout=timeout, isolation_level=None, uri=True)
    except sqlite3.Error as error:
        raise refuse(path, f"SQLite cannot open it ({error})") from None


def _unreadable(path: Path, error: sqlite3.Error) -> DatabaseError:
    if getattr(error, "sqlite_errorname", "") == "SQLITE_NOTADB":
        return refuse(path, "it is not an SQLite database", ForeignDatabaseError)
    return refuse(path, f"SQLite cannot read it ({error})")


def _inspect_or_refuse(conn: sqlite3.Connection, path: Path) -> DatabaseState:
    try:
        return inspect_database(conn)
    except sqlite3.Error as error:
        conn.close()
        raise _unreadable(path, error) from None
    except BaseException:
        conn.close()
        raise


def open_for_writing(db_path, *, timeout: float, schema_version: int) -> tuple[sqlite3.Connection, DatabaseState]:
    """A read-write connection to a new or nefa's own database, created
    (private) if missing.  Nothing is written yet: marking and migrating
    are the caller's, inside its transaction."""
    path = Path(os.fspath(db_path))
    if not check_file(path, write=True):
        create_database_file(path)
        check_file(path, write=True)
    # mode=rw: never create the file behind our back, with SQLite's modes.
    conn = _connect_uri(uri(path, mode="rw"), path, timeout)
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


def open_for_reading(db_path, *, timeout: float, schema_version: int) -> tuple[sqlite3.Connection, DatabaseState]:
    """A read-only connection (``mode=ro``) to one of nefa's databases.

    A WAL database needs its -shm file even to be read; where it cannot be
    made (a read-only directory) and no log is pending, the file alone
    is the whole database and is opened as immutable.
    """
    path = Path(os.fspath(db_path))
    if not check_file(path, write=False):
        raise DatabaseNotFoundError(f"no trace database at {path}")
    conn = _connect_uri(uri(path, mode="ro"), path, timeout)
    try:
        state = inspect_database(conn)
    except sqlite3.Error as error:
        conn.close()
        if not (_read_only_cause(error) and _is_wal(path)):
            raise _unreadable(path, error) from None
        wal = Path(f"{path}-wal")
        if wal.exists() and wal.stat().st_size > 0:
            raise refuse(
                path,
                f"its write-ahead log {wal} holds changes that cannot be read without write access to its directory",
            ) from None
        conn = _connect_uri(uri(path, mode="ro", immutable="1"), path, timeout)
        state = _inspect_or_refuse(conn, path)
    return _checked_ours(conn, path, state, schema_version), state
