"""The export of a stored trace, streamed: the formats of
:mod:`nefa.traces.export`, written while the documents are read, in
memory bounded by the stack depth and a fixed buffer whatever the trace's
size.

Each part is read once, by the native exporter
(:class:`nefa._native.TraceExport`), when the trace's call index can be
had: what a survey would find (the trace's start, its threads and their
names, how the frames that end far from their call ended) is read from
the index (:mod:`nefa.traces.indexed_survey`). Without one, each part is
read twice, a piece at a time (inflated once: the survey keeps the bytes
in a temporary file for the second pass): a survey first, then the
writing. Python writes only the head and the end of the
document, with :func:`json.dumps`, from what the survey found; the events
are written natively, with values shown as :func:`nefa.traces.values.brief`
shows them. The result reads back equal to the documents the tests build
from the same trace read whole (:func:`nefa.traces.load_trace`).

A file is written beside its target and renamed over it once complete: a
damaged trace or a failed write leaves no half-written export behind.
"""

from __future__ import annotations

import contextlib
import io
import json
import math
import os
import shlex
import sqlite3
import stat
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import IO

import msgpack

from nefa import db
from nefa._native import TraceExport
from nefa.store.saving import argument_text
from nefa.traces.call_index import open_index
from nefa.traces.export import SPEEDSCOPE_SCHEMA, chrome_metadata, micros
from nefa.traces.indexed_survey import plan_from_index
from nefa.traces.pieces_ahead import PIECE, pieces_ahead
from nefa.traces.reader import TraceFormatError
from nefa.version import __version__

__all__ = ["export_document", "export_trace", "record_count"]


def _dumps(value) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)


def _number(value) -> float | None:
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    return None


class _Thread:
    __slots__ = ("native_id", "name", "record_count", "start", "end", "is_main")

    def __init__(self, native_id: int):
        self.native_id = native_id
        self.name = f"thread {native_id}"
        self.record_count = 0
        self.start: float | None = None
        self.end: float | None = None
        self.is_main = False

    @property
    def label(self) -> str:
        return f"{self.name} ({self.native_id})"


class _Plan:
    """What the survey of all parts tells: as parse_documents would."""

    def __init__(self, trace_id: str):
        self.trace_id = trace_id
        self.threads: dict[int, _Thread] = {}
        self.parts: list[dict] = []
        self.starts: list[float] = []

    def add_part(self, fields, threads) -> None:
        decoded = {}
        for key, encoded in fields:
            try:
                decoded[key] = msgpack.unpackb(encoded, raw=False, strict_map_key=False, unicode_errors="replace")
            except (ValueError, TypeError, msgpack.UnpackException):
                decoded[key] = None
        self.parts.append(decoded)
        timestamp = _number(decoded.get("timestamp"))
        if timestamp is not None:
            if not math.isfinite(timestamp):
                raise TraceFormatError(f"the document has the timestamp {timestamp!r}")
            self.starts.append(timestamp)
        for native_id, name, records, has_time, first, last in threads:
            thread = self.threads.get(native_id)
            if thread is None:
                thread = self.threads[native_id] = _Thread(native_id)
            if name and name != f"thread {native_id}" and thread.name.startswith("thread "):
                thread.name = name
            thread.record_count += records
            if has_time:
                thread.start = first if thread.start is None else min(thread.start, first)
                thread.end = last if thread.end is None else max(thread.end, last)
                self.starts.append(first)

    def finish(self):
        first = self.parts[0] if self.parts else {}
        main_id = first.get("main_thread_id")
        for native_id, thread in self.threads.items():
            thread.is_main = native_id == main_id
        self.ordered = sorted(
            (thread for thread in self.threads.values() if thread.record_count),
            key=lambda thread: (not thread.is_main, thread.start if thread.start is not None else 0.0),
        )
        self.origin = min(self.starts, default=0.0)
        argv = first.get("command_line_args")
        # Bytes that were not UTF-8 are written as their escapes (\udcff).
        self.command_line = (
            [argument_text(arg).encode("utf-8", "backslashreplace").decode() for arg in argv]
            if isinstance(argv, list)
            else []
        )

    def threads_out(self) -> list:
        origin = self.origin
        return [
            (
                thread.native_id,
                thread.label,
                micros(thread.start if thread.start is not None else origin, origin),
                micros(thread.end if thread.end is not None else origin, origin),
            )
            for thread in self.ordered
        ]

    def chrome_ends(self) -> tuple[str, str]:
        command = shlex.join(self.command_line) if self.command_line else self.trace_id
        events = chrome_metadata(self.trace_id, command, ((thread.native_id, thread.name) for thread in self.ordered))
        head = '{"traceEvents":[' + ",".join(_dumps(event) for event in events)
        other = {
            "trace_id": self.trace_id,
            "command_line": command,
            "start_epoch_seconds": self.origin,
            "exporter": f"nefa {__version__}",
        }
        return head, '],"displayTimeUnit":"ms","otherData":' + _dumps(other) + "}\n"

    def speedscope_ends(self) -> tuple[str, str]:
        head = {
            "$schema": SPEEDSCOPE_SCHEMA,
            "name": f"{self.trace_id} {shlex.join(self.command_line)}".strip(),
            "activeProfileIndex": 0,
            "exporter": f"nefa {__version__}",
        }
        return _dumps(head)[:-1] + ',"profiles":[', "}\n"


