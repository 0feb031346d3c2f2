"""Include/ignore path patterns, as given on the command line or in config.

A pattern is a plain substring of a code file's path: ``--include shop/``
records every file whose path contains ``shop/``, even where it would
otherwise be skipped (installed libraries, say), and ``--ignore vendored/``
skips the files whose path contains ``vendored/``.  Include wins over ignore.
The matching itself happens in the native module, on every call; here the
patterns are only checked and tidied so that mistakes surface early, with a
message, instead of silently matching nothing.
"""

from __future__ import annotations

from collections.abc import Iterable

__all__ = ["FilterError", "build_filters", "normalize_pattern", "normalize_patterns"]


class FilterError(ValueError):
    pass


def normalize_pattern(pattern: object, *, origin: str = "pattern") -> str:
    """Check one pattern and return it in the form that is matched."""
    if not isinstance(pattern, str):
        raise FilterError(f"{origin}: expected a string, got {type(pattern).__name__} {pattern!r}")
    text = pattern.strip()
    if not text:
        raise FilterError(f"{origin}: an empty pattern would match every file")
    if any(ch in text for ch in "\0\n\r"):
        raise FilterError(f"{origin}: {pattern!r} contains a control character no path can hold")
    # "./src" never occurs inside an absolute code path while "src" does.
    while text.startswith("./"):
        text = text[2:]
    if not text or text == ".":
        raise FilterError(f"{origin}: {pattern!r} names the current directory, which every path contains")
    return text


def normalize_patterns(patterns: Iterable[object] | None, *, origin: str = "pattern") -> list[str]:
    """Check a list of patterns; order is kept and duplicates dropped."""
    if patterns is None:
        return []
    if isinstance(patterns, (str, bytes)) or not isinstance(patterns, Iterable):
        raise FilterError(f"{origin}: expected a list of strings, got {type(patterns).__name__} {patterns!r}")
    out: list[str] = []
    for pattern in patterns:
        text = normalize_pattern(pattern, origin=origin)
        if text not in out:
            out.append(text)
    return out


def build_filters(include: Iterable[object] | None = None, ignore: Iterable[object] | None = None) -> dict:
    """The ``filters`` entry of the configuration read by the native module."""
    return {
        "include_frames": normalize_patterns(include, origin="include"),
        "ignore_frames": normalize_patterns(ignore, origin="ignore"),
    }
