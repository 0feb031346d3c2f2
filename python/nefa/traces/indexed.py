"""``nefa show`` and ``nefa top`` read from the call index.

Nothing here reads a whole document: the tree is walked through the
``calls`` table, parent to children, as far as it is printed, and each
printed call's values are read from its records' bytes
(:func:`nefa.db.read_document_range`) and rendered through
:mod:`nefa.traces.forms`.  The work grows with what is printed.
"""

from __future__ import annotations

import json
import shlex
import struct
from bisect import bisect_left, bisect_right
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from itertools import chain
from typing import TextIO

from nefa import db
from nefa.traces.call_index import OpenIndex
from nefa.traces.forms import ReprText, decode_value, mark_legacy_reprs
from nefa.traces.lanes import ensure_lanes, lane_from, lane_ids
from nefa.traces.name_blocks import block_ids, decode
from nefa.traces.output import format_time, printable
from nefa.traces.reader import FIELD_KEYS
from nefa.traces.show import Style, call_notes, select_threads
from nefa.traces.values import brief, brief_locals, format_span

__all__ = ["Call", "IndexedTrace", "render_summary", "render_tree"]

_INDENT = "  "
# Deeper lines are indented as this level's, and say their depth: a deep
# recursion would otherwise print (and hold) indentation growing with it.
_MAX_INDENT = 100
_DEEPEST_INDENT = _INDENT * _MAX_INDENT
_NS = 1e-9
_COLUMNS = (
    "c.id, c.part_index, c.thread_native_id, c.parent, c.depth, c.start, c.duration, c.name_id, c.path_id, c.line,"
    " c.kind, c.resumed, c.flags, c.call_offset, c.call_length, c.return_offset, c.return_length"
)


@dataclass
class Call:
    id: int
    part_index: int
    thread_id: int
    parent: int | None
    depth: int
    start: int
    duration: int
    name: str
    file: str | None
    line: int | None
    kind: str | None
    resumed: bool
    flags: int
    call_offset: int | None
    call_length: int | None
    return_offset: int | None
    return_length: int | None

    @property
    def path(self) -> str:
        file = self.file if self.file is not None else "?"
        return file if self.line is None else f"{file}:{self.line}"

    @property
    def co_name(self) -> str:
        return self.name.rsplit(".", 1)[-1]


@dataclass
class IndexedThread:
    native_id: int
    name: str
    is_main: bool
    call_count: int
    start: int
    end: int

    @property
    def label(self) -> str:
        return f"{self.name} ({self.native_id})"


