"""Stored traces as call trees: one tree per thread, nested by call order.

A document is streamed with :class:`msgpack.Unpacker`; the recorded values
("arg" and "locals", by far the bulk of a trace) are not decoded while
reading: each frame keeps where they lie in the document and decodes them
when asked (:attr:`Frame.arguments`, :attr:`Frame.locals`,
:attr:`Frame.return_value`).  ``values=False`` does not even keep that.

Streams are not always balanced: recording may start inside functions
(returns whose call was never seen), stop inside them (calls that never
return), and generators come back to the same frame several times.
:class:`_ThreadBuilder` turns whatever arrives into a well-nested tree:

* a return whose call was not recorded becomes a frame that started with
  the thread's first record and encloses everything recorded before it;
* frames still open when a part ends are closed at the thread's last
  timestamp and marked ``returned=False``;
* each resumption of a generator or coroutine is a frame of its own,
  marked ``resumed=True``: see :func:`_resumes` for how the records tell.

Timestamps are made monotonic per thread, so every child lies within its
parent and siblings never overlap.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass, field

import msgpack

from nefa.store.saving import argument_text
from nefa.traces.forms import ReprText, decode_value, mark_legacy_reprs
from nefa.traces.reader import FIELD_KEYS, TraceFormatError, read_trace_parts

__all__ = ["Event", "Frame", "Thread", "Trace", "TraceFormatError", "load_trace", "parse_documents"]

# Record fields (FIELD_KEYS) are decoded while reading; any other field (a
# frame's values, a plugin's own data) stays encoded until asked for.
_VALUE_KEYS = frozenset(("arg", "locals"))


class _DocumentValues:
    """The recorded values of one document, and whether the document
    predates the value forms (its reprs were stored as plain strings).

    No field of a document says which encoder wrote it; a document whose
    first values hold no extension form is read the old way.  Deciding
    decodes values in order until one holds a form (usually the first: a
    module's globals hold functions and modules), and keeps what it
    decoded; it looks at no more than ``_SCAN`` values, so that a big old
    trace is not decoded whole just to show a few calls.
    """

    _SCAN = 2000

    __slots__ = ("pending", "legacy")

    def __init__(self) -> None:
        self.pending: list[LazyValue] = []
        self.legacy: bool | None = None

    def decide(self) -> bool:
        legacy = True
        for lazy in self.pending:
            if lazy._decode():
                legacy = False
                break
        self.legacy = legacy
        self.pending = []
        return legacy


class LazyValue:
    """A value still encoded in its document; decoded (once) on demand."""

    __slots__ = ("_buffer", "_start", "_end", "_decoded", "_done", "_document", "_forms")

    def __init__(self, buffer: memoryview, start: int, end: int, document: _DocumentValues | None = None):
        self._buffer = buffer
        self._start = start
        self._end = end
        self._done = False
        self._decoded: object = None
        self._forms: bool | None = None
        self._document = document
        if document is not None and document.legacy is None and len(document.pending) < document._SCAN:
            document.pending.append(self)

    @property
    def size(self) -> int:
        """Encoded size in bytes."""
        return self._end - self._start

    def raw(self) -> bytes:
        return bytes(self._buffer[self._start : self._end])

    def _decode(self) -> bool:
        """Decode (once); whether the value holds a value form."""
        if self._forms is None:
            try:
                self._decoded, self._forms = decode_value(self._buffer[self._start : self._end])
            except Exception as error:  # a damaged value must not hide the rest of the trace
                self._decoded, self._forms = ReprText(f"<undecodable value: {error}>"), False
        return self._forms

    def get(self):
        if not self._done:
            document = self._document
            legacy = False
            if document is not None:
                legacy = document.legacy if document.legacy is not None else document.decide()
            self._decode()
            if legacy:
                self._decoded = mark_legacy_reprs(self._decoded)
            self._done = True
        return self._decoded


def _value(lazy):
    return None if lazy is None else lazy.get()


class Node:
    __slots__ = ()
    kind = ""


class Event(Node):
    """A plugin record (test start/end, HTTP request, log line, ...), placed
    among the frames at the point it was recorded."""

    __slots__ = ("type", "subtype", "timestamp", "frame_id", "thread_id", "call_site", "parent", "_data")
    kind = "event"

    def __init__(self, record: dict, data: dict, parent):
        self.type = str(record.get("type"))
        subtype = record.get("subtype")
        self.subtype = None if subtype is None else str(subtype)
        self.timestamp = record["timestamp"]
        self.frame_id = record.get("frame_id")
        self.thread_id = record.get("thread_native_id")
        self.call_site = record.get("user_code_call_site")
        self.parent = parent
        self._data = data

    @property
    def label(self) -> str:
        return f"{self.type}:{self.subtype}" if self.subtype else self.type

    @property
    def data(self) -> dict:
        """The plugin's own fields, decoded."""
        return {key: _value(value) for key, value in self._data.items()}

    @property
    def start(self) -> float:
        return self.timestamp

    @property
    def end(self) -> float:
        return self.timestamp

    def __repr__(self) -> str:
        return f"<Event {self.label} at {self.timestamp}>"


class Frame(Node):
    """One execution of a function: from a call to its return (for a
    generator, from one resumption to the next suspension)."""

    __slots__ = (
        "qualname",
        "co_name",
        "file",
        "line",
        "return_line",
        "frame_id",
        "thread_id",
        "start",
        "end",
        "parent",
        "children",
        "call_site",
        "called",
        "returned",
        "resumed",
        "_arguments",
        "_locals",
        "_return_value",
    )
    kind = "frame"

    def __init__(self, record: dict, parent, start: float):
        self.co_name = str(record.get("co_name") or "?")
        qualname = record.get("qualname")
        self.qualname = str(qualname) if qualname else self.co_name
        self.file, self.line = _split_path(record.get("path"))
        self.return_line: int | None = None
        self.frame_id = record.get("frame_id")
        self.thread_id = record.get("thread_native_id")
        self.start = start
        self.end = start
        self.parent = parent
        self.children: list[Node] = []
        self.call_site = record.get("user_code_call_site")
        self.called = True
        self.returned = False
        self.resumed = False
        self._arguments = self._locals = self._return_value = None

    @property
    def duration(self) -> float:
        return self.end - self.start

    @property
    def path(self) -> str:
        """``file:line`` of the definition (of the return when the call was not recorded)."""
        line = self.line if self.line is not None else self.return_line
        return self.file if line is None else f"{self.file}:{line}"

    @property
    def arguments(self) -> dict | None:
        """The frame's locals when it was entered: its arguments."""
        return _value(self._arguments)

    @property
    def locals(self) -> dict | None:
        """The frame's locals when it returned (or when entered, if it never did)."""
        return _value(self._locals if self._locals is not None else self._arguments)

    @property
    def return_value(self):
        """What the frame returned (None too when it raised or never returned)."""
        return _value(self._return_value)

    @property
    def shows_arguments(self) -> bool:
        """Whether the locals on entry are arguments worth showing: a module
        body's are its globals, a comprehension's just its iterator."""
        return self._arguments is not None and not (self.co_name.startswith("<") and self.co_name != "<lambda>")

    @property
    def has_values(self) -> bool:
        return self._arguments is not None or self._locals is not None or self._return_value is not None

    def frames(self) -> Iterator[Frame]:
        """This frame and every frame below it, depth first."""
        stack = [self]
        while stack:
            node = stack.pop()
            yield node
            stack.extend(child for child in reversed(node.children) if child.kind == "frame")  # type: ignore[misc]  # kind "frame": a Frame

    def __repr__(self) -> str:
        return f"<Frame {self.qualname} {self.path} {self.duration * 1e3:.3f} ms>"


def _map_size(raw: bytes) -> int:
    """The entry count of an encoded map; -1 for anything else."""
    if raw and 0x80 <= raw[0] <= 0x8F:
        return raw[0] & 0x0F
    if len(raw) >= 3 and raw[0] == 0xDE:
        return int.from_bytes(raw[1:3], "big")
    if len(raw) >= 5 and raw[0] == 0xDF:
        return int.from_bytes(raw[1:5], "big")
    return -1


def _split_path(path) -> tuple[str, int | None]:
    if not isinstance(path, str) or not path:
        return "?", None
    file, sep, line = path.rpartition(":")
    if sep and line.isdigit():
        return file, int(line)
    return path, None


@dataclass
class Thread:
    native_id: int
    name: str
    is_main: bool = False
    roots: list = field(default_factory=list)
    record_count: int = 0
    start: float | None = None
    end: float | None = None

    @property
    def label(self) -> str:
        return f"{self.name} ({self.native_id})"

    def nodes(self) -> Iterator[tuple[Node, int]]:
        """Every frame and event with its depth (roots are at 0), in order."""
        stack = [(node, 0) for node in reversed(self.roots)]
        while stack:
            node, depth = stack.pop()
            yield node, depth
            if node.kind == "frame":
                stack.extend((child, depth + 1) for child in reversed(node.children))

    def frames(self) -> Iterator[Frame]:
        for node, _ in self.nodes():
            if node.kind == "frame":
                yield node  # type: ignore[misc]  # kind "frame": a Frame


@dataclass
class Trace:
    trace_id: str
    command_line: list
    commit_sha: str | None
    start: float
    end: float
    main_thread_id: int | None
    threads: list
    part_count: int = 1
    meta: dict = field(default_factory=dict)
    # Events dropped at the memory budget, over all parts.
    dropped_events: int = 0

    @property
    def duration(self) -> float:
        return self.end - self.start

    @property
    def record_count(self) -> int:
        return sum(thread.record_count for thread in self.threads)

    @property
    def cut(self) -> bool:
        """Recording stopped at the memory budget in one of the parts."""
        return self.dropped_events > 0 or self.meta.get("cut") is True

    def frames(self) -> Iterator[Frame]:
        for thread in self.threads:
            yield from thread.frames()

    def thread(self, native_id: int) -> Thread | None:
        return next((thread for thread in self.threads if thread.native_id == native_id), None)


class _ThreadBuilder:
    """Builds one thread's tree from its records of one part, in order."""

    def __init__(self, thread: Thread):
        self.thread = thread
        self.roots: list[Node] = []
        self.stack: list[Frame] = []
        self.seen_ids: set = set()
        self.first_lines: dict = {}
        # Per code, where its last few returns left off: (line, locals bytes).
        self.returns: dict = {}
        self.first: float | None = None
        self.last: float | None = None

    def _clock(self, timestamp) -> float:
        # Wall-clock timestamps may step back a little: never let them.
        if not isinstance(timestamp, (int, float)) or isinstance(timestamp, bool):
            timestamp = self.last if self.last is not None else 0.0
        timestamp = float(timestamp)
        if not math.isfinite(timestamp):
            raise TraceFormatError(f"a record of thread {self.thread.native_id} has the timestamp {timestamp!r}")
        if self.last is not None and timestamp < self.last:
            timestamp = self.last
        if self.first is None:
            self.first = timestamp
        self.last = timestamp
        return timestamp

    def _siblings(self) -> list:
        return self.stack[-1].children if self.stack else self.roots

    def add(self, record: dict, values: dict) -> None:
        self.thread.record_count += 1
        name = record.get("thread")
        if isinstance(name, str) and name and self.thread.name.startswith("thread "):
            self.thread.name = name
        timestamp = self._clock(record.get("timestamp"))
        kind = record.get("type", "frame")
        if kind != "frame":
            record["timestamp"] = timestamp
            parent = self.stack[-1] if self.stack else None
            self._siblings().append(Event(record, values, parent))
        elif record.get("event") == "call":
            self._call(record, values, timestamp)
        elif record.get("event") == "return":
            self._return(record, values, timestamp)
        # Other frame events (none are recorded today) carry nothing to place.

    def _call(self, record, values, timestamp) -> None:
        parent = self.stack[-1] if self.stack else None
        frame = Frame(record, parent, timestamp)
        frame._arguments = values.get("locals")
        frame_id = frame.frame_id
        if frame_id is not None:
            frame.resumed = frame_id in self.seen_ids
            self.seen_ids.add(frame_id)
        frame.resumed = frame.resumed or self._resumes(frame, values.get("locals"))
        self._siblings().append(frame)
        self.stack.append(frame)

    def _resumes(self, frame: Frame, local_values) -> bool:
        """Whether a call resumes a suspended generator or coroutine (the
        call index decides it the same way, natively).  Every entry gets a
        fresh frame id, so it is read from what only a resumption looks like:
        a generator expression enters with its iterator as its only local,
        and has its loop variables bound once it has yielded; other code
        enters first at its definition's line (the lowest its calls show)
        and resumes at the line it suspended at, with the locals it
        suspended with, as a return of the same code on this thread left
        them.  Comprehensions, lambdas and module bodies never resume."""
        raw = local_values.raw() if local_values is not None else b""
        if frame.co_name == "<genexpr>":
            return _map_size(raw) > 1
        if frame.co_name.startswith("<") or frame.line is None:
            return False
        code = (frame.file, frame.qualname)
        first_line = self.first_lines.setdefault(code, frame.line)
        if frame.line <= first_line:
            self.first_lines[code] = frame.line
            return False
        kept = self.returns.get(code, [])
        if (frame.line, raw) in kept:
            kept.remove((frame.line, raw))
            return True
        return False

    def _remember_return(self, record, values) -> None:
        file, line = _split_path(record.get("path"))
        qualname = record.get("qualname") or record.get("co_name") or "?"
        local_values = values.get("locals")
        kept = self.returns.setdefault((file, str(qualname)), [])
        kept.append((line, local_values.raw() if local_values is not None else b""))
        del kept[:-8]

    def _return(self, record, values, timestamp) -> None:
        self._remember_return(record, values)
        frame_id = record.get("frame_id")
        target = None
        if frame_id is not None:
            for index in range(len(self.stack) - 1, -1, -1):
                if self.stack[index].frame_id == frame_id:
                    target = index
                    break
        elif self.stack and self.stack[-1].co_name == record.get("co_name"):
            target = len(self.stack) - 1
        if target is not None:
            # Frames above the one returning never reported their return.
            while len(self.stack) > target + 1:
                self._close(self.stack.pop(), timestamp, returned=False)
            frame = self.stack.pop()
        else:
            frame = self._orphan(record, timestamp)
        frame._locals = values.get("locals")
        frame._return_value = values.get("arg")
        frame.return_line = _split_path(record.get("path"))[1]
        self._close(frame, timestamp, returned=True)

    def _orphan(self, record, timestamp) -> Frame:
        """A frame whose call was not recorded."""
        if self.stack:
            # Nothing it could have enclosed: a point in its caller's time.
            parent = self.stack[-1]
            frame = Frame(record, parent, timestamp)
            parent.children.append(frame)
        else:
            # It was running when recording began: it encloses all so far.
            frame = Frame(record, None, self.first if self.first is not None else timestamp)
            frame.children = self.roots
            for child in frame.children:
                child.parent = frame  # type: ignore[attr-defined]  # frames and events both have a parent
            self.roots = [frame]
        frame.line = None
        frame.called = False
        if frame.frame_id is not None:
            self.seen_ids.add(frame.frame_id)
        return frame

    @staticmethod
    def _close(frame: Frame, timestamp: float, *, returned: bool) -> None:
        frame.end = max(timestamp, frame.start)
        frame.returned = returned

    def finish(self) -> list[Node]:
        while self.stack:
            self._close(self.stack.pop(), self.last, returned=False)  # type: ignore[arg-type]  # a frame: a timestamp was seen
        thread = self.thread
        if self.first is not None:
            thread.start = self.first if thread.start is None else min(thread.start, self.first)
            thread.end = self.last if thread.end is None else max(thread.end, self.last)  # type: ignore[type-var]  # set with first
        return self.roots


class _DocumentReader:
    def __init__(self, document: bytes, values: bool):
        self.buffer = memoryview(document)
        self.values = values
        self.unpacker = msgpack.Unpacker(
            None,
            raw=False,
            strict_map_key=False,
            unicode_errors="replace",
            max_buffer_size=max(len(document), 1024),
        )
        self.unpacker.feed(document)
        self.document_values = _DocumentValues()

    def lazy(self) -> LazyValue:
        start = self.unpacker.tell()
        self.unpacker.skip()
        return LazyValue(self.buffer, start, self.unpacker.tell(), self.document_values)

    def record(self) -> tuple[dict, dict]:
        """One record: its small fields decoded, its values left encoded."""
        unpacker = self.unpacker
        fields: dict = {}
        values: dict = {}
        try:
            count = unpacker.read_map_header()
        except msgpack.UnpackValueError:
            unpacker.skip()
            return {}, {}
        for _ in range(count):
            key = unpacker.unpack()
            if key in FIELD_KEYS:
                fields[key] = unpacker.unpack()
            elif key in _VALUE_KEYS and not self.values:
                unpacker.skip()
            else:
                # Recorded values, and plugin fields (which may hold maps
                # keyed by arrays, which only the fallback decoder reads).
                values[key] = self.lazy()
        return fields, values

    def records(self):
        for _ in range(self.unpacker.read_array_header()):
            yield self.record()


def _parse_document(document: bytes, values: bool, threads: dict, trace_fields: dict) -> None:
    reader = _DocumentReader(document, values)
    unpacker = reader.unpacker
    builders: dict[int, _ThreadBuilder] = {}
    fields: dict = {}

    def builder(thread_id) -> _ThreadBuilder:
        found = builders.get(thread_id)
        if found is None:
            thread = threads.get(thread_id)
            if thread is None:
                thread = threads[thread_id] = Thread(thread_id, f"thread {thread_id}")
            found = builders[thread_id] = _ThreadBuilder(thread)
        return found

    def add(records, default_thread=None) -> None:
        for record, record_values in records:
            if not record:
                continue
            thread_id = record.get("thread_native_id", default_thread)
            if not isinstance(thread_id, int) or isinstance(thread_id, bool):
                thread_id = default_thread if default_thread is not None else 0
            builder(thread_id).add(record, record_values)

    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames":
                for _ in range(unpacker.read_map_header()):
                    thread_id = unpacker.unpack()
                    add(reader.records(), thread_id if isinstance(thread_id, int) else None)
            elif key == "frames_of_interest":
                # One thread's records, or several threads' interleaved when
                # threads are not recorded separately: grouped by thread.
                add(reader.records())
            else:
                fields[key] = unpacker.unpack()
    except TraceFormatError:
        raise
    except (msgpack.UnpackException, ValueError, TypeError, KeyError) as error:
        raise TraceFormatError(f"not a readable trace document: {error}") from None

    for thread_id, thread_builder in builders.items():
        threads[thread_id].roots.extend(thread_builder.finish())

    timestamp = fields.get("timestamp")
    trace_fields.setdefault("parts", []).append(fields)
    if isinstance(timestamp, (int, float)) and not isinstance(timestamp, bool):
        if not math.isfinite(timestamp):
            raise TraceFormatError(f"the document has the timestamp {float(timestamp)!r}")
        trace_fields["starts"].append(float(timestamp))
    for thread_builder in builders.values():
        if thread_builder.first is not None:
            trace_fields["starts"].append(thread_builder.first)
            trace_fields["ends"].append(thread_builder.last)


def parse_documents(documents, *, trace_id: str | None = None, values: bool = True) -> Trace:
    """Build a :class:`Trace` from the documents (parts) of one trace, in order."""
    threads: dict[int, Thread] = {}
    trace_fields: dict = {"starts": [], "ends": []}
    for number, document in enumerate(documents, 1):
        where = f"trace {trace_id}" if trace_id else "the trace"
        if not isinstance(document, (bytes, bytearray, memoryview)):
            raise TraceFormatError(
                f"{where}: part {number} is stored as {type(document).__name__}, not as a BLOB of MessagePack"
            )
        try:
            _parse_document(bytes(document), values, threads, trace_fields)
        except TraceFormatError as error:
            raise TraceFormatError(f"{where}, part {number}: {error}") from None
    parts = trace_fields.get("parts", [])
    first = parts[0] if parts else {}
    main_id = first.get("main_thread_id")
    for thread_id, thread in threads.items():
        thread.is_main = thread_id == main_id
    ordered = sorted(
        (thread for thread in threads.values() if thread.record_count),
        key=lambda thread: (not thread.is_main, thread.start if thread.start is not None else 0.0),
    )
    start = min(trace_fields["starts"], default=0.0)
    end = max(trace_fields["ends"], default=start)
    argv = first.get("command_line_args")
    meta = first.get("meta")
    sha = first.get("current_commit_sha")
    return Trace(
        trace_id=trace_id or str(first.get("trace_id") or "?"),
        command_line=[argument_text(arg) for arg in argv] if isinstance(argv, list) else [],
        commit_sha=sha if isinstance(sha, str) else None,
        start=start,
        end=max(end, start),
        main_thread_id=main_id if isinstance(main_id, int) else None,
        threads=ordered,
        part_count=len(parts),
        meta=meta if isinstance(meta, dict) else {},
        dropped_events=sum(_dropped_events(part.get("meta")) for part in parts),
    )


def _dropped_events(meta) -> int:
    if not isinstance(meta, dict) or meta.get("cut") is not True:
        return 0
    dropped = meta.get("dropped_events")
    return dropped if type(dropped) is int and dropped > 0 else 0


def load_trace(db_path, trace_id: str, *, values: bool = True) -> Trace:
    """Read a stored trace as call trees (see :func:`parse_documents`)."""
    return parse_documents(read_trace_parts(db_path, trace_id), trace_id=trace_id, values=values)
