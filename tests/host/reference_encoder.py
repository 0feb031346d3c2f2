"""A pure-Python encoder of the recorded value forms (docs/value-forms.md).

Slow but plain: the native encoder must give exactly these bytes. It reads
values the way the native one does (through the base types' own methods,
``type(value)`` rather than ``__class__``), so that both see the same items
even when a repr changes a container halfway.
"""

from __future__ import annotations

import dataclasses
import math

import msgpack

from nefa import redaction
from nefa.traces.forms import BIGINT as BIG_INT
from nefa.traces.forms import BYTEARRAY, CUT, CYCLE, DICT, ELIDED, FROZENSET, MORE, REPR, SET, TUPLE, UNPRINTABLE

_HEAPTYPE = 1 << 9
_qualname = type.__dict__["__qualname__"].__get__
_module = type.__dict__["__module__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
_flags = type.__dict__["__flags__"].__get__


@dataclasses.dataclass(frozen=True)
class Budget:
    depth: int
    items: int
    chars: int
    bytes: int
    nodes: int
    output: int


FULL = Budget(depth=32, items=50, chars=1000, bytes=1024, nodes=1000, output=32_768)
LIGHTWEIGHT = Budget(depth=3, items=16, chars=128, bytes=64, nodes=128, output=512)


def _pack(value) -> bytes:
    return msgpack.packb(value, use_bin_type=True)


def _ext(code: int, payload: bytes) -> bytes:
    return _pack(msgpack.ExtType(code, payload))


def _text(text: str, count: int) -> bytes:
    prefix = str.__getitem__(text, slice(0, count))
    return _pack(prefix.encode("utf-8", "backslashreplace").decode("utf-8"))


def type_name(kind: type, chars: int) -> str:
    if _flags(kind) & _HEAPTYPE:
        qualname = _qualname(kind)
        module = _type_dict(kind).get("__module__")
    else:
        qualname, module = _qualname(kind), _module(kind)
    if isinstance(module, str) and module != "builtins":
        return f"{module[:chars]}.{qualname[:chars]}"
    return qualname[:chars]


def _name(kind: type, chars: int) -> bytes:
    return _text(type_name(kind, chars), len(type_name(kind, chars)))


class _Encoder:
    def __init__(self, budget: Budget):
        self.budget = budget
        self.nodes = 0
        self.used = 0  # bytes of every finished piece
        self.path: list = []
        self.interrupted = False

    # -- the walk ---------------------------------------------------------
    def encode(self, value, depth: int) -> bytes:
        self.nodes += 1
        container = self.container(value, depth)
        if container is not None:
            return container
        data = self.leaf(value)
        self.used += len(data)
        return data

    def leaf(self, value) -> bytes:
        kind = type(value)
        if value is None or kind is bool or kind is float:
            return _pack(value)
        if isinstance(value, int):
            return self.integer(value) if kind.__repr__ is int.__repr__ else self.repr(value)
        if isinstance(value, float):
            return _pack(float.__float__(value)) if kind.__repr__ is float.__repr__ else self.repr(value)
        if isinstance(value, str):
            return self.cut_text(value)
        if isinstance(value, bytes):
            return self.cut_bytes(value, bytes.__len__(value))
        if kind is bytearray:
            return _ext(BYTEARRAY, self.cut_bytes(bytes(value), len(value)))
        return self.repr(value)

    def container(self, value, depth: int):
        if isinstance(value, list):
            return self.items(value, depth, list.__len__, None, self.list_items)
        if isinstance(value, tuple):
            return self.items(value, depth, tuple.__len__, TUPLE, self.list_items)
        if isinstance(value, dict):
            return self.items(value, depth, dict.__len__, DICT, self.dict_items)
        if isinstance(value, frozenset):
            return self.items(value, depth, frozenset.__len__, FROZENSET, self.set_items)
        if isinstance(value, set):
            return self.items(value, depth, set.__len__, SET, self.set_items)
        return None

    def room(self, kept: int) -> bool:
        b = self.budget
        return kept < b.items and self.nodes < b.nodes and self.used <= b.output

    def items(self, value, depth, length, code, walk) -> bytes:
        b = self.budget
        if any(value is seen for seen in self.path):
            data = _ext(CYCLE, _name(type(value), b.chars))
        elif depth >= b.depth or self.nodes >= b.nodes or self.used > b.output:
            data = _ext(ELIDED, _pack([type_name(type(value), b.chars), length(value)]))
        else:
            self.path.append(value)
            try:
                return walk(value, depth, length, code)
            finally:
                self.path.pop()
        self.used += len(data)
        return data

    def close(self, parts: list, header: bytes, code) -> bytes:
        payload = header + b"".join(parts)
        data = payload if code is None else _ext(code, payload)
        self.used += len(data) - sum(map(len, parts))
        return data

    def more(self, parts: list, left: int) -> None:
        if left > 0:
            parts.append(_ext(MORE, _pack(left)))
            self.used += len(parts[-1])

    def list_items(self, value, depth, length, code) -> bytes:
        getitem = tuple.__getitem__ if code == TUPLE else list.__getitem__
        parts = []
        while len(parts) < length(value) and self.room(len(parts)):
            parts.append(self.encode(getitem(value, len(parts)), depth + 1))
        kept = len(parts)
        self.more(parts, length(value) - kept)
        return self.close(parts, msgpack.Packer().pack_array_header(len(parts)), code)

    def set_items(self, value, depth, length, code) -> bytes:
        iterator = (frozenset if code == FROZENSET else set).__iter__(value)
        parts = []
        exhausted = False
        while self.room(len(parts)):
            try:
                item = next(iterator)
            except StopIteration:
                exhausted = True
                break
            except Exception:  # changed size during iteration
                break
            parts.append(self.encode(item, depth + 1))
        kept = len(parts)
        self.more(parts, 0 if exhausted else length(value) - kept)
        return self.close(parts, msgpack.Packer().pack_array_header(len(parts)), code)

    def dict_items(self, value, depth, length, code) -> bytes:
        initial = length(value)
        iterator = iter(dict.items(value))
        parts = []
        kept = 0
        plain = True
        exhausted = False
        while kept < initial and length(value) == initial and self.room(kept):
            try:
                key, item = next(iterator)
            except StopIteration:
                exhausted = True
                break
            parts.append(self.encode(key, depth + 1))
            rule = redaction.active()
            if rule is not None and isinstance(key, str):
                if rule.is_secret_value(str.__str__(key)):
                    item = redaction.REDACTED
                elif rule.is_query(str.__str__(key)) and isinstance(item, str):
                    item = rule.pairs(str.__str__(item))
            plain = plain and (
                0xA0 <= parts[-1][0] <= 0xBF or 0xD9 <= parts[-1][0] <= 0xDB or 0xC4 <= parts[-1][0] <= 0xC6
            )
            parts.append(self.encode(item, depth + 1))
            kept += 1
        left = 0 if exhausted else length(value) - kept
        if plain and left <= 0:
            return self.close(parts, msgpack.Packer().pack_map_header(kept), None)
        self.more(parts, left)
        return self.close(parts, msgpack.Packer().pack_array_header(len(parts)), DICT)

    # -- leaves -----------------------------------------------------------
    def integer(self, value) -> bytes:
        value = int.__index__(value)
        if -(2**63) <= value < 2**64:
            return _pack(value)
        bits = value.bit_length()
        chars = self.budget.chars
        payload = _pack(bits)
        if math.floor((bits - 1) * 0.30102999) + 1 + (value < 0) <= chars:
            try:
                text = int.__repr__(value)
            except ValueError:  # over sys.get_int_max_str_digits()
                text = None
            if text is not None and len(text) <= chars:
                payload = _pack(text)
        return _ext(BIG_INT, payload)

    def cut_text(self, text: str) -> bytes:
        length, limit = str.__len__(text), self.budget.chars
        if length <= limit:
            return _text(text, length)
        return _ext(CUT, msgpack.Packer().pack_array_header(2) + _text(text, limit) + _pack(length - limit))

    def cut_bytes(self, data: bytes, length: int) -> bytes:
        limit = self.budget.bytes
        if length <= limit:
            return _pack(bytes(data))
        return _ext(CUT, msgpack.Packer().pack_array_header(2) + _pack(bytes(data[:limit])) + _pack(length - limit))

    def repr(self, value) -> bytes:
        kind = type(value)
        if not self.interrupted:
            try:
                text = repr(value)
            except KeyboardInterrupt:
                self.interrupted = True
            except BaseException:  # noqa: B036 - anything a repr raises is the value's fault
                pass
            else:
                chars = self.budget.chars
                return _ext(REPR, msgpack.Packer().pack_array_header(2) + _name(kind, chars) + self.cut_text(text))
        return _ext(UNPRINTABLE, _name(kind, self.budget.chars))


def encode(value, budget: Budget = FULL) -> bytes:
    """The encoding of ``value`` in the documented forms."""
    return _Encoder(budget).encode(value, 0)


def encode_lightweight(value) -> bytes:
    return encode(value, LIGHTWEIGHT)


@dataclasses.dataclass(frozen=True)
class Form:
    """An extension form as read back: its code and its decoded payload."""

    code: int
    payload: object


def read(data: bytes):
    """Decodes one encoded value, extension forms as ``Form``s."""
    return msgpack.unpackb(data, ext_hook=lambda code, payload: Form(code, read(payload)), strict_map_key=False)
