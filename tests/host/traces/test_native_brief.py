"""The native brief of a recorded value (what the streamed export shows)
agrees with nefa.traces.values.brief on awkward values."""

import collections
import enum
import math

import msgpack
import pytest

import nefa._native as native
from nefa.traces.forms import decode_value, mark_legacy_reprs
from nefa.traces.values import brief


def form(code, payload):
    return msgpack.ExtType(code, msgpack.packb(payload))


class Color(enum.Enum):
    RED = 1


class Loud:
    def __repr__(self):
        return "Loud(\n'x'\t\"y\")"


class Broken:
    def __repr__(self):
        raise RuntimeError


def recursive():
    value = [1]
    value.append(value)
    return value


# Recorded by the encoder from Python values...
PYTHON_VALUES = [
    None,
    True,
    0,
    -1,
    2**63,
    -(2**63),
    10**40,
    -(10**4000),
    0.1,
    -0.0,
    1e16,
    1e-5,
    1.5e300,
    123456789012345680.0,
    math.inf,
    math.nan,
    "",
    "it's",
    'say "hi"',
    "both ' and \"",
    "tab\tnew\nline\x00\x7f",
    "é ünïcode \u200b \U0001f600",
    "x" * 300,
    "é" * 300,
    b"",
    b"\x00\xff'\"\\",
    b"x" * 300,
    bytearray(b"ab"),
    bytearray(5000),
    [],
    [1, [2, [3, [4, [5]]]]],
    list(range(150)),
    (),
    (1,),
    (1, 2),
    set(),
    {3},
    frozenset(),
    frozenset({1}),
    {},
    {"a": 1, "b": [1, 2]},
    {1: "a", (2, 3): "b"},
    {b"k": 1},
    {"k": {"k": {"k": {"k": 1}}}},
    dict.fromkeys(range(120)),
    collections.OrderedDict(a=1),
    Color.RED,
    Loud(),
    Broken(),
    recursive(),
    object,
    "x" * 20000,
    list(range(5000)),
]
# ...and forms and damage written directly.
RAW_VALUES = [
    form(1, [1, form(6, 2)]),
    form(2, [form(6, 3)]),
    form(4, ["Foo", form(5, ["Foo(1, ", 20])]),
    form(5, ["abc", 1]),
    form(5, [b"ab", 5]),
    [1, 2, form(6, 3)],
    [1, form(6, 0)],
    form(7, ["list", 5]),
    form(7, ["dict", 1]),
    form(7, ["x", -3]),
    form(8, "list"),
    form(9, "app.Foo"),
    form(10, "-1234567890123456789012"),
    form(10, 70000),
    form(11, [form(1, [2, 3]), "b", 1, "a"]),
    form(11, [1, "a", form(6, 4)]),
    form(12, b"ab"),
    form(12, form(5, [b"ab", 3])),
    {"k": form(1, [form(2, [form(4, ["P", "P()"])])])},
    form(1, "not an array"),
    form(1, [form(6, 1), 2]),
    form(4, ["Foo"]),
    form(4, [1, "x"]),
    form(5, ["a", -1]),
    form(6, "x"),
    form(7, ["list"]),
    form(8, 3),
    form(10, "12x"),
    form(11, [1, 2, 3]),
    form(12, "text"),
    form(99, 1),
    msgpack.ExtType(1, b"\xc1"),
    msgpack.ExtType(1, b"\x91\x01\x02"),
    form(1, [{(1,): 2}]),
]


def encodings():
    for value in PYTHON_VALUES:
        yield native.dump_msgpack(value)
        yield native.dump_msgpack_lightweight_repr(value)
    for value in RAW_VALUES:
        yield msgpack.packb(value)
    yield b"\xa3\xff\xfeA"  # a str that is not UTF-8
    yield b"\x81\x92\x01\x02\xa1x"  # a map keyed by an array, as older traces hold


@pytest.mark.parametrize("width", [200, 40, 3])
def test_native_brief_agrees_with_python(width):
    for encoded in encodings():
        decoded, _ = decode_value(encoded)
        assert native.brief_value(encoded, width) == brief(decoded, width), (encoded, decoded)


def test_legacy_values_agree():
    for value in ["<app.Foo object at 0x1>", "Point(1, 2)", "plain", ["<x>", {"Foo()": "a(b"}], "f(", "<>"]:
        encoded = msgpack.packb(value)
        expected = brief(mark_legacy_reprs(decode_value(encoded)[0]), 200)
        assert native.brief_value(encoded, 200, True) == expected, value