class IndexedTrace:
    """One trace as its index shows it (see :func:`nefa.traces.call_index.open_index`)."""

    def __init__(self, index: OpenIndex):
        self.index = index
        self.conn = index.conn
        self._texts: dict = {}
        self.key = index.trace_key
        self.trace_id = index.trace_id
        row = self.conn.execute(
            "SELECT command_line, start_timestamp, record_count, cut, dropped_events, parent_trace_id FROM traces"
            " WHERE id = ?",
            (self.trace_id,),
        ).fetchone()
        argv, self.start, self.record_count, cut, self.dropped_events, self.parent_trace_id = row
        try:
            # Bytes that were not UTF-8 (kept as surrogates) shown as their escapes.
            self.command_line = [str(arg).encode("utf-8", "backslashreplace").decode() for arg in json.loads(argv)]
        except (ValueError, TypeError):
            self.command_line = [str(argv)]
        self.cut = bool(cut)
        threads = [
            IndexedThread(native_id, name, bool(is_main), calls, start, end)
            for native_id, name, is_main, calls, start, end in self.conn.execute(
                "SELECT thread_native_id, name, is_main, call_count, start, end FROM call_threads WHERE trace_key = ?",
                (self.key,),
            )
        ]
        self.threads = sorted(threads, key=lambda thread: (not thread.is_main, thread.start))
        self._thread_calls = {thread.native_id: thread.call_count for thread in threads}
        ends = [self.seconds(thread.end) for thread in threads]
        self.end = max([self.start, *ends])
        self.legacy = {}
        # The ids of each part's calls: [start, stop).
        self.part_ids: dict[int, tuple[int, int]] = {}
        first = 0
        for part, legacy, calls in self.conn.execute(
            "SELECT part_index, legacy_values, call_count FROM call_index_parts WHERE trace_key = ?"
            " ORDER BY part_index",
            (self.key,),
        ):
            self.legacy[part] = bool(legacy)
            self.part_ids[part] = (first, first + calls)
            first += calls
        # What the index's own row says it holds, against its other tables:
        # a few rows, read once, catch their rows lost.
        part_count, call_count = self.conn.execute(
            "SELECT part_count, call_count FROM call_indexes WHERE trace_key = ?", (self.key,)
        ).fetchone()
        if len(self.part_ids) != part_count or first != call_count:
            raise self.damaged(
                f"call_index_parts has {len(self.part_ids)} parts of {first} calls,"
                f" call_indexes {part_count} of {call_count}"
            )
        if call_count and not threads:
            raise self.damaged(f"call_threads has no thread for its {call_count} calls")
        # A database of schema 4 or older, read as it is, has its index by
        # parent still (and may lack the others).
        schema = (
            "sqlite_temp_master"
            if self.conn.execute(
                "SELECT count(*) FROM sqlite_temp_master WHERE name = 'calls' AND type = 'table'"
            ).fetchone()[0]
            else "sqlite_master"
        )
        self.by_parent = not self.conn.execute(
            f"SELECT count(*) FROM {schema} WHERE type = 'index' AND name = 'events_by_parent'"
        ).fetchone()[0]
        # ... and of schema 5 or older, its index of calls by name.
        self.by_name_index = not self.conn.execute(
            f"SELECT count(*) FROM {schema} WHERE type = 'table' AND name = 'call_name_blocks'"
        ).fetchone()[0]
        if not self.by_parent:
            # Of schema 6 or older, read-only: no lane blocks stored.
            ensure_lanes(self.conn, self.key)

    @property
    def duration(self) -> float:
        return self.end - self.start

    def damaged(self, detail: str) -> db.IndexDamagedError:
        return db.IndexDamagedError(detail, self.trace_id)

    def seconds(self, ns: int) -> float:
        return self.index.time_base + ns * _NS

    # --- calls ---------------------------------------------------------

    def _calls(self, where: str, args: tuple, index: str = "") -> list[Call]:
        # The index is named: left to itself, the planner may walk the
        # whole table in id order rather than sort a few rows.
        rows = self.conn.execute(
            f"SELECT {_COLUMNS} FROM calls c {index} WHERE c.trace_key = ? AND {where} ORDER BY c.id", (self.key, *args)
        ).fetchall()
        return [
            Call(*row[:7], self.text("names", "name", row[7]), self.text("paths", "path", row[8]), *row[9:])  # type: ignore[call-arg]  # the row's columns, in order
            for row in rows
        ]

    def named(self, columns: str, name_id: int, limit: int | None = None, *, expected: int = 0) -> list[tuple]:
        """``columns`` (of ``calls c``) of the frames of one name, in id
        order, read through the name's blocks: the work follows the name's
        calls read, not the trace.  ``expected``: how many the trace's
        functions count; none found then is a damaged index, not no match."""
        found = self._named(columns, name_id, limit)
        if expected and not found:
            raise self.damaged(f"the index by name has none of the {expected} calls of names row {name_id}")
        return found

    def has_functions(self, functions: int) -> None:
        """Raises unless ``functions`` (rows of function_stats) is some,
        or the trace has no frames."""
        if not functions and any(self._thread_calls.values()):
            raise self.damaged("function_stats has no function of its frames")

    def _named(self, columns: str, name_id: int, limit: int | None) -> list[tuple]:
        if self.by_name_index:
            sql = (
                f"SELECT {columns} FROM calls c INDEXED BY calls_by_name WHERE c.trace_key = ? AND c.name_id = ?"
                " AND c.kind IS NULL ORDER BY c.id"
            )
            if limit is not None:
                sql += f" LIMIT {int(limit)}"
            return self.conn.execute(sql, (self.key, name_id)).fetchall()
        found: list[tuple] = []
        for ids in self._named_ids(name_id, 500 if limit is None else max(1, min(500, limit))):
            marks = ",".join("?" * len(ids))
            found.extend(
                self.conn.execute(
                    f"SELECT {columns} FROM calls c WHERE c.trace_key = ? AND c.id IN ({marks}) AND c.kind IS NULL"
                    " ORDER BY c.id",
                    (self.key, *ids),
                )
            )
            if limit is not None and len(found) >= limit:
                return found[:limit]
        return found

    def _named_ids(self, name_id: int, batch: int = 500):
        """The ids of a name's rows, in order, ``batch`` or so at a time."""
        ids: list[int] = []
        block: list[int] = []
        at = None
        size = block_ids(self.index.version)
        for first_id, stored in self.conn.execute(
            "SELECT first_id, ids FROM call_name_blocks WHERE trace_key = ? AND name_id = ?"
            " ORDER BY first_id, first_offset",
            (self.key, name_id),
        ):
            if first_id != at:
                # A block's rows of several batches interleave: whole blocks go out, sorted.
                ids.extend(sorted(block))
                block, at = [], first_id
                while len(ids) >= batch:
                    yield ids[:batch]
                    del ids[:batch]
            try:
                block.extend(decode(first_id, stored, size))
            except (struct.error, TypeError) as error:
                raise self.damaged(
                    f"call_name_blocks has a row of names row {name_id} that is no block: {error}"
                ) from None
        ids.extend(sorted(block))
        while ids:
            yield ids[:batch]
            del ids[:batch]

    def every_call(self) -> list[tuple[Call, int, int | None]]:
        """Every call of the trace in id order, each with its name's and
        path's ids: for a page that holds the whole trace (a bounded one)."""
        rows = self.conn.execute(
            f"SELECT {_COLUMNS} FROM calls c WHERE c.trace_key = ? ORDER BY c.id", (self.key,)
        ).fetchall()
        return [(call, row[7], row[8]) for call, row in zip(self._row_calls(rows), rows)]

    def text(self, table: str, column: str, text_id):
        """A name or path by id, looked up once."""
        if text_id is None:
            return None
        key = (table, text_id)
        found = self._texts.get(key)
        if found is None:
            row = self.conn.execute(f"SELECT {column} FROM {table} WHERE id = ?", (text_id,)).fetchone()
            if row is None:
                raise self.damaged(f"{table} has no row {text_id}")
            found = self._texts[key] = row[0]
        return found

    def _rows(self, sql: str, args: tuple | dict) -> list[Call]:
        return self._row_calls(self.conn.execute(sql, args))

    def _row_calls(self, rows) -> list[Call]:
        return [
            Call(*row[:7], self.text("names", "name", row[7]), self.text("paths", "path", row[8]), *row[9:])  # type: ignore[call-arg]  # the row's columns, in order
            for row in rows
        ]

    def _frames(self, ids: list[int]) -> list[Call]:
        """The calls of these ids (in order), from the table by its key."""
        found: list[Call] = []
        for first in range(0, len(ids), 500):
            chunk = ids[first : first + 500]
            found.extend(
                self._rows(
                    f"SELECT {_COLUMNS} FROM calls c WHERE c.trace_key = ?"
                    f" AND c.id IN ({','.join('?' * len(chunk))}) ORDER BY c.id",
                    (self.key, *chunk),
                )
            )
        if len(found) != len(ids):
            raise self.damaged(f"call_lanes names {len(ids) - len(found)} calls that calls has not")
        return found

    _EVENTS = (
        f"SELECT {_COLUMNS} FROM calls c INDEXED BY events_by_parent WHERE c.trace_key = ?"
        " AND c.thread_native_id = ? AND c.parent IS ? AND c.kind IS NOT NULL ORDER BY c.id"
    )

    def _with_events(self, frames: list[Call], thread_id: int, parent: int | None) -> list[Call]:
        events = self._rows(self._EVENTS, (self.key, thread_id, parent))
        return sorted(frames + events, key=lambda call: call.id) if events else frames

    def roots(self, thread_id: int) -> list[Call]:
        if self.by_parent:
            return self._calls(
                "c.parent IS NULL AND c.thread_native_id = ?", (thread_id,), "INDEXED BY calls_by_parent"
            )
        # The frames at depth 0 are the thread's top; plugin records by parent.
        top = lane_ids(self.conn, self.key, thread_id, 0)
        if not top and self._thread_calls.get(thread_id):
            raise self.damaged(
                f"call_lanes has no frame of thread {thread_id}, which has {self._thread_calls[thread_id]}"
            )
        return self._with_events(self._frames(top), thread_id, None)

    # A call's frames, through the lane blocks.  Within one part, a lane's
    # frames are in id order (see nefa.traces.lanes); a frame one deeper
    # after a call (in id order) that ends before the call does is its child
    # (any later caller at its depth starts once it has ended), and of those
    # that end just as it does, where a clock stood still, the ones before
    # the next frame at its depth.  So the children are a run of that lane
    # from the call's start on: the walk reads the blocks overlapping the
    # call, even where thousands of calls share one time.

    def _next_at_depth(self, call: Call, stop: int) -> int:
        """The id of the next frame at ``call``'s depth in its part (``stop``: none)."""
        end = call.start + call.duration
        for _, ids in lane_from(self.conn, self.key, call.thread_id, call.depth, call.part_index, end, call.id):
            at = bisect_right(ids, call.id)
            if at < len(ids):
                return ids[at]
        return stop

    def _runs_under(self, call: Call, blocks: Iterable) -> Iterator[tuple]:
        """(ids, first, stop): the runs ``ids[first:stop]`` of the frames
        right under ``call`` in ``blocks``, its lane below from the block
        that holds the first of them on, in order."""
        _, stop = self.part_ids.get(call.part_index, (0, 1 << 62))
        end = call.start + call.duration
        bound = None
        for ends, ids in blocks:
            if ends[0] > end:
                break  # past the call's time: no child in it, nor further on
            at = bisect_right(ids, call.id)
            upto = bisect_left(ends, end, at)  # the first that ends as the call does, or later
            yield ids, at, upto
            if upto < len(ids):
                if ends[upto] > end:
                    break  # past the call's end
                if bound is None:
                    bound = self._next_at_depth(call, stop)
                cut = bisect_left(ids, bound, upto, bisect_right(ends, end, upto))
                yield ids, upto, cut
                if cut < len(ids):
                    break  # past the next frame at the call's depth, or past its end

    def _lane_under(self, call: Call, end: int, call_id: int) -> Iterator[tuple]:
        return lane_from(self.conn, self.key, call.thread_id, call.depth + 1, call.part_index, end, call_id)

    def _frames_under(self, call: Call) -> list[int]:
        """The ids of the frames right under ``call``, in order."""
        if call.flags & 1:
            return []  # a return whose call was not recorded was never open: nothing ran under it
        under: list[int] = []
        for ids, first, stop in self._runs_under(call, self._lane_under(call, call.start, call.id)):
            under.extend(ids[first:stop])
        return under

    def _count_under(self, call: Call) -> int:
        """How many frames are right under ``call``, as :meth:`_frames_under`
        finds them, with no list of them: the blocks between the first and
        the one the call ends in hold children only, and are counted by
        SQL from their rows."""
        if call.flags & 1:
            return 0
        end = call.start + call.duration
        blocks = self._lane_under(call, call.start, call.id)
        first = next(blocks, None)
        if first is None:
            return 0
        ends, ids = first
        between = 0
        if ends[-1] < end:
            blocks.close()  # type: ignore[attr-defined]  # lane_from's generator: its cursor is let go
            # Each frame of these blocks is a child: it came after the call
            # (its id is past the first block's) and ends before the call
            # does, so before the next frame at the call's depth began.
            (between,) = self.conn.execute(
                "SELECT total(count) FROM call_lanes WHERE trace_key = ? AND thread_native_id = ? AND depth = ?"
                " AND part_index = ? AND (last_end, first_id) > (?, ?) AND last_end < ?",
                (self.key, call.thread_id, call.depth + 1, call.part_index, ends[-1], ids[0], end),
            ).fetchone()
            # From the first block that ends as the call does or later.
            blocks = chain([first], self._lane_under(call, end, -1))
        else:
            blocks = chain([first], blocks)
        return int(between) + sum(stop - start for _, start, stop in self._runs_under(call, blocks))

    def children(self, call: Call) -> list[Call]:
        if self.by_parent:
            return self._calls("c.parent = ?", (call.id,), "INDEXED BY calls_by_parent")
        frames = [frame for frame in self._frames(self._frames_under(call)) if frame.parent == call.id]
        return self._with_events(frames, call.thread_id, call.id)

    def call(self, call_id: int) -> Call | None:
        found = self._calls("c.id = ?", (call_id,))
        return found[0] if found else None

    def frame_children(self, call: Call) -> int:
        if self.by_parent:
            return self.conn.execute(
                "SELECT count(*) FROM calls INDEXED BY calls_by_parent WHERE trace_key = ? AND parent = ?"
                " AND kind IS NULL",
                (self.key, call.id),
            ).fetchone()[0]
        return self._count_under(call)

    def record(self, call: Call, which: str) -> dict:
        """The decoded call or return record of ``call`` ({} when none)."""
        offset, length = (
            (call.call_offset, call.call_length) if which == "call" else (call.return_offset, call.return_length)
        )
        if offset is None:
            return {}
        if type(offset) is not int or type(length) is not int:
            raise self.damaged(f"call {call.id} has the record bytes {offset!r}, {length!r}")
        data = db.read_document_range(self.conn, self.trace_id, call.part_index, offset, length)
        if len(data) != length:
            raise db.DocumentDamagedError(f"trace {self.trace_id}: a record lies outside its document")
        try:
            record = decode_value(data)[0]
        except Exception as error:  # one damaged record must not hide the rest
            return {"locals": ReprText(f"<undecodable record: {error}>")}
        if not isinstance(record, dict):
            return {}
        if self.legacy.get(call.part_index):
            record = {key: mark_legacy_reprs(value) for key, value in record.items()}
        return record


