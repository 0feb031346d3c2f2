"""The native value encoder against the pure-Python reference, on values
chosen to be awkward, and what it must never do to the program."""

import collections
import ctypes
import math
import os
import signal
import subprocess
import sys
import threading

import msgpack
import pytest
from hostile_values import Repr
from reference_encoder import (
    CUT,
    ELIDED,
    FULL,
    LIGHTWEIGHT,
    MORE,
    REPR,
    TUPLE,
    UNPRINTABLE,
    Form,
    encode,
    read,
    type_name,
)

import nefa._native as native

MODES = [(native.dump_msgpack, FULL), (native.dump_msgpack_lightweight_repr, LIGHTWEIGHT)]
MODE_IDS = ["full", "lightweight"]


def same_as_reference(make, dump, budget):
    """Encodes a fresh value from ``make`` both ways; returns the native bytes."""
    expected = encode(make(), budget)
    got = dump(make())
    assert got == expected, (read(got), read(expected))
    msgpack.unpackb(got)  # a reader with default settings takes every form
    return got


class ReprNonStr:
    def __repr__(self):
        return 42


class Recursing:
    def __repr__(self):
        return repr(self)


class StrSub(str):
    def __str__(self):
        raise AssertionError("never called")


class Text(str):
    pass


class OwnReprInt(int):
    def __repr__(self):
        return "OwnReprInt()"


class OwnReprFloat(float):
    def __repr__(self):
        return "OwnReprFloat()"


class Outer:
    class Inner:
        def __repr__(self):
            return "inner"


class NoModule:
    def __repr__(self):
        return "x"


NoModule.__module__ = 42
Weird = type("Weird", (), {"__repr__": lambda self: "w\ud800", "__module__": "mod\udc80"})
Weird.__qualname__ = "We\udc80ird"


class Meta(type):
    looked_up = []

    def __getattribute__(cls, name):
        Meta.looked_up.append(name)
        return super().__getattribute__(name)


class WithMeta(metaclass=Meta):
    def __repr__(self):
        return "with meta"


def grows(container, add):
    """An object whose repr adds to ``container``, for mutation during a walk."""
    # A fixed hash keeps its place in a set the same from one run to the next.
    methods = {"__repr__": lambda self: (add(container), "grows")[1], "__hash__": lambda self: 4}
    return type("Grows", (), methods)()


def list_grown_by_repr():
    items = [1, 2]
    items.insert(1, grows(items, lambda c: c.extend(range(5))))
    return items


def list_cleared_by_repr():
    items = [1, 2, 3]
    items.insert(1, grows(items, lambda c: c.clear()))
    return items


def dict_grown_by_repr():
    d = {"a": 1, "c": 2}
    d["b"] = grows(d, lambda c: c.update({f"k{i}": i for i in range(20)}))
    return d


def set_grown_by_repr():
    s = {1, 2, 3}
    s.add(grows(s, lambda c: c.update(range(100, 140))))
    return s


def nested(depth, leaf=0):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def cyclic():
    a, b = [], {}
    a.append(b)
    b["a"] = a
    b["t"] = (a, 1)
    return a


