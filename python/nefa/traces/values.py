"""Recorded values as short text (for one-line displays) and as JSON.

Values arrive decoded by :mod:`nefa.traces.forms`: plain Python data plus
the value-form objects, and, in traces stored before those forms,
:class:`~nefa.traces.forms.ReprText` for strings that held a repr.  Both
are shown as Python would print the value: a str quoted, an object's repr
bare.
"""

from __future__ import annotations

import math

from nefa.traces.forms import ELLIPSIS, FrozenSet, More, Repr, ReprText, Set, container_parts, leaf_text, more_text

__all__ = ["brief", "brief_locals", "format_span", "jsonable"]

_ELLIPSIS = ELLIPSIS

# The key that marks a JSON object as a value form rather than a dict.
FORM_KEY = "$form"


def _leaf(value, budget: int) -> str | None:
    # Long texts: format no more than could be shown.
    if isinstance(value, (bytes, memoryview)):
        return repr(bytes(value[:budget]))
    if type(value) is str and len(value) > budget + 2:
        return repr(value[: budget + 2])
    return leaf_text(value)


def _brief(value, budget: int, depth: int) -> str:
    text = _leaf(value, budget)
    if text is not None:
        return text
    parts = container_parts(value)
    if parts is None:
        return repr(value)
    opening, items, closing, mapping, more = parts
    if depth > 2:
        return opening + _ELLIPSIS + closing
    # No need to format more items than could be shown.
    limit = max(1, budget // 2)
    chosen = items[:limit]
    if mapping:
        shown = [f"{_brief(k, budget, depth + 1)}: {_brief(v, budget, depth + 1)}" for k, v in chosen]
    else:
        shown = [_brief(item, budget, depth + 1) for item in chosen]
    left = len(items) - len(chosen)
    if more:
        shown.append(more_text(More(more + left)))
    elif left:
        shown.append(_ELLIPSIS)
    return opening + ", ".join(shown) + closing


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
    parts: list[str] = []
    used = 0
    for name, value in variables.items():
        part = f"{name}={brief(value, each)}"
        if parts and used + len(part) + 2 > width:
            parts.append(_ELLIPSIS)
            break
        parts.append(part)
        used += len(part) + 2
    return _cut(", ".join(parts), width)


def _text_form(text: str, value=None) -> dict:
    form = {FORM_KEY: "text", "text": text}
    if isinstance(value, Repr):
        form["type"] = value.type
    return form


def jsonable(value, depth: int = 0):
    """``value`` as JSON data that keeps what the value was.

    JSON's own forms hold None, bools, exact ints, fractional floats, str,
    lists and str-keyed dicts.  Everything else is an object tagged with
    ``"$form"``: ``text`` (shown bare, already as Python prints it),
    ``tuple``/``set``/``frozenset`` (``items``), ``dict`` (``pairs`` and
    ``more``, for keys that are not str) and ``more`` (``count`` items left
    out, as the last item of a list).
    """
    if isinstance(value, ReprText):
        return _text_form(str(value))
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value if abs(value) <= 2**53 else _text_form(repr(value))
    if isinstance(value, float):
        # A whole float would come back from JSON as an int: 1.0, not 1.
        return value if math.isfinite(value) and not value.is_integer() else _text_form(repr(value))
    if depth > 40:
        return _text_form(_ELLIPSIS)
    parts = container_parts(value)
    if parts is None:
        text = leaf_text(value)
        return _text_form(text if text is not None else repr(value), value)
    _, items, _, mapping, more = parts
    if mapping:
        pairs = items
        if not more and all(type(key) is str and key != FORM_KEY for key, _ in pairs):
            return {key: jsonable(item, depth + 1) for key, item in pairs}
        form = {FORM_KEY: "dict", "pairs": [[jsonable(k, depth + 1), jsonable(v, depth + 1)] for k, v in pairs]}
        if more:
            form["more"] = more
        return form
    converted = [jsonable(item, depth + 1) for item in items]
    if more:
        converted.append({FORM_KEY: "more", "count": more})
    if isinstance(value, list):
        return converted
    kind = "set" if isinstance(value, Set) else "frozenset" if isinstance(value, FrozenSet) else "tuple"
    return {FORM_KEY: kind, "items": converted}


def format_span(seconds: float) -> str:
    """A duration to three significant figures, in a unit that suits it."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale or unit == "µs":
            amount = seconds / scale
            text = f"{amount:.3g}" if amount < 1000 else f"{amount:.0f}"
            return f"{text} {unit}"
    raise AssertionError("unreachable")
