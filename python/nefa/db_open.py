"""Opening trace databases: only nefa's own, created private, read read-only.

Everything here happens before nefa writes a byte: the file is checked
(a directory, a text file, a truncated copy, no permission), and what
SQLite reads of it says whose it is.  nefa's databases carry
``PRAGMA application_id`` = :data:`APPLICATION_ID`; files from before that
mark are recognised by their tables and marked on their next write.
Another program's database is refused untouched.

New files and directories are made private (0600 / 0700, whatever the
umask): a trace holds every recorded argument and local.  SQLite gives
the -wal and -shm side files the mode of the database file.
"""

from __future__ import annotations

import os
import sqlite3
import stat
import urllib.parse
from dataclasses import dataclass
from pathlib import Path

__all__ = [
    "APPLICATION_ID",
    "CORE_TABLES",
    "DatabaseError",
    "DatabaseNotFoundError",
    "DatabaseState",
    "ForeignDatabaseError",
    "SchemaTooNewError",
    "create_private_file",
    "inspect",
    "make_private_dirs",
    "mark",
    "open_for_reading",
    "open_for_writing",
]

# "nefa" in ASCII: what `file` and `sqlite3 .dbinfo` show for our databases.
APPLICATION_ID = 0x6E656661

# The tables every schema version has; a migration that adds a table must
# add it to KNOWN_TABLES, or older unmarked databases stop being recognised.
CORE_TABLES = frozenset({"traces", "trace_parts"})
KNOWN_TABLES = CORE_TABLES

_MAGIC = b"SQLite format 3\x00"
_HEADER_SIZE = 100


class DatabaseError(Exception):
    pass


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
    except PermissionError:
        raise _refuse(path, "no permission to read it") from None
    except OSError as error:
        raise _refuse(path, f"cannot read it: {error.strerror or error}") from None
    if write:
        if not os.access(path, os.W_OK):
            raise _refuse(path, "no permission to write it")
        directory = path.parent
        if not os.access(directory, os.W_OK | os.X_OK):
            raise _refuse(path, f"no permission to write in its directory {directory} (SQLite keeps its journal there)")
    if not sample:
        return True  # empty: SQLite treats it as a new database
    header = sample[:_HEADER_SIZE]
    if not (header.startswith(_MAGIC) or _MAGIC.startswith(header)):
        cause = "it is a text file, not an SQLite database" if _looks_like_text(sample) else "it is not an SQLite database"
        raise _refuse(path, cause, ForeignDatabaseError)
    if len(header) < _HEADER_SIZE:
        raise _refuse(path, f"it is truncated ({info.st_size} bytes, shorter than an SQLite header)")
    page_size = int.from_bytes(header[16:18], "big")
    page_size = 65536 if page_size == 1 else page_size
    page_count = int.from_bytes(header[28:32], "big")
    # The page count is valid only while the "version-valid-for" number
    # matches the change counter.
    if header[92:96] == header[24:28] and page_count and not _busy_side_file(path):
        expected = page_count * page_size
        if info.st_size < expected:
            raise _refuse(path, f"it is truncated ({info.st_size} of {expected} bytes)")
    return True


# --- what SQLite says ------------------------------------------------------

def inspect(conn: sqlite3.Connection) -> DatabaseState:
    """Reads the marks and table names; changes nothing."""
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


def mark(conn: sqlite3.Connection) -> None:
    """Marks the database as nefa's (inside the caller's transaction)."""
    conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")


def _uri(path: Path, **params: str) -> str:
    query = "&".join(f"{key}={value}" for key, value in params.items())
    return f"file:{urllib.parse.quote(os.fspath(path.absolute()), safe='/')}?{query}"


def _connect(uri: str, path: Path, timeout: float) -> sqlite3.Connection:
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
        return inspect(conn)
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
    if not _check_file(path, write=True):
        _create_database_file(path)
        _check_file(path, write=True)
    # mode=rw: never create the file behind our back, with SQLite's modes.
    conn = _connect(_uri(path, mode="rw"), path, timeout)
    state = _inspect_or_refuse(conn, path)
    try:
        check_ours(path, state, schema_version=schema_version)
    except BaseException:
        conn.close()
        raise
    return conn, state


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
    if not _check_file(path, write=False):
        raise DatabaseNotFoundError(f"no trace database at {path}")
    conn = _connect(_uri(path, mode="ro"), path, timeout)
    try:
        state = inspect(conn)
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
        conn = _connect(_uri(path, mode="ro", immutable="1"), path, timeout)
        state = _inspect_or_refuse(conn, path)
    try:
        check_ours(path, state, schema_version=schema_version)
    except BaseException:
        conn.close()
        raise
    return conn, state
