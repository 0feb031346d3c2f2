"""The call index's build: a document scanned natively into the index tables.

It runs in the transaction that saves the document or, for a trace saved
without its index, on the first read.

The native scanner (:class:`nefa._native.TraceScanner`) reads a document
piece by piece without decoding its values; its rows go to the ``calls``
table in batches, its per-function figures to ``function_stats``, its
threads to ``call_threads``.  The tables are documented in the README
("Querying traces with SQL"), created by :mod:`nefa.store.schema` and read
by :mod:`nefa.traces.call_index`.
"""

from __future__ import annotations

import sqlite3
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import msgpack

from nefa._native import TraceScanner
from nefa.store.errors import DocumentFormatError
from nefa.store.lane_blocks import INSERT as LANE_INSERT
from nefa.store.name_blocks import block_rows

__all__ = ["INDEX_VERSION", "IndexedPart", "Sink", "delete_index", "index_part", "scan", "scan_fields"]

# Raised when what the builder writes changes: older indexes are rebuilt,
# unless they read as they are.
INDEX_VERSION = 2

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


class Sink:
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
                block_rows((self.trace_key, row[9], row[2]) for row in rows),
            )
            self.conn.executemany(LANE_INSERT, scanner.take_lanes(self.trace_key, self.part_index))

    def finish(self, scanner: TraceScanner) -> None:
        if self.threaded:
            scanner.finish_writer()

    def stop(self, scanner: TraceScanner) -> None:
        if self.threaded:
            scanner.stop_writer()


def scan(
    pieces: Iterable,
    *,
    time_base: float | None = None,
    sink: Sink | None = None,
    strict_time: bool = True,
    progress: Callable[[int], None] | None = None,
    on_piece: Callable[[memoryview], None] | None = None,
) -> tuple[TraceScanner, IndexedPart]:
    """Scan a document given as pieces of bytes; rows go to ``sink``, and
    every piece, once scanned, to ``on_piece``."""
    scanner = TraceScanner(time_base, strict_time)
    sink = sink or Sink(None, 0, 0, 0)
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


def index_part(
    conn: sqlite3.Connection,
    trace_id: str,
    part_index: int,
    pieces: Iterable,
    progress: Callable[[int], None] | None = None,
    on_piece: Callable[[memoryview], None] | None = None,
) -> IndexedPart:
    """Scan one part of ``trace_id`` into the index tables, inside the
    caller's transaction.  Parts are indexed in order, from the first."""
    row = conn.execute(
        "SELECT trace_key, time_base, part_count, call_count FROM call_indexes WHERE trace_id = ?", (trace_id,)
    ).fetchone()
    if part_index == 0:
        if row is not None:
            delete_index(conn, row[0])
        trace_key: int = conn.execute(  # type: ignore[assignment]  # an INSERT's lastrowid is set
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
        scanner, part = scan(
            pieces,
            time_base=time_base,
            sink=Sink(conn, trace_key, part_index, id_base),
            progress=progress,
            on_piece=on_piece,
        )
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
