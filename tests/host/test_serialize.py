"""nefa.serialize as the hook and the trace readers meet it."""

import collections
import dataclasses
import enum
import threading

import msgpack
import pytest
from hostile_values import Repr
from reference_encoder import (
    BIG_INT,
    BYTEARRAY,
    CUT,
    CYCLE,
    DICT,
    ELIDED,
    FROZENSET,
    MORE,
    REPR,
    SET,
    TUPLE,
    UNPRINTABLE,
    Form,
    read,
    type_name,
)

from nefa.serialize import dump_msgpack, dump_msgpack_lightweight_repr

DUMPERS = [dump_msgpack, dump_msgpack_lightweight_repr]
light = dump_msgpack_lightweight_repr


def decode(data):
    """Exactly one object, readable with msgpack's default settings."""
    assert isinstance(data, bytes)
    msgpack.unpackb(data)  # raises on trailing data or a key a default reader refuses
    return read(data)


@dataclasses.dataclass(frozen=True)
class Point:
    x: int
    y: int


class Colour(enum.IntEnum):
    RED = 1


def name(kind):
    return type_name(kind, 128)


@pytest.mark.parametrize("dump", DUMPERS)
@pytest.mark.parametrize(
    "value",
    [
        None,
        True,
        False,
        0,
        -1,
        -32,
        -33,
        127,
        128,
        2**63 - 1,
        -(2**63),
        2**64 - 1,
        1.5,
        float("inf"),
        "",
        "héllo ✓",
        "🐍",
        b"\x00\xff",
        [1, "a", None],
        {"a": 1, "b": [1, 2]},
        {b"k": 1},
        {"nested": {"deep": [1]}},
    ],
)
def test_plain_values_keep_msgpack_forms(dump, value):
    assert decode(dump(value)) == value


@pytest.mark.parametrize("dump", DUMPERS)
def test_other_types_keep_what_they_were(dump):
    assert decode(dump((1, 2))) == Form(TUPLE, [1, 2])
    assert decode(dump(())) == Form(TUPLE, [])
    assert decode(dump({3})) == Form(SET, [3])
    assert decode(dump(frozenset())) == Form(FROZENSET, [])
    assert decode(dump(Point(1, 2))) == Form(REPR, [name(Point), "Point(x=1, y=2)"])
    assert decode(dump("Point(x=1, y=2)")) == "Point(x=1, y=2)"  # a str stays a str
    assert decode(dump(1 + 2j)) == Form(REPR, ["complex", "(1+2j)"])
    assert decode(dump(Colour.RED)) == Form(REPR, [name(Colour), "<Colour.RED: 1>"])
    assert decode(dump(collections.OrderedDict(a=1))) == {"a": 1}
    assert decode(dump(collections.namedtuple("P", "x y")(1, 2))) == Form(TUPLE, [1, 2])
    assert decode(dump(bytearray(b"ab"))) == Form(BYTEARRAY, b"ab")
    assert decode(dump(float("nan"))) != decode(dump(float("nan")))  # still a float NaN

    assert decode(dump({(2, 3): "b", 1: "a"})) == Form(DICT, [Form(TUPLE, [2, 3]), "b", 1, "a"])
    assert decode(dump({None: 1})) == Form(DICT, [None, 1])

    assert decode(dump(2**64)) == Form(BIG_INT, str(2**64))
    assert decode(dump([-(2**63) - 1])) == [Form(BIG_INT, str(-(2**63) - 1))]
    assert decode(dump(10**100_000)) == Form(BIG_INT, (10**100_000).bit_length())

    assert decode(dump({"k\udc80": ["a\ud800b"]})) == {"k\\udc80": ["a\\ud800b"]}


@pytest.mark.parametrize("dump", DUMPERS)
def test_markers(dump):
    assert decode(dump(Repr(RuntimeError()))) == Form(UNPRINTABLE, name(Repr))
    assert decode(dump({"obj": Repr(42)})) == {"obj": Form(UNPRINTABLE, name(Repr))}  # repr() refuses non-str
    assert decode(dump(Repr(SystemExit(3)))) == Form(UNPRINTABLE, name(Repr))

    cyclic_list, cyclic_dict = [1], {}
    cyclic_list.append(cyclic_list)
    cyclic_dict["me"] = cyclic_dict
    assert decode(dump(cyclic_list)) == [1, Form(CYCLE, "list")]
    assert decode(dump(cyclic_dict)) == {"me": Form(CYCLE, "dict")}
    shared = [0]
    assert decode(dump([shared, shared])) == [[0], [0]]  # met twice, but not inside itself

    deep = current = []
    for _ in range(5000):
        current.append([])
        current = current[0]
    nested, depth = decode(dump(deep)), 0
    while isinstance(nested, list):
        nested, depth = nested[0], depth + 1
    assert nested == Form(ELIDED, ["list", 1]) and depth == (32 if dump is dump_msgpack else 3)


def test_full_mode_keeps_moderate_values_and_bounds_huge_ones():
    values = {"text": "x" * 1000, "numbers": list(range(50)), "blob": bytes(range(256)) * 4}
    assert decode(dump_msgpack(values)) == values

    decoded = decode(dump_msgpack(list(range(1_000_000))))
    assert decoded == [*range(50), Form(MORE, 999_950)]
    assert decode(dump_msgpack("y" * 1_000_000)) == Form(CUT, ["y" * 1000, 999_000])
    assert decode(dump_msgpack(b"z" * 5000)) == Form(CUT, [b"z" * 1024, 3976])
    assert decode(dump_msgpack(Repr("r" * 1_000_000))) == Form(REPR, [name(Repr), Form(CUT, ["r" * 1000, 999_000])])


def test_lightweight_cuts_hard():
    assert decode(light("z" * 1000)) == Form(CUT, ["z" * 128, 872])
    assert decode(light(list(range(1000)))) == [*range(16), Form(MORE, 984)]
    assert decode(light(b"b" * 1000)) == Form(CUT, [b"b" * 64, 936])
    decoded = decode(light({f"entry{i}": "v" * 50 for i in range(100)}))
    # The output budget (512 bytes) stops the dict well before 16 entries.
    assert decoded.code == DICT and len(decoded.payload) < 20 and decoded.payload[-1].code == MORE
    assert decode(light([[[["leaf"]]]])) == [[[Form(ELIDED, ["list", 1])]]]
    assert decode(light({"a": [1, 2, 3], "b": "short"})) == {"a": [1, 2, 3], "b": "short"}


def test_encoders_are_safe_across_threads():
    # A repr lets other threads run, which encode at the same time.
    class Slow:
        def __init__(self, n):
            self.n = n

        def __repr__(self):
            threading.Event().wait(0.0005)
            return f"Slow({self.n})"

    mismatches = []

    def work(n):
        for i in range(100):
            items = [n] * (i % 7)
            expected = {"n": n, "i": i, "obj": Form(REPR, [name(Slow), f"Slow({n})"]), "items": items}
            for dump in DUMPERS:
                got = decode(dump({"n": n, "i": i, "obj": Slow(n), "items": items}))
                if got != expected:
                    mismatches.append(got)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []
