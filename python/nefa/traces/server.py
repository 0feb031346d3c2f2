"""``nefa view``: a local HTTP server that shows a trace as its page asks.

The page (``viewer.html``, with ``viewer_format.js``, ``served_source.js``
and the flame chart ``flame.js`` inlined) asks for what is on screen: the calls of a time window at a pixel
width (:mod:`nefa.traces.layout`), one call's values on a click, matches of
a search.  Every answer is read from the call index and bounded by what is
shown, never by the trace, so the server's memory stays flat.

The server listens on 127.0.0.1 only, on a free port, and answers only
paths under a random token, and only requests addressed to 127.0.0.1 or
localhost by their Host header (a page of another site, its name rebound to
127.0.0.1, is refused): the page shows recorded values, and other local
users or web pages must not read them.  Each connection (HTTP/1.0: one
request) is read and written on a thread of its own, so a slow or idle one
holds up no other; the answers are worked out one at a time on the thread
that serves, which opened the index (its connection, and the layout state
kept between windows, are that thread's).
"""

from __future__ import annotations

import hmac
import html
import json
import queue
import re
import secrets
import shlex
import sys
import tempfile
import threading
from collections.abc import Callable
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

from nefa import _native, db
from nefa.traces.indexed import Call, IndexedTrace
from nefa.traces.lanes import ensure_lanes
from nefa.traces.layout import ensure_layout_indexes, open_helper, window_json
from nefa.traces.output import open_private, printable
from nefa.traces.reader import FIELD_KEYS
from nefa.traces.values import FORM_KEY, brief, jsonable
from nefa.version import __version__

__all__ = ["SEARCH_LIMIT", "TraceViews", "ViewServer", "fill_page", "forwarding_page"]

SEARCH_LIMIT = 200
_MAX_WIDTH = 8192
_FLAG_NO_CALL, _FLAG_NO_RETURN, _FLAG_RESUMED = 1, 2, 4
# A value bigger than this (as JSON) is shown cut, to keep pages loadable.
_MAX_VALUE_JSON = 20_000


class BadRequest(ValueError):
    pass


def _asset(name: str) -> str:
    return resources.files("nefa.traces").joinpath(name).read_text(encoding="utf-8")


def fill_page(trace: IndexedTrace, source: str, data: str = "") -> str:
    """The viewer's page (``viewer.html``), with the style, the flame chart
    and its data ``source`` (a script) inlined, and ``data`` (blocks of
    markup) before the scripts."""
    pieces = {
        "TITLE": html.escape(f"{trace.trace_id} · {shlex.join(trace.command_line)}"),
        "CSS": _asset("viewer.css"),
        "DATA": data,
        "JS": "\n".join(_asset(name) for name in ("viewer_format.js", source, "flame.js")),
    }
    # One pass, so that nothing inserted is itself searched for markers.
    return re.sub(r"%%([A-Z]+)%%", lambda match: pieces[match.group(1)], _asset("viewer.html"))


def _full(value):
    converted = jsonable(value)
    text = json.dumps(converted, ensure_ascii=False, allow_nan=False)
    if len(text) <= _MAX_VALUE_JSON:
        return converted
    return {FORM_KEY: "text", "text": brief(value, _MAX_VALUE_JSON) + f" ({len(text)} characters as JSON: cut)"}


