"""Flask: a record when a request enters the application and one for the
response it made.

``Flask.wsgi_app`` receives every request; ``finalize_request`` turns the
view's (or an error handler's) value into the response.  A request whose
exception escapes the application gets a response record without status.
"""

from __future__ import annotations

import sys

from nefa.plugins.http import redactor

__all__ = ["descriptions"]


def _wanted(frame, event, arg, context) -> bool:
    if frame.f_code.co_name == "wsgi_app":
        # Returning None means an exception escaped: there is no response.
        return event == "call" or arg is None
    return event == "return" and arg is not None


def _endpoint():
    flask = sys.modules.get("flask")
    try:
        return flask.request.endpoint if flask is not None else None
    except Exception:  # outside a request context
        return None


def _process(frame, event, arg, context) -> dict:
    if event == "call":
        environ = frame.f_locals.get("environ") or {}
        path = environ.get("PATH_INFO", "")
        query = environ.get("QUERY_STRING", "")
        return {
            "method": environ.get("REQUEST_METHOD"),
            "path": path,
            "url": context["redact"].url(f"{path}?{query}" if query else path),
        }
    if arg is None:
        return {"status_code": None, "status": None, "endpoint": _endpoint(), "unhandled_exception": True}
    return {
        "status_code": getattr(arg, "status_code", None),
        "status": getattr(arg, "status", None),
        "endpoint": _endpoint(),
        "unhandled_exception": False,
    }


def descriptions() -> list[dict]:
    return [
        {
            "co_names": ["wsgi_app", "finalize_request"],
            "path_fragment": "flask/app.py",
            "call_type": "flask_request",
            "return_type": "flask_response",
            "call": _wanted,
            "process": _process,
            "build_context": lambda config: {"redact": redactor(config)},
        }
    ]
