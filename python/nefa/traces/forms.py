"""Recorded values decoded: the MessagePack extension forms as small objects.

The encoder keeps MessagePack's own forms for None, bool, int, float, str,
bytes, list and str-keyed dicts, and writes everything else as an extension
type whose payload is one MessagePack object (see docs/value-forms.md).
:func:`decode_value` turns those into the classes below; :func:`python_repr`
shows any decoded value as Python would have printed it.

Traces stored before these forms held reprs as plain strings.  Their values
are decoded with :func:`mark_legacy_reprs`, which turns repr-shaped strings
into :class:`ReprText` (still a ``str``, equal to the text) so that every
renderer can show them bare without guessing about ordinary strings.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

import msgpack

from nefa._native import VALUE_FORM_CODES

__all__ = [
    "BigInt",
    "ByteArray",
    "Cut",
    "Cycle",
    "Elided",
    "FrozenSet",
    "More",
    "NonPlainDict",
    "Repr",
    "ReprText",
    "Set",
    "Tuple",
    "UnknownForm",
    "Unprintable",
    "decode_value",
    "ext_hook",
    "mark_legacy_reprs",
    "python_repr",
]

ELLIPSIS = "…"

# Extension type codes, as the native encoder defines them.
TUPLE, SET, FROZENSET, REPR, CUT, MORE, ELIDED, CYCLE, UNPRINTABLE, BIGINT, DICT, BYTEARRAY = (
    VALUE_FORM_CODES[name]
    for name in (
        "tuple",
        "set",
        "frozenset",
        "repr",
        "cut",
        "more_items",
        "elided",
        "cycle",
        "unprintable",
        "big_int",
        "dict",
        "bytearray",
    )
)


@dataclass(frozen=True)
class More:
    """Items left out at the end of a container."""

    count: int


@dataclass(frozen=True)
class Cut:
    """A str or bytes value cut to its first part."""

    prefix: str | bytes
    left: int


@dataclass(frozen=True)
class Tuple:
    items: tuple


@dataclass(frozen=True)
class Set:
    items: tuple


@dataclass(frozen=True)
class FrozenSet:
    items: tuple


@dataclass(frozen=True)
class Repr:
    """An object shown by its repr."""

    type: str
    text: str | Cut


@dataclass(frozen=True)
class Elided:
    """A container not walked: the depth or size budget was reached."""

    type: str
    length: int


@dataclass(frozen=True)
class Cycle:
    type: str


@dataclass(frozen=True)
class Unprintable:
    type: str


@dataclass(frozen=True)
class BigInt:
    """An int outside the 64-bit range: its digits, or only its size."""

    digits: str | None = None
    bits: int | None = None

    def __int__(self) -> int:
        if self.digits is None:
            raise ValueError(f"only the size of this int was recorded ({self.bits} bits)")
        return int(self.digits)


@dataclass(frozen=True)
class NonPlainDict:
    """A dict stored as pairs: a key that is not str or bytes, or cut."""

    pairs: tuple
    more: int = 0


@dataclass(frozen=True)
class ByteArray:
    data: bytes | Cut


@dataclass(frozen=True)
class UnknownForm:
    """An extension this reader does not know, or whose payload is malformed."""

    code: int
    payload: bytes


class ReprText(str):
    """A repr stored as a plain string by an older nefa."""

    __slots__ = ()


_UNPACK_OPTIONS = dict(raw=False, strict_map_key=False, unicode_errors="replace")


def _is_int(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_name(value) -> bool:
    return isinstance(value, str)


def _items(payload) -> tuple | None:
    # A More may only close the array.
    if not isinstance(payload, list):
        return None
    if any(isinstance(item, More) for item in payload[:-1]):
        return None
    return tuple(payload)


def _cut_of(payload) -> Cut | None:
    if (
        isinstance(payload, list)
        and len(payload) == 2
        and isinstance(payload[0], (str, bytes))
        and _is_int(payload[1])
        and payload[1] >= 0
    ):
        return Cut(payload[0], payload[1])
    return None


def _form(code: int, payload):
    """The object for one extension, or None when its payload is malformed."""
    if code in (TUPLE, SET, FROZENSET):
        items = _items(payload)
        return None if items is None else {TUPLE: Tuple, SET: Set, FROZENSET: FrozenSet}[code](items)
    if code == REPR:
        if not (isinstance(payload, list) and len(payload) == 2 and _is_name(payload[0])):
            return None
        text = payload[1]
        textual = isinstance(text, str) or (isinstance(text, Cut) and isinstance(text.prefix, str))
        return Repr(payload[0], text) if textual else None
    if code == CUT:
        return _cut_of(payload)
    if code == MORE:
        return More(payload) if _is_int(payload) and payload >= 0 else None
    if code == ELIDED:
        if isinstance(payload, list) and len(payload) == 2 and _is_name(payload[0]) and _is_int(payload[1]):
            return Elided(payload[0], payload[1])
        return None
    if code in (CYCLE, UNPRINTABLE):
        return (Cycle if code == CYCLE else Unprintable)(payload) if _is_name(payload) else None
    if code == BIGINT:
        if isinstance(payload, str) and re.fullmatch(r"-?[0-9]+", payload):
            return BigInt(digits=payload)
        return BigInt(bits=payload) if _is_int(payload) and payload >= 0 else None
    if code == DICT:
        if not isinstance(payload, list):
            return None
        more = 0
        if len(payload) % 2:
            if not isinstance(payload[-1], More):
                return None
            more = payload[-1].count
            payload = payload[:-1]
        if any(isinstance(item, More) for item in payload):
            return None
        return NonPlainDict(tuple(zip(payload[0::2], payload[1::2])), more)
    if code == BYTEARRAY:
        if isinstance(payload, bytes) or (isinstance(payload, Cut) and isinstance(payload.prefix, bytes)):
            return ByteArray(payload)
        return None
    return None


def ext_hook(code: int, data: bytes):
    """``msgpack``'s ext_hook: the value form of one extension."""
    try:
        payload = msgpack.unpackb(data, ext_hook=ext_hook, **_UNPACK_OPTIONS)
    except (ValueError, TypeError, msgpack.UnpackException):
        return UnknownForm(code, bytes(data))
    form = _form(code, payload)
    return UnknownForm(code, bytes(data)) if form is None else form


