"""The trace store: trace documents and their call index, in SQLite.

One row per trace in ``traces`` carries what a listing needs, so that
listing never decodes a document; the documents themselves live in
``trace_parts`` and ``document_chunks``.  Saving twice under one trace id
appends a part (a profiler that records several times, e.g. once per
decorated call) and folds its figures into the trace's summary.

The schema version is ``PRAGMA user_version``; each numbered migration
moves the database up by one and runs in the same transaction as the
version bump, so a database is never left half-migrated.

Only nefa's own databases are written (``PRAGMA application_id``), commands
that only read open them read-only, and a document that cannot be stored
is kept in a file for ``nefa import``.

The store reads and writes its own tables and nothing above them: the
readers (:mod:`nefa.traces`) import from it, never the other way round.
:mod:`nefa.db` gathers its public names.

    errors        the errors it raises
    files         files made private; files that are no database refused
    opening       which databases are nefa's; connections to those only
    schema        the migrations
    index_tables  the call index's tables, stored or TEMP
    name_blocks   the rows of the index by name
    lane_blocks   the rows of the lane blocks
    index_build   a document scanned into the call index
    connections   connections opened, created and migrated; the log copied back
    chunks        the chunk format; a part's bytes read back
    chunk_writer  a document written as chunks, compressed on a worker thread
    documents     stored documents as files, ranges, whole parts
    unsaved       documents that could not be stored, kept in files
    saving        a document saved as a trace or a part of one
    catalog       the stored traces, listed
"""