# --- the tree ------------------------------------------------------------


def _frame_line(trace: IndexedTrace, call: Call, style: Style, hidden: int) -> str:
    co_name = call.co_name
    shows_arguments = call.call_offset is not None and not (co_name.startswith("<") and co_name != "<lambda>")
    arguments = ""
    if shows_arguments:
        arguments = printable(brief_locals(trace.record(call, "call").get("locals")))
    text = style.name(printable(call.name)) + f"({arguments})"
    text += "  " + style.path(printable(call.path)) + "  " + style.duration(format_span(call.duration * _NS))
    returned = not call.flags & 2
    if returned and call.return_offset is not None:
        value = trace.record(call, "return").get("arg")
        if value is not None:
            text += "  → " + style.value(printable(brief(value, 50)))
    return text + call_notes(
        style, resumed=bool(call.resumed), called=not call.flags & 1, returned=returned, hidden=hidden
    )


def _event_line(trace: IndexedTrace, call: Call, style: Style) -> str:
    record = trace.record(call, "call")
    data = {key: value for key, value in record.items() if key not in FIELD_KEYS}
    first = [key for key in ("message", "name", "method", "url", "status", "outcome") if key in data]
    data = {key: data[key] for key in first} | data
    details = " " + printable(brief_locals(data, width=80, each=40)) if data else ""
    offset = format_span(max(0.0, trace.seconds(call.start) - trace.start))
    return style.event(f"◆ {printable(call.name)}") + details + "  " + style.path(f"@ +{offset}")