def _hashable(value):
    if isinstance(value, list):
        return tuple(_hashable(item) for item in value)
    if isinstance(value, dict):
        return tuple((_hashable(k), _hashable(v)) for k, v in value.items())
    return value


def _pairs_to_dict(pairs):
    return {_hashable(key): value for key, value in pairs}


def decode_value(data) -> tuple[object, bool]:
    """(the value, whether it held any extension form).

    Older traces may hold maps whose keys are arrays (a dict keyed by
    tuples); those keys come back as tuples instead of failing to decode.
    """
    seen = []

    def hook(code, payload):
        seen.append(code)
        return ext_hook(code, payload)

    try:
        value = msgpack.unpackb(data, ext_hook=hook, **_UNPACK_OPTIONS)
    except TypeError:
        # Unhashable (array or map) keys: slower, but decodes everything.
        seen.clear()
        value = msgpack.unpackb(data, ext_hook=hook, object_pairs_hook=_pairs_to_dict, **_UNPACK_OPTIONS)
    return value, bool(seen)


_CONSTRUCTOR_REPR = re.compile(r"[A-Za-z_][\w.]*\(.*\)", re.DOTALL)


def looks_like_repr(text: str) -> bool:
    if len(text) > 2 and text[0] == "<" and text[-1] == ">":
        return True
    return text[-1:] == ")" and _CONSTRUCTOR_REPR.fullmatch(text) is not None


def mark_legacy_reprs(value, depth: int = 0):
    """An older trace's value, its repr-shaped strings made :class:`ReprText`."""
    if isinstance(value, str):
        return ReprText(value) if value and looks_like_repr(value) else value
    if depth > 64:
        return value
    if isinstance(value, list):
        return [mark_legacy_reprs(item, depth + 1) for item in value]
    if isinstance(value, tuple):
        return tuple(mark_legacy_reprs(item, depth + 1) for item in value)
    if isinstance(value, dict):
        return {mark_legacy_reprs(key, depth + 1): mark_legacy_reprs(item, depth + 1) for key, item in value.items()}
    return value


