"""One trace per request for any WSGI application.

    from nefa.wsgi import NefaMiddleware
    app = NefaMiddleware(app)                      # or app.wsgi_app = NefaMiddleware(app.wsgi_app)

Each request is recorded on the thread that handles it, from the call of
the application until the server closes the response, and stored as a
trace of its own (source "wsgi") whose command line is the request:
``GET /path?query 200``.  Threaded servers work as they are, since every
thread gets its own profile hook.  A thread that already has a profile
function (``nefa run``, an outer middleware, another profiler) is left alone.
"""

from __future__ import annotations

import logging
import os
import threading
from collections.abc import Mapping

import msgpack

from nefa import config as config_module
from nefa import db
from nefa.plugins.http import redactor
from nefa.profiler import Profiler, recording_module, thread_is_recorded

__all__ = ["NefaMiddleware"]

logger = logging.getLogger("nefa")


def with_command_line(document: bytes, argv: list[str]) -> bytes:
    """``document`` with its command line replaced; every other entry is
    copied byte for byte, undecoded."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(document), 1024))
    unpacker.feed(document)
    count = unpacker.read_map_header()
    parts = [document[: unpacker.tell()]]
    for _ in range(count):
        start = unpacker.tell()
        key = unpacker.unpack()
        value_start = unpacker.tell()
        unpacker.skip()
        if key == "command_line_args":
            parts.append(document[start:value_start] + msgpack.packb(list(argv)))
        else:
            parts.append(document[start : unpacker.tell()])
    return b"".join(parts)


class _Request:
    """The recording of one request, stored once the response is done."""

    def __init__(self, middleware: NefaMiddleware, environ):
        self.profiler = Profiler(db_path=middleware.db_path, config=middleware.config, source="wsgi")
        self.thread = threading.get_ident()
        self.status: str | None = None
        path = environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", "")
        query = environ.get("QUERY_STRING", "")
        self.method = str(environ.get("REQUEST_METHOD", "-"))
        self.target = redactor(middleware.config).url(f"{path}?{query}" if query else path) or "/"
        self.finished = False

    def finish(self) -> None:
        if self.finished:
            return
        self.finished = True
        # The hook is per thread: only the recording thread can remove its own.
        if threading.get_ident() == self.thread:
            self.profiler.stop()
        argv = [self.method, self.target]
        if self.status:
            argv.append(self.status.split(" ", 1)[0])
        try:
            document = with_command_line(self.profiler.build_trace(), argv)
            db.save_trace_in_sqlite(
                self.profiler.db_path,
                self.profiler.trace_id,
                timeout=self.profiler.config["sqlite_busy_timeout"],
                msgpack=document,
            )
        except Exception as error:
            # Serving the request matters more than its trace.
            logger.warning("could not store the trace of %s %s: %s", self.method, self.target, error)


class _Response:
    """The application's response iterable; the recording ends at close()."""

    def __init__(self, iterable, request: _Request):
        self._iterable = iterable
        self._request = request

    def __iter__(self):
        return iter(self._iterable)

    def close(self) -> None:
        try:
            close = getattr(self._iterable, "close", None)
            if close is not None:
                close()
        finally:
            self._request.finish()


class NefaMiddleware:
    """Wrap a WSGI application so that each request is stored as a trace.

    ``db_path`` defaults to ``.nefa/db.sqlite3`` in the current directory;
    ``config`` is a profiler config (see :class:`nefa.Profiler`).  Only the
    handling thread is recorded: threads a request starts are not.
    """

    def __init__(self, app, db_path: str | os.PathLike[str] | None = None, config: Mapping | None = None):
        if not callable(app):
            raise TypeError(f"NefaMiddleware wraps a WSGI application, not {type(app).__name__}")
        recording_module()  # fail now, not at the first request, when it is missing
        self.app = app
        self.config = config_module.make_config(config)
        self.config["threading"] = False
        self.db_path = os.path.abspath(os.fspath(db_path) if db_path is not None else config_module.DEFAULT_DB_PATH)

    def __call__(self, environ, start_response):
        if thread_is_recorded():
            # Replacing the hook would end that recording on this thread.
            return self.app(environ, start_response)
        request = _Request(self, environ)

        def recording_start_response(status, headers, exc_info=None):
            request.status = status
            return (
                start_response(status, headers, exc_info) if exc_info is not None else start_response(status, headers)
            )

        request.profiler.start()
        try:
            result = self.app(environ, recording_start_response)
        except BaseException:
            request.finish()
            raise
        if isinstance(result, (list, tuple)):
            # Complete already: nothing of the application runs any more.
            request.finish()
            return result
        return _Response(result, request)
