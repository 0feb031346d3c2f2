"""The pure-Python serialiser nefa.serialize had before the native encoder,
kept unchanged as the baseline of benchmarks/encoder.py (its forms are the
old ones: tuples as arrays, reprs as strings).

Turn arbitrary Python values into MessagePack for the trace.

The native hook calls these functions twice for every recorded event (the
event argument and the frame's locals), so they must be fast for ordinary
values and must never raise, whatever the program under trace hands them.

Each call first tries a plain ``msgpack.Packer`` whose ``default`` turns
unknown objects into their (truncated) ``repr``.  Only when that fails
(cycles, over-deep nesting, huge ints, strings with lone surrogates...) or
its output is bigger than the mode's budget does a slower walker rebuild a
bounded, always-encodable copy of the value.

Packers are kept in small lock-free pools: a packer is not re-entrant, and
``default`` runs Python code during which another thread may serialise
too.  ``list.pop()`` and ``list.append()`` are atomic under the GIL.
"""

from __future__ import annotations

import msgpack

__all__ = ["dump_msgpack", "dump_msgpack_lightweight_repr"]

_NIL = b"\xc0"
_POOL_CAP = 16
_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1


class _Limits:
    __slots__ = ("max_bytes", "max_depth", "max_items", "max_str", "max_bytes_value", "max_nodes")

    def __init__(self, *, max_bytes, max_depth, max_items, max_str, max_bytes_value, max_nodes):
        # Output of the fast path above this size is redone by the walker.
        self.max_bytes = max_bytes
        self.max_depth = max_depth
        self.max_items = max_items
        self.max_str = max_str
        self.max_bytes_value = max_bytes_value
        # Bounds the whole walk, so that wide *and* deep values stay small.
        self.max_nodes = max_nodes


_FULL = _Limits(
    max_bytes=256 * 1024,
    max_depth=32,
    max_items=1000,
    max_str=10_000,
    max_bytes_value=4096,
    max_nodes=20_000,
)
# Values whose whole encoding fits the small budget are kept as they are;
# anything bigger is cut down hard: this mode is for keeping traces small.
_LIGHT = _Limits(
    max_bytes=512,
    max_depth=3,
    max_items=16,
    max_str=128,
    max_bytes_value=64,
    max_nodes=128,
)


def _cut(text: str, limit: int) -> str:
    if len(text) <= limit:
        return text
    return f"{text[:limit]}... ({len(text) - limit} more chars)"


def _type_name(value) -> str:
    try:
        return type(value).__qualname__
    except Exception:
        return "?"


def _int_text(value: int, limit: int) -> str:
    try:
        return _cut(str(value), limit)
    except ValueError:
        # str() refuses ints with more digits than sys.get_int_max_str_digits().
        return f"<int with {value.bit_length()} bits>"


def _safe_repr(value, limit: int) -> str:
    if isinstance(value, int):
        return _int_text(value, limit)
    try:
        text = repr(value)
    except Exception:
        return f"<unprintable {_type_name(value)} object>"
    if type(text) is not str:  # pragma: no cover - repr() enforces str already
        return f"<unprintable {_type_name(value)} object>"
    return _clean_str(_cut(text, limit))


def _clean_str(text: str) -> str:
    """Replace lone surrogates, which UTF-8 cannot encode, by escapes."""
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _make_default(limits: _Limits):
    max_str = limits.max_str
    max_items = limits.max_items

    def default(value):
        # Runs for every object MessagePack does not know (``self`` in most
        # methods), so the common case is kept to one repr() and a length test.
        # A repr holding lone surrogates makes the packer raise, and the
        # careful walker cleans it up.
        kind = type(value)
        if kind is set or kind is frozenset:
            try:
                out = []
                for item in value:
                    if len(out) >= max_items:
                        break
                    out.append(item)
                return out
            except Exception:
                return _safe_repr(value, max_str)
        if isinstance(value, int):
            return _int_text(value, max_str)
        try:
            text = repr(value)
        except Exception:
            return f"<unprintable {_type_name(value)} object>"
        return text if len(text) <= max_str else _cut(text, max_str)

    return default


def _new_packer(limits: _Limits) -> msgpack.Packer:
    return msgpack.Packer(default=_make_default(limits), use_bin_type=True, autoreset=True)


# The walker's output holds only plain types, so its packer needs no default.
_full_pool: list = []
_light_pool: list = []
_plain_pool: list = []


