"""The statements of the call index's tables, stored or as TEMP tables.

The migrations make them; a database that cannot be written gets the
same as TEMP tables of one connection.
"""

from __future__ import annotations

import re
import sqlite3

__all__ = ["EVENTS_BY_PARENT", "LANES", "NAME_BLOCKS", "create_index_tables", "create_layout_indexes"]

_TABLES = (
    "CREATE TABLE names (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE)",
    "CREATE TABLE paths (id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE)",
    """
    CREATE TABLE call_indexes (
        trace_key INTEGER PRIMARY KEY,  -- what the index tables use for the trace
        trace_id TEXT NOT NULL UNIQUE REFERENCES traces (id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED,
        version INTEGER NOT NULL,       -- of the index builder; an older one is rebuilt
        time_base REAL NOT NULL,        -- calls.start is nanoseconds after this Unix time
        part_count INTEGER NOT NULL,    -- parts indexed
        record_count INTEGER NOT NULL,
        call_count INTEGER NOT NULL,    -- rows in calls
        built_at REAL NOT NULL
    )
    """,
    """
    CREATE TABLE call_index_parts (
        trace_key INTEGER NOT NULL REFERENCES call_indexes (trace_key) ON DELETE CASCADE,
        part_index INTEGER NOT NULL,
        record_count INTEGER NOT NULL,
        call_count INTEGER NOT NULL,
        legacy_values INTEGER NOT NULL, -- 1: values stored before the value forms
        PRIMARY KEY (trace_key, part_index)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE call_threads (
        trace_key INTEGER NOT NULL REFERENCES call_indexes (trace_key) ON DELETE CASCADE,
        thread_native_id INTEGER NOT NULL,
        name TEXT NOT NULL,
        is_main INTEGER NOT NULL,
        record_count INTEGER NOT NULL,
        call_count INTEGER NOT NULL,    -- frame calls, plugin rows not counted
        start INTEGER NOT NULL,         -- nanoseconds after call_indexes.time_base
        end INTEGER NOT NULL,
        PRIMARY KEY (trace_key, thread_native_id)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE calls (
        trace_key INTEGER NOT NULL,
        part_index INTEGER NOT NULL,
        id INTEGER NOT NULL,            -- per trace, in the order the calls were recorded
        thread_native_id INTEGER NOT NULL,
        parent INTEGER,                 -- calls.id of the caller, NULL at the top
        depth INTEGER NOT NULL,         -- 0 at the top
        start INTEGER NOT NULL,         -- nanoseconds after call_indexes.time_base
        duration INTEGER NOT NULL,      -- nanoseconds
        self_time INTEGER NOT NULL,     -- nanoseconds, calls below left out
        name_id INTEGER NOT NULL,       -- names.id: qualified name (co_name when none)
        path_id INTEGER,                -- paths.id: the file
        line INTEGER,
        kind TEXT,                      -- NULL for a frame; a plugin record's type
        resumed INTEGER NOT NULL,       -- 1: a generator or coroutine resumed
        flags INTEGER NOT NULL,         -- 1: call not recorded, 2: return not recorded
        call_offset INTEGER,            -- the call record's bytes in the part's document
        call_length INTEGER,
        return_offset INTEGER,          -- the return record's bytes (NULL: none)
        return_length INTEGER,
        end INTEGER GENERATED ALWAYS AS (start + duration) VIRTUAL,
        PRIMARY KEY (trace_key, id)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE function_stats (
        trace_key INTEGER NOT NULL,
        name_id INTEGER NOT NULL,
        path_id INTEGER NOT NULL,       -- 0: no path (plugin records)
        calls INTEGER NOT NULL,
        total_time INTEGER NOT NULL,    -- nanoseconds, recursive calls counted once
        self_time INTEGER NOT NULL,
        PRIMARY KEY (trace_key, name_id, path_id)
    ) WITHOUT ROWID
    """,
    """
    CREATE VIEW call_view AS
    SELECT i.trace_id, c.part_index, c.id, c.thread_native_id, c.parent, c.depth,
           i.time_base + c.start * 1e-9 AS start, c.duration * 1e-9 AS duration,
           c.self_time * 1e-9 AS self_time, n.name, p.path, c.line, coalesce(c.kind, 'frame') AS kind,
           c.resumed
    FROM calls c JOIN call_indexes i USING (trace_key) JOIN names n ON n.id = c.name_id
    LEFT JOIN paths p ON p.id = c.path_id
    """,
)


