"""A document written as compressed chunks, compressed on a worker thread."""

from __future__ import annotations

import collections
import concurrent.futures
import os
import queue
import sqlite3
import threading

from nefa.store.chunks import DOCUMENT_CHUNK_SIZE, compress_chunk

__all__ = ["ChunkWriter"]


class ChunkWriter:
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

    def __init__(self) -> None:
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
