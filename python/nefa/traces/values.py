"""Recorded values as short text (for one-line displays) and as JSON.

Recorded values are plain MessagePack data; objects MessagePack cannot
hold were stored as their repr, i.e. as strings.  A string shaped like a
repr (``<Foo object at 0x...>``, ``Point(x=1, y=2)``) is shown unquoted,
as the object would have been.
"""

from __future__ import annotations

import math
import re

__all__ = ["brief", "brief_locals", "format_span", "jsonable"]

_ELLIPSIS = "…"


_CONSTRUCTOR_REPR = re.compile(r"[A-Za-z_][\w.]*\(.*\)", re.DOTALL)


def _looks_like_repr(text: str) -> bool:
    if len(text) > 2 and text[0] == "<" and text[-1] == ">":
        return True
    return text[-1:] == ")" and _CONSTRUCTOR_REPR.fullmatch(text) is not None


def _brief(value, budget: int, depth: int) -> str:
    if isinstance(value, str):
        return value if _looks_like_repr(value) else repr(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return repr(bytes(value[:budget]))
    if isinstance(value, dict):
        if depth > 2:
            return "{…}"
        inner = ", ".join(f"{_brief(k, budget, depth + 1)}: {_brief(v, budget, depth + 1)}" for k, v in
                          _first(value.items(), budget))
        return "{" + inner + ("" if len(value) * 4 <= budget else ", …") + "}"
    if isinstance(value, (list, tuple)):
        if depth > 2:
            return "[…]"
        inner = ", ".join(_brief(item, budget, depth + 1) for item in _first(value, budget))
        return "[" + inner + ("" if len(value) * 2 <= budget else ", …") + "]"
    return repr(value)


def _first(items, budget: int):
    # No need to format more items than could be shown.
    limit = max(1, budget // 2)
    for index, item in enumerate(items):
        if index >= limit:
            break
        yield item


def _cut(text: str, width: int) -> str:
    text = text.replace("\n", "\\n")
    return text if len(text) <= width else text[: max(1, width - 1)] + _ELLIPSIS


def brief(value, width: int = 40) -> str:
    """``value`` as one line of at most ``width`` characters."""
    return _cut(_brief(value, width, 0), width)


def brief_locals(variables, width: int = 60, each: int = 24) -> str:
    """``a=1, b='x'`` for a frame's locals, at most ``width`` characters."""
    if not isinstance(variables, dict):
        return "" if variables is None else brief(variables, width)
    parts = []
    used = 0
    for name, value in variables.items():
        part = f"{name}={brief(value, each)}"
        if parts and used + len(part) + 2 > width:
            parts.append(_ELLIPSIS)
            break
        parts.append(part)
        used += len(part) + 2
    return _cut(", ".join(parts), width)


def jsonable(value, depth: int = 0):
    """``value`` with everything JSON cannot hold turned into text."""
    if value is None or isinstance(value, (bool, int, str)):
        if isinstance(value, int) and not isinstance(value, bool) and abs(value) > 2**53:
            return str(value)
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if depth > 40:
        return _ELLIPSIS
    if isinstance(value, dict):
        return {k if isinstance(k, str) else brief(k, 200): jsonable(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(item, depth + 1) for item in value]
    if isinstance(value, (bytes, bytearray, memoryview)):
        return repr(bytes(value))
    return repr(value)


def format_span(seconds: float) -> str:
    """A duration to three significant figures, in a unit that suits it."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale or unit == "µs":
            amount = seconds / scale
            text = f"{amount:.3g}" if amount < 1000 else f"{amount:.0f}"
            return f"{text} {unit}"
    raise AssertionError("unreachable")