CORPUS = {
    "subclasses": lambda: [
        type("L", (list,), {})([1, 2]),
        type("T", (tuple,), {})((1,)),
        type("D", (dict,), {})(a=1),
        type("S", (set,), {})({1}),
        type("F", (frozenset,), {})({2}),
        StrSub("s"),
        Text("t\udc80"),
        type("B", (bytes,), {})(b"b"),
        type("I", (int,), {})(7),
        type("Big", (int,), {})(2**70),
        OwnReprInt(3),
        type("Fl", (float,), {})(1.5),
        OwnReprFloat(2.5),
        type("BA", (bytearray,), {})(b"x"),
        True,
        collections.OrderedDict(b=2, a=1),
        collections.defaultdict(int, x=1),
        collections.Counter("aab"),
        collections.namedtuple("P", "x y")(1, [2]),
        collections.deque([1]),
        # Bases found deeper in the MRO, and a set shown by object's repr stays a set.
        type("S2", (type("S1", (frozenset,), {}),), {})({4}),
        type("SO", (set,), {"__repr__": object.__repr__})({3}),
        type("F2", (type("F1", (float,), {}),), {})(0.5),
    ],
    "ints": lambda: [0, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**30, -(10**30)],
    "huge ints": lambda: [10**4000, 10**5000, 2**200_000, -(2**200_000)],
    "floats": lambda: [math.nan, math.inf, -math.inf, -0.0, 5e-324],
    "surrogates": lambda: ["\ud800", "a\udfffb" * 50, {"k\udc80": "v\udbff"}, ["\U0001f40d\ud800é"]],
    "text kinds": lambda: ["ascii", "latin-1 é", "ucs2 ✓", "ucs4 🐍", "é" * 200, "✓" * 200, "🐍" * 200],
    "bytes": lambda: [b"", b"\x00" * 300, bytearray(b"\xff" * 70), bytearray()],
    "dict keys": lambda: [
        {(1, 2): 1, "a": 2},
        {1: 1},
        {None: 0, True: 1, 1.5: 2},
        {b"k": 1, "s": 2},
        {frozenset({1}): 1},
        {Repr("K()"): 1},
    ],
    "cycles": cyclic,
    "reprs": lambda: [
        Repr("Foo(1)"),
        Repr(RuntimeError("no")),
        ReprNonStr(),
        Recursing(),
        Repr(SystemExit(1)),
        Repr(Text("sub")),
        Repr("r\udc80" * 100),
        Repr(""),
        Outer.Inner(),
        NoModule(),
        Weird(),
        WithMeta(),
        object,
        len,
        1 + 2j,
        Ellipsis,
        NotImplemented,
        range(3),
        slice(1, 2),
    ],
    "list grown by a repr": list_grown_by_repr,
    "list cleared by a repr": list_cleared_by_repr,
    "dict grown by a repr": dict_grown_by_repr,
    "set grown by a repr": set_grown_by_repr,
    "mixed": lambda: {"args": (1, "two", [3.0]), "kw": {"x": {1, 2}}, "none": None, "obj": Repr("O()")},
    # Exact scalars, written in runs, next to look-alikes and containers, and
    # runs that meet the output and node budgets midway.
    "scalar runs": lambda: [
        1,
        True,
        None,
        2.5,
        "s",
        Text("t"),
        type("I", (int,), {})(5),
        2**40,
        2**64,
        -(2**63),
        "x" * 1001,
        "é",
        b"b",
        [1, "a"],
        (None, False),
        3,
        OwnReprFloat(1.0),
        0.0,
    ],
    "scalar entries": lambda: {
        "a": 1,
        "b": Text("v"),
        "c": [1],
        Text("k"): 2,
        "d": "x" * 1001,
        "e": 2**70,
        5: "x",
        "f": -1.0,
        "é": 1,
        "g": None,
        "h": "\ud800",
        "i": True,
    },
    "scalar runs past the output budget": lambda: [["s" * 1000] * 30, (0,) * 60, ["t" * 999, 1.5] * 20],
    "scalar entries past the output budget": lambda: {f"k{i}": "v" * 1000 for i in range(40)},
    "scalar entries past the node budget": lambda: [{f"k{i}": i for i in range(50)}] * 10,
}


