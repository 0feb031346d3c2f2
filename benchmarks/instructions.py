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

``--workload biglocals`` and ``--workload smalllocals`` (repeatable, like the
others) measure run.py's function with big and with small locals, per
recorded call: traced, and traced minus untraced (the hook's own cost, as
run.py's ns per recorded call). The process leaves right after the loop,
so building and storing the trace (a cost of the trace's size, not of the
call) is not counted; the hash seed is fixed. Given both, a last table
shows big ÷ small per mode, both ways. viztracer is not run on them: it copies values
whole, which under callgrind takes minutes per call.

``--workload objects`` measures run.py's objects workload per recorded call
(one round of it against two; the calls a round records are counted from a
trace made outside callgrind): what tracing adds under each engine, and
monitoring ÷ profile. The trace is not built here either.
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
# One recorded call per round; the loop's own call is in both counts.
LOCALS_FEW, LOCALS_MANY = 40, 200
LOCALS_WORKLOADS = ("biglocals", "smalllocals")
# The rounds run.py's locals workloads make at scale 1.
LOCALS_BASE_ROUNDS = {"biglocals": 500, "smalllocals": 20_000}
# Rounds of the objects workload at scale 1 (see workloads.py).
OBJECTS_BASE_ROUNDS = 10

COUNT_RECORDED = r"""
import sys
sys.path.insert(0, {benchmarks!r})
import run, workloads
from nefa import _nefa

work = workloads.make("objects", int(sys.argv[1]) / {base})
host = run._HostProfiler(lightweight_repr=False, engine="profile")
_nefa.register_profiler(host)
work()
_nefa.register_noop_profiler()
sys.setprofile(None)
print(run._count_trace_calls(host.rust_profiler.build_trace()))
"""

CHILD = r"""
import os
import sys
sys.path.insert(0, {folder!r})
from fibonacci import fib

mode, rounds, db, workload = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
base_rounds = {base_rounds!r}

if workload == "library":
    sys.path.insert(0, {benchmarks!r})
    import workloads
    work = workloads.make("library", rounds / 60)
elif workload in base_rounds:
    sys.path.insert(0, {benchmarks!r})
    import workloads
    work = workloads.make(workload, rounds / base_rounds[workload])
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
    if workload in base_rounds:
        # The trace is not built: only the calls are measured.
        sys.stdout.flush()
        os._exit(0)
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
    # A fixed hash seed: str hashes decide a dict's layout, and so the work.
    env = dict(os.environ, PYTHONHASHSEED="0")
    result = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            python,
            script,
            mode,
            str(rounds),
            os.path.join(folder, "trace.sqlite3"),
            workload,
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        check=True,
        env=env,
    )
    found = re.search(r"Collected\s*:\s*([\d,]+)", result.stderr)
    if found is None:
        raise RuntimeError(f"no instruction count from callgrind for {mode}: {result.stderr[-500:]}")
    return int(found.group(1).replace(",", ""))


def modes_of(python: str) -> list[str]:
    probe = (
        "import sys, importlib.util; print(sys.version_info >= (3, 12));"
        " print(importlib.util.find_spec('viztracer') is not None)"
    )
    monitoring, viztracer = subprocess.run(
        [python, "-c", probe], stdout=subprocess.PIPE, text=True, check=True
    ).stdout.split()
    modes = ["untraced", "nefa-profile"]
    if monitoring == "True":
        modes.append("nefa-monitoring")
    if viztracer == "True":
        modes.append("viztracer")
    return modes


def version_of(python: str) -> str:
    return subprocess.run(
        [python, "-c", "import platform; print(platform.python_version())"],
        stdout=subprocess.PIPE,
        text=True,
        check=True,
    ).stdout.strip()


def measure_calls(pythons, script, folder, workload) -> None:
    """fib(12) per call, or the library loop per iteration."""
    library = workload == "library"
    unit = "iteration" if library else "call"
    print(f"\n### {workload}\n")
    print(f"| interpreter | mode | instructions per {unit} | ÷ untraced | ÷ viztracer | ÷ nefa, profile |")
    print("|---|---|---:|---:|---:|---:|")
    for python in pythons:
        version = version_of(python)
        costs = {}
        for mode in modes_of(python):
            if library and mode == "viztracer":
                continue
            few = instructions(python, script, mode, FEW, folder, workload)
            many = instructions(python, script, mode, MANY, folder, workload)
            costs[mode] = (many - few) / ((MANY - FEW) * (1 if library else CALLS_PER_ROUND))
        for mode, cost in costs.items():
            versus_viz = f"{cost / costs['viztracer']:.2f}" if "viztracer" in costs else "–"
            versus_profile = f"{cost / costs['nefa-profile']:.2f}" if mode.startswith("nefa") else "–"
            versus_untraced = f"{cost / costs['untraced']:.3f}"
            print(
                f"| {version} | {mode} | {cost:,.0f} | {versus_untraced} | {versus_viz} | {versus_profile} |",
                flush=True,
            )


def measure_locals(pythons, script, folder, workload) -> dict:
    """Per recorded call of the locals workload: {(version, mode): (traced, over untraced)}."""
    print(f"\n### {workload}\n")
    print("| interpreter | mode | instructions per call | over untraced |")
    print("|---|---|---:|---:|")
    results = {}
    for python in pythons:
        version = version_of(python)
        costs = {}
        for mode in modes_of(python):
            if mode == "viztracer":
                continue
            few = instructions(python, script, mode, LOCALS_FEW, folder, workload)
            many = instructions(python, script, mode, LOCALS_MANY, folder, workload)
            costs[mode] = (many - few) / (LOCALS_MANY - LOCALS_FEW)
        for mode, cost in costs.items():
            if mode == "untraced":
                print(f"| {version} | {mode} | {cost:,.0f} | – |", flush=True)
                continue
            results[version, mode] = (cost, cost - costs["untraced"])
            print(f"| {version} | {mode} | {cost:,.0f} | {cost - costs['untraced']:,.0f} |", flush=True)
    return results


def recorded_calls(python: str, rounds: int) -> int:
    script = COUNT_RECORDED.format(benchmarks=os.path.dirname(os.path.abspath(__file__)), base=OBJECTS_BASE_ROUNDS)
    return int(
        subprocess.run(
            [python, "-c", script, str(rounds)], stdout=subprocess.PIPE, text=True, check=True
        ).stdout.split()[-1]
    )


def measure_objects(pythons, script, folder) -> None:
    """What tracing adds to one recorded call of the objects workload."""
    print("\n### objects\n")
    print("| interpreter | mode | instructions per recorded call | over untraced | ÷ nefa, profile (over untraced) |")
    print("|---|---|---:|---:|---:|")
    for python in pythons:
        version = version_of(python)
        calls = recorded_calls(python, 2) - recorded_calls(python, 1)
        costs = {}
        for mode in modes_of(python):
            if mode == "viztracer":
                continue
            few = instructions(python, script, mode, 1, folder, "objects")
            many = instructions(python, script, mode, 2, folder, "objects")
            costs[mode] = (many - few) / calls
        for mode, cost in costs.items():
            added = cost - costs["untraced"]
            versus = f"{added / (costs['nefa-profile'] - costs['untraced']):.3f}" if mode.startswith("nefa") else "–"
            print(f"| {version} | {mode} | {cost:,.0f} | {added:,.0f} | {versus} |", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", action="append", help="interpreter to measure (repeatable)")
    parser.add_argument(
        "--workload",
        action="append",
        choices=("recursive", "library", "objects", *LOCALS_WORKLOADS),
        help="recursive: fib(12), per call (default); library: per loop iteration; "
        "objects, biglocals, smalllocals: per recorded call (repeatable)",
    )
    options = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is needed (apt-get install valgrind)", file=sys.stderr)
        return 2
    pythons = options.python or [sys.executable]
    workloads = list(dict.fromkeys(options.workload or ["recursive"]))
    with tempfile.TemporaryDirectory(prefix="nefa-instructions-") as folder:
        with open(os.path.join(folder, "fibonacci.py"), "w") as file:
            file.write(FIBONACCI)
        script = os.path.join(folder, "child.py")
        with open(script, "w") as file:
            file.write(
                CHILD.format(
                    folder=folder,
                    benchmarks=os.path.dirname(os.path.abspath(__file__)),
                    base_rounds={**LOCALS_BASE_ROUNDS, "objects": OBJECTS_BASE_ROUNDS},
                )
            )
        hook_costs = {}
        for workload in workloads:
            if workload in LOCALS_WORKLOADS:
                hook_costs[workload] = measure_locals(pythons, script, folder, workload)
            elif workload == "objects":
                measure_objects(pythons, script, folder)
            else:
                measure_calls(pythons, script, folder, workload)
        if len(hook_costs) == 2:
            big, small = hook_costs["biglocals"], hook_costs["smalllocals"]
            print("\n### biglocals ÷ smalllocals, per recorded call\n")
            print(
                "| interpreter | mode | biglocals | smalllocals | ratio | over untraced: biglocals | smalllocals "
                "| ratio |"
            )
            print("|---|---|---:|---:|---:|---:|---:|---:|")
            for key in big:
                (big_call, big_hook), (small_call, small_hook) = big[key], small[key]
                print(
                    f"| {key[0]} | {key[1]} | {big_call:,.0f} | {small_call:,.0f} | {big_call / small_call:.2f} "
                    f"| {big_hook:,.0f} | {small_hook:,.0f} | {big_hook / small_hook:.2f} |"
                )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