def record_count(db_path, trace_id: str) -> int | None:
    """The trace's records as its call index counts them; None without one."""
    try:
        with sqlite3.connect(f"file:{Path(db_path).resolve()}?mode=ro", uri=True) as conn:
            row = conn.execute("SELECT record_count FROM call_indexes WHERE trace_id = ?", (trace_id,)).fetchone()
    except sqlite3.Error:
        return None
    return row[0] if row and type(row[0]) is int else None


def _part_indexes(conn: sqlite3.Connection, trace_id: str) -> list[int]:
    indexes = [
        index
        for (index,) in conn.execute(
            "SELECT part_index FROM trace_parts WHERE trace_id = ? ORDER BY part_index", (trace_id,)
        )
    ]
    if not indexes:
        raise db.TraceNotFoundError(f"no trace {trace_id!r}")
    return indexes


def _kept_pieces(kept):
    """The pieces the survey kept, read back (from the page cache, mostly)."""
    kept.seek(0)
    while piece := kept.read(PIECE):
        yield piece


def _read(exporter: TraceExport, stored, number: int, trace_id: str, done: Callable[[int], None], db_path, kept):
    """One pass over a part: inflated from the database (into ``kept``, when
    there is one, the first time), read back from ``kept`` the second
    (inflating is the dearest part of reading; the copy costs disk, not
    memory)."""
    surveying = kept is None or kept.tell() == 0
    pieces = (
        pieces_ahead(db_path, trace_id, stored.part_index, name="nefa-export-reader")
        if surveying
        else _kept_pieces(kept)
    )
    try:
        exporter.begin_part()
        for piece in pieces:
            exporter.feed(piece)
            if surveying and kept is not None:
                kept.write(piece)
            done(len(piece))
        return exporter.end_part()
    except ValueError as error:
        raise TraceFormatError(f"trace {trace_id}, part {number}: not a readable trace document: {error}") from None
    except db.DocumentDamagedError as error:
        raise TraceFormatError(str(error)) from None
    finally:
        # The reader thread stops now, not when the traceback goes: one
        # still inflating as the interpreter ends would crash it.
        pieces.close()


def _current_index(db_path, trace_id: str):
    """The trace's call index, built now if need be; None when it cannot be
    had (a damaged document: the survey says where)."""
    try:
        return open_index(db_path, trace_id)
    except (db.DatabaseError, db.DocumentFormatError, ValueError, sqlite3.Error):
        return None


def _temporary_beside(path: Path) -> tuple[int, Path]:
    # In the directory as it is: a missing one is not made.
    for attempt in range(100):
        temporary = path.with_name(f".{path.name}.{os.getpid()}-{attempt}.part")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600)
        except FileExistsError:
            continue
        return fd, temporary
    raise FileExistsError(f"cannot make a temporary file beside {path}")


def _write_to_stream(write: Callable[[int], None], stream) -> None:
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):  # io.UnsupportedOperation is both
        fd = None
    if fd is not None:
        stream.flush()
        write(fd)
        return
    # A stream without a file (a StringIO): through a temporary file.
    with tempfile.TemporaryFile() as spill:
        write(spill.fileno())
        spill.seek(0)
        text = io.TextIOWrapper(spill, encoding="utf-8")
        while chunk := text.read(1 << 20):
            stream.write(chunk)
        text.detach()


def _stored_parts(conn: sqlite3.Connection, trace_id: str) -> list:
    try:
        return [db.StoredDocument(conn, trace_id, index) for index in _part_indexes(conn, trace_id)]
    except db.DocumentDamagedError as error:
        raise TraceFormatError(str(error)) from None


