"""Saving a trace document, as a new trace or as one more part of one.

Its figures are folded into the trace's row and its calls indexed, in
one transaction.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import sqlite3
import time
from dataclasses import dataclass

from nefa.store import connections
from nefa.store.chunk_writer import ChunkWriter
from nefa.store.chunks import StoredDocument
from nefa.store.errors import DocumentFormatError
from nefa.store.index_build import INDEX_VERSION, IndexedPart, index_part, scan
from nefa.store.unsaved import keep_unsaved, open_kept_document

__all__ = [
    "DocumentSummary",
    "argument_text",
    "import_file",
    "import_document",
    "save_trace_in_sqlite",
    "store_trace",
    "summarize_document",
]


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


def _number(value, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{what} is not a number: {value!r}")
    return float(value)


def argument_text(argument) -> str:
    """A command-line argument as the program saw it: the profiler stores
    one that is not UTF-8 as its bytes, read back as the interpreter reads
    them (surrogateescape), so that ``os.fsencode`` gives them back."""
    return os.fsdecode(argument) if isinstance(argument, bytes) else str(argument)


def _check_document(document) -> None:
    if not isinstance(document, (bytes, bytearray, memoryview)):
        raise TypeError(f"a trace document is bytes, not {type(document).__name__}")


def _document_summary(part: IndexedPart) -> DocumentSummary:
    """The summary of a scanned document."""
    found = part.fields
    try:
        timestamp = _number(found.get("timestamp"), "the document timestamp")
    except ValueError as error:
        raise DocumentFormatError(f"not a readable trace document: {error}") from None
    argv = found.get("command_line_args") or []
    meta: dict = found.get("meta") if isinstance(found.get("meta"), dict) else {}  # type: ignore[assignment]  # checked a dict
    sha = found.get("current_commit_sha")
    dropped = meta.get("dropped_events")
    parent = meta.get("parent_trace_id")
    trace_id = found.get("trace_id")
    return DocumentSummary(
        command_line=[argument_text(arg) for arg in argv] if isinstance(argv, list) else [str(argv)],
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
    return _document_summary(scan([document], strict_time=False)[1])


def save_trace_in_sqlite(db_path, trace_id: str, *, timeout: float = 60, msgpack: bytes) -> None:
    """Store a trace document, as a new trace or as one more part of one,
    and index its calls (see :mod:`nefa.store.index_build`).

    ``timeout`` is how many seconds to wait for another writer.  A
    document that cannot be stored is written to a file instead (see
    :mod:`nefa.store.unsaved`) and :class:`TraceNotStoredError` says where; an
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
        failure = keep_unsaved(db_path, trace_id, document, error)
        if isinstance(error, KeyboardInterrupt):
            error.add_note(str(failure))
            raise
        raise failure from error


def _check_trace_id(trace_id) -> None:
    if not isinstance(trace_id, str) or not trace_id:
        raise ValueError(f"a trace id is a non-empty string, not {trace_id!r}")


def store_trace(
    db_path, trace_id: str, *, timeout: float = 60, msgpack: bytes = b"", pieces=None, index: bool = True
) -> DocumentSummary:
    """:func:`save_trace_in_sqlite` without the fallback file: failures are
    raised as they come.  The document is ``msgpack``, or the bytes-like
    ``pieces`` in order (streamed: never held whole); it is scanned once,
    and its calls are indexed in the same transaction unless ``index`` is
    false (the first read then indexes it).  Returns the summary."""
    _check_trace_id(trace_id)
    if pieces is None:
        _check_document(msgpack)
        pieces = (msgpack,)
    now = time.time()
    conn = connections.connect(db_path, timeout=timeout, create=True)
    try:
        conn.execute("BEGIN IMMEDIATE")
        try:
            row = conn.execute(
                "SELECT start_timestamp, duration, thread_ids, part_count FROM traces WHERE id = ?",
                (trace_id,),
            ).fetchone()
            part_index = 0 if row is None else row[3]
            writer = ChunkWriter(conn, trace_id, part_index)
            if index and (row is None or _index_is_current(conn, trace_id, part_index)):
                conn.execute("SAVEPOINT indexing")
                try:
                    part = index_part(conn, trace_id, part_index, pieces, on_piece=writer.write)
                    conn.execute("RELEASE indexing")
                except DocumentFormatError:
                    if not isinstance(pieces, tuple):
                        raise
                    # Damage that a reader may get past (a record's time):
                    # the document is kept, unindexed; reading it says why.
                    conn.execute("ROLLBACK TO indexing")
                    conn.execute("RELEASE indexing")
                    writer = ChunkWriter(conn, trace_id, part_index)
                    part = scan(pieces, on_piece=writer.write, strict_time=False)[1]
            else:
                # The trace's index is missing or stale: its first read rebuilds it whole.
                part = scan(pieces, on_piece=writer.write, strict_time=False)[1]
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
            _roll_back(conn)
            raise
    finally:
        conn.close()
    return summary