class _Walker:
    """Builds a bounded copy of a value made only of MessagePack-safe types."""

    __slots__ = ("limits", "nodes", "active")

    def __init__(self, limits: _Limits):
        self.limits = limits
        self.nodes = 0
        # ids of the containers on the current path, to spot cycles.
        self.active: set[int] = set()

    def key(self, key):
        if key is None or type(key) in (str, bool, float, bytes):
            return self.scalar(key)
        if type(key) is int and _INT_MIN <= key <= _INT_MAX:
            return key
        # Arrays and maps cannot be decoded back as keys: use the repr.
        return _safe_repr(key, self.limits.max_str)

    def scalar(self, value):
        if type(value) is str:
            return _clean_str(_cut(value, self.limits.max_str))
        if type(value) is bytes:
            limit = self.limits.max_bytes_value
            if len(value) > limit:
                return value[:limit]
            return value
        return value

    def walk(self, value, depth: int):
        limits = self.limits
        self.nodes += 1
        if value is None or value is True or value is False:
            return value
        kind = type(value)
        if kind is float:
            return value
        if isinstance(value, int):
            if kind is not int:
                value = int.__index__(value)
            if _INT_MIN <= value <= _INT_MAX:
                return value
            return _int_text(value, limits.max_str)
        if kind is str or kind is bytes:
            return self.scalar(value)
        if isinstance(value, str):
            return self.scalar(str.__str__(value))
        if isinstance(value, float):
            return float.__float__(value)
        if isinstance(value, (bytes, bytearray, memoryview)):
            try:
                return self.scalar(bytes(value))
            except Exception:
                return _safe_repr(value, limits.max_str)
        is_map = isinstance(value, dict)
        if not (is_map or isinstance(value, (list, tuple, set, frozenset))):
            return _safe_repr(value, limits.max_str)

        ident = id(value)
        if ident in self.active:
            return f"<cycle: {_type_name(value)}>"
        if depth >= limits.max_depth or self.nodes >= limits.max_nodes:
            return self.summary(value)
        self.active.add(ident)
        try:
            if is_map:
                return self.walk_map(value, depth)
            return self.walk_array(value, depth)
        finally:
            self.active.discard(ident)

    def summary(self, value) -> str:
        try:
            size = len(value)
        except Exception:
            size = "?"
        return f"<{_type_name(value)} of {size} item{'' if size == 1 else 's'}>"

    def walk_array(self, value, depth: int) -> list:
        limits = self.limits
        out = []
        total = 0
        for item in value:
            total += 1
            if len(out) < limits.max_items and self.nodes < limits.max_nodes:
                out.append(self.walk(item, depth + 1))
            elif total > limits.max_items * 4:
                # Do not iterate a huge container to the end just to count it.
                try:
                    total = len(value)
                except Exception:
                    pass
                break
        if total > len(out):
            out.append(f"... ({total - len(out)} more items)")
        return out

    def walk_map(self, value: dict, depth: int) -> dict:
        limits = self.limits
        out: dict = {}
        count = 0
        for key, item in dict.items(value):
            if count >= limits.max_items or self.nodes >= limits.max_nodes:
                break
            count += 1
            safe_key = self.key(key)
            if safe_key in out:
                # Two keys with the same repr: keep both entries.
                safe_key = f"{safe_key!s} ({count})"
            out[safe_key] = self.walk(item, depth + 1)
        if len(value) > count:
            out["..."] = f"{len(value) - count} more items"
        return out


def _careful(value, limits: _Limits) -> bytes:
    try:
        safe = _Walker(limits).walk(value, 0)
    except Exception:
        safe = f"<unserializable {_type_name(value)} object>"
    try:
        packer = _plain_pool.pop()
    except IndexError:
        packer = msgpack.Packer(use_bin_type=True, autoreset=True)
    try:
        return packer.pack(safe)
    except Exception:
        return packer.pack(f"<unserializable {_type_name(value)} object>")
    finally:
        if len(_plain_pool) < _POOL_CAP:
            _plain_pool.append(packer)


# Exact scalar types never reach ``default`` (huge ints and lone surrogates
# raise instead), so packing them runs no Python code and cannot be
# interleaved with another thread: one shared packer is enough for them.
_SCALAR_TYPES = frozenset({int, str, float, bool, bytes})
_CONTAINER_TYPES = frozenset({list, tuple, dict, set, frozenset})
_pack_scalar = msgpack.Packer(use_bin_type=True, autoreset=True).pack


def _dump(value, limits: _Limits, pool: list, budget_check: bool) -> bytes:
    if type(value) in _SCALAR_TYPES:
        try:
            data = _pack_scalar(value)
        except Exception:
            return _careful(value, limits)
    else:
        # Every element takes at least one byte: no need to pack a container
        # that is certain to blow a small budget.
        if budget_check and type(value) in _CONTAINER_TYPES and len(value) > limits.max_bytes:
            return _careful(value, limits)
        try:
            packer = pool.pop()
        except IndexError:
            packer = _new_packer(limits)
        try:
            data = packer.pack(value)
        except Exception:
            data = None
        if len(pool) < _POOL_CAP:
            pool.append(packer)
        if data is None:
            return _careful(value, limits)
    if len(data) > limits.max_bytes:
        return _careful(value, limits)
    return data


def dump_msgpack(value) -> bytes:
    """Encode ``value`` as exactly one MessagePack object; never raises."""
    if value is None:
        return _NIL
    return _dump(value, _FULL, _full_pool, False)


def dump_msgpack_lightweight_repr(value) -> bytes:
    """Like :func:`dump_msgpack`, but cuts anything big down hard."""
    if value is None:
        return _NIL
    return _dump(value, _LIGHT, _light_pool, True)
