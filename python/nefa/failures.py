"""The events the recorder could not record, told once where the user looks
(the end of `nefa run`, pytest's terminal summary): from ``stats()``'s
``failed_events``, which name causes and code, never values."""

from __future__ import annotations

import os

_MOST_LINES = 5

# Drops that knew no code, as the recorder names their cause.
_CAUSES = {
    "KeyError: '__name__'": "their globals have no `__name__`",
    "recursion limit": "the program was at its recursion limit",
    "internal error": "an internal error",
    "out of memory": "memory ran out",
    "report failed": "their failure could not be logged",
}


def failure_lines(stats: dict) -> list[str]:
    """One line per cause and file, the most frequent first (at most a few,
    then one for the rest); empty when every event was recorded."""
    groups: dict[tuple[str, str | None], tuple[int, int, list[str]]] = {}
    for entry in stats.get("failed_events") or ():
        key = (entry["cause"], entry["file"])
        count, calls, functions = groups.get(key, (0, 0, []))
        if entry["function"] and entry["function"] not in functions:
            functions.append(entry["function"])
        groups[key] = (count + entry["count"], calls + entry["calls"], functions)
    ordered = sorted(groups.items(), key=lambda item: -item[1][0])
    lines = []
    for (cause, file), (count, calls, functions) in ordered[:_MOST_LINES]:
        what = _count(calls, "call") if calls else _count(count, "event")
        of = f" of {', '.join(functions[:3])}{' and others' if len(functions) > 3 else ''}" if functions else ""
        where = f" in {_display(file)}" if file else ""
        verb = "was" if (calls or count) == 1 else "were"
        why = _CAUSES.get(cause) or f"{cause} raised while recording them"
        lines.append(f"{what}{of}{where} {verb} not recorded: {why}")
    rest = sum(count for _, (count, _, _) in ordered[_MOST_LINES:]) + (stats.get("failed_events_other") or 0)
    if rest:
        lines.append(f"{_count(rest, 'more event')} in other code {'was' if rest == 1 else 'were'} not recorded")
    return lines


def _count(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def _display(path: str) -> str:
    try:
        relative = os.path.relpath(path)
    except ValueError:
        return path
    return path if relative.startswith(os.pardir) else relative
