import collections
import dataclasses
import enum
import threading

import msgpack
import pytest

from nefa.serialize import dump_msgpack, dump_msgpack_lightweight_repr
from nefa.traces import decode_document

DUMPERS = [dump_msgpack, dump_msgpack_lightweight_repr]
light = dump_msgpack_lightweight_repr


def decode(data):
    assert isinstance(data, bytes)
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(data)
    (value,) = list(unpacker)  # exactly one object
    return value


@dataclasses.dataclass(frozen=True)
class Point:
    x: int
    y: int


class Colour(enum.IntEnum):
    RED = 1


class Repr:
    def __init__(self, result):
        self.result = result

    def __repr__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


@pytest.mark.parametrize("dump", DUMPERS)
@pytest.mark.parametrize(
    "value",
    [None, True, 0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.5, float("inf"), "", "héllo ✓", b"\x00\xff",
     [1, "a", None], {"a": 1, "b": [1, 2]}, {1: "one", None: "none"}, {"nested": {"deep": [{"x": 1}]}}],
)
def test_common_values_round_trip(dump, value):
    assert decode(dump(value)) == value


@pytest.mark.parametrize("dump", DUMPERS)
def test_other_types_and_hostile_values(dump):
    assert decode(dump((1, 2))) == [1, 2]
    assert sorted(decode(dump({3, 1, 2}))) == [1, 2, 3]
    assert decode(dump(Point(1, 2))) == "Point(x=1, y=2)"
    assert decode(dump(Colour.RED)) == 1
    assert decode(dump(collections.OrderedDict(a=1))) == {"a": 1}
    assert decode(dump(bytearray(b"ab"))) == b"ab"

    assert decode(dump(Repr(RuntimeError()))) == "<unprintable Repr object>"
    assert decode(dump({"obj": Repr(42)})) == {"obj": "<unprintable Repr object>"}  # repr() refuses non-str

    cyclic_list, cyclic_dict = [1], {}
    cyclic_list.append(cyclic_list)
    cyclic_dict["me"] = cyclic_dict
    assert decode(dump(cyclic_list)) == [1, "<cycle: list>"]
    assert decode(dump(cyclic_dict)) == {"me": "<cycle: dict>"}

    deep = current = []
    for _ in range(5000):
        current.append([])
        current = current[0]
    nested, depth = decode(dump(deep)), 0
    while isinstance(nested, list) and nested:
        nested, depth = nested[0], depth + 1
    assert 0 < depth < 100 and nested.startswith("<list of")

    assert decode(dump(2**64)) == str(2**64)
    assert decode(dump([-(2**63) - 1])) == [str(-(2**63) - 1)]
    assert decode(dump(10**10000)).startswith("<int with ")  # beyond str()'s digit limit

    assert decode(dump({"k\udc80": ["a\ud800b"]})) == {"k\\udc80": ["a\\ud800b"]}

    decoded = decode(dump({Point(0, 0): "point", 2**70: "big", 3: "int"}))
    assert decoded == {"Point(x=0, y=0)": "point", str(2**70): "big", 3: "int"}
    # Tuple keys are written as arrays; the trace reader brings them back.
    assert decode_document(dump({(1, (2, 3)): "tuple", "a": 1})) == {(1, (2, 3)): "tuple", "a": 1}


def test_full_mode_keeps_moderate_values_and_bounds_huge_ones():
    values = {"text": "x" * 50_000, "numbers": list(range(5000)), "blob": bytes(range(256)) * 40}
    assert decode(dump_msgpack(values)) == values

    data = dump_msgpack(list(range(1_000_000)))
    decoded = decode(data)
    assert len(data) < 64 * 1024 and decoded[:3] == [0, 1, 2] and decoded[-1].endswith("more items)")
    text = decode(dump_msgpack("y" * 1_000_000))
    assert text.startswith("yyyy") and text.endswith("more chars)") and len(text) < 20_000
    assert len(decode(dump_msgpack(Repr("r" * 1_000_000)))) < 20_000


def test_lightweight_truncates_aggressively():
    text = decode(light("z" * 1000))
    assert text.startswith("z" * 100) and text.endswith("more chars)") and len(text) < 200
    assert decode(light(list(range(1000)))) == [*range(16), "... (984 more items)"]
    assert len(decode(light(Repr("r" * 10_000)))) < 200
    assert len(decode(light(b"b" * 1000))) <= 64
    decoded = decode(light({f"key{i}": "v" * 50 for i in range(100)}))
    assert len(decoded) < 20 and decoded["..."] == "84 more items"
    assert "leaf" not in repr(decode(light([[[[["leaf" * 100] * 5]]]])))
    # Small values are kept whole.
    assert decode(light({"a": [1, 2, 3], "b": "short"})) == {"a": [1, 2, 3], "b": "short"}


def test_packers_are_safe_across_threads():
    # repr() runs inside a packer's default, where other threads get the GIL.
    class Slow:
        def __init__(self, n):
            self.n = n

        def __repr__(self):
            threading.Event().wait(0.0005)
            return f"Slow({self.n})"

    mismatches = []

    def work(n):
        for i in range(200):
            expected = {"n": n, "i": i, "obj": f"Slow({n})", "items": [n] * (i % 7)}
            for dump in DUMPERS:
                got = decode(dump({"n": n, "i": i, "obj": Slow(n), "items": [n] * (i % 7)}))
                if got != expected:
                    mismatches.append(got)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []
