"""Log messages: one record per message that reaches a logger's handlers.

``Logger.callHandlers`` runs once a message passed the logger's level and
filters, so the records are the messages that were actually emitted.
nefa's own logger is left out: its warnings are about the recording itself.
"""

from __future__ import annotations

__all__ = ["descriptions"]


def _record(frame):
    return frame.f_locals.get("record")


def _wanted(frame, event, arg, context) -> bool:
    if event != "call":
        return False
    name = getattr(_record(frame), "name", None)
    return isinstance(name, str) and name != "nefa" and not name.startswith("nefa.")


def _process(frame, event, arg, context) -> dict:
    record = _record(frame)
    try:
        message = record.getMessage()
    except Exception as error:
        # The program's handlers will report this too; keep what we can.
        message = f"{record.msg!r} % {record.args!r} (formatting failed: {type(error).__name__}: {error})"
    data = {
        "level": record.levelname,
        "levelno": record.levelno,
        "logger": record.name,
        "message": message,
        "path": record.pathname,
        "line_number": record.lineno,
        "function": record.funcName,
        "exception": None,
    }
    if record.exc_info and record.exc_info[0] is not None:
        kind, value = record.exc_info[0], record.exc_info[1]
        data["exception"] = f"{kind.__name__}: {value}"
    return data


def descriptions() -> list[dict]:
    return [
        {
            "co_names": ["callHandlers"],
            "path_fragment": "logging/__init__.py",
            "call_type": "log",
            "return_type": "log",
            "events": ["call"],
            "call": _wanted,
            "process": _process,
        }
    ]