class TraceViews:
    """The answers, as JSON-ready data; times in microseconds from the trace's start."""

    def __init__(self, trace: IndexedTrace):
        self.trace = trace
        self.conn = trace.conn
        ensure_layout_indexes(self.conn)
        ensure_lanes(self.conn, trace.key)
        self.helper = open_helper(self.conn)
        self.kept = _native.WindowLayout()
        # calls.start + offset = nanoseconds from the trace's start.
        self.offset = round((trace.index.time_base - trace.start) * 1e9)
        self.threads = {thread.native_id: thread for thread in trace.threads}
        self.depths = {
            thread.native_id: (
                self.conn.execute(
                    "SELECT max(depth) FROM call_lanes WHERE trace_key = ? AND thread_native_id = ?",
                    (trace.key, thread.native_id),
                ).fetchone()[0]
                or 0
            )
            + 1
            for thread in trace.threads
        }

    def close(self) -> None:
        if self.helper is not None:
            self.helper.close()

    def micros(self, ns: int) -> float:
        return round((ns + self.offset) / 1000, 3)

    def _ns(self, micros: float) -> int:
        return round(micros * 1000) - self.offset

    def summary(self) -> dict:
        trace = self.trace
        return {
            "trace": {
                "id": trace.trace_id,
                "command": shlex.join(trace.command_line),
                "duration": round(trace.duration * 1e6, 3),
                "records": trace.record_count,
                "version": __version__,
            },
            "threads": [
                {
                    "id": thread.native_id,
                    "name": thread.name,
                    "main": thread.is_main,
                    "calls": thread.call_count,
                    "depths": self.depths[thread.native_id],
                    "start": self.micros(thread.start),
                    "end": self.micros(thread.end),
                }
                for thread in trace.threads
            ],
        }

    def window(self, t0: float, t1: float, width: int, rows: dict | None = None) -> bytes:
        """The window's answer, as JSON: ``rows`` (thread id -> range of
        depths) limits it to the rows the page shows, and to their threads."""
        if not t1 > t0 or not 1 <= width <= _MAX_WIDTH:
            raise BadRequest("need t0 < t1 and 1 <= width <= %d" % _MAX_WIDTH)
        start, end = self._ns(t0), self._ns(t1)
        names: set = set()
        paths: set = set()
        threads = []
        for thread in self.trace.threads:
            depths: range | None
            depths = range(self.depths[thread.native_id])
            if rows is not None:
                asked = rows.get(thread.native_id)
                depths = range(max(asked.start, 0), min(asked.stop, depths.stop)) if asked is not None else None
            if depths is None or thread.end < start or thread.start >= end:
                threads.append('{"id":%d,"rows":[],"events":[]}' % thread.native_id)
                continue
            found_rows, found_events, name_ids, path_ids = window_json(
                self.conn,
                self.trace.key,
                thread.native_id,
                depths,
                start,
                end,
                width,
                self.offset,
                self.helper,
                self.kept,
            )
            names.update(name_ids)
            paths.update(path_ids)
            threads.append('{"id":%d,"rows":%s,"events":%s}' % (thread.native_id, found_rows, found_events))
        texts = json.dumps(
            {
                "names": {name_id: self.trace.text("names", "name", name_id) for name_id in sorted(names)},
                "paths": {path_id: self.trace.text("paths", "path", path_id) for path_id in sorted(paths)},
            },
            ensure_ascii=False,
            separators=(",", ":"),
        )
        head = json.dumps({"t0": t0, "t1": t1, "width": width}, separators=(",", ":"))
        return ('%s,"threads":[%s],%s' % (head[:-1], ",".join(threads), texts[1:])).encode()

    def _call_summary(self, call) -> dict:
        return {
            "id": call.id,
            "name": call.name,
            "thread": call.thread_id,
            "depth": call.depth,
            "start": self.micros(call.start),
            "duration": round(call.duration / 1000, 3),
        }

    def call(self, call_id: int) -> dict:
        trace = self.trace
        call = trace.call(call_id)
        if call is None:
            raise LookupError(f"no call {call_id}")
        parent = trace.call(call.parent) if call.parent is not None else None
        found = self._call_summary(call)
        found.update(
            self.details(
                call,
                self._call_summary(parent) if parent is not None else None,
                trace.frame_children(call) if call.kind is None else 0,
            )
        )
        return found

    def details(self, call: Call, parent: dict | int | None, calls: int) -> dict:
        """What a call's answer holds besides its summary: ``parent``, its
        caller's summary (or its id); ``calls``, how many frames it called."""
        trace = self.trace
        thread = self.threads.get(call.thread_id)
        found: dict = {
            "path": call.path,
            "threadLabel": thread.label + (" · main" if thread.is_main else "") if thread else str(call.thread_id),
            "parent": parent,
        }
        if call.kind is not None:
            record = trace.record(call, "call")
            found["event"] = True
            found["data"] = _full({key: value for key, value in record.items() if key not in FIELD_KEYS})
            return found
        flags = call.flags | (_FLAG_RESUMED if call.resumed else 0)
        found.update({"flags": flags, "calls": calls})
        entered = trace.record(call, "call") if call.call_offset is not None else {}
        left = trace.record(call, "return") if call.return_offset is not None else {}
        co_name = call.co_name
        arguments = entered.get("locals")
        values = {}
        if "locals" in entered and not (co_name.startswith("<") and co_name != "<lambda>"):
            values["arguments"] = _full(arguments)
        if "locals" in left or "locals" in entered:
            values["locals"] = _full(left["locals"] if "locals" in left else arguments)
        if not flags & _FLAG_NO_RETURN and left:
            values["returned"] = _full(left.get("arg"))
        found["values"] = values if (entered or left) else None
        return found

    def every_call(self) -> tuple[dict, dict]:
        """The whole trace, for a page that answers for itself: (every call
        of each thread and depth in start order, as a window answer holds
        the calls it shows, with the names and paths they use; each call's
        answer by id, as :meth:`call` gives it but for the caller, named by
        its id, and for a frame's summary, which its row has)."""
        trace = self.trace
        calls = trace.every_call()
        below: dict[int, int] = {}
        for call, _, _ in calls:
            if call.kind is None and call.parent is not None:
                below[call.parent] = below.get(call.parent, 0) + 1
        lanes: dict[int, dict] = {thread.native_id: {} for thread in trace.threads}
        events: dict[int, list] = {thread.native_id: [] for thread in trace.threads}
        names: dict[int, str] = {}
        paths: dict[int, str | None] = {}
        details = {}
        for call, name_id, path_id in calls:
            names[name_id] = call.name
            if call.kind is not None:
                events.setdefault(call.thread_id, []).append([call.id, self.micros(call.start), name_id])
            else:
                if path_id is not None:
                    paths[path_id] = call.file
                lanes.setdefault(call.thread_id, {}).setdefault(call.depth, []).append(
                    [
                        call.id,
                        self.micros(call.start),
                        round(call.duration / 1000, 3),
                        name_id,
                        path_id,
                        call.line,
                        call.flags | (_FLAG_RESUMED if call.resumed else 0),
                    ]
                )
            found = self.details(call, call.parent, below.get(call.id, 0))
            details[call.id] = found if call.kind is None else {**self._call_summary(call), **found}
        threads = []
        for native_id, rows in lanes.items():
            for row in rows.values():
                row.sort(key=lambda entry: (entry[1], entry[0]))
            threads.append(
                {
                    "id": native_id,
                    "rows": [{"depth": depth, "calls": rows[depth]} for depth in sorted(rows)],
                    "events": sorted(events.get(native_id, []), key=lambda entry: (entry[1], entry[0])),
                }
            )
        return {"threads": threads, "names": names, "paths": paths}, details

    def search(self, text: str, limit: int = SEARCH_LIMIT) -> dict:
        needle = text.strip().casefold()
        if not needle:
            return {"total": 0, "matches": []}
        limit = max(1, min(limit, SEARCH_LIMIT))
        trace = self.trace
        # Through the trace's functions (few), then the index by name.
        name_ids: dict[int, int] = {}
        for name_id, name, calls in self.conn.execute(
            "SELECT f.name_id, n.name, sum(f.calls) FROM function_stats f JOIN names n ON n.id = f.name_id"
            " WHERE f.trace_key = ? AND f.path_id != 0 GROUP BY f.name_id",
            (trace.key,),
        ):
            if needle in name.casefold():
                name_ids[name_id] = calls
        found: list[tuple] = []
        for name_id, calls in name_ids.items():
            found.extend(
                row + (name_id,)
                for row in trace.named(
                    "c.id, c.thread_native_id, c.depth, c.start, c.duration", name_id, limit, expected=calls
                )
            )
        found.sort()
        matches = [
            {
                "id": call_id,
                "thread": thread,
                "depth": depth,
                "start": self.micros(start),
                "duration": round(duration / 1000, 3),
                "name": trace.text("names", "name", name_id),
            }
            for call_id, thread, depth, start, duration, name_id in found[:limit]
        ]
        return {"total": sum(name_ids.values()), "matches": matches}

    def page(self) -> str:
        return fill_page(self.trace, "served_source.js")


