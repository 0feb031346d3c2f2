"""How `nefa run` and `pytest --nefa` end: checked database, kept exit
status and signals, and no trace lost without a word."""

import importlib
import os
import re
import signal
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from nefa import db
from nefa.traces import read_trace

try:
    importlib.import_module("nefa._nefa")
except ImportError:
    pytestmark = pytest.mark.skip(reason="the native module nefa._nefa is not built")

STORED = re.compile(r"nefa: stored trace (trc_[0-9A-Z]{26}) in ")

PROGRAM = """
    import atexit, os, signal, sys, time

    def work(n):
        return n * 2

    work(21)
    open("ran", "w").close()
    how = sys.argv[1]
    if how == "interrupt":
        atexit.register(print, "exit handler ran")
        raise KeyboardInterrupt
    if how == "os-exit":
        os._exit(3)
    if how == "terminate":
        print("waiting", flush=True)
        time.sleep(600)
    if how == "own-handler":
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(9))
        print("waiting", flush=True)
        time.sleep(600)
    if how == "lock":
        # Holds the database until the process ends: the store must fail.
        import builtins, sqlite3
        builtins.blocker = sqlite3.connect(".nefa/db.sqlite3", isolation_level=None)
        builtins.blocker.execute("BEGIN EXCLUSIVE")
    if how == "exit":
        sys.exit(int(sys.argv[2]))
"""


@pytest.fixture
def workdir(tmp_path):
    (tmp_path / "prog.py").write_text(textwrap.dedent(PROGRAM))
    return tmp_path


def env():
    return {**os.environ, "PYTHONFAULTHANDLER": "1"}


def nefa(workdir, *args):
    return subprocess.run(
        [sys.executable, "-m", "nefa", *args], cwd=workdir, env=env(), capture_output=True, text=True, timeout=120
    )


def stored_work_calls(workdir, stderr, db_name=".nefa/db.sqlite3"):
    (trace_id,) = STORED.findall(stderr)
    (document,) = read_trace(workdir / db_name, trace_id)
    return [r for r in document["frames_of_interest"] if r["co_name"] == "work" and r["event"] == "call"]


@pytest.mark.parametrize(
    "make_db, cause",
    [
        (lambda p: p.mkdir(parents=True), "it is a directory"),
        (lambda p: p.write_text("not a database\n"), "it is a text file, not an SQLite database"),
        (lambda p: p.write_bytes(b"SQLite format 3\x00" + b"\x10\x00"), "it is truncated (18 bytes"),
    ],
    ids=["directory", "text", "truncated"],
)
def test_run_refuses_an_unusable_database_before_the_program_runs(workdir, make_db, cause):
    path = workdir / "bad.db"
    make_db(path)
    result = nefa(workdir, "run", "--db", "bad.db", "prog.py", "exit", "0")
    assert result.returncode == 3
    (line,) = result.stderr.splitlines()
    assert line.startswith(f"nefa: error: cannot use {path} as a trace database: {cause}")
    assert not (workdir / "ran").exists()


def test_pytest_refuses_an_unusable_database_at_session_start(tmp_path):
    (tmp_path / "test_sample.py").write_text("def test_one():\n    open('ran', 'w').close()\n")
    (tmp_path / "foreign.db").write_bytes(b"")
    with sqlite3.connect(tmp_path / "foreign.db") as conn:
        conn.execute("CREATE TABLE customers (name)")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-p",
            "no:cacheprovider",
            "--nefa",
            "--nefa-db",
            "foreign.db",
            "test_sample.py",
        ],
        cwd=tmp_path,
        env=env(),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 4  # pytest's own status for a usage error
    assert (
        f"nefa: cannot use {tmp_path / 'foreign.db'} as a trace database: it is another program's database "
        "(it has tables customers)"
    ) in result.stderr
    assert not (tmp_path / "ran").exists()
    with sqlite3.connect(tmp_path / "foreign.db") as conn:
        assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "delete"
        assert {r[0] for r in conn.execute("SELECT name FROM sqlite_master")} == {"customers"}