def _matches(call: Call, needle: str) -> bool:
    return needle in call.name.casefold() or needle in call.path.casefold()


def _matching(trace: IndexedTrace, needle: str) -> list[Call]:
    """The calls whose name or path holds ``needle``, found through the
    trace's functions (few) and the index by name."""
    file_part = needle.rsplit(":", 1)[0] if ":" in needle else needle
    name_ids: dict[int, int] = {}  # -> its frames, as function_stats counts them
    stats = 0
    for name_id, path_id, calls, name, path in trace.conn.execute(
        "SELECT f.name_id, f.path_id, f.calls, n.name, p.path FROM function_stats f"
        " LEFT JOIN names n ON n.id = f.name_id LEFT JOIN paths p ON p.id = f.path_id WHERE f.trace_key = ?",
        (trace.key,),
    ):
        stats += 1
        if name is None or (path is None and path_id != 0):
            raise trace.damaged(f"function_stats names a function that names or paths has not ({name_id}, {path_id})")
        if needle in name.casefold() or (path is not None and file_part in path.casefold()):
            name_ids[name_id] = name_ids.get(name_id, 0) + (calls if path_id != 0 else 0)
    trace.has_functions(stats)
    found: list[Call] = []
    for name_id, calls in sorted(name_ids.items()):
        rows = trace._row_calls(trace.named(_COLUMNS, name_id, expected=calls))
        found.extend(call for call in rows if _matches(call, needle))
    return found