# What a query's numbers may be: ids as SQLite stores them, times (in
# microseconds) whose nanoseconds do too.
_MAX_INT = 2**63 - 1
_MAX_MICROS = 1e15


def _number(query: dict, name: str, kind=float):
    try:
        value = kind(query[name][0])
    except (KeyError, IndexError, ValueError):
        raise BadRequest(f"missing or bad {name}") from None
    bound = _MAX_MICROS if kind is float else _MAX_INT
    if not -bound <= value <= bound:  # NaN too
        raise BadRequest(f"bad {name}")
    return value


_ROWS = re.compile(r"(\d+):(\d+):(\d+)")


def _rows(query: dict) -> dict | None:
    """``rows=thread:first:count,...``: the depths of each thread asked for."""
    if "rows" not in query:
        return None
    rows = {}
    text = query["rows"][0]
    for part in text.split(",") if text else ():
        match = _ROWS.fullmatch(part)
        if match is None:
            raise BadRequest("bad rows")
        thread, first, count = map(int, match.groups())
        if max(thread, first, count) > _MAX_INT:
            raise BadRequest("bad rows")
        rows[thread] = range(first, first + count)
    return rows


class _Handler(BaseHTTPRequestHandler):
    server: ViewServer
    protocol_version = "HTTP/1.0"
    # An idle connection is let go: it holds a thread.
    timeout = 30

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # the terminal shows the URL, not every request

    def do_GET(self):
        if not self.server.addressed_to(self.headers.get("Host")):
            return self._send(HTTPStatus.FORBIDDEN, b"forbidden\n", "text/plain; charset=utf-8")
        parts = urlsplit(self.path)
        prefix = f"/{self.server.token}/"
        path = parts.path
        # The token decides before anything else; compared in constant time.
        if not hmac.compare_digest(path[: len(prefix)].encode(), prefix.encode()):
            return self._send(HTTPStatus.NOT_FOUND, b"not found\n", "text/plain; charset=utf-8")
        route = path[len(prefix) :]
        query = parse_qs(parts.query)
        views = self.server.views
        try:
            if route == "":
                page = self.server.answer(views.page)
                return self._send(HTTPStatus.OK, page.encode(), "text/html; charset=utf-8")
            if route == "api/trace":
                answer = self.server.answer(views.summary)
            elif route == "api/window":
                t0, t1, width, rows = (
                    _number(query, "t0"),
                    _number(query, "t1"),
                    _number(query, "width", int),
                    _rows(query),
                )
                answer = self.server.answer(lambda: views.window(t0, t1, width, rows))
            elif route == "api/call":
                call_id = _number(query, "id", int)
                answer = self.server.answer(lambda: views.call(call_id))
            elif route == "api/search":
                limit = _number(query, "limit", int) if "limit" in query else SEARCH_LIMIT
                text = query.get("q", [""])[0]
                answer = self.server.answer(lambda: views.search(text, limit))
            else:
                return self._send(HTTPStatus.NOT_FOUND, b"not found\n", "text/plain; charset=utf-8")
        except BadRequest as error:
            return self._json(HTTPStatus.BAD_REQUEST, {"error": str(error)})
        except LookupError as error:
            return self._json(HTTPStatus.NOT_FOUND, {"error": str(error)})
        except (db.IndexDamagedError, *db.IndexDamagedError.READ_ERRORS) as error:
            return self._failed(str(db.IndexDamagedError.of(error, views.trace.trace_id)))
        except db.DatabaseError as error:
            return self._failed(str(error))
        except Exception as error:  # one line, as any other failure
            return self._failed(f"cannot answer {route}: {type(error).__name__}: {error}")
        if isinstance(answer, bytes):
            return self._send(HTTPStatus.OK, answer, "application/json")
        self._json(HTTPStatus.OK, answer)

    def _failed(self, message: str) -> None:
        # One line where the server was started, as the command line says
        # its errors; the page shows the answer's.
        print(f"nefa: error: {printable(message)}", file=sys.stderr, flush=True)
        self._json(HTTPStatus.INTERNAL_SERVER_ERROR, {"error": message})

    def _json(self, status, answer) -> None:
        body = json.dumps(answer, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode()
        self._send(status, body, "application/json")

    def _send(self, status, body: bytes, kind: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        self.wfile.write(body)


class _Question:
    """Work asked of the serving thread, and what it came to."""

    def __init__(self, work: Callable):
        self.work = work
        self.done = threading.Event()
        self.result = None
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            self.result = self.work()
        except Exception as error:
            self.error = error
        except BaseException:  # Ctrl-C: the asker is not left waiting
            self.error = _Stopped("the viewer is stopping")
            raise
        finally:
            self.done.set()


class _Stopped(Exception):
    pass


class ViewServer(ThreadingHTTPServer):
    """Serves one trace on 127.0.0.1, on a free port unless ``port`` is given.
    :meth:`serve_forever` must run on the thread that opened the trace."""

    daemon_threads = True

    def __init__(self, trace: IndexedTrace, port: int = 0):
        self.views = TraceViews(trace)
        self.token = secrets.token_urlsafe(24)
        self._questions: queue.SimpleQueue[_Question | None] = queue.SimpleQueue()
        self._taking = threading.Lock()
        self._open = True
        super().__init__(("127.0.0.1", port), _Handler)

    def addressed_to(self, host: str | None) -> bool:
        port = self.server_address[1]
        return host is not None and host.lower() in (f"127.0.0.1:{port}", f"localhost:{port}")

    def answer(self, work: Callable):
        """``work()``, done on the serving thread; raises what it raised."""
        question = _Question(work)
        with self._taking:
            if not self._open:
                raise _Stopped("the viewer is stopping")
            self._questions.put(question)
        question.done.wait()
        if question.error is not None:
            raise question.error
        return question.result

    def serve_forever(self, poll_interval: float = 0.5) -> None:
        # Connections are taken on a thread of their own; this one answers.
        taking = threading.Thread(target=super().serve_forever, args=(poll_interval,), daemon=True)
        taking.start()
        try:
            while (question := self._questions.get()) is not None:
                question.run()
        finally:
            with self._taking:
                self._open = False
            super().shutdown()
            taking.join()
            while True:  # asked while stopping: told so
                try:
                    left = self._questions.get_nowait()
                except queue.Empty:
                    break
                if left is not None:
                    left.error = _Stopped("the viewer is stopping")
                    left.done.set()

    def shutdown(self) -> None:
        self._questions.put(None)
        super().shutdown()

    def handle_error(self, request, client_address) -> None:
        # A connection dropped or timed out is no one's error; anything else
        # is one line where the server was started, never a traceback.
        error = sys.exc_info()[1]
        if not isinstance(error, OSError):
            print(f"nefa: error: {printable(f'viewer request failed: {error!r}')}", file=sys.stderr, flush=True)

    def server_close(self) -> None:
        super().server_close()
        self.views.close()

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{host}:{port}/{self.token}/"  # type: ignore[str-bytes-safe]  # a TCP address: host is a str


def forwarding_page(url: str) -> Path:
    """A page that sends its browser on to ``url``, in a new directory only
    the user may enter: a browser is started on this page's path, never on
    the URL, whose token any local user could read on its command line."""
    folder = Path(tempfile.mkdtemp(prefix="nefa-view-"))  # 0700
    page = folder / "open.html"
    with open_private(page) as out:
        out.write(
            '<!doctype html><meta charset="utf-8"><meta name="referrer" content="no-referrer">'
            f'<meta http-equiv="refresh" content="0;url={html.escape(url)}"><title>nefa view</title>'
            f'<a href="{html.escape(url)}">Open the viewer</a>\n'
        )
    return page
