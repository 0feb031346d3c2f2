"""The hook's direct path into the native encoder.

When nefa.serialize's function is the native encoder's own, the hook hands
values to its C interface instead of calling it; the records must hold the
very bytes a call would have returned, and a replaced function must still be
called.
"""

from __future__ import annotations

import pytest
from nefa_native_support import decode, frame_records, run_traced

PROGRAM = """
import nefa.serialize
from harness import start, finish, emit
{setup}

class Shown:
    def __repr__(self):
        return "Shown(1)"

def work(a, b, *rest, **named):
    local_tuple = (1, "two", 3.0, None, True)
    local_set = {{1, 2}}
    big = list(range(50_000))
    text = "é" * 300_000
    nested = {{"k": [[[[[[[[1]]]]]]]], (2, 3): b"bytes", 4: Shown()}}
    return nested

p = start({config})
work(1, 2.5, "x", key=Shown())
work(-7, 10**40)
finish(p)
"""

CALLED_FROM_PYTHON = """
real_plain, real_light = nefa.serialize.dump_msgpack, nefa.serialize.dump_msgpack_lightweight_repr
nefa.serialize.dump_msgpack = lambda value: real_plain(value)
nefa.serialize.dump_msgpack_lightweight_repr = lambda value: real_light(value)
"""


def raw_values(result):
    return [(r["event"], r["arg"], r["locals"]) for r in frame_records(result.document["frames_of_interest"], "work")]


@pytest.mark.parametrize("config", ["{}", "{'lightweight_repr': True}"])
def test_direct_path_gives_the_bytes_a_call_returns(tmp_path, config):
    (tmp_path / "direct").mkdir()
    (tmp_path / "called").mkdir()
    direct = run_traced(tmp_path / "direct", PROGRAM.format(setup="", config=config))
    called = run_traced(tmp_path / "called", PROGRAM.format(setup=CALLED_FROM_PYTHON, config=config))
    assert raw_values(direct) == raw_values(called)
    assert len(raw_values(direct)) == 4


def test_swapped_native_functions_keep_their_own_mode(tmp_path):
    # dump_msgpack set to the lightweight function: the hook must encode in
    # the mode of the function it found, not the mode it asked for.
    (tmp_path / "swapped").mkdir()
    (tmp_path / "light").mkdir()
    swapped = run_traced(
        tmp_path / "swapped",
        PROGRAM.format(setup="nefa.serialize.dump_msgpack = nefa.serialize.dump_msgpack_lightweight_repr", config="{}"),
    )
    light = run_traced(tmp_path / "light", PROGRAM.format(setup="", config="{'lightweight_repr': True}"))
    assert raw_values(swapped) == raw_values(light)


def test_replacement_is_called_and_native_function_resumes(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import msgpack
        import nefa.serialize
        from harness import start, finish, emit
        native = nefa.serialize.dump_msgpack
        seen = []
        def mine(value):
            seen.append(type(value).__name__)
            return msgpack.packb("mine")
        def work(n):
            return n
        p = start()
        work(1)
        nefa.serialize.dump_msgpack = mine
        work(2)
        nefa.serialize.dump_msgpack = native
        work(3)
        finish(p)
        emit(seen)
        """,
    )
    document, seen = result.outputs
    values = [(r["arg"], r["locals"]) for r in frame_records(decode(document)["frames_of_interest"], "work")]
    assert values == [
        (None, {"n": 1}),
        (1, {"n": 1}),
        ("mine", "mine"),
        ("mine", "mine"),
        (None, {"n": 3}),
        (3, {"n": 3}),
    ]
    assert seen == ["NoneType", "dict", "int", "dict"]
