#!/usr/bin/env python3
"""Measure what nefa's profile hook costs, next to its peers.

Every measurement runs in a fresh interpreter (this same file with
``--child``), so no mode inherits another's warm caches, allocator state or
leftover hooks.  Repetitions of the modes are interleaved, and the median is
reported.  See README.md in this directory for what the columns mean.

    python benchmarks/run.py                         # this interpreter
    python benchmarks/run.py --python /tmp/venv-3.11/bin/python \\
                             --python /tmp/venv-3.13/bin/python
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

BASE_MODES = ("untraced", "noop", "cprofile", "viztracer")
ENGINES = ("profile", "monitoring")
MODE_LABELS = {
    "untraced": "untraced",
    "noop": "noop hook",
    "cprofile": "cProfile",
    "viztracer": "viztracer (args+retval)",
}
for _engine in ENGINES:
    MODE_LABELS[f"nefa:{_engine}"] = f"nefa, {_engine}"
    MODE_LABELS[f"nefa-light:{_engine}"] = f"nefa, {_engine} (lightweight_repr)"


def nefa_modes(engines) -> list[str]:
    return [f"{kind}:{engine}" for engine in engines for kind in ("nefa", "nefa-light")]


WORKLOAD_NAMES = ("recursive", "objects", "library", "biglocals", "smalllocals")

# The file-name rules of nefa's built-in filters, repeated here so that the
# call counter can predict how many calls nefa must record; a trace that
# disagrees means frames were lost or wrongly kept.
_SKIPPED_SUBSTRINGS = (
    "lib/python",
    "/site-packages/",
    "<frozen ",
    "<string>",
    "/nefa/__init__.py",
    "/nefa/__main__.py",
    "/nefa/cli.py",
    "/nefa/config.py",
    "/nefa/db.py",
    "/nefa/git.py",
    "/nefa/profiler.py",
    "/nefa/pytest_plugin.py",
    "/nefa/runner.py",
    "/nefa/serialize.py",
    "/nefa/version.py",
    "/nefa/wsgi.py",
    "/nefa/filters/",
    "/nefa/store/",
    "/nefa/traces/",
)


def is_user_file(filename: str) -> bool:
    if filename.startswith("<attrs generated") or filename == "<pytest match expression>":
        return False
    return not any(part in filename for part in _SKIPPED_SUBSTRINGS)


# ---------------------------------------------------------------------------
# Child side: one mode, one workload, one timing, printed as JSON.


class _HostProfiler:
    """The least a host object must offer to register_profiler."""

    def __init__(self, lightweight_repr: bool, engine: str):
        self.config = {"threading": False, "lightweight_repr": lightweight_repr, "filters": {}, "engine": engine}
        self.db_path = os.devnull
        self.one_trace_per_test = False
        self.trace_id = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
        self.source = "benchmark"

    def __call__(self, *args, **kwargs):
        return None


def _count_trace_calls(document: bytes) -> int:
    import msgpack

    # Stream the document so a large trace need not be held decoded at once.
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=len(document) + 1)
    unpacker.feed(document)
    calls = 0
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            for _ in range(unpacker.read_array_header()):
                record = unpacker.unpack()
                if record.get("type") == "frame" and record.get("event") == "call":
                    calls += 1
        elif key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()
                for _ in range(unpacker.read_array_header()):
                    record = unpacker.unpack()
                    if record.get("type") == "frame" and record.get("event") == "call":
                        calls += 1
        else:
            unpacker.skip()
    return calls


def _child(mode: str, workload_name: str, scale: float) -> dict:
    import workloads

    run = workloads.make(workload_name, scale)
    result: dict = {"mode": mode, "workload": workload_name}
    clock = time.perf_counter

    # The clock runs with the hook already on and stops before it is removed:
    # installing and removing a hook is start-up, not per-call cost.
    if mode == "untraced":
        start = clock()
        run()
        elapsed = clock() - start

    elif mode == "noop":
        from nefa import _nefa

        _nefa.register_noop_profiler()
        start = clock()
        run()
        elapsed = clock() - start
        sys.setprofile(None)

    elif mode == "cprofile":
        import cProfile

        profile = cProfile.Profile()
        profile.enable()
        start = clock()
        run()
        elapsed = clock() - start
        profile.disable()

    elif mode == "viztracer":
        try:
            from viztracer import VizTracer
        except ImportError:
            return {"mode": mode, "workload": workload_name, "skipped": "viztracer is not installed"}
        tracer = VizTracer(log_func_args=True, log_func_retval=True, verbose=0, register_global=False)
        tracer.start()
        start = clock()
        run()
        elapsed = clock() - start
        tracer.stop()
        tracer.clear()

    elif mode.startswith(("nefa:", "nefa-light:")):
        import nefa.serialize  # noqa: F401  imported by the hook on first use: keep that out of the timing
        from nefa import _nefa

        kind, engine = mode.split(":")
        host = _HostProfiler(lightweight_repr=(kind == "nefa-light"), engine=engine)
        _nefa.register_profiler(host)
        start = clock()
        run()
        elapsed = clock() - start
        _nefa.register_noop_profiler()
        sys.setprofile(None)
        document = host.rust_profiler.build_trace()
        result["trace_bytes"] = len(document)
        result["recorded_calls"] = _count_trace_calls(document)

    elif mode == "count":
        calls = 0
        user_calls = 0
        verdicts: dict = {}

        def counter(frame, event, arg):
            nonlocal calls, user_calls
            if event == "call":
                calls += 1
                code = frame.f_code
                user = verdicts.get(code)
                if user is None:
                    user = verdicts[code] = is_user_file(code.co_filename)
                if user:
                    user_calls += 1

        sys.setprofile(counter)
        start = clock()
        run()
        elapsed = clock() - start
        sys.setprofile(None)
        result["calls"] = calls
        result["user_calls"] = user_calls

    elif mode == "info":
        info = {
            "version": platform.python_version(),
            "implementation": platform.python_implementation(),
            "monitoring": hasattr(sys, "monitoring"),
        }
        try:
            from importlib.metadata import version

            info["nefa"] = version("nefa")
        except Exception:
            info["nefa"] = "?"
        try:
            from importlib.metadata import version

            info["viztracer"] = version("viztracer")
        except Exception:
            info["viztracer"] = None
        return info

    else:
        raise SystemExit(f"unknown mode {mode!r}")

    result["seconds"] = elapsed
    return result


# ---------------------------------------------------------------------------
# Parent side.


def machine_line() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    cores = os.cpu_count()
    try:
        usable = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        usable = cores
    return (
        f"Machine: {cpu}, {cores} cores ({usable} usable), {platform.system()} {platform.release()}. "
        "Absolute times are this machine's; compare rows, not machines."
    )


class ChildFailed(Exception):
    pass


def run_child(python: str, mode: str, workload: str, scale: float, timeout: float) -> dict:
    command = [python, os.path.join(HERE, "run.py"), "--child", mode, "--workload", workload, "--scale", str(scale)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env, cwd=HERE)
    except subprocess.TimeoutExpired:
        return {"mode": mode, "workload": workload, "timeout": timeout}
    if done.returncode != 0:
        raise ChildFailed(f"{' '.join(command)} exited {done.returncode}:\n{done.stderr.strip()}")
    lines = done.stdout.strip().splitlines()
    if not lines:
        raise ChildFailed(f"{' '.join(command)} printed nothing:\n{done.stderr.strip()}")
    return json.loads(lines[-1])


def fmt_seconds(value: float) -> str:
    return f"{value:.3f}" if value < 100 else f"{value:.1f}"


def fmt_int(value) -> str:
    return "–" if value is None else f"{value:,}"


def fmt_bytes(value) -> str:
    if value is None:
        return "–"
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return str(value)


def measure_interpreter(python: str, args) -> tuple[list[str], bool]:
    """Returns the report's lines, and whether every check held."""
    info = run_child(python, "info", "recursive", 1.0, 120)
    lines = [
        f"## Python {info['version']} ({info['implementation']}) — `{python}`",
        "",
        machine_line(),
        f"nefa {info['nefa']}; viztracer {info['viztracer'] or 'not installed'}; "
        f"median of {args.repeat} fresh processes per cell; scale {args.scale:g}.",
        "",
    ]
    engines = [e for e in args.engines if e == "profile" or info["monitoring"]]
    all_modes = [*BASE_MODES, *nefa_modes(engines)]
    modes = [m for m in all_modes if not (m == "viztracer" and (info["viztracer"] is None or args.no_viztracer))]
    all_good = True
    costs: dict[str, dict] = {}

    for workload in args.workloads:
        print(f"[{info['version']}] {workload}: counting calls", file=sys.stderr, flush=True)
        count = run_child(python, "count", workload, args.scale, args.timeout)
        samples: dict[str, list[dict]] = {m: [] for m in modes}
        for rep in range(args.repeat):
            for mode in modes:
                print(f"[{info['version']}] {workload}: {mode} #{rep + 1}", file=sys.stderr, flush=True)
                # A mode that already timed out would only burn the budget again.
                if samples[mode] and "timeout" in samples[mode][0]:
                    continue
                samples[mode].append(run_child(python, mode, workload, args.scale, args.timeout))

        def median_seconds(mode):
            runs = samples.get(mode) or []  # noqa: B023 (called in this iteration only)
            if not runs or any("timeout" in r or "skipped" in r for r in runs):
                return None
            return statistics.median(r["seconds"] for r in runs)

        base = median_seconds("untraced")
        calls = count["calls"]
        expected = count["user_calls"]
        lines.append(f"### {workload}: {calls:,} Python calls, {expected:,} of them user code that nefa records")
        lines.append("")
        lines.append(
            "| mode | time (s) | min (s) | slowdown | ÷ viztracer | ns/call | ns/recorded call | recorded calls "
            "| trace size |"
        )
        lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        cost = costs[workload] = {}
        viz_time = median_seconds("viztracer")
        for mode in all_modes:
            label = MODE_LABELS[mode]
            runs = samples.get(mode)
            if mode == "viztracer" and not runs:
                lines.append(f"| {label} | skipped | | | | | | | |")
                continue
            if any("timeout" in r for r in runs):
                lines.append(f"| {label} | timeout (>{args.timeout:g} s) | | | | | | | |")
                continue
            t = median_seconds(mode)
            low = min(r["seconds"] for r in runs)
            slowdown = f"{t / base:.2f}×" if base else "–"
            versus_viz = f"{t / viz_time:.2f}×" if viz_time else "–"
            per_call = per_recorded = "–"
            if mode != "untraced" and base is not None:
                cost[mode] = (t - base) * 1e9 / calls
                per_call = f"{cost[mode]:,.0f}"
            recorded = size = None
            if mode.startswith("nefa"):
                recorded = runs[0]["recorded_calls"]
                size = runs[0]["trace_bytes"]
                if recorded and base is not None:
                    cost[mode + "/recorded"] = (t - base) * 1e9 / recorded
                    per_recorded = f"{cost[mode + '/recorded']:,.0f}"
                bad = [r["recorded_calls"] for r in runs if r["recorded_calls"] != expected]
                if bad:
                    all_good = False
                    recorded_text = f"{recorded:,} ≠ {expected:,} expected!"
                else:
                    recorded_text = f"{recorded:,} ✓"
            else:
                recorded_text = fmt_int(recorded)
            lines.append(
                f"| {label} | {fmt_seconds(t)} | {fmt_seconds(low)} | {slowdown} | {versus_viz} | {per_call} "
                f"| {per_recorded} "
                f"| {recorded_text} | {fmt_bytes(size)} |"
            )
        lines.append("")

        if workload in ("recursive", "objects"):
            viz = cost.get("viztracer")
            for mode in nefa_modes(engines):
                mine = cost.get(mode + "/recorded")
                if viz and mine is not None:
                    verdict = "meets" if mine <= 0.5 * viz else "misses"
                    lines.append(
                        f"- {MODE_LABELS[mode]}: ns per recorded call ÷ viztracer's ns per call = "
                        f"**{mine / viz:.2f}** (goal ≤ 0.50: {verdict})"
                    )
            for kind in ("nefa", "nefa-light"):
                hook, monitored = cost.get(f"{kind}:profile/recorded"), cost.get(f"{kind}:monitoring/recorded")
                if hook and monitored is not None:
                    verdict = "meets" if monitored <= 0.8 * hook else "misses"
                    lines.append(
                        f"- {MODE_LABELS[kind + ':monitoring']}: ns per recorded call ÷ the profile engine's = "
                        f"**{monitored / hook:.2f}** (goal ≤ 0.80: {verdict})"
                    )
        elif workload == "library":
            noop = median_seconds("noop")
            for mode in nefa_modes(engines):
                t = median_seconds(mode)
                if mode.endswith(":monitoring"):
                    # No hook to compare with: what matters is the program's own time.
                    if base and t:
                        verdict = "meets" if t <= 1.10 * base else "misses"
                        lines.append(
                            f"- {MODE_LABELS[mode]} time ÷ untraced time = **{t / base:.2f}×** "
                            f"(goal ≤ 1.10×: {verdict})"
                        )
                elif noop and t:
                    verdict = "meets" if t <= 1.10 * noop else "misses"
                    lines.append(
                        f"- {MODE_LABELS[mode]} time ÷ noop hook time = **{t / noop:.2f}×** (goal ≤ 1.10×: {verdict})"
                    )
        lines.append("")

    # Big locals against small ones: the same function, so the difference is
    # what the values' size costs a recorded call.
    big, small = costs.get("biglocals", {}), costs.get("smalllocals", {})
    if big or small:
        lines.append("### biglocals ÷ smalllocals")
        lines.append("")
        for mode in (*nefa_modes(engines), "viztracer"):
            key = mode if mode == "viztracer" else mode + "/recorded"
            if key in big and key in small and small[key] > 0:
                ratio = big[key] / small[key]
                goal = "" if mode == "viztracer" else f" (goal ≤ 3: {'meets' if ratio <= 3 else 'misses'})"
                lines.append(
                    f"- {MODE_LABELS[mode]}: ns per call with big locals ÷ with small locals = **{ratio:.2f}**{goal}"
                )
            elif mode != "viztracer":
                lines.append(f"- {MODE_LABELS[mode]}: not measured (a cell timed out or was skipped)")
        lines.append("")
    return lines, all_good


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--python",
        action="append",
        metavar="PATH",
        help="interpreter to measure, with nefa (and viztracer) installed in it; repeat to compare "
        "several in one run (default: this interpreter)",
    )
    parser.add_argument("--repeat", type=int, default=5, help="fresh processes per cell (default 5)")
    parser.add_argument("--quick", action="store_true", help="a fifth of the work and 3 repetitions: a smoke run")
    parser.add_argument("--workload", action="append", choices=WORKLOAD_NAMES, help="only this workload (repeatable)")
    parser.add_argument("--scale", type=float, default=None, help="multiply every workload's size (default 1)")
    parser.add_argument(
        "--timeout", type=float, default=600, help="seconds before one measurement is abandoned (default 600)"
    )
    parser.add_argument(
        "--no-viztracer",
        action="store_true",
        help="leave viztracer out (its big-locals calls take tens of milliseconds each at large scales)",
    )
    parser.add_argument(
        "--engine",
        action="append",
        choices=ENGINES,
        help="nefa's event source to measure (repeatable; default: both, monitoring only where it exists)",
    )
    parser.add_argument("--output", metavar="FILE", help="also write the report to FILE")
    parser.add_argument("--child", metavar="MODE", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        workload = (args.workload or ["recursive"])[0]
        print(json.dumps(_child(args.child, workload, args.scale or 1.0)))
        return 0

    if args.scale is None:
        args.scale = 0.2 if args.quick else 1.0
    if args.quick and args.repeat == parser.get_default("repeat"):
        args.repeat = 3
    args.workloads = args.workload or list(WORKLOAD_NAMES)
    args.engines = args.engine or list(ENGINES)
    pythons = args.python or [sys.executable]

    report: list[str] = []
    ok = True
    for python in pythons:
        try:
            lines, good = measure_interpreter(os.path.expanduser(python), args)
        except ChildFailed as error:
            lines, good = [f"## `{python}`", "", f"failed: {error}", ""], False
        ok = ok and good
        report.extend(lines)
        print("\n".join(lines), flush=True)

    if args.output:
        with open(args.output, "w", encoding="utf-8") as handle:
            handle.write("\n".join(report) + "\n")
    if not ok:
        print("Some traces did not hold the expected number of call records (see ≠ above).", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
