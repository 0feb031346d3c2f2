"""Events the hook cannot record: nothing of them reaches the program's
stderr, the program runs as it would untraced, and the user is told once,
by cause and code, how many went missing."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time

import pytest
from nefa_native_support import run_traced

from nefa.traces import read_trace

SECRET = "s3cr3t-token-value"

# Generated code run with globals that have no "__name__": every event of
# `f` fails the qualified-name rule.
GENERATED = f"""
    import os, sys
    source = "def f(token):\\n    return len(token)\\n"
    f_globals = {{}}
    exec(compile(source, os.path.abspath("generated.py"), "exec"), f_globals)

    def work(n):
        return n + 1

    total = sum(f_globals["f"]("{SECRET}") for _ in range(300))
    print(total, work(1))
"""


def env():
    return {**os.environ, "PYTHONFAULTHANDLER": "1"}


def run(tmp_path, program, *command):
    (tmp_path / "prog.py").write_text(textwrap.dedent(program))
    return subprocess.run(
        [sys.executable, *command, "prog.py"], cwd=tmp_path, env=env(), capture_output=True, text=True, timeout=120
    )


def nefa_run(tmp_path, program, engine):
    return run(tmp_path, program, "-m", "nefa", "run", "--engine", engine)


def own_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("nefa: ")]


def test_globals_without_a_name_stay_off_stderr_and_are_summarised(tmp_path, engine):
    plain = run(tmp_path, GENERATED)
    traced = nefa_run(tmp_path, GENERATED, engine)
    assert (traced.returncode, traced.stdout) == (plain.returncode, plain.stdout) == (0, "5400 2\n")
    lines = own_lines(traced.stderr)
    assert traced.stderr == plain.stderr + "".join(line + "\n" for line in lines)
    assert SECRET not in traced.stderr
    assert lines[1:] == [
        "nefa: warning: 301 calls of <module>, f in generated.py were not recorded: their globals have no `__name__`"
    ]
    (trace_id,) = [line.split()[3] for line in lines if line.startswith("nefa: stored trace ")]
    (document,) = read_trace(tmp_path / ".nefa/db.sqlite3", trace_id)
    names = {record["co_name"] for record in document["frames_of_interest"]}
    assert "work" in names and "f" not in names


@pytest.mark.profile_hook
def test_pytest_summary_tells_the_calls_not_recorded(tmp_path):
    (tmp_path / "test_generated.py").write_text(
        textwrap.dedent(f"""
        import os

        def test_generated():
            space = {{}}
            exec(compile("def g(token):\\n    return token\\n", os.path.abspath("generated.py"), "exec"), space)
            assert [space["g"]("{SECRET}") for _ in range(5)]
        """)
    )
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--nefa", "test_generated.py"],
        cwd=tmp_path,
        env=env(),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout
    assert SECRET not in result.stdout + result.stderr
    warning = (
        "nefa: warning: 6 calls of <module>, g in generated.py were not recorded: their globals have no `__name__`"
    )
    assert warning in result.stdout.splitlines()


def test_failures_are_logged_where_logging_is_configured_and_counted_boundedly(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import os
        from harness import start, finish, emit, capture_warnings
        warnings = capture_warnings()
        functions = []
        for i in range(40):
            space = {}
            exec(compile(f"def f{i}(x):\\n    return x\\n", os.path.abspath("generated.py"), "exec"), space)
            functions.append(space[f"f{i}"])
        p = start()
        for function in functions:
            function("hidden")
        functions[0]("hidden")
        finish(p)
        emit([(r.msg, r.args[:3], dict(r.args[3]), repr(r.exc_info[1])) for r in warnings[:2]])
        emit(len(warnings))
        emit(p.rust_profiler.stats())
        """,
    )
    _, first, count, stats = result.outputs
    generated = str(tmp_path / "generated.py")
    # The report is the usual one, locals included, for the handler the program set.
    assert [entry[1:] for entry in first] == [
        ((generated, "f0", "call"), {"x": "hidden"}, "KeyError('__name__')"),
        ((generated, "f0", "return"), {"x": "hidden"}, "KeyError('__name__')"),
    ]
    assert count == 82
    failed = stats["failed_events"]
    assert len(failed) == 32
    assert failed[0] == {"cause": "KeyError: '__name__'", "file": generated, "function": "f0", "count": 4, "calls": 2}
    assert [entry["function"] for entry in failed] == [f"f{i}" for i in range(32)]
    assert stats["failed_events_other"] == 16


LOUD_REPR = """
    class Loud:
        def __repr__(self):
            raise KeyboardInterrupt

    def f(value):
        return 1

    print(sum(f(Loud()) for _ in range(3)), "done")
"""


def test_keyboard_interrupt_raised_by_a_repr_does_not_stop_the_program(tmp_path, engine):
    plain = run(tmp_path, LOUD_REPR)
    traced = nefa_run(tmp_path, LOUD_REPR, engine)
    assert (traced.returncode, traced.stdout) == (plain.returncode, plain.stdout) == (0, "3 done\n")
    assert traced.stderr == plain.stderr + "".join(line + "\n" for line in own_lines(traced.stderr))


SLOW_REPR = """
    import sys

    class Slow:
        def __repr__(self):
            return str(sum(range(20000)))

    def f(value):
        return 1

    print("ready", flush=True)
    while True:
        f(Slow())
"""


def test_a_real_ctrl_c_during_a_repr_stops_the_program_as_untraced(tmp_path, engine):
    (tmp_path / "prog.py").write_text(textwrap.dedent(SLOW_REPR))
    outcomes = []
    for command in ([], ["-m", "nefa", "run", "--engine", engine]):
        process = subprocess.Popen(
            [sys.executable, *command, "prog.py"],
            cwd=tmp_path,
            env=env(),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        assert process.stdout.readline() == "ready\n"
        time.sleep(0.3)  # well inside the loop, nearly all of it in the hook's reprs
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
        outcomes.append((process.returncode, stderr.splitlines()[-1] if command == [] else stderr))
    (plain_status, plain_last), (traced_status, traced_stderr) = outcomes
    assert plain_status == traced_status == -signal.SIGINT
    assert plain_last == "KeyboardInterrupt"
    assert plain_last in traced_stderr.splitlines()


@pytest.mark.profile_hook
@pytest.mark.parametrize("define", ["Py_GIL_DISABLED", "NEFA_PRETEND_NEWER"])
def test_the_build_stops_on_an_interpreter_it_does_not_know(tmp_path, define):
    compiler = next((c for c in ("c++", "g++", "clang++") if shutil.which(c)), None)
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "probe.cpp"
    root = os.path.join(os.path.dirname(__file__), "..", "..", "native")
    pretend = "#undef PY_VERSION_HEX\n#define PY_VERSION_HEX 0x030E00F0\n" if define == "NEFA_PRETEND_NEWER" else ""
    source.write_text(f'#include <Python.h>\n{pretend}#include "common/compat.hpp"\n')
    flags = ["-DPy_GIL_DISABLED"] if define == "Py_GIL_DISABLED" else []
    result = subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", *flags, "-I", sysconfig.get_path("include"), "-I", root, str(source)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode != 0
    assert "nefa supports CPython 3.11, 3.12 and 3.13 only" in result.stderr
