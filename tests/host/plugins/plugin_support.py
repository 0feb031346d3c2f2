"""Running programs that record with nefa in a child interpreter, and
reading back the traces they stored.

A profile hook is process-wide state: every program that records runs in
a subprocess of its own.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

from nefa import db
from nefa.traces import read_trace


def child_env() -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PYTEST"))}
    env.update(PYTHONFAULTHANDLER="1", PYTHONIOENCODING="utf-8")
    return env


def run_python(tmp_path: Path, args: list[str], *, check=True, timeout=120) -> subprocess.CompletedProcess:
    proc = subprocess.run(
        [sys.executable, *args], cwd=tmp_path, env=child_env(), capture_output=True, text=True, timeout=timeout
    )
    if check:
        assert proc.returncode == 0, (
            f"child exited {proc.returncode}\n--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return proc


def run_script(tmp_path: Path, body: str, **kwargs) -> subprocess.CompletedProcess:
    (tmp_path / "main.py").write_text(textwrap.dedent(body))
    return run_python(tmp_path, ["main.py"], **kwargs)


def stored(db_path) -> list[tuple[db.TraceSummary, list[dict]]]:
    """Every stored trace, oldest first, with the records of its single part
    (the main thread's)."""
    traces = []
    for summary in reversed(db.list_traces(db_path)):
        parts = read_trace(db_path, summary.id)
        assert len(parts) == 1, f"{summary.id} has {len(parts)} parts"
        traces.append((summary, parts[0]["frames_of_interest"]))
    return traces


def of_type(records, *types):
    return [r for r in records if r["type"] in types]


def frame_names(records):
    """The names of the recorded user functions, in call order."""
    return [r["co_name"] for r in records if r["type"] == "frame" and r["event"] == "call"]