def _roll_back(conn: sqlite3.Connection) -> None:
    # A full disk (or a file size limit) makes SQLite end the transaction
    # itself: its error is the one to report, not the rollback's.
    if conn.in_transaction:
        with contextlib.suppress(sqlite3.Error):
            conn.execute("ROLLBACK")


def _index_is_current(conn: sqlite3.Connection, trace_id: str, part_count: int) -> bool:
    row = conn.execute("SELECT version, part_count FROM call_indexes WHERE trace_id = ?", (trace_id,)).fetchone()
    return row is not None and row[0] == INDEX_VERSION and row[1] == part_count


_COMPARE_STEP = 1 << 20

# The ids the profiler makes: "trc_" and a ULID (Crockford base32).
_TRACE_ID = re.compile(r"trc_[0-9A-HJKMNP-TV-Z]{26}")


def _shown(text: str) -> str:
    return repr(text if len(text) <= 60 else text[:60] + "...")


def import_document(db_path, document, *, timeout: float = 60) -> tuple[str, bool]:
    """Store a document kept by a failed save, under its own trace id.

    Returns ``(trace_id, stored)``; ``stored`` is False when that very
    document is already part of the trace (imported before).  Raises
    ValueError for something that is not a trace document, for a trace
    id the profiler does not make, and for a trace that exists already
    without this document: a document is never added to another trace.
    """
    _check_document(document)
    view = memoryview(document)
    return _import(
        db_path, len(view), lambda: (view[i : i + _COMPARE_STEP] for i in range(0, len(view), _COMPARE_STEP)), timeout
    )


def import_file(db_path, path, *, timeout: float = 60) -> tuple[str, bool]:
    """:func:`import_document` of a file, read a piece at a time (never
    held whole)."""

    def pieces():
        with open_kept_document(path) as file:
            while piece := file.read(_COMPARE_STEP):
                yield piece

    with open_kept_document(path) as file:
        size = os.fstat(file.fileno()).st_size
    return _import(db_path, size, pieces, timeout)


def _import(db_path, size: int, pieces, timeout: float) -> tuple[str, bool]:
    summary = _document_summary(scan(pieces(), strict_time=False)[1])
    trace_id = summary.trace_id
    if not trace_id:
        raise ValueError(f"not a trace document: its trace_id is {trace_id!r}")
    if not _TRACE_ID.fullmatch(trace_id):
        raise ValueError(f"its trace id {_shown(trace_id)} is not one nefa makes (trc_ and 26 letters or digits)")
    conn = connections.connect(db_path, timeout=timeout, create=True)
    try:
        exists = conn.execute("SELECT 1 FROM traces WHERE id = ?", (trace_id,)).fetchone() is not None
        same_size = conn.execute(
            "SELECT part_index FROM trace_parts WHERE trace_id = ? AND coalesce(document_size, length(document)) = ?",
            (trace_id, size),
        ).fetchall()
        for (part_index,) in same_size:
            stored = StoredDocument(conn, trace_id, part_index)
            start = 0
            for piece in pieces():
                if stored.read(start, len(piece)) != piece:
                    break
                start += len(piece)
            else:
                return trace_id, False
    finally:
        conn.close()
    if exists:
        raise ValueError(
            f"trace {trace_id} is already stored in {db_path} and this document is not part of it: not imported"
        )
    store_trace(db_path, trace_id, timeout=timeout, pieces=pieces())
    return trace_id, True