def _tree_lines(trace: IndexedTrace, thread: IndexedThread, style: Style, depth: int | None, needle: str | None):
    shown: dict[int, list[Call]] | None = None  # parent id -> children on the way to a match
    matched: set[int] = set()
    if needle:
        shown = {}
        known: dict[int, Call] = {}
        for call in _matching(trace, needle):
            if call.thread_id != thread.native_id:
                continue
            matched.add(call.id)
            child = call
            while True:
                siblings = shown.setdefault(child.parent if child.parent is not None else -1, [])
                if child.id in known:
                    break
                known[child.id] = child
                siblings.append(child)
                if child.parent is None:
                    break
                parent = known.get(child.parent) or trace.call(child.parent)
                if parent is None:
                    break
                child = parent
        if not matched:
            return
        for siblings in shown.values():
            siblings.sort(key=lambda call: call.id)
    yield style.heading(
        f"Thread {printable(thread.label)}{' · main' if thread.is_main else ''}"
        f" · {thread.call_count} frame{'s' if thread.call_count != 1 else ''}"
        f" · {format_span((thread.end - thread.start) * _NS)}"
    )
    roots = shown.get(-1, []) if shown is not None else trace.roots(thread.native_id)
    # (call, level, inside a matching subtree)
    stack = [(call, 0, False) for call in reversed(roots)]
    while stack:
        call, level, inside = stack.pop()
        indent = _INDENT * level if level <= _MAX_INDENT else f"{_DEEPEST_INDENT}[depth {level + 1}] "
        if call.kind is not None:
            yield indent + _event_line(trace, call, style)
            continue
        inside = inside or call.id in matched
        at_limit = depth is not None and level + 1 >= depth
        hidden = trace.frame_children(call) if at_limit else 0
        yield indent + _frame_line(trace, call, style, hidden)
        if at_limit:
            continue
        if shown is not None and not inside:
            children = shown.get(call.id, [])
        else:
            children = trace.children(call)
        stack.extend((child, level + 1, inside) for child in reversed(children))


