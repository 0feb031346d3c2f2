"""The schema's migrations, numbered as ``PRAGMA user_version``.

Each moves a database up one version, in the transaction that bumps it.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable

from nefa.store.index_tables import EVENTS_BY_PARENT, LANES, NAME_BLOCKS, create_index_tables, create_layout_indexes
from nefa.store.lane_blocks import fill_from_calls
from nefa.store.name_blocks import block_ids, block_rows

__all__ = ["MIGRATIONS", "SCHEMA_VERSION"]


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


def _migration_3(conn: sqlite3.Connection) -> None:
    # Documents stored from now on are zlib-compressed chunks (document_chunks);
    # older parts keep their BLOB.  document_size is the raw size of a chunked
    # document (NULL: the BLOB is the document), chunk_size its raw chunk size.
    conn.execute("ALTER TABLE trace_parts ADD COLUMN document_size INTEGER")
    conn.execute("ALTER TABLE trace_parts ADD COLUMN chunk_size INTEGER")
    conn.execute(
        """
        CREATE TABLE document_chunks (
            trace_id TEXT NOT NULL,
            part_index INTEGER NOT NULL,
            chunk_index INTEGER NOT NULL,   -- raw bytes [chunk_index * chunk_size, ...)
            raw_offset INTEGER NOT NULL,
            data BLOB NOT NULL,             -- the raw bytes as zlib streams (db.compress_chunk)
            PRIMARY KEY (trace_id, part_index, chunk_index),
            -- The part's row is written after its chunks (it holds their count).
            FOREIGN KEY (trace_id, part_index) REFERENCES trace_parts (trace_id, part_index) ON DELETE CASCADE
                DEFERRABLE INITIALLY DEFERRED
        )
        """
    )
    # The call index (nefa.store.index_build builds it; the README documents it).
    create_index_tables(conn)
    # Calls by name (migration 6 replaces it).
    conn.execute("CREATE INDEX calls_by_name ON calls (trace_key, name_id)")
    # The children of a call, by parent (migration 5 replaces it).
    conn.execute("CREATE INDEX calls_by_parent ON calls (trace_key, parent, id, kind)")


def _migration_4(conn: sqlite3.Connection) -> None:
    # The viewer's window queries: calls by thread, depth and start time
    # (calls_by_end: migration 7 replaces it).
    conn.execute("CREATE INDEX calls_by_end ON calls (trace_key, thread_native_id, depth, end) WHERE kind IS NULL")
    create_layout_indexes(conn)


def _migration_5(conn: sqlite3.Connection) -> None:
    # A call's frames are found through calls_by_end (same thread, one
    # deeper, ending within the call's time; through the lane blocks since
    # migration 7), its plugin records through a small index of their own:
    # the index by parent took a fifth of the index build and a tenth of its
    # bytes.
    conn.execute("DROP INDEX IF EXISTS calls_by_parent")
    conn.execute(EVENTS_BY_PARENT.format(schema=""))


def _migration_6(conn: sqlite3.Connection) -> None:
    # Calls by name are found through the blocks of calls each name occurs
    # in: the index of calls by name took a quarter of the index build.  The
    # blocks are read off that index, a name of a trace at a time.
    conn.execute(NAME_BLOCKS.format(schema=""))
    names = conn.execute("SELECT DISTINCT trace_key, name_id FROM calls INDEXED BY calls_by_name").fetchall()
    for trace_key, name_id in names:
        ids = conn.execute(
            "SELECT id FROM calls INDEXED BY calls_by_name WHERE trace_key = ? AND name_id = ?", (trace_key, name_id)
        )
        conn.executemany(
            "INSERT INTO call_name_blocks (trace_key, name_id, first_id, first_offset, ids) VALUES (?, ?, ?, ?, ?)",
            # Indexes of this schema were all built by version 1.
            block_rows(((trace_key, name_id, call_id) for (call_id,) in ids), block_ids(1)),
        )
    conn.execute("DROP INDEX calls_by_name")


def _migration_7(conn: sqlite3.Connection) -> None:
    # Each lane's frames (one thread at one depth) are kept in blocks,
    # which the index by end held one row each: keeping that index took two
    # fifths of the index build.  The blocks are read off that index, lane
    # by lane.
    conn.execute(LANES.format(schema=""))
    fill_from_calls(conn)
    conn.execute("DROP INDEX IF EXISTS calls_by_end")


# Index i holds the migration from version i to version i + 1.
MIGRATIONS: list[Callable[[sqlite3.Connection], None]] = [
    _migration_1,
    _migration_2,
    _migration_3,
    _migration_4,
    _migration_5,
    _migration_6,
    _migration_7,
]
SCHEMA_VERSION = len(MIGRATIONS)
