"""Broken host functions: the traced program runs on, and nothing crashes."""

import pytest
from nefa_native_support import decode, events, run_traced

REPORT = "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n"

POISONED_PROGRAM = """
import nefa.serialize
from harness import start, finish, emit, capture_warnings
real = nefa.serialize.dump_msgpack
def dump(value):
    if value == "poison":
        {bad}
    return real(value)
nefa.serialize.dump_msgpack = dump
warnings = capture_warnings()
def poisoned():
    return "poison"
def fine():
    return 1
def caller():
    poisoned()
    return fine()
p = start()
outcome = caller()
fine()
finish(p)
emit(outcome)
# From 3.13 on, f_locals is a proxy of the frame: compare its contents.
emit([(r.levelname, r.msg, r.args[:3], dict(r.args[3]), type(r.exc_info[1]).__name__, str(r.exc_info[1]))
      for r in warnings])
"""


@pytest.mark.parametrize(
    "bad, error_type, message",
    [
        ("return 'not bytes'", "TypeError", "Can't extract `str` to `Vec`"),
        ("return [1, 256]", "OverflowError", "out of range integral type conversion attempted"),
        ("return [-1]", "OverflowError", "out of range integral type conversion attempted"),
        ("return None", "TypeError", "'NoneType' object cannot be converted to 'Sequence'"),
        ("return [0x90, 'x']", "TypeError", "'str' object cannot be converted to 'PyInt'"),
        ("raise ValueError('cannot encode')", "ValueError", "cannot encode"),
        # Raised by the code we called, not by a Ctrl-C: a failure like the others.
        ("raise KeyboardInterrupt", "KeyboardInterrupt", ""),
    ],
)
def test_failing_serialiser_drops_the_event_and_warns(tmp_path, bad, error_type, message):
    result = run_traced(tmp_path, POISONED_PROGRAM.format(bad=bad))
    document, outcome, warnings = result.outputs
    assert outcome == 1
    assert warnings == [("WARNING", REPORT, (str(tmp_path / "main.py"), "poisoned", "return"), {}, error_type, message)]
    # poisoned's return is the one event without a record.
    assert events(decode(document)["frames_of_interest"]) == [
        ("caller", "call"),
        ("poisoned", "call"),
        ("fine", "call"),
        ("fine", "return"),
        ("caller", "return"),
        ("fine", "call"),
        ("fine", "return"),
    ]


def test_failed_event_does_not_shift_later_call_sites(tmp_path):
    # A frame that passed the filters stays on the stack from call to return
    # even when its record fails, so later call sites stay right.
    result = run_traced(tmp_path, POISONED_PROGRAM.format(bad="return 'not bytes'"))
    records = decode(result.outputs[0])["frames_of_interest"]
    caller_id = records[0]["frame_id"]
    sites = [(r["co_name"], r["event"], r["user_code_call_site"]) for r in records]
    assert sites[2:] == [
        ("fine", "call", {"call_frame_id": caller_id, "line_number": 17}),
        ("fine", "return", {"call_frame_id": caller_id, "line_number": 17}),
        ("caller", "return", None),
        ("fine", "call", None),
        ("fine", "return", None),
    ]


def test_failed_event_during_unwinding_keeps_the_programs_exception(tmp_path):
    result = run_traced(
        tmp_path,
        """
        import nefa.serialize
        from harness import start, finish, emit, capture_warnings
        real = nefa.serialize.dump_msgpack
        def dump(value):
            if isinstance(value, dict) and value.get("secret") == "poison":
                raise RuntimeError("locals refused")
            return real(value)
        nefa.serialize.dump_msgpack = dump
        warnings = capture_warnings()
        def explode():
            secret = "poison"
            raise LookupError("from the program")
        p = start()
        try:
            explode()
        except LookupError as error:
            caught = (type(error).__name__, str(error), error.__context__)
        finish(p)
        emit(caught)
        emit([str(r.exc_info[1]) for r in warnings])
        """,
    )
    _, caught, warnings = result.outputs
    assert caught == ("LookupError", "from the program", None)
    assert warnings == ["locals refused"]


def test_broken_logging_is_counted_not_printed(tmp_path):
    # When the failure cannot be logged, the program's stderr stays clean and
    # the event is counted; the count is told once the trace is read out.
    result = run_traced(
        tmp_path,
        """
        import logging
        import nefa.serialize
        from harness import start, finish, emit, capture_warnings
        nefa.serialize.dump_msgpack = lambda value: "not bytes"
        def refuse(name=None):
            raise RuntimeError("no loggers here")
        def work():
            return 7
        warnings = capture_warnings()
        p = start()
        get_logger = logging.getLogger
        logging.getLogger = refuse
        value = work()
        work()
        logging.getLogger = get_logger
        finish(p)
        emit(value)
        emit([r.getMessage() for r in warnings])
        emit(p.rust_profiler.build_trace() is not None)
        emit(len(warnings))
        """,
    )
    document, value, messages, _, count_after = result.outputs
    assert value == 7
    assert decode(document)["frames_of_interest"] == []
    # Two events of each call: four failures that could not be reported.
    assert messages == ["nefa dropped 4 events it could not record: 4 whose failure could not be logged"]
    assert count_after == 1


@pytest.mark.parametrize(
    "breakage, error_name",
    [
        ("nefa.git.COMMIT_SHA = 3", "TypeError"),
        ("nefa.version.__version__ = None", "TypeError"),
        ("nefa.db.save_trace_in_sqlite = None", "TypeError"),
        ("del nefa.db.save_trace_in_sqlite", "AttributeError"),
        ("nefa.db.save_trace_in_sqlite = lambda *a, **k: 1 / 0", "ZeroDivisionError"),
    ],
)
def test_broken_storage_raises_and_loses_nothing(tmp_path, breakage, error_name):
    result = run_traced(
        tmp_path,
        f"""
        import sys
        import nefa.db
        import nefa.git
        import nefa.version
        from harness import start, stop, emit
        def work():
            return 1
        p = start()
        work()
        stop()
        saved = (sys.modules["nefa.db"], nefa.db.__dict__.copy(), nefa.git.COMMIT_SHA, nefa.version.__version__)
        {breakage}
        try:
            p.rust_profiler.save_request_in_db()
        except Exception as error:
            emit(type(error).__name__)
        sys.modules["nefa.db"], _, nefa.git.COMMIT_SHA, nefa.version.__version__ = saved
        nefa.db.__dict__.update(saved[1])
        emit(p.rust_profiler.build_trace())
        """,
    )
    raised, document = result.outputs
    assert raised == error_name
    assert events(decode(document)["frames_of_interest"]) == [("work", "call"), ("work", "return")]


def test_ctrl_c_caught_in_the_hook_reaches_the_program(tmp_path):
    # A SIGINT arriving while the hook runs Python code is not a recording
    # failure: it is delivered to the program again, not logged.
    result = run_traced(
        tmp_path,
        POISONED_PROGRAM.format(bad="__import__('signal').raise_signal(2)").replace(
            "outcome = caller()",
            "try:\n    caller()\n    for _ in range(10000): pass\n    outcome = 'missed'\n"
            "except KeyboardInterrupt:\n    outcome = 'interrupted'",
        ),
    )
    document, outcome, warnings = result.outputs
    assert outcome == "interrupted"
    assert warnings == []