def _notes(trace: IndexedTrace, style: Style) -> str:
    notes = ""
    if trace.parent_trace_id:
        notes += f"  forked from {trace.parent_trace_id}"
    if trace.cut:
        events = f"{trace.dropped_events} event{'' if trace.dropped_events == 1 else 's'}"
        notes += "  " + style.warning(f"cut at the memory budget: {events} dropped")
    return notes


def _header(trace: IndexedTrace, style: Style) -> str:
    command = printable(shlex.join(trace.command_line)) if trace.command_line else "-"
    return (
        f"{style.name(printable(trace.trace_id))}  {command}  started {format_time(trace.start)}"
        f"  {format_span(trace.duration)}  {trace.record_count} records{_notes(trace, style)}\n"
    )


def render_tree(
    trace: IndexedTrace,
    out: TextIO,
    *,
    depth: int | None = None,
    needle: str | None = None,
    thread: str | None = None,
    color: bool = False,
) -> int:
    """Write the call tree of ``trace``; returns the number of lines of tree written."""
    style = Style(color)
    threads = select_threads(trace, thread)
    # The heading goes out with the first lines: a trace that fails at
    # once (a damaged document) prints nothing but its error.
    header = _header(trace, style)
    written = 0
    needle = needle.casefold() if needle else None
    for one in threads:
        batch = []
        for line in _tree_lines(trace, one, style, depth, needle):
            batch.append(line)
            if len(batch) >= 512:
                out.write(header + "\n".join(batch) + "\n")
                header = ""
                written += len(batch)
                batch.clear()
        if batch:
            out.write(header + "\n".join(batch) + "\n")
            header = ""
            written += len(batch)
    out.write(header)
    if needle and not written:
        out.write(f"No frame matches {printable(repr(needle))}.\n")
    return written


