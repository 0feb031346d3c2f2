#!/usr/bin/env python3
"""The native value encoder next to the pure-Python serialiser it replaced.

Times both on small values (what most calls pass) and on big ones (a list of
100,000 ints, a dict of 10,000 entries, a 1 MB str), in both modes, and
prints per-value times and their ratio side by side:

    python benchmarks/encoder.py [--repeat N]

Run it with the installed nefa (``pip install .`` from the checkout's root).
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import old_serialize  # noqa: E402

from nefa import _native  # noqa: E402


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __repr__(self):
        return f"Point({self.x}, {self.y})"


VALUES = {
    "None": None,
    "int": 12345,
    "short str": "hello world",
    "small locals": {"self": Point(1, 2), "n": 10, "name": "abc", "items": [1, 2, 3]},
    "tuple of 3": (1, "a", 2.5),
    "object (repr)": Point(3, 4),
    "list of 100k ints": list(range(100_000)),
    "dict of 10k": {f"key{i}": i for i in range(10_000)},
    "1 MB str": "x" * 1_000_000,
    "big locals": {
        "numbers": list(range(100_000)),
        "table": {i: str(i) for i in range(10_000)},
        "text": "y" * 1_000_000,
    },
}

MODES = {
    "full": (old_serialize.dump_msgpack, _native.dump_msgpack),
    "lightweight": (old_serialize.dump_msgpack_lightweight_repr, _native.dump_msgpack_lightweight_repr),
}


def per_call(function, value, repeat: int) -> float:
    """Best of `repeat` timings, in seconds per call."""
    timer = timeit.Timer(lambda: function(value))
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timings per cell, best reported (default 5)")
    args = parser.parse_args()
    print(f"CPython {platform.python_version()}, {platform.machine()}\n")
    for mode, (old, new) in MODES.items():
        print(f"### {mode}\n")
        print("| value | pure Python | native | pure Python / native | native bytes |")
        print("|---|---:|---:|---:|---:|")
        for name, value in VALUES.items():
            old_time, new_time = per_call(old, value, args.repeat), per_call(new, value, args.repeat)
            print(f"| {name} | {fmt(old_time)} | {fmt(new_time)} | {old_time / new_time:.1f}× | {len(new(value))} |")
        print()


if __name__ == "__main__":
    main()
