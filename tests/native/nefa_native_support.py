"""Running traced programs in a child interpreter, and reading what they made.

A profile hook is process-wide state that outlives a test, and a broken
native module can take the interpreter down: every traced program runs in
its own subprocess.  The child script imports ``harness`` (written next to
it, under a ``site-packages`` directory so that the profiler's own library
filter keeps the harness out of the records) and reports back through
``emit()``: pickled values on marked stdout lines.
"""

from __future__ import annotations

import base64
import os
import pickle
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import msgpack

OUT_MARK = "NEFA-OUT:"

HARNESS = '''
import base64
import logging
import os
import pickle
import sys

from nefa import _nefa

# The event source the test runs under (tests/native/conftest.py).
ENGINE = os.environ.get("NEFA_TEST_ENGINE", "profile")


class Profiler:
    """Just what register_profiler reads from the host's profiler object."""

    def __init__(self, config=None, *, db_path="traces.db", one_trace_per_test=False,
                 trace_id="trc_01TESTTRACE0000000000000000", source="native-tests"):
        self.config = {} if config is None else config
        if isinstance(self.config, dict) and ENGINE != "profile":
            self.config.setdefault("engine", ENGINE)
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, *args, **kwargs):
        return None


def emit(value):
    sys.stdout.write("NEFA-OUT:" + base64.b64encode(pickle.dumps(value)).decode() + "\\n")
    sys.stdout.flush()


def start(config=None, **attributes):
    profiler = Profiler(config, **attributes)
    _nefa.register_profiler(profiler)
    return profiler


def stop():
    _nefa.register_noop_profiler()


def finish(profiler):
    """Stop recording on this thread and emit the trace document."""
    stop()
    emit(profiler.rust_profiler.build_trace())


def error_text(error):
    return (type(error).__name__, str(error))


class Warnings(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def capture_warnings():
    handler = Warnings()
    logger = logging.getLogger("nefa")
    logger.addHandler(handler)
    logger.propagate = False
    return handler.records
'''


class ChildResult:
    def __init__(self, outputs, stdout, stderr):
        self.outputs = outputs
        self.stdout = stdout
        self.stderr = stderr

    @property
    def document(self):
        """The only emitted value, decoded as a trace document."""
        assert len(self.outputs) == 1, self.outputs
        return decode(self.outputs[0])


def run_traced(tmp_path: Path, body: str, *, files: dict[str, str] | None = None, allow_stderr=False) -> ChildResult:
    """Run ``body`` as the script ``main.py`` in ``tmp_path`` (also its cwd).

    The child must exit 0; unless ``allow_stderr``, it must also write
    nothing to stderr (unraisable errors and internal errors land there).
    """
    libs = tmp_path / "site-packages"
    libs.mkdir(exist_ok=True)
    (libs / "harness.py").write_text(HARNESS)
    for name, text in (files or {}).items():
        target = tmp_path / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(text))
    (tmp_path / "main.py").write_text(textwrap.dedent(body))
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env.update(PYTHONFAULTHANDLER="1", PYTHONPATH=str(libs), PYTHONIOENCODING="utf-8")
    proc = subprocess.run(
        [sys.executable, "main.py"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, f"child exited {proc.returncode}\n--- stderr ---\n{proc.stderr}"
    if not allow_stderr:
        assert proc.stderr == "", f"child wrote to stderr:\n{proc.stderr}"
    outputs = [
        pickle.loads(base64.b64decode(line[len(OUT_MARK) :]))
        for line in proc.stdout.splitlines()
        if line.startswith(OUT_MARK)
    ]
    return ChildResult(outputs, proc.stdout, proc.stderr)


def decode(document: bytes):
    return msgpack.unpackb(document, raw=False, strict_map_key=False)


def frame_records(records, co_name=None):
    """The default frame records, optionally only those of one function."""
    return [r for r in records if r["type"] == "frame" and (co_name is None or r["co_name"] == co_name)]


def events(records):
    """(co_name, event) of each frame record, in order: the shape of a trace."""
    return [(r["co_name"], r["event"]) for r in frame_records(records)]


ULID = re.compile(r"[0-9A-HJKMNP-TV-Z]{26}")


def is_id(value, prefix):
    return isinstance(value, str) and value.startswith(prefix) and ULID.fullmatch(value[len(prefix) :]) is not None