# --- the summary ---------------------------------------------------------

SORTS = {"calls": "f.calls", "total": "f.total_time", "self": "f.self_time"}


def render_summary(
    trace: IndexedTrace, out: TextIO, *, limit: int | None = 20, sort: str = "self", color: bool = False
) -> int:
    """Per function: calls, total time (a recursive function's inner calls
    counted once) and self time, sorted like pstats; returns the rows written."""
    style = Style(color)
    order = SORTS[sort]
    count = trace.conn.execute(
        "SELECT count(*) FROM function_stats WHERE trace_key = ? AND path_id != 0", (trace.key,)
    ).fetchone()[0]
    trace.has_functions(count)
    # Names and paths joined on the left: a row they lack is damage, not a
    # function left out.
    rows = trace.conn.execute(
        "SELECT f.calls, f.total_time, f.self_time, n.name, p.path FROM function_stats f"
        " LEFT JOIN names n ON n.id = f.name_id LEFT JOIN paths p ON p.id = f.path_id"
        f" WHERE f.trace_key = ? AND f.path_id != 0 ORDER BY {order} DESC, f.total_time DESC, n.name LIMIT ?",
        (trace.key, -1 if limit is None else limit),
    ).fetchall()
    if any(name is None or path is None for *_, name, path in rows):
        raise trace.damaged("function_stats names a function that names or paths has not")
    out.write(_header(trace, style))
    shown = f"the {len(rows)} with the most {sort} time" if sort != "calls" else f"the {len(rows)} most called"
    out.write(f"{count} function{'s' if count != 1 else ''}; {shown if len(rows) < count else 'all'}:\n")
    table = [("CALLS", "TOTAL", "SELF", "FUNCTION", "PATH")]
    table += [
        (str(calls), format_span(total * _NS), format_span(self_time * _NS), printable(name), printable(path))
        for calls, total, self_time, name, path in rows
    ]
    widths = [max(len(row[i]) for row in table) for i in range(4)]
    for number, row in enumerate(table):
        cells = [
            row[0].rjust(widths[0]),
            row[1].rjust(widths[1]),
            row[2].rjust(widths[2]),
            row[3].ljust(widths[3]),
            row[4],
        ]
        line = "  ".join(cells)
        out.write((style.heading(line) if number == 0 else line) + "\n")
    return len(rows)
