"""What the export's survey pass finds, read from the call index instead,
so that each part is inflated and scanned once, by the writing pass.

The index has the threads (names, record counts, first and last times),
each part's value forms and, per call, where its call and return records
lie in the document. The frames that end far from their call and the
returns at the top whose call was not recorded are the rows that say so;
only their return records are read from the document, a few bytes each.

Times come back as ``time_base + nanoseconds``: for Unix times a double
holds no more than nanoseconds, so this gives back the recorded double.
"""

from __future__ import annotations

import json

import msgpack

from nefa.store.errors import IndexDamagedError
from nefa.traces.call_index import OpenIndex

__all__ = ["plan_from_index"]

_STR_MARKERS = frozenset(range(0xA0, 0xC0)) | {0xD9, 0xDA, 0xDB}


def _text(encoded: bytes) -> bytes:
    """A MessagePack str's bytes, as the scanner takes them; b"" otherwise."""
    if not encoded or encoded[0] not in _STR_MARKERS:
        return b""
    return msgpack.unpackb(encoded, raw=True)


def _return_record(data: bytes) -> tuple[bytes, bool, bytes, bytes]:
    """(encoded "arg", has values, path, frame id) of one return record."""
    unpacker = msgpack.Unpacker(raw=True, strict_map_key=False)
    unpacker.feed(data)
    arg, has_locals, path, frame_id = b"", False, b"", b""
    try:
        entries = unpacker.read_map_header()
    except (ValueError, msgpack.UnpackException):
        return arg, False, path, frame_id  # not a map: the writer reads it as the scanner does
    for _ in range(entries):
        key = unpacker.unpack()
        start = unpacker.tell()
        unpacker.skip()
        value = data[start : unpacker.tell()]
        if key == b"arg":
            arg = value
        elif key == b"locals":
            has_locals = True
        elif key == b"path":
            path = _text(value)
        elif key == b"frame_id":
            frame_id = _text(value)
    return arg, has_locals or bool(arg), path, frame_id


def _seconds(time_base: float, nanoseconds: int) -> float:
    return time_base + nanoseconds / 1e9


def plan_from_index(index: OpenIndex, stored: list, plan, exporter, long_span: int) -> None:
    """Fill ``plan`` (threads, start, command line) and hand ``exporter``
    each part's survey, from ``index``; ``stored`` are the parts' documents."""
    conn, key, base = index.conn, index.trace_key, index.time_base
    command_line, start = conn.execute(
        "SELECT command_line, start_timestamp FROM traces WHERE id = ?", (index.trace_id,)
    ).fetchone()
    plan.starts.append(float(start))
    main_id = None
    found_threads = False
    for native_id, name, is_main, records, first, last in conn.execute(
        "SELECT thread_native_id, name, is_main, record_count, start, end FROM call_threads"
        " WHERE trace_key = ? ORDER BY thread_native_id",
        (key,),
    ):
        found_threads = True
        plan.add_part([], [(native_id, name, records, True, _seconds(base, first), _seconds(base, last))])
        if is_main and main_id is None:
            main_id = native_id
    try:
        argv = json.loads(command_line)
    except ValueError:
        argv = []
    plan.parts = [{"main_thread_id": main_id, "command_line_args": argv}]
    id_base = 0
    parts = conn.execute(
        "SELECT part_index, call_count, legacy_values FROM call_index_parts WHERE trace_key = ? ORDER BY part_index",
        (key,),
    ).fetchall()
    # The exporter is handed one survey per part it writes: a part left
    # without one must not reach it.
    if len(parts) != len(stored):
        raise IndexDamagedError(f"call_index_parts has {len(parts)} of the {len(stored)} parts")
    if not found_threads and any(calls for _, calls, _ in parts):
        raise IndexDamagedError("call_threads has no thread of its calls")
    for (part_index, call_count, legacy), document in zip(parts, stored):
        endings, enclosing = [], []
        rows = conn.execute(
            "SELECT id, thread_native_id, flags, return_offset, return_length, start, name_id, path_id FROM calls"
            " WHERE trace_key = ? AND id >= ? AND id < ? AND part_index = ? AND kind IS NULL"
            " AND ((flags & 1 = 0 AND (return_offset IS NULL OR return_offset - call_offset >= ?))"
            " OR (flags & 1 AND depth = 0)) ORDER BY id",
            (key, id_base, id_base + call_count, part_index, long_span),
        )
        for row_id, thread, flags, offset, length, first, name_id, path_id in rows:
            found = _return_record(document.read(offset, length)) if offset is not None else (b"", False, b"", b"")
            arg, has_values, path, frame_id = found
            if not flags & 1:
                endings.append((row_id - id_base, offset is not None, has_values, arg))
                continue
            found_name = conn.execute("SELECT name FROM names WHERE id = ?", (name_id,)).fetchone()
            if found_name is None:
                raise IndexDamagedError(f"names has no row {name_id}")
            (name,) = found_name
            file = conn.execute("SELECT path FROM paths WHERE id = ?", (path_id,)).fetchone()
            enclosing.append(
                (
                    thread,
                    name.encode(),
                    path,
                    (file[0] if file else "").encode(),
                    frame_id,
                    has_values,
                    arg,
                    _seconds(base, first),
                )
            )
        exporter.plan_part(bool(legacy), endings, enclosing)
        id_base += call_count
