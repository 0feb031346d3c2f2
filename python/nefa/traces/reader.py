"""Decoding stored trace documents."""

from __future__ import annotations

import msgpack

from nefa import db


def _hashable(value):
    if isinstance(value, list):
        return tuple(_hashable(item) for item in value)
    if isinstance(value, dict):
        return tuple((_hashable(k), _hashable(v)) for k, v in value.items())
    return value


def _pairs_to_dict(pairs):
    return {_hashable(key): value for key, value in pairs}


def decode_document(document: bytes) -> dict:
    """Decode one trace document.

    Recorded values may be maps whose keys are arrays (a dict keyed by
    tuples); those keys come back as tuples instead of failing to decode.
    """
    options = dict(raw=False, strict_map_key=False, unicode_errors="replace")
    try:
        return msgpack.unpackb(document, **options)
    except TypeError:
        # Unhashable (array or map) keys: slower, but decodes everything.
        return msgpack.unpackb(document, object_pairs_hook=_pairs_to_dict, **options)


def read_trace(db_path, trace_id: str) -> list[dict]:
    """Every part stored under ``trace_id``, decoded, in the order saved."""
    return [decode_document(part) for part in db.read_trace_parts(db_path, trace_id)]
