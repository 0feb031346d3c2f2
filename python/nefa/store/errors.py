"""The errors the trace store raises, each a one-line message."""

from __future__ import annotations

import sqlite3
from pathlib import Path


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


def refuse(path, cause: str, kind: type[DatabaseError] = DatabaseError) -> DatabaseError:
    return kind(f"cannot use {path} as a trace database: {cause}")


class TraceNotStoredError(DatabaseError):
    """Storing failed; ``path`` is where the document went (None: lost)."""

    def __init__(self, message: str, *, trace_id: str, db_path: str, path: Path | None):
        super().__init__(message)
        self.trace_id = trace_id
        self.db_path = db_path
        self.path = path


class TraceNotFoundError(DatabaseError, LookupError):
    pass


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
