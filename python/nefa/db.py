"""SQLite storage of trace documents: the trace store's public names, in one
place (the store itself is :mod:`nefa.store`).

The native profiler hands each recorded document to
:func:`save_trace_in_sqlite` here.
"""

from nefa.store.catalog import TraceSummary, get_trace, list_traces
from nefa.store.chunks import DOCUMENT_BLOCK_SIZE, DOCUMENT_CHUNK_SIZE, StoredDocument, compress_chunk
from nefa.store.connections import connect, copy_log_back_later, empty_log, prepare_database
from nefa.store.documents import DocumentFile, open_document, read_document_range, read_trace_parts
from nefa.store.errors import (
    DatabaseError,
    DatabaseNotFoundError,
    DocumentDamagedError,
    DocumentFormatError,
    ForeignDatabaseError,
    IndexDamagedError,
    SchemaTooNewError,
    TraceNotFoundError,
    TraceNotStoredError,
)
from nefa.store.files import create_private_file, make_private_dirs
from nefa.store.opening import APPLICATION_ID
from nefa.store.saving import (
    DocumentSummary,
    import_document,
    import_file,
    save_trace_in_sqlite,
    store_trace,
    summarize_document,
)
from nefa.store.schema import MIGRATIONS, SCHEMA_VERSION
from nefa.store.unsaved import read_kept_document, take_unsaved

__all__ = [
    "APPLICATION_ID",
    "DOCUMENT_BLOCK_SIZE",
    "DOCUMENT_CHUNK_SIZE",
    "MIGRATIONS",
    "SCHEMA_VERSION",
    "DatabaseError",
    "DatabaseNotFoundError",
    "DocumentDamagedError",
    "DocumentFile",
    "DocumentFormatError",
    "DocumentSummary",
    "ForeignDatabaseError",
    "IndexDamagedError",
    "SchemaTooNewError",
    "StoredDocument",
    "TraceNotFoundError",
    "TraceNotStoredError",
    "TraceSummary",
    "compress_chunk",
    "connect",
    "copy_log_back_later",
    "create_private_file",
    "empty_log",
    "get_trace",
    "import_document",
    "import_file",
    "list_traces",
    "make_private_dirs",
    "open_document",
    "prepare_database",
    "read_document_range",
    "read_kept_document",
    "read_trace_parts",
    "save_trace_in_sqlite",
    "store_trace",
    "summarize_document",
    "take_unsaved",
]