@pytest.mark.parametrize("dump, budget", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("case", list(CORPUS))
def test_corpus_matches_reference(case, dump, budget):
    same_as_reference(CORPUS[case], dump, budget)


# Values that are a whole record field on their own, as an argument, a return
# value or a function's locals are: scalars and small dicts take a shorter
# road in the encoder, which must end in the same bytes, up to every budget.
TOP_LEVEL = {
    "scalars": [None, True, 0, -1, 2**63 - 1, 2**63, -(2**63) - 1, 1.5, math.nan, type("I", (int,), {})(3)],
    "small dicts": [
        {},
        {"n": 5},
        {"a": 1, "b": "two", "c": None, "d": 1.5, "e": False},
        {f"k{i}": i for i in range(8)},
        {f"k{i}": i for i in range(9)},
        {"é": 1},
        {"a": "é"},
        {"a": 2**64},
        {"a": [1]},
        {1: "a"},
        {"x" * 200: 1},
        {"a": "x" * 200},
        {f"k{i}": "v" * 100 for i in range(4)},
        {f"k{i}": "v" * 128 for i in range(8)},
        {f"k{i}": "v" * 60 for i in range(8)},
    ],
}


@pytest.mark.parametrize("dump, budget", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("case", list(TOP_LEVEL))
def test_top_level_values_match_reference(case, dump, budget):
    for value in TOP_LEVEL[case]:
        same_as_reference(lambda: value, dump, budget)


# Every size around the encoder's short-copy tiers (4, 8, 16, 32 and 64
# bytes) and around a container header's growth from one byte to three (16
# items), inside lists, tuples (an extension around an array), sets and
# dicts, where a container's header is written after its items.
SIZES = {
    "strs and bytes": lambda: [("s" * n, b"b" * n, bytearray(b"a" * n)) for n in range(0, 140)],
    "containers": lambda: [
        ([0] * n, tuple(range(n)), {f"k{i}": "v" * i for i in range(n)}, set(range(n))) for n in range(0, 40)
    ],
    "nested": lambda: {f"k{i}": [(i, "x" * i, {"d": [None] * i})] for i in range(20)},
}


@pytest.mark.parametrize("dump, budget", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("case", list(SIZES))
def test_values_of_every_size_match_reference(case, dump, budget):
    for value in SIZES[case]():
        same_as_reference(lambda: value, dump, budget)


def default_repr_instances(budget):
    """Instances shown by object.__repr__, in each of its cases and around the
    character budget (its text is written by the encoder itself)."""

    def make(name, module, qualname=None):
        kind = type(name, (), {"__module__": module})
        if qualname is not None:
            kind.__qualname__ = qualname
        return kind()

    plain = make("Plain", "shop")
    # "<" "." " object at " "0x..." ">": 15 characters and the address digits.
    fixed = 15 + len(hex(id(plain))) - 2
    values = [
        plain,
        Outer(),
        make("Q", "m\udc80od", "Q.é\ud800"),
        make("U", "ucs4 🐍", "✓"),
        make("B", "builtins"),
        make("N", 42),
        make("S", Text("text module")),
        type("Sub", (Outer,), {})(),
        type("OwnRepr", (Outer.Inner,), {})(),
        object(),
        iter([]),
        iter(range(3)),
        iter({}.items()),
    ]  # static types
    for n in around(budget.chars - fixed - len("shop")):
        values.append(make("Long", "shop", "q" * n))
    return values


@pytest.mark.parametrize("dump, budget", MODES, ids=MODE_IDS)
def test_default_reprs_match_reference(dump, budget):
    for value in default_repr_instances(budget):
        # The same object both ways: its address is part of its repr.
        expected, got = encode(value, budget), dump(value)
        assert got == expected, (read(got), read(expected))
        assert native.dump_msgpack([value, value]) == encode([value, value], FULL)


def test_a_class_renamed_is_shown_by_its_new_name():
    # Names are kept between values, until the class changes.
    kind = type("Before", (), {"__module__": "old"})
    value = kind()
    for change in ({"__module__": "new"}, {"__qualname__": "After"}, {"__module__": "m" * 200}, {"__module__": "x"}):
        assert native.dump_msgpack([value, value]) == encode([value, value], FULL)
        for name, text in change.items():
            setattr(kind, name, text)
        assert native.dump_msgpack(value) == encode(value, FULL)
        assert read(native.dump_msgpack(value)).payload[0] == f"{kind.__module__}.{kind.__qualname__}"


def test_huge_int_text_at_the_character_budget():
    # Decimal text up to the budget, the bit length beyond it.
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        digits = FULL.chars
        for value in [10 ** (digits - 1), -(10 ** (digits - 2)), 10**digits, -(10 ** (digits - 1))]:
            got = same_as_reference(lambda: value, native.dump_msgpack, FULL)
            text = str(value)
            assert read(got).payload == (text if len(text) <= digits else value.bit_length())
    finally:
        sys.set_int_max_str_digits(limit)


def around(limit):
    return [limit - 1, limit, limit + 1]


@pytest.mark.parametrize("dump, budget", MODES, ids=MODE_IDS)
def test_each_budget_one_below_at_and_above(dump, budget):
    cases = []
    for n in around(budget.items):
        cases += [
            lambda n=n: list(range(n)),
            lambda n=n: tuple(range(n)),
            lambda n=n: set(range(n)),
            lambda n=n: {f"k{i}": i for i in range(n)},
        ]
    for n in around(budget.chars):
        cases += [lambda n=n: "c" * n, lambda n=n: "é" * n, lambda n=n: Repr("r" * n), lambda n=n: {"k" * n: 1}]
    for n in around(budget.bytes):
        cases += [lambda n=n: b"b" * n, lambda n=n: bytearray(n), lambda n=n: {b"k" * n: 1}]
    for n in around(budget.depth):
        cases += [lambda n=n: nested(n), lambda n=n: nested(n - 1, (1,))]
    # Nodes: one wide level of small lists (each list is 1 node, each item 1).
    side = int(math.sqrt(budget.nodes))
    for n in around(budget.nodes):
        cases += [lambda n=n: [[0] * (side - 1)] * (n // side) + [0] * (n % side)]
    # Output bytes: strings that pass the output budget around the last item.
    chunk = min(budget.chars, 100)
    for n in around(budget.output // (chunk + 2)):
        cases += [lambda n=n: ["s" * chunk] * n, lambda n=n: [["s" * chunk] * n]]
    for make in cases:
        same_as_reference(make, dump, budget)


def test_budget_outcomes():
    assert read(native.dump_msgpack(list(range(FULL.items + 1)))) == [*range(FULL.items), Form(MORE, 1)]
    assert read(native.dump_msgpack("x" * (FULL.chars + 1))) == Form(CUT, ["x" * FULL.chars, 1])
    depth, value = 0, read(native.dump_msgpack(nested(40)))
    while isinstance(value, list):
        depth, value = depth + 1, value[0]
    assert depth == 32 and value == Form(ELIDED, ["list", 1])
    # The node budget: the list itself, then items until it is spent.
    wide = read(native.dump_msgpack([[0] * (FULL.items - 1)] * FULL.items))
    assert sum(len(item) for item in wide[:-1] if isinstance(item, list)) < FULL.nodes
    assert wide[-1].code in (MORE, ELIDED)
    # The output budget: items stop once it is passed, the rest counted.
    data = native.dump_msgpack(["s" * FULL.chars] * FULL.items)
    kept = read(data)[:-1]
    assert FULL.output < len(data) < FULL.output + FULL.chars + 100
    assert kept == ["s" * FULL.chars] * len(kept) and read(data)[-1] == Form(MORE, FULL.items - len(kept))


def test_ten_million_items_cost_what_a_thousand_do():
    big = list(range(10_000_000))
    full = native.dump_msgpack(big)
    assert read(full) == [*range(FULL.items), Form(MORE, 10_000_000 - FULL.items)]
    assert len(full) == len(native.dump_msgpack(list(range(70_000))))  # both counts take 4 bytes
    assert read(native.dump_msgpack_lightweight_repr(big)) == [*range(16), Form(MORE, 9_999_984)]
    huge_text = "t" * 10_000_000
    assert len(native.dump_msgpack(huge_text)) < FULL.chars + 20


class Spy:
    """Counts every way the encoder could run its code; only a repr may run."""

    def __init__(self):
        object.__setattr__(self, "calls", collections.Counter())

    def __getattr__(self, attribute):
        self.calls["__getattr__"] += 1
        raise AttributeError(attribute)

    @property
    def __class__(self):
        self.calls["__class__"] += 1
        return Spy

    def __iter__(self):
        self.calls["__iter__"] += 1
        return iter(())

    def items(self):
        self.calls["items"] += 1
        return []

    def __len__(self):
        self.calls["__len__"] += 1
        return 0

    def __repr__(self):
        self.calls["__repr__"] += 1
        return "Spy()"


def spying(base):
    counted = collections.Counter()

    def count(name, result):
        def method(self, *args):
            counted[name] += 1
            return result(self)

        return method

    overrides = {
        name: count(name, result)
        for name, result in [
            ("__iter__", lambda s: iter(())),
            ("items", lambda s: []),
            ("keys", lambda s: []),
            ("__len__", lambda s: 0),
            ("__getitem__", lambda s: None),
            ("__repr__", lambda s: "spy"),
            ("__getattribute__", lambda s: None),
            ("__str__", lambda s: "spy"),
            ("__index__", lambda s: 0),
            ("__float__", lambda s: 0.0),
            ("__bytes__", lambda s: b""),
        ]
    }
    return type(f"Spying{base.__name__}", (base,), overrides), counted


@pytest.mark.parametrize("dump", [native.dump_msgpack, native.dump_msgpack_lightweight_repr], ids=MODE_IDS)
def test_runs_no_program_code_but_one_repr(dump):
    Meta.looked_up.clear()
    assert read(dump([WithMeta(), WithMeta])) == [
        Form(REPR, [type_name(WithMeta, 128), "with meta"]),
        Form(REPR, [type_name(Meta, 128), repr(WithMeta)]),
    ]
    assert Meta.looked_up == []

    spy = Spy()
    assert read(dump(spy)) == Form(REPR, [type_name(Spy, 128), "Spy()"])
    assert read(dump({"self": spy})) == {"self": Form(REPR, [type_name(Spy, 128), "Spy()"])}
    assert spy.calls == {"__repr__": 2}  # once per value shown

    for base, value in [
        (list, [1, 2]),
        (dict, {"a": 1}),
        (tuple, (1,)),
        (set, {1}),
        (frozenset, frozenset({1})),
        (str, "s"),
        (bytes, b"b"),
    ]:
        kind, counted = spying(base)
        got = read(dump(kind(value)))
        assert not counted, (base, counted)
        assert got == read(dump(value))


def test_a_subclass_with_endless_iteration_and_lying_length():
    class Endless(list):
        def __iter__(self):
            while True:
                yield 1

        def __len__(self):
            return 10**9

    assert read(native.dump_msgpack(Endless([1, 2, 3]))) == [1, 2, 3]


def test_keyboard_interrupt_in_a_repr_is_re_armed_only_for_a_ctrl_c():
    # A Ctrl-C arriving during a repr (the program's handler raises) is the
    # program's, and delivered again; a repr raising KeyboardInterrupt
    # itself just failed, as with any other exception.
    fired = []

    def handler(*args):
        fired.append(args)
        if len(fired) == 1:
            raise KeyboardInterrupt

    class CtrlC:
        def __repr__(self):
            signal.raise_signal(signal.SIGINT)
            return "never"

    previous = signal.signal(signal.SIGINT, handler)
    try:
        later = Spy()
        data = native.dump_msgpack([CtrlC(), later])
        for _ in range(1000):  # the interpreter checks pending signals between bytecodes
            pass
        assert read(data) == [Form(UNPRINTABLE, type_name(CtrlC, 128)), Form(UNPRINTABLE, type_name(Spy, 128))]
        assert later.calls == {}  # no repr after the interrupt
        assert len(fired) == 2
        fired.clear()
        own = read(native.dump_msgpack([Repr(KeyboardInterrupt()), Repr(RuntimeError("no")), Repr("K()")]))
        for _ in range(1000):
            pass
    finally:
        signal.signal(signal.SIGINT, previous)
    assert own[:2] == [Form(UNPRINTABLE, type_name(Repr, 128))] * 2
    assert own[2] == read(native.dump_msgpack(Repr("K()")))
    assert fired == []


def test_nothing_raised_or_printed(capfd):
    hooked = []
    previous, sys.unraisablehook = sys.unraisablehook, hooked.append
    try:
        values = [Repr(SystemExit(2)), Recursing(), Repr(MemoryError()), ReprNonStr(), Repr(GeneratorExit())]
        assert all(read(native.dump_msgpack(v)).code == UNPRINTABLE for v in values)

        def near_limit():  # the encoder called at the recursion limit
            try:
                return near_limit()
            except RecursionError:
                return native.dump_msgpack([Recursing(), {"a": (1,)}])

        assert read(near_limit()) == [Form(UNPRINTABLE, type_name(Recursing, 128)), {"a": Form(TUPLE, [1])}]
    finally:
        sys.unraisablehook = previous
    out, err = capfd.readouterr()
    assert (out, err, hooked) == ("", "", [])


def test_reentrant_from_a_repr_and_from_other_threads():
    class Nested:
        def __repr__(self):
            return native.dump_msgpack([self.__class__.__name__, (1,)]).hex()

    inner = native.dump_msgpack(["Nested", (1,)]).hex()
    assert read(native.dump_msgpack([Nested(), Nested()])) == [Form(REPR, [type_name(Nested, 128), inner])] * 2

    class Switching:
        def __repr__(self):
            threading.Event().wait(0.0002)  # lets the other threads encode
            return "S"

    value = {"a": [Switching(), list(range(50))], "b": (Switching(),) * 3}
    expected = encode(value)
    results = []

    def work():
        results.extend(native.dump_msgpack(value) == expected for _ in range(30))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 120


class NefaByteBuffer(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("size", ctypes.c_size_t), ("capacity", ctypes.c_size_t)]


# The last argument is the calling thread's state, or None (NULL) to have it looked up.
APPEND = ctypes.PYFUNCTYPE(
    ctypes.c_int, ctypes.py_object, ctypes.c_int, ctypes.POINTER(NefaByteBuffer), ctypes.c_void_p
)


APPEND_SMALL_MAP = ctypes.PYFUNCTYPE(
    ctypes.c_int,
    ctypes.POINTER(ctypes.py_object),
    ctypes.POINTER(ctypes.py_object),
    ctypes.c_size_t,
    ctypes.c_int,
    ctypes.POINTER(NefaByteBuffer),
)
APPEND_MAP = ctypes.PYFUNCTYPE(
    ctypes.c_int,
    ctypes.POINTER(ctypes.py_object),
    ctypes.POINTER(ctypes.py_object),
    ctypes.c_size_t,
    ctypes.c_int,
    ctypes.POINTER(NefaByteBuffer),
    ctypes.c_void_p,
)


class EncoderApi(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint),
        ("dump_msgpack", ctypes.py_object),
        ("dump_msgpack_lightweight_repr", ctypes.py_object),
        ("append", APPEND),
        ("append_small_map", APPEND_SMALL_MAP),
        ("append_map", APPEND_MAP),
        ("own_next_top_keys", ctypes.CFUNCTYPE(None, ctypes.c_int)),
    ]


def this_thread_state():
    get = ctypes.pythonapi.PyThreadState_Get
    get.restype = ctypes.c_void_p
    return get()


def test_capsule_appends_what_the_functions_return():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    api = EncoderApi.from_address(get_pointer(native.value_encoder_api, b"nefa._native.value_encoder_api"))
    assert api.version == 5
    assert api.dump_msgpack is native.dump_msgpack
    assert api.dump_msgpack_lightweight_repr is native.dump_msgpack_lightweight_repr

    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]
    buffer = NefaByteBuffer()
    try:
        value = {"t": (1, "x" * 300), "r": Repr("R()"), "n": list(range(2000))}
        expected = b"".join([native.dump_msgpack(value), native.dump_msgpack_lightweight_repr(value), b"\xc0"])
        assert api.append(value, 0, ctypes.byref(buffer), None) == 0
        assert api.append(value, 1, ctypes.byref(buffer), this_thread_state()) == 0
        assert api.append(None, 0, ctypes.byref(buffer), None) == 0
        assert ctypes.string_at(buffer.data, buffer.size) == expected and buffer.capacity >= buffer.size
        # A record of nefa's own keeps its field names' values, once.
        record = {"session": 200, "headers": {"Set-Cookie": "c"}}
        api.own_next_top_keys(1)
        assert read(native.dump_msgpack(record)) == {"session": 200, "headers": {"Set-Cookie": "[redacted]"}}
        assert read(native.dump_msgpack(record))["session"] == "[redacted]"
    finally:
        libc.free(buffer.data)


class Named(int):
    pass


@pytest.mark.parametrize(
    "entries, appended",
    [
        ({}, True),
        ({"n": 12, "x": None, "flag": True, "ratio": 0.5, "big": -(2**63), "s": "text"}, True),
        ({f"v{i}": i for i in range(8)}, True),
        # Left to the whole encoder: too many, too long, not ASCII, not plain.
        ({f"v{i}": i for i in range(9)}, False),
        ({"s": "x" * 1001}, False),
        ({"é": 1}, False),
        ({"n": 2**64}, False),
        ({"n": Named(3)}, False),
        ({"t": (1,)}, False),
        # Only for the whole map: reprs, containers, cut forms and budgets.
        (
            {"self": Outer(), "inner": Outer.Inner(), "r": Repr(RuntimeError("no")), "l": [1, [2, {"k": Outer()}]]},
            False,
        ),
        ({f"k{i}": [i] * i for i in range(60)}, False),
        ({f"k{i}": "v" * 1000 for i in range(40)}, False),
        ({"k" * 2000: Repr("r" * 2000), "b": b"x" * 2000, "d": nested(40)}, False),
    ],
)
def test_a_small_map_is_appended_as_its_dict_or_left_to_the_encoder(entries, appended):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    api = EncoderApi.from_address(get_pointer(native.value_encoder_api, b"nefa._native.value_encoder_api"))
    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]
    names = (ctypes.py_object * max(1, len(entries)))(*entries.keys())
    values = (ctypes.py_object * max(1, len(entries)))(*entries.values())
    for lightweight, dump in ((0, native.dump_msgpack), (1, native.dump_msgpack_lightweight_repr)):
        buffer = NefaByteBuffer()
        try:
            assert api.append(None, 0, ctypes.byref(buffer), None) == 0
            status = api.append_small_map(names, values, len(entries), lightweight, ctypes.byref(buffer))
            written = ctypes.string_at(buffer.data, buffer.size)
        finally:
            libc.free(buffer.data)
        # Appended exactly as the dict would be, or declined with nothing written.
        assert (status, written) == ((0, b"\xc0" + dump(entries)) if appended else (1, b"\xc0"))
        # The whole map, whatever its values: always the dict's bytes.
        buffer = NefaByteBuffer()
        try:
            status = api.append_map(
                names,
                values,
                len(entries),
                lightweight,
                ctypes.byref(buffer),
                this_thread_state() if lightweight else None,
            )
            written = ctypes.string_at(buffer.data, buffer.size)
        finally:
            libc.free(buffer.data)
        assert (status, written) == (0, dump(entries))


HOSTILE_CLASS_DICT = r"""
import gc, warnings
warnings.simplefilter("ignore")
import nefa._native as native

victim = None

class B:
    pass

class K:
    armed = True
    def __hash__(self):
        return hash("__module__")
    def __eq__(self, other):
        # Run by the look-up of the class's __module__: the instance moves
        # to another class and the first one is collected meanwhile.
        global A
        if K.armed and victim is not None:
            K.armed = False
            victim.__class__ = B
            A = None
            gc.collect()
            junk = [type(f"J{i}", (), {}) for i in range(200)]
        return False

A = type("A" * 40, (), {K(): 1})
victim = A()
out = native.dump_msgpack(victim)
print("OK" if b" object at 0x" in out else out)
"""


def test_a_class_dropped_while_its_name_is_looked_up_is_not_read_freed():
    done = subprocess.run(
        [sys.executable, "-c", HOSTILE_CLASS_DICT],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONFAULTHANDLER="1"),
    )
    assert (done.returncode, done.stdout.strip()) == (0, "OK"), done.stderr[-2000:]


class NamedStr(str):
    pass


REDACTION_CASES = {
    "names at any depth": lambda: {"user": "bob", "Password": "x", "n": [{"HTTP_X_API_KEY": {"deep": 1}, 3: "k"}]},
    "fold, strip and exact names": lambda: {" \u212aEY ": 1, "\u0130d_token": 2, "PIN": 3, "pinned": 4, "sid ": 5},
    "str subclass keys and values": lambda: {NamedStr("api_key"): 1, NamedStr("QUERY_STRING"): NamedStr("a=1&otp=2")},
    "queries": lambda: {
        "QUERY_STRING": "x=1&%74oken=2;jsessionid=3&a+key=4&=5&token=&next=/p?code=6#sig=7,b=8",
        "raw_uri": "/p;sessid=9?ok=1",
        "REQUEST_URI": 17,
        "query_string": "t\u00f6ken=1&\u00e9=token&pass=\u00e9\u00e9",
    },
    "past the budget": lambda: {f"key{i}": "v" * 40 for i in range(60)},
    "many plain locals": lambda: {f"v{i}": i for i in range(7)} | {"auth": 1},
    "everyday names": lambda: dict.fromkeys(EVERYDAY_NAMES, 1) | dict.fromkeys(SECRET_VARIABLES, 2),
}
# Names a header rule would hide (key, code, auth, sig, pass...) that are a
# program's ordinary variables, and variables that do hold credentials.
EVERYDAY_NAMES = ("key", "keys", "encode", "status_code", "author", "signal", "passed", "design")
SECRET_VARIABLES = ("api_key", "access_token", "session_id", "db_password", "clientSecret", "auth")


@pytest.mark.parametrize("dump, budget", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("case", REDACTION_CASES.values(), ids=REDACTION_CASES.keys())
def test_credentials_are_redacted_as_the_reference_does(case, dump, budget):
    decoded = read(same_as_reference(case, dump, budget))
    if isinstance(decoded, dict) and "Password" in decoded:
        assert decoded["Password"] == "[redacted]" and decoded["n"][0].payload[1] == "[redacted]"
        assert decoded["user"] == "bob"
    if isinstance(decoded, dict) and "encode" in decoded:
        kept = {name for name, value in decoded.items() if value != "[redacted]"}
        assert kept == set(EVERYDAY_NAMES)


def test_the_configured_rule_reaches_the_encoder():
    from nefa import redaction

    value = {"tenant_id": 1, "password": 2, "QUERY_STRING": "tenant=3&x=4"}
    try:
        redaction.configure({"redact": ["tenant"]})
        assert read(native.dump_msgpack(value)) == {
            "tenant_id": "[redacted]",
            "password": "[redacted]",
            "QUERY_STRING": "tenant=[redacted]&x=4",
        }
        assert native.dump_msgpack(value) == encode(value)
        redaction.configure({"redact_values": False})
        assert read(native.dump_msgpack(value)) == value == read(encode(value))
    finally:
        redaction.configure({})
    assert read(native.dump_msgpack(value))["tenant_id"] == 1
