"""Outbound HTTP through ``http.client``: a record per request sent and one
per response received.

urllib, urllib3 and requests all send through ``http.client.HTTPConnection``,
so hooking it sees their traffic.  The request is read from the
connection's header buffer when ``endheaders`` starts: the headers are final
then, whether they came from ``request()`` or (as urllib3 does) from
``putrequest``/``putheader`` calls.  Secrets are never recorded: the values
of credential-like headers and query parameters are replaced.
"""

from __future__ import annotations

import threading
import time
import weakref
from collections.abc import Iterable
from urllib.parse import unquote, urlsplit, urlunsplit

__all__ = ["REDACTED", "descriptions", "is_secret_name", "redact_headers", "redact_url"]

REDACTED = "[redacted]"

# Lower-case fragments of header and parameter names whose values are credentials.
_SECRET_PARTS = ("auth", "cookie", "token", "secret", "password", "passwd", "key", "session", "signature", "credential")


def is_secret_name(name: str) -> bool:
    lowered = name.lower()
    return any(part in lowered for part in _SECRET_PARTS)


def redact_headers(pairs: Iterable[tuple[str, str]]) -> dict[str, str]:
    """Headers as a dict (repeated names joined by ", "), secrets replaced."""
    headers: dict[str, str] = {}
    for name, value in pairs:
        value = REDACTED if is_secret_name(name) else value
        headers[name] = f"{headers[name]}, {value}" if name in headers else value
    return headers


def redact_url(url: str) -> str:
    """``url`` without user info and with credential-like query values replaced."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return url
    netloc = parts.netloc
    if "@" in netloc:
        netloc = REDACTED + "@" + netloc.rpartition("@")[2]
    query = parts.query
    if query:
        fields = []
        for field in query.split("&"):
            name, eq, _ = field.partition("=")
            fields.append(f"{name}={REDACTED}" if eq and is_secret_name(unquote(name)) else field)
        query = "&".join(fields)
    return urlunsplit((parts.scheme, netloc, parts.path, query, parts.fragment))


def _text(line: bytes) -> str:
    return line.decode("latin-1") if isinstance(line, (bytes, bytearray)) else str(line)


def _read_request(connection) -> dict:
    """Method, URL and headers from the lines ``putrequest``/``putheader`` buffered."""
    lines = [_text(line) for line in getattr(connection, "_buffer", ())]
    if not lines:
        return {"method": None, "url": None, "headers": {}}
    method, _, rest = lines[0].partition(" ")
    target = rest.rpartition(" ")[0] or rest
    pairs = []
    for line in lines[1:]:
        name, _, value = line.partition(":")
        pairs.append((name.strip(), value.strip()))
    headers = redact_headers(pairs)
    if target.startswith(("http://", "https://")):
        url = target  # the absolute form sent to a proxy
    else:
        scheme = "https" if getattr(connection, "default_port", 80) == 443 else "http"
        host = next((value for name, value in pairs if name.lower() == "host"), None)
        if host is None:
            host = f"{getattr(connection, 'host', '')}:{getattr(connection, 'port', '')}"
        url = f"{scheme}://{host}{target}"
    return {"method": method, "url": redact_url(url), "headers": headers}


def _context(config) -> dict:
    # Requests awaiting their response, by connection; weak so that a
    # connection dropped before its response leaves nothing behind.
    return {"pending": weakref.WeakKeyDictionary(), "lock": threading.Lock()}


def _wanted(frame, event, arg, context) -> bool:
    if frame.f_code.co_name == "endheaders":
        return event == "call"
    return event == "return"


def _process(frame, event, arg, context) -> dict:
    connection = frame.f_locals.get("self")
    if event == "call":
        request = _read_request(connection)
        try:
            with context["lock"]:
                context["pending"][connection] = (time.perf_counter(), request["method"], request["url"])
        except TypeError:
            pass  # not weakly referenceable: the response goes without its request
        return request
    with context["lock"]:
        try:
            started, method, url = context["pending"].pop(connection)
        except (KeyError, TypeError):
            started, method, url = None, None, None
    response = {
        "method": method,
        "url": url,
        "duration": None if started is None else time.perf_counter() - started,
    }
    if arg is None:
        # getresponse raised: no status line was read.
        response.update(status=None, reason=None, headers={})
    else:
        try:
            pairs = arg.getheaders()
        except Exception:
            pairs = []
        response.update(status=getattr(arg, "status", None), reason=getattr(arg, "reason", None),
                        headers=redact_headers(pairs))
    return response


def descriptions() -> list[dict]:
    return [
        {
            "co_names": ["endheaders", "getresponse"],
            "path_fragment": "http/client.py",
            "call_type": "http_request",
            "return_type": "http_response",
            "call": _wanted,
            "process": _process,
            "build_context": _context,
        }
    ]
