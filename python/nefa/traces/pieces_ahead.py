"""A stored document read and inflated ahead, on a thread and a connection
of its own.

Whoever consumes the pieces (the exporter, the index builder) goes on
meanwhile: zlib lets go of the interpreter lock, and so do the consumers'
native parts.  The connection is the reader's own, so that its SELECTs never
wait for, nor fill the page cache of, a connection that is writing.
"""

from __future__ import annotations

import queue
import sys
import threading

from nefa.store import connections
from nefa.store.chunks import StoredDocument

__all__ = ["PIECE", "joined", "pieces_ahead"]

PIECE = 1 << 20


def joined(pieces):
    """Pieces of PIECE bytes or so: one hand-over per chunk would cost more
    than it saves."""
    kept, size = [], 0
    for piece in pieces:
        kept.append(piece)
        size += len(piece)
        if size >= PIECE:
            yield b"".join(kept)
            kept, size = [], 0
    if kept:
        yield b"".join(kept)


def pieces_ahead(db_path, trace_id: str, part_index: int, *, name: str = "nefa-reader"):
    """The part's pieces, a few ahead of the caller."""
    pieces: queue.Queue = queue.Queue(maxsize=4)
    stop = threading.Event()

    def produce() -> None:
        try:
            conn = connections.connect(db_path, timeout=60, create=False)
            try:
                for piece in joined(StoredDocument(conn, trace_id, part_index).pieces(PIECE)):
                    while not stop.is_set():
                        try:
                            pieces.put((piece, None), timeout=0.1)
                            break
                        except queue.Full:
                            continue
                    if stop.is_set():
                        return
            finally:
                conn.close()
        except BaseException as error:  # handed to the reader
            pieces.put((None, error))
            return
        pieces.put((None, None))

    thread = threading.Thread(target=produce, name=name, daemon=True)
    thread.start()
    try:
        while True:
            piece, error = pieces.get()
            if error is not None:
                raise error
            if piece is None:
                return
            yield piece
    finally:
        stop.set()
        # Closed by the interpreter's end (a traceback kept to the last): the
        # thread may have been ended on the spot, and would never join.
        if not sys.is_finalizing():
            thread.join()
