"""Decoding stored trace documents."""

from __future__ import annotations

from nefa import db
from nefa.traces.forms import decode_value


def decode_document(document: bytes) -> dict:
    """Decode one trace document (or one recorded value).

    Recorded values come back in their value forms (:mod:`nefa.traces.forms`).
    Traces stored before those forms may hold maps whose keys are arrays (a
    dict keyed by tuples); those keys come back as tuples instead of
    failing to decode.
    """
    return decode_value(document)[0]


def read_trace(db_path, trace_id: str) -> list[dict]:
    """Every part stored under ``trace_id``, decoded, in the order saved."""
    return [decode_document(part) for part in db.read_trace_parts(db_path, trace_id)]
