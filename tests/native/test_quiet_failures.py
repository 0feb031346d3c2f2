"""What the hook does when it can neither record an event nor say why.

Near the recursion limit, or when the logging call itself fails, nothing may
reach the program's stderr: such events are dropped, counted by cause, and
told in one warning on the "nefa" logger when the trace is read out.
"""

from __future__ import annotations

import pytest
from nefa_native_support import decode, events, frame_records, run_traced

# json's own test_recursion does both: plain deep recursion, and C code (the
# json encoder) calling back into Python until the limit.
RECURSION_PROGRAM = """
import json
import nefa.serialize
from harness import start, finish, emit, capture_warnings
{setup}

class Endless:
    pass

def default(value):
    return [Endless()]

def deep(n):
    return deep(n + 1)

def nested(depth):
    yield from nested(depth + 1)

def program():
    outcome = []
    for attempt in (lambda: deep(0), lambda: json.dumps(Endless(), default=default),
                    lambda: list(nested(0))):
        try:
            attempt()
            outcome.append("finished")
        except RecursionError as error:
            outcome.append(("RecursionError", error.__context__ is None))
    return outcome

untraced = program()
p = start()
traced = program()
warnings = capture_warnings()
finish(p)
emit(untraced)
emit(traced)
emit([r.getMessage() for r in warnings])
"""


def test_recursion_limit_prints_nothing_and_changes_nothing(tmp_path):
    result = run_traced(tmp_path, RECURSION_PROGRAM.format(setup=""))
    document, untraced, traced, messages = result.outputs
    assert traced == untraced == [("RecursionError", True)] * 3
    assert len(messages) <= 1
    assert all(m.startswith("nefa dropped ") for m in messages)
    assert frame_records(decode(document)["frames_of_interest"], "deep")


def test_recursion_limit_drops_are_counted(tmp_path):
    # A serialiser written in Python runs out of stack where the program
    # does: those events are dropped and counted under their cause.
    setup = "real = nefa.serialize.dump_msgpack\nnefa.serialize.dump_msgpack = lambda value: real(value)"
    result = run_traced(tmp_path, RECURSION_PROGRAM.format(setup=setup))
    document, untraced, traced, messages = result.outputs
    assert traced == untraced
    assert len(messages) == 1
    assert messages[0].startswith("nefa dropped ")
    assert "at the recursion limit" in messages[0]


SYSTEM_EXIT_PROGRAM = """
import nefa.serialize
from harness import start, finish, emit, capture_warnings
{setup}

class Stubborn:
    def __repr__(self):
        raise SystemExit(3)

def work():
    value = Stubborn()
    return 5

p = start()
outcome = [work(), work()]
warnings = capture_warnings()
finish(p)
emit(outcome)
emit([r.getMessage() for r in warnings])
emit(p.rust_profiler.stats()["failed_events"])
"""


def test_repr_raising_system_exit_prints_nothing(tmp_path):
    result = run_traced(tmp_path, SYSTEM_EXIT_PROGRAM.format(setup=""))
    document, outcome, messages, _ = result.outputs
    assert outcome == [5, 5]
    assert len(messages) <= 1


def test_system_exit_in_the_serialiser_is_counted(tmp_path):
    # No handler hears about it during the run: the failure is only counted,
    # by cause and code, and the locals (whose repr raises) are not formatted.
    setup = (
        "real = nefa.serialize.dump_msgpack\nnefa.serialize.dump_msgpack = lambda value: (repr(value), real(value))[1]"
    )
    result = run_traced(tmp_path, SYSTEM_EXIT_PROGRAM.format(setup=setup))
    document, outcome, messages, failed = result.outputs
    assert outcome == [5, 5]
    assert messages == []
    # Each return event fails on the locals (the call events have none yet).
    assert failed == [
        {"cause": "SystemExit", "file": str(tmp_path / "main.py"), "function": "work", "count": 2, "calls": 0}
    ]
    assert events(decode(document)["frames_of_interest"]) == [("work", "call"), ("work", "call")]


@pytest.mark.parametrize("module", ["nefa.version", "nefa.git"])
def test_blocked_module_when_building_a_trace_raises_import_error(tmp_path, module):
    result = run_traced(
        tmp_path,
        f"""
        import sys
        import nefa.db, nefa.git, nefa.version
        from harness import start, stop, emit
        def work():
            return 1
        p = start()
        work()
        stop()
        saved = sys.modules["{module}"]
        sys.modules["{module}"] = None
        for method in (p.rust_profiler.build_trace, p.rust_profiler.save_request_in_db):
            try:
                method()
                emit(None)
            except ImportError as error:
                emit((type(error).__name__, str(error), error.name))
        sys.modules["{module}"] = saved
        emit(p.rust_profiler.build_trace())
        """,
    )
    build, save, document = result.outputs
    expected = ("ModuleNotFoundError", f"import of {module} halted; None in sys.modules", module)
    assert build == save == expected
    # A trace that could not be built keeps its records for the next one.
    assert events(decode(document)["frames_of_interest"]) == [("work", "call"), ("work", "return")]


def test_blocked_database_module_raises_import_error(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import sys
        import nefa.db
        from harness import start, stop, emit
        p = start()
        stop()
        sys.modules["nefa.db"] = None
        try:
            p.rust_profiler.save_request_in_db()
        except ImportError as error:
            emit((type(error).__name__, error.name))
        """,
    )
    assert result.outputs == [("ModuleNotFoundError", "nefa.db")]


def test_blocked_serialiser_module_fails_the_event_with_import_error(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import sys
        import nefa.serialize
        from harness import start, finish, emit, capture_warnings
        def work():
            return 1
        warnings = capture_warnings()
        p = start()
        sys.modules["nefa.serialize"] = None
        work()
        sys.modules["nefa.serialize"] = nefa.serialize
        work()
        finish(p)
        emit([(type(r.exc_info[1]).__name__, r.exc_info[1].name) for r in warnings])
        """,
    )
    document, warned = result.outputs
    assert warned == [("ModuleNotFoundError", "nefa.serialize")] * 2
    assert events(decode(document)["frames_of_interest"]) == [("work", "call"), ("work", "return")]


def test_blocked_native_encoder_falls_back_to_the_same_bytes(tmp_path):
    # Without the encoder's C interface the hook calls the serialiser as
    # Python code; the records' values must not change.
    program = """
        import sys
        import nefa.serialize
        {setup}
        from harness import start, finish, emit
        def work(a, b=(1, 2), *rest):
            names = {{"x": [1.5, None, "s" * 40], 3: {{1, 2}}}}
            return names
        p = start()
        work(1, 2, 3)
        finish(p)
        """
    (tmp_path / "plain").mkdir()
    (tmp_path / "blocked").mkdir()
    plain = run_traced(tmp_path / "plain", program.format(setup=""))
    blocked = run_traced(tmp_path / "blocked", program.format(setup='sys.modules["nefa._native"] = None'))

    def values(result):
        return [
            (r["event"], r["arg"], r["locals"]) for r in frame_records(result.document["frames_of_interest"], "work")
        ]

    assert values(plain) == values(blocked)
    assert len(values(plain)) == 2