def export_trace(
    db_path,
    trace_id: str,
    format_name: str,
    output,
    *,
    progress: Callable[[int, int], None] | None = None,
    long_span: int = 1 << 20,
) -> None:
    """Write ``trace_id``'s export to ``output``: a path (an owner-only file,
    replaced only once complete) or an open text file.

    ``progress(done, total)`` is told of the bytes read, over all passes.
    Frames that end more than ``long_span`` bytes after their call are
    noted by the survey (or found in the call index); the events after any other wait in memory until
    it ends (tests make it small, to take the survey's path).
    Raises :class:`TraceFormatError` (naming the trace) for a damaged
    document, :class:`nefa.db.DatabaseError`, or OSError when writing fails.
    """
    conn = db.connect(db_path, timeout=60, create=False)
    stack = contextlib.ExitStack()
    try:
        stored = _stored_parts(conn, trace_id)
        exporter = TraceExport(format_name, long_span)
        plan = _Plan(trace_id)
        index = _current_index(db_path, trace_id)
        if index is not None:
            stack.callback(index.close)
            # The survey from the index: each part is read once, by the writing.
            try:
                plan_from_index(index, stored, plan, exporter, long_span)
            except db.DocumentDamagedError as error:
                raise TraceFormatError(str(error)) from None
            except (db.IndexDamagedError, *db.IndexDamagedError.READ_ERRORS) as error:
                # It reads the index alone (the documents' records through stored).
                raise db.IndexDamagedError.of(error, trace_id) from None
            kept: list[IO[bytes] | None] = [None] * len(stored)
        else:
            kept = [stack.enter_context(tempfile.TemporaryFile()) for _ in stored]
        total = (1 if index is not None else 2) * sum(document.size for document in stored)
        read = 0

        def done(size: int) -> None:
            nonlocal read
            read += size
            if progress is not None:
                progress(read, total)

        if index is None:
            for number, document in enumerate(stored, 1):
                fields, threads, _, _ = _read(exporter, document, number, trace_id, done, db_path, kept[number - 1])
                try:
                    plan.add_part(fields, threads)
                except TraceFormatError as error:
                    raise TraceFormatError(f"trace {trace_id}, part {number}: {error}") from None
        plan.finish()
        head, tail = plan.chrome_ends() if format_name == "chrome" else plan.speedscope_ends()

        def write(fd: int) -> None:
            exporter.start_output(fd, plan.origin, plan.threads_out(), head)
            for number, document in enumerate(stored, 1):
                _read(exporter, document, number, trace_id, done, db_path, kept[number - 1])
            exporter.finish_output(tail)

        if hasattr(output, "write"):
            _write_to_stream(write, output)
        else:
            _write_to_path(write, Path(output))
    finally:
        stack.close()
        conn.close()


def _write_to_path(write: Callable[[int], None], path: Path) -> None:
    try:
        special = not stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        special = False
    if special:  # a device or a pipe: written as it is
        fd = os.open(path, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            write(fd)
        finally:
            os.close(fd)
        return
    fd, temporary = _temporary_beside(path)
    try:
        try:
            write(fd)
        finally:
            os.close(fd)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def export_document(db_path, trace_id: str, output, *, progress: Callable[[int, int], None] | None = None) -> None:
    """Write ``trace_id``'s stored MessagePack documents, exactly as they
    were saved (the parts one after another), to ``output``: a path
    (replaced only once complete, as :func:`export_trace` writes) or an
    open binary file.  Inflated a chunk at a time: memory stays bounded
    whatever the size.  Raises :class:`TraceFormatError` (naming the trace)
    for a damaged document, :class:`nefa.db.DatabaseError`, or OSError."""
    conn = db.connect(db_path, timeout=60, create=False)
    try:
        stored = _stored_parts(conn, trace_id)
        total = sum(document.size for document in stored)

        def copy(emit: Callable[[memoryview], object]) -> None:
            done = 0
            for document in stored:
                try:
                    for piece in document.pieces(PIECE):
                        emit(memoryview(piece))
                        done += len(piece)
                        if progress is not None:
                            progress(done, total)
                except db.DocumentDamagedError as error:
                    raise TraceFormatError(str(error)) from None

        def write(fd: int) -> None:
            with open(fd, "wb", closefd=False) as file:
                copy(file.write)

        if hasattr(output, "write"):
            copy(output.write)
        else:
            _write_to_path(write, Path(output))
    finally:
        conn.close()
