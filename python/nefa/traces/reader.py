"""Decoding stored trace documents."""

from __future__ import annotations

import sqlite3
from typing import Any

from nefa import db
from nefa.traces.forms import decode_value

# The fields of a record that are the record's own: a frame's values and a
# plugin's own data are every other key.
FIELD_KEYS = frozenset(
    (
        "path",
        "co_name",
        "qualname",
        "event",
        "frame_id",
        "thread",
        "thread_native_id",
        "timestamp",
        "type",
        "subtype",
        "user_code_call_site",
    )
)


class TraceFormatError(ValueError):
    """A stored document that cannot be read as a trace."""


def read_trace_parts(db_path, trace_id: str) -> list[bytes]:
    """The stored documents of ``trace_id``; a part stored as anything but a
    BLOB (TEXT, written by some other tool) is a :class:`TraceFormatError`."""
    not_a_blob = f"trace {trace_id}: a part is stored as TEXT or NULL, not as a BLOB of MessagePack"
    try:
        return db.read_trace_parts(db_path, trace_id)
    except TypeError:
        # bytes() of the column's value failed: it was not a BLOB.
        raise TraceFormatError(not_a_blob) from None
    except db.DocumentDamagedError as error:
        raise TraceFormatError(str(error)) from None
    except sqlite3.OperationalError as error:
        if "decode" in str(error):  # TEXT that is not even UTF-8
            raise TraceFormatError(not_a_blob) from None
        raise db.DatabaseError(f"cannot read trace {trace_id} from {db_path}: {error}") from None
    except sqlite3.Error as error:
        raise db.DatabaseError(f"cannot read trace {trace_id} from {db_path}: {error}") from None


def decode_document(document: bytes) -> Any:  # a document is a dict; a recorded value, anything
    """Decode one trace document (or one recorded value).

    Recorded values come back in their value forms (:mod:`nefa.traces.forms`).
    Traces stored before those forms may hold maps whose keys are arrays (a
    dict keyed by tuples); those keys come back as tuples instead of
    failing to decode.
    """
    return decode_value(document)[0]


def read_trace(db_path, trace_id: str) -> list[dict]:
    """Every part stored under ``trace_id``, decoded, in the order saved."""
    return [decode_document(part) for part in read_trace_parts(db_path, trace_id)]