# The plugin records under a call (and at the top of a thread).  A call's
# frames are found through the lane blocks: calls of one thread at one depth
# never overlap, so the calls one deeper between a call and the next at its
# depth are its children (see nefa.traces.indexed).  Plugin records are
# few: this index costs little.
EVENTS_BY_PARENT = (
    "CREATE INDEX {schema}events_by_parent ON calls (trace_key, thread_native_id, parent, id) WHERE kind IS NOT NULL"
)


# Each name's rows, a block of NAME_BLOCK_IDS calls at a time (see
# nefa.store.name_blocks): an index of calls by name, kept row by row,
# took a quarter of the index build.
NAME_BLOCKS = """
    CREATE TABLE {schema}call_name_blocks (
        trace_key INTEGER NOT NULL,
        name_id INTEGER NOT NULL,
        first_id INTEGER NOT NULL,      -- a multiple of the block size (8192; 1024 in version 1)
        first_offset INTEGER NOT NULL,  -- the first of ids
        ids BLOB NOT NULL,              -- offsets from first_id: 2 bytes each (little-endian), or a bitmap of 128
        PRIMARY KEY (trace_key, name_id, first_id, first_offset)
    ) WITHOUT ROWID
    """


# Each lane's frames in blocks (see nefa.store.lane_blocks).
LANES = """
    CREATE TABLE {schema}call_lanes (
        trace_key INTEGER NOT NULL,
        thread_native_id INTEGER NOT NULL,
        depth INTEGER NOT NULL,
        part_index INTEGER NOT NULL,
        last_end INTEGER NOT NULL,      -- ends[count - 1]
        first_id INTEGER NOT NULL,      -- ids[0]
        first_end INTEGER NOT NULL,     -- ends[0]
        count INTEGER NOT NULL,         -- frames in the block, at most 48
        ends BLOB NOT NULL,             -- calls.end of each, little-endian int64
        ids BLOB NOT NULL,              -- calls.id of each, little-endian int64
        PRIMARY KEY (trace_key, thread_native_id, depth, part_index, last_end, first_id)
    ) WITHOUT ROWID
    """


_LAYOUT_INDEXES = (
    # Plugin records are marks, found by time; frames are bars, found
    # through their lanes' blocks.
    "CREATE INDEX {schema}events_by_time ON calls (trace_key, thread_native_id, start) WHERE kind IS NOT NULL",
)


def create_layout_indexes(conn: sqlite3.Connection, *, temporary: bool = False) -> None:
    """The index the window queries need besides the lane blocks (migration
    4), or, ``temporary``, on the TEMP call table a read-only database's
    index lives in."""
    for statement in _LAYOUT_INDEXES:
        conn.execute(statement.format(schema="temp." if temporary else ""))


def create_index_tables(conn: sqlite3.Connection, *, temporary: bool = False) -> None:
    """The index tables as migration 3 made them or, ``temporary``, as TEMP
    tables of this connection, which hide the stored ones: those get the
    tables and indexes of the latest schema too."""
    for statement in _TABLES:
        if temporary:
            statement = re.sub(
                r"REFERENCES \w+ \([\w, ]+\)( ON DELETE CASCADE)?( DEFERRABLE INITIALLY DEFERRED)?", "", statement
            )
            statement = re.sub(r"^\s*CREATE (TABLE|VIEW) ", r"CREATE TEMP \1 ", statement)
            statement = re.sub(r"^\s*CREATE INDEX ", "CREATE INDEX temp.", statement)
        conn.execute(statement)
    if temporary:
        create_layout_indexes(conn, temporary=True)
        conn.execute(EVENTS_BY_PARENT.format(schema="temp."))
        conn.execute(NAME_BLOCKS.format(schema="temp."))
        conn.execute(LANES.format(schema="temp."))
