"""Outbound HTTP through ``http.client``: a record per request sent and one
per response received.

urllib, urllib3 and requests all send through ``http.client.HTTPConnection``,
so hooking it sees their traffic.  The request is read from the
connection's header buffer when ``endheaders`` starts: the headers are final
then, whether they came from ``request()`` or (as urllib3 does) from
``putrequest``/``putheader`` calls.  Secrets are never recorded: the values
of credential-like headers and query parameters, and the user info of URLs,
are replaced (:class:`Redactor` holds the rules).
"""

from __future__ import annotations

import re
import threading
import time
import weakref
from collections.abc import Iterable
from urllib.parse import urlsplit, urlunsplit

from nefa import redaction
from nefa.redaction import REDACTED

__all__ = [
    "REDACTED",
    "SECRET_FRAGMENTS",
    "SECRET_NAMES",
    "Redactor",
    "descriptions",
    "is_secret_name",
    "redact_headers",
    "redact_url",
    "redactor",
]

# The credential rule is nefa.redaction's, shared with the recorded values.
SECRET_FRAGMENTS = redaction.SECRET_FRAGMENTS
SECRET_NAMES = redaction.SECRET_NAMES

# user[:password]@ right after a scheme, anywhere in a text.
_USERINFO = re.compile(r"(?i)\b([a-z][a-z0-9+.-]*://)[^/?#@\s]*@")


def _without_userinfo(text: str) -> str:
    return _USERINFO.sub(lambda match: match.group(1) + REDACTED + "@", text) if "://" in text else text


class Redactor(redaction.Rule):
    """Replaces the values of credential-like names, and user info in URLs."""

    def header_value(self, name: str, value: str) -> str:
        if self.is_secret(name):
            return REDACTED
        if name.strip().lower() == "host" and "@" in value:
            # "user:password@host" as some clients send it.
            return REDACTED + "@" + value.rpartition("@")[2]
        # A URL (Location) or a list of pairs (X-Custom: token=...).
        return self.pairs(_without_userinfo(value))

    def headers(self, pairs: Iterable[tuple[str, str]]) -> dict[str, str]:
        """Headers as a dict (repeated names joined by ", "), secrets replaced."""
        headers: dict[str, str] = {}
        for name, value in pairs:
            value = self.header_value(name, value)
            headers[name] = f"{headers[name]}, {value}" if name in headers else value
        return headers

    def url(self, url: str) -> str:
        """``url`` without user info and with credential-like pairs replaced
        in its path (``;jsessionid=``), query and fragment (OAuth's implicit
        flow puts tokens there)."""
        try:
            parts = urlsplit(url)
        except ValueError:
            return self.pairs(_without_userinfo(url))
        netloc = parts.netloc
        if "@" in netloc:
            netloc = REDACTED + "@" + netloc.rpartition("@")[2]
        path, query, fragment = (self.pairs(part) for part in (parts.path, parts.query, parts.fragment))
        return urlunsplit((parts.scheme, netloc, path, query, fragment))


_DEFAULT = Redactor()


def redactor(config=None) -> Redactor:
    """The redactor a profiler config asks for: its "redact" fragments added."""
    extra = config.get("redact") if isinstance(config, dict) else None
    if not extra:
        return _DEFAULT
    return Redactor(part for part in extra if isinstance(part, str))


def is_secret_name(name: str) -> bool:
    return _DEFAULT.is_secret(name)


def redact_headers(pairs: Iterable[tuple[str, str]]) -> dict[str, str]:
    """Headers as a dict (repeated names joined by ", "), secrets replaced."""
    return _DEFAULT.headers(pairs)


def redact_url(url: str) -> str:
    """``url`` without user info and with credential-like query values replaced."""
    return _DEFAULT.url(url)


def _text(line: bytes) -> str:
    return line.decode("latin-1") if isinstance(line, (bytes, bytearray)) else str(line)


def _read_request(connection, redact: Redactor = _DEFAULT) -> dict:
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
    headers = redact.headers(pairs)
    if target.startswith(("http://", "https://")):
        url = target  # the absolute form sent to a proxy
    else:
        scheme = "https" if getattr(connection, "default_port", 80) == 443 else "http"
        host = next((value for name, value in pairs if name.lower() == "host"), None)
        if host is None:
            host = f"{getattr(connection, 'host', '')}:{getattr(connection, 'port', '')}"
        url = f"{scheme}://{host}{target}"
    return {"method": method, "url": redact.url(url), "headers": headers}


def _context(config) -> dict:
    # Requests awaiting their response, by connection; weak so that a
    # connection dropped before its response leaves nothing behind.
    return {"pending": weakref.WeakKeyDictionary(), "lock": threading.Lock(), "redact": redactor(config)}


def _wanted(frame, event, arg, context) -> bool:
    if frame.f_code.co_name == "endheaders":
        return event == "call"
    return event == "return"


def _process(frame, event, arg, context) -> dict:
    connection = frame.f_locals.get("self")
    if event == "call":
        request = _read_request(connection, context.get("redact", _DEFAULT))
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
        response.update(
            status=getattr(arg, "status", None),
            reason=getattr(arg, "reason", None),
            headers=context.get("redact", _DEFAULT).headers(pairs),
        )
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
