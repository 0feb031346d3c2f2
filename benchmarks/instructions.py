"""What one recorded call costs, in instructions (callgrind), not seconds.

Wall time on a shared machine moves by a third between runs; instruction
counts under callgrind do not. Each mode runs ``fib(12)`` (465 calls) in a
loop, once with few rounds and once with more, in fresh processes under
``valgrind --tool=callgrind``; the difference divided by the extra calls is
the cost of one call, start-up and imports cancelled out.

    python benchmarks/instructions.py                       # this interpreter
    python benchmarks/instructions.py --python PATH ...     # several, side by side

Modes: untraced, nefa under each engine the interpreter has, and viztracer
with ``log_func_args`` and ``log_func_retval`` (when installed).

``--workload library`` measures run.py's library workload instead (standard
library code that nefa filters out, a few calls of its own recorded): the
instructions per iteration of its loop, against untraced.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

CALLS_PER_ROUND = 465  # fib(12)
FEW, MANY = 20, 60

CHILD = r"""
import sys
sys.path.insert(0, {folder!r})
from fibonacci import fib

mode, rounds, db, workload = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]

if workload == "library":
    sys.path.insert(0, {benchmarks!r})
    import workloads
    work = workloads.make("library", rounds / 60)
else:
    def work():
        for _ in range(rounds):
            fib(12)

if mode == "untraced":
    work()
elif mode.startswith("nefa-"):
    from nefa.profiler import Profiler
    profiler = Profiler(db_path=db, config={{"engine": mode[5:]}})
    profiler.start()
    work()
    profiler.stop()
elif mode == "viztracer":
    from viztracer import VizTracer
    tracer = VizTracer(log_func_args=True, log_func_retval=True, verbose=0, tracer_entries=5_000_000)
    tracer.start()
    work()
    tracer.stop()
"""

FIBONACCI = """
def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)
"""


def instructions(python: str, script: str, mode: str, rounds: int, folder: str, workload: str) -> int:
    out = os.path.join(folder, "callgrind.out")
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python, script, mode, str(rounds),
         os.path.join(folder, "trace.sqlite3"), workload],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True,
    )
    found = re.search(r"Collected\s*:\s*([\d,]+)", result.stderr)
    if found is None:
        raise RuntimeError(f"no instruction count from callgrind for {mode}: {result.stderr[-500:]}")
    return int(found.group(1).replace(",", ""))


def modes_of(python: str) -> list[str]:
    probe = ("import sys, importlib.util; print(sys.version_info >= (3, 12));"
             " print(importlib.util.find_spec('viztracer') is not None)")
    monitoring, viztracer = subprocess.run([python, "-c", probe], stdout=subprocess.PIPE, text=True,
                                           check=True).stdout.split()
    modes = ["untraced", "nefa-profile"]
    if monitoring == "True":
        modes.append("nefa-monitoring")
    if viztracer == "True":
        modes.append("viztracer")
    return modes


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", action="append", help="interpreter to measure (repeatable)")
    parser.add_argument("--workload", choices=("recursive", "library"), default="recursive",
                        help="recursive: fib(12), per call (default); library: per loop iteration")
    options = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is needed (apt-get install valgrind)", file=sys.stderr)
        return 2
    pythons = options.python or [sys.executable]
    with tempfile.TemporaryDirectory(prefix="nefa-instructions-") as folder:
        with open(os.path.join(folder, "fibonacci.py"), "w") as file:
            file.write(FIBONACCI)
        script = os.path.join(folder, "child.py")
        with open(script, "w") as file:
            file.write(CHILD.format(folder=folder, benchmarks=os.path.dirname(os.path.abspath(__file__))))
        library = options.workload == "library"
        unit = "iteration" if library else "call"
        print(f"| interpreter | mode | instructions per {unit} | ÷ untraced | ÷ viztracer | ÷ nefa, profile |")
        print("|---|---|---:|---:|---:|---:|")
        for python in pythons:
            version = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                                     stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
            costs = {}
            for mode in modes_of(python):
                if library and mode == "viztracer":
                    continue
                few = instructions(python, script, mode, FEW, folder, options.workload)
                many = instructions(python, script, mode, MANY, folder, options.workload)
                costs[mode] = (many - few) / ((MANY - FEW) * (1 if library else CALLS_PER_ROUND))
            for mode, cost in costs.items():
                versus_viz = f"{cost / costs['viztracer']:.2f}" if "viztracer" in costs else "–"
                versus_profile = f"{cost / costs['nefa-profile']:.2f}" if mode.startswith("nefa") else "–"
                versus_untraced = f"{cost / costs['untraced']:.3f}"
                print(f"| {version} | {mode} | {cost:,.0f} | {versus_untraced} | {versus_viz} | {versus_profile} |",
                      flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