def test_pytest_says_where_a_trace_that_could_not_be_stored_went(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.nefa]\nsqlite_busy_timeout = 0\n")
    (tmp_path / "test_sample.py").write_text(
        textwrap.dedent("""
        import sqlite3

        held = []

        def test_holds_the_database():
            held.append(sqlite3.connect(".nefa/db.sqlite3", isolation_level=None))
            held[0].execute("BEGIN EXCLUSIVE")  # still held when this test's trace is stored

        def test_lets_go():
            held.pop().close()
    """)
    )
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--nefa", "test_sample.py"],
        cwd=tmp_path,
        env=env(),
        capture_output=True,
        text=True,
        timeout=120,
    )
    kept = re.findall(
        r"nefa: error: could not store trace (trc_\w+) in \S+: database is locked; it was written to "
        r"(\S+) \(store it later",
        result.stdout,
    )
    assert len(kept) == 1, result.stdout
    trace_id, path = kept[0]
    assert path == str(tmp_path / ".nefa" / f"unsaved-{trace_id}.msgpack")
    assert db.import_document(tmp_path / ".nefa" / "db.sqlite3", open(path, "rb").read()) == (trace_id, True)
    listed = db.list_traces(tmp_path / ".nefa" / "db.sqlite3")
    assert len(listed) == 2 and trace_id in {t.id for t in listed}


def test_forked_child_ending_with_os_exit_does_not_store_the_parents_trace(workdir):
    (workdir / "forks.py").write_text(
        textwrap.dedent("""
        import os

        def child_work():
            return 1

        pid = os.fork()
        if pid == 0:
            child_work()
            os._exit(5)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """)
    )
    result = nefa(workdir, "run", "forks.py")
    assert result.returncode == 0 and result.stdout == "5\n", result.stderr
    assert len(STORED.findall(result.stderr)) == 1  # the parent's, once


def test_failed_store_keeps_status_and_the_trace_can_be_imported(workdir):
    (workdir / "pyproject.toml").write_text("[tool.nefa]\nsqlite_busy_timeout = 0\n")
    result = nefa(workdir, "run", "prog.py", "lock")
    assert result.returncode == 0, result.stderr  # the program's own status
    (line,) = result.stderr.splitlines()
    kept = re.fullmatch(
        r"nefa: error: could not store trace (trc_\w+) in .*: database is locked; it was written "
        r"to (\S+) \(store it later with `nefa import \2`\)",
        line,
    )
    assert kept, line
    trace_id, path = kept.groups()
    assert os.path.dirname(path) == str(workdir / ".nefa")

    result = nefa(workdir, "import", path)
    assert result.returncode == 0, result.stderr
    (document,) = read_trace(workdir / ".nefa" / "db.sqlite3", trace_id)
    assert [
        r["locals"]["n"] for r in document["frames_of_interest"] if r["co_name"] == "work" and r["event"] == "call"
    ] == [21]


def test_uncaught_keyboard_interrupt_dies_by_sigint_after_storing(workdir):
    plain = subprocess.run([sys.executable, "prog.py", "interrupt"], cwd=workdir, capture_output=True, text=True)
    result = nefa(workdir, "run", "prog.py", "interrupt")
    assert result.returncode == plain.returncode == -signal.SIGINT
    assert result.stdout == plain.stdout == "exit handler ran\n"
    # The same traceback (nefa shows the path as given), then nefa's line.
    assert result.stderr.splitlines()[-3:-1] == plain.stderr.splitlines()[-2:]
    assert stored_work_calls(workdir, result.stderr)


def test_os_exit_stores_then_exits_with_its_status(workdir):
    result = nefa(workdir, "run", "prog.py", "os-exit")
    assert result.returncode == 3
    assert stored_work_calls(workdir, result.stderr)


def _terminated(workdir, how):
    process = subprocess.Popen(
        [sys.executable, "-m", "nefa", "run", "prog.py", how],
        cwd=workdir,
        env=env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout.readline() == "waiting\n"
        process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=120)
    finally:
        process.kill()
        process.wait()
    return process.returncode, stderr


def test_sigterm_stores_then_dies_by_sigterm(workdir):
    status, stderr = _terminated(workdir, "terminate")
    assert status == -signal.SIGTERM
    assert stored_work_calls(workdir, stderr)


def test_programs_own_sigterm_handler_is_kept(workdir):
    status, stderr = _terminated(workdir, "own-handler")
    assert status == 9
    assert stored_work_calls(workdir, stderr)


def test_unusable_configuration_is_one_line(workdir):
    (workdir / "pyproject.toml").write_bytes(b'[tool.nefa]\ndb = "caf\xe9.db"\n')  # Latin-1, not UTF-8
    result = nefa(workdir, "run", "prog.py", "exit", "0")
    assert result.returncode == 2
    assert result.stderr == f"nefa: error: {workdir / 'pyproject.toml'}: not UTF-8 text (byte 21 cannot be decoded)\n"
    assert not (workdir / "ran").exists()