# ----------------------------------------------------------------- rendering


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def cut_text(cut: Cut, quoted: bool = True) -> str:
    """``'abc…' (+997 chars)``; unquoted for a repr's text."""
    if isinstance(cut.prefix, bytes):
        shown = repr(cut.prefix)
        return f"{shown[:-1]}{ELLIPSIS}{shown[-1]} (+{plural(cut.left, 'byte')})"
    if not quoted:
        return f"{cut.prefix}{ELLIPSIS} (+{plural(cut.left, 'char')})"
    shown = repr(cut.prefix)
    return f"{shown[:-1]}{ELLIPSIS}{shown[-1]} (+{plural(cut.left, 'char')})"


def more_text(more: More) -> str:
    return f"{ELLIPSIS} (+{more.count} more)"


def leaf_text(value) -> str | None:
    """The text of a value that holds no other values, else None."""
    if isinstance(value, ReprText):
        return str(value)
    if value is None or isinstance(value, (bool, int, float, str, bytes)):
        return repr(value)
    if isinstance(value, Repr):
        return value.text if isinstance(value.text, str) else cut_text(value.text, quoted=False)
    if isinstance(value, Cut):
        return cut_text(value)
    if isinstance(value, More):
        return more_text(value)
    if isinstance(value, Elided):
        return f"<{value.type} of {plural(value.length, 'item')}>"
    if isinstance(value, Cycle):
        return f"<cycle: {value.type}>"
    if isinstance(value, Unprintable):
        return f"<unprintable {value.type} object>"
    if isinstance(value, BigInt):
        return value.digits if value.digits is not None else f"<int of {value.bits} bits>"
    if isinstance(value, ByteArray):
        if isinstance(value.data, Cut):
            shown = cut_text(value.data)
            quoted, _, rest = shown.partition(" (+")
            return f"bytearray({quoted}) (+{rest}"
        return f"bytearray({value.data!r})"
    if isinstance(value, UnknownForm):
        return f"<unreadable value form {value.code}>"
    if isinstance(value, msgpack.ExtType):
        return f"<unreadable value form {value.code}>"
    if isinstance(value, bytearray):
        return repr(value)
    return None


def container_parts(value):
    """(opening, items or (key, value) pairs, closing, is_mapping, trailing
    more count) of a container, or None for a leaf.  An empty set or
    frozenset gets its own opening and closing (``set()``)."""
    if isinstance(value, list):
        items = value
        more = 0
        if items and isinstance(items[-1], More):
            more, items = items[-1].count, items[:-1]
        return "[", items, "]", False, more
    if isinstance(value, dict):
        return "{", list(value.items()), "}", True, 0
    if isinstance(value, NonPlainDict):
        return "{", list(value.pairs), "}", True, value.more
    if isinstance(value, (Tuple, Set, FrozenSet, tuple)):
        items = list(value.items if not isinstance(value, tuple) else value)
        more = 0
        if items and isinstance(items[-1], More):
            more, items = items[-1].count, items[:-1]
        if isinstance(value, (Tuple, tuple)):
            return "(", items, ",)" if len(items) == 1 and not more else ")", False, more
        name = "set" if isinstance(value, Set) else "frozenset"
        if not items and not more:
            return f"{name}(", [], ")", False, 0
        if isinstance(value, Set):
            return "{", items, "}", False, more
        return "frozenset({", items, "})", False, more
    return None


def python_repr(value, depth: int = 0) -> str:
    """The whole value as Python would print it."""
    text = leaf_text(value)
    if text is not None:
        return text
    parts = container_parts(value)
    if parts is None:
        return repr(value)
    opening, items, closing, mapping, more = parts
    if depth > 64:
        return opening + ELLIPSIS + closing
    if mapping:
        shown = [f"{python_repr(key, depth + 1)}: {python_repr(item, depth + 1)}" for key, item in items]
    else:
        shown = [python_repr(item, depth + 1) for item in items]
    if more:
        shown.append(more_text(More(more)))
    return opening + ", ".join(shown) + closing