# The save made slow where it holds its transaction, until "go" appears.
SLOW_SAVE = """
    import os, sys, time
    from nefa import cli
    from nefa.store import saving

    index_part = saving.index_part

    def slow(*args, **kwargs):
        print("saving", flush=True)
        while not os.path.exists("go"):
            time.sleep(0.01)
        return index_part(*args, **kwargs)

    saving.index_part = slow
    sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("presses", [1, 2])
def test_ctrl_c_while_saving_keeps_the_trace_and_the_status(workdir, presses):
    (workdir / "slow_save.py").write_text(textwrap.dedent(SLOW_SAVE))
    child = subprocess.Popen(
        [sys.executable, "slow_save.py", "run", "prog.py", "exit", "0"],
        cwd=workdir,
        env=env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline() == "saving\n"
    child.send_signal(signal.SIGINT)
    assert child.stderr.readline().startswith("nefa: saving the trace... (Ctrl-C again")
    if presses == 2:
        child.send_signal(signal.SIGINT)  # the save never goes on by itself
    else:
        (workdir / "go").touch()
    stderr = child.communicate(timeout=60)[1]
    assert child.returncode == 0, stderr
    (line,) = stderr.splitlines()
    if presses == 1:
        assert STORED.match(line)
    else:
        (path,) = re.findall(r"the save was abandoned \(Ctrl-C\); it was written to (\S+) ", line)
        assert db.summarize_document(open(path, "rb").read()).record_count > 0
        assert db.list_traces(workdir / ".nefa" / "db.sqlite3") == []


@pytest.mark.parametrize(
    "how, summary",
    [("sys.stderr.close()", 0), ("sys.stderr = None", 1), ("os.close(2)", 0)],
    ids=["closed", "none", "fd-closed"],
)
def test_program_dropping_its_stderr_keeps_its_status(workdir, how, summary):
    (workdir / "drop.py").write_text(f"import os, sys\n{how}\n")
    result = nefa(workdir, "run", "drop.py")
    assert result.returncode == 0 and result.stdout == "", result.stderr
    # Stored all the same; the summary went to the original stderr or nowhere.
    assert len(db.list_traces(workdir / ".nefa" / "db.sqlite3")) == 1
    assert len(result.stderr.splitlines()) == summary == len(STORED.findall(result.stderr))


def test_file_size_limit_during_the_save_reports_the_real_cause(workdir):
    (workdir / "limited.py").write_text(
        textwrap.dedent("""
        import resource, signal, sys
        from nefa import cli, db
        db.prepare_database(".nefa/db.sqlite3")
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        sys.exit(cli.main(sys.argv[1:]))
    """)
    )
    (workdir / "big.py").write_text(
        "def work(n, text):\n    return n\n\nfor i in range(30000):\n    work(i, 'x' * 200)\n"
    )
    result = subprocess.run(
        [sys.executable, "limited.py", "run", "big.py"], cwd=workdir, env=env(), capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    (line,) = result.stderr.splitlines()
    assert re.match(
        r"nefa: error: could not store trace trc_\w+ in \S+: (disk I/O error|database or disk is full);", line
    )


def test_non_utf8_command_line_is_stored_losslessly(workdir):
    script = os.fsdecode(b"prog\xff.py")
    (workdir / script).write_text(textwrap.dedent(PROGRAM))
    result = nefa(workdir, "run", script, "exit", "0", os.fsdecode(b"\xfe"))
    assert result.returncode == 0 and len(STORED.findall(result.stderr)) == 1, result.stderr
    (trace,) = db.list_traces(workdir / ".nefa" / "db.sqlite3")
    assert [os.fsencode(arg) for arg in trace.command_line] == [b"prog\xff.py", b"exit", b"0", b"\xfe"]
    (document,) = read_trace(workdir / ".nefa" / "db.sqlite3", trace.id)
    assert document["command_line_args"] == [b"prog\xff.py", "exit", "0", b"\xfe"]  # the bytes, as bin
    listed = nefa(workdir, "traces")
    assert listed.returncode == 0 and "'prog\\udcff.py' exit 0 '\\udcfe'" in listed.stdout


def test_run_refuses_a_damaged_database_before_the_program_runs(workdir):
    assert nefa(workdir, "run", "prog.py", "exit", "0").returncode == 0
    path = workdir / ".nefa" / "db.sqlite3"
    with sqlite3.connect(path) as conn:
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        page_size = conn.execute("PRAGMA page_size").fetchone()[0]
        (root,) = conn.execute("SELECT rootpage FROM sqlite_master WHERE name = 'traces'").fetchone()
    conn.close()
    with open(path, "r+b") as file:
        file.seek((root - 1) * page_size + 8)
        file.write(b"\xff" * (page_size - 8))
    (workdir / "ran").unlink()
    result = nefa(workdir, "run", "prog.py", "exit", "0")
    assert result.returncode == 3 and not (workdir / "ran").exists()
    (line,) = result.stderr.splitlines()
    assert line.startswith("nefa: error: ") and "damaged" in line
