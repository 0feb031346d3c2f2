"""``nefa run`` and the Python API against the real native module."""

import importlib
import os
import re
import subprocess
import sys
import textwrap

import pytest

from nefa import db
from nefa.traces import read_trace
from nefa.traces.forms import Cut, More, Tuple, Unprintable

try:
    importlib.import_module("nefa._nefa")
except ImportError:
    pytestmark = pytest.mark.skip(reason="the native module nefa._nefa is not built")

DOCUMENT_KEYS = (
    "command_line_args current_commit_sha frames frames_of_interest main_thread_id meta timestamp trace_id"
).split()
RECORD_KEYS = (
    "path co_name qualname event frame_id arg locals thread thread_native_id timestamp type user_code_call_site"
).split()
SUMMARY = re.compile(r"nefa: stored trace (trc_[0-9A-Z]{26}) in (\S+) \((\d+) records?, (\d+) threads?, [\d.]+ m?s\)")

SHOP = """
    import sys
    import threading

    from inventory import Stock

    def restock(stock, name):
        stock.add(name, 5)

    def main():
        stock = Stock()
        worker = threading.Thread(target=restock, args=(stock, "tea"), name="restocker")
        worker.start()
        worker.join()
        total = stock.add("coffee", 2)
        print("args", sys.argv[1:], "total", total)
        return total

    if __name__ == "__main__":
        main()
        if "--crash" in sys.argv:
            raise RuntimeError("till is empty")
        if "--exit" in sys.argv:
            sys.exit(int(sys.argv[-1]))
"""

INVENTORY = """
    class Stock:
        def __init__(self):
            self.items = {}

        def add(self, name, count):
            self.items[name] = self.items.get(name, 0) + count
            return sum(self.items.values())
"""


@pytest.fixture
def workdir(tmp_path):
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "main.py").write_text(textwrap.dedent(SHOP))
    (tmp_path / "shop" / "inventory.py").write_text(textwrap.dedent(INVENTORY))
    return tmp_path


def nefa(workdir, *args, console_script=False):
    command = [sys.executable, "-m", "nefa"]
    if console_script:
        # Its sys.path[0] is the scripts folder, not the current directory.
        command = [os.path.join(os.path.dirname(sys.executable), "nefa")]
        if not os.path.exists(command[0]):
            pytest.skip("the nefa console script is not installed beside this interpreter")
    env = {**os.environ, "PYTHONFAULTHANDLER": "1"}
    return subprocess.run([*command, *args], cwd=workdir, env=env, capture_output=True, text=True, timeout=120)


def stored(workdir, result, db_name=".nefa/db.sqlite3"):
    """The single document the run stored, checked against its summary line."""
    match = SUMMARY.search(result.stderr)
    assert match, result.stderr
    trace_id, where, records, threads = match.groups()
    assert where == db_name
    (document,) = read_trace(workdir / db_name, trace_id)
    summary = db.get_trace(workdir / db_name, trace_id)
    assert (summary.record_count, summary.thread_count) == (int(records), int(threads))
    assert list(document) == DOCUMENT_KEYS
    assert document["trace_id"] == trace_id
    return document, summary


def all_records(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return records


def calls_of(document, name):
    return [r for r in all_records(document) if r["co_name"] == name and r["event"] == "call"]


def test_run_records_program_and_worker_thread(workdir):
    result = nefa(workdir, "run", "shop/main.py", "--color", "blue")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "args ['--color', 'blue'] total 7\n"
    document, summary = stored(workdir, result)

    assert document["command_line_args"] == ["shop/main.py", "--color", "blue"]
    assert document["meta"]["source"] == "cli" and document["meta"]["use_frame_boundaries"] is True
    assert summary.thread_count == 2

    main_records = document["frames_of_interest"]
    assert all(r["thread_native_id"] == document["main_thread_id"] for r in main_records)
    assert all(list(r) == RECORD_KEYS for r in all_records(document) if r["type"] == "frame")
    (worker_records,) = document["frames"].values()
    assert {r["co_name"] for r in worker_records} >= {"restock", "add"}
    assert {r["thread"] for r in worker_records} == {"restocker"}

    # Each call is followed, later in its thread, by its return, same frame id.
    for records in [main_records, worker_records]:
        open_frames = []
        for record in records:
            if record["event"] == "call":
                open_frames.append(record["frame_id"])
            else:
                assert open_frames.pop() == record["frame_id"]
        assert open_frames == []

    (add_call,) = [r for r in calls_of(document, "add") if r["thread"] == "MainThread"]
    assert add_call["path"].startswith("shop/inventory.py:")
    assert add_call["qualname"].endswith("Stock.add")
    assert add_call["locals"]["name"] == "coffee" and add_call["locals"]["count"] == 2
    returns = [r for r in main_records if r["event"] == "return" and r["frame_id"] == add_call["frame_id"]]
    assert returns[0]["arg"] == 7
    # Nothing of nefa's own code is in the trace.
    assert not any("nefa/" in r["path"] for r in all_records(document))


@pytest.mark.parametrize(
    "args, status, stderr_has",
    [(["--crash"], 1, "RuntimeError: till is empty"), (["--exit", "0"], 0, ""), (["--exit", "7"], 7, "")],
)
def test_run_saves_when_program_raises_or_exits(workdir, args, status, stderr_has):
    result = nefa(workdir, "run", "shop/main.py", *args)
    assert result.returncode == status
    before_summary = result.stderr[: result.stderr.index("nefa: stored trace")]
    assert (stderr_has in before_summary and "runpy" not in before_summary) if stderr_has else before_summary == ""
    document, _ = stored(workdir, result)
    assert document["command_line_args"] == ["shop/main.py", *args] and calls_of(document, "main")


def test_run_module_with_options(workdir):
    # -m finds the module, and its sibling imports, from the current directory.
    shop = workdir / "shop"
    args = ["run", "--db", "out/t.db", "--no-threads", "--ignore", "inventory", "-m", "main", "x"]
    result = nefa(shop, *args, console_script=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "args ['x'] total 7\n"
    document, summary = stored(shop, result, db_name="out/t.db")
    assert document["command_line_args"] == [str(shop / "main.py"), "x"]  # what the program saw
    assert summary.thread_count == 1 and document["frames"] == {}
    assert not any(r["thread"] == "restocker" for r in all_records(document))
    assert calls_of(document, "main") and not calls_of(document, "add")


def test_run_lightweight_truncates_values(workdir):
    (workdir / "big.py").write_text("def keep(text):\n    return text\n\nkeep('x' * 100_000)\n")
    result = nefa(workdir, "run", "--lightweight", "big.py")
    assert result.returncode == 0, result.stderr
    document, _ = stored(workdir, result)
    (call,) = calls_of(document, "keep")
    assert call["locals"]["text"] == Cut("x" * 128, 100_000 - 128)


HOSTILE = """
class Endless(list):
    def __iter__(self):
        while True:
            yield 1

class Loud:
    def __repr__(self):
        raise SystemExit(3)

def work(items, loud, numbers):
    return (1, 2)

work(Endless([1, 2]), Loud(), list(range(1_000_000)))
print("finished")
"""


def test_run_survives_hostile_and_huge_values(workdir):
    # Endless iteration, a repr raising SystemExit and a big list cost the
    # program nothing: it ends as it would untraced, with nothing on stderr
    # but nefa's own summary.
    (workdir / "hostile.py").write_text(HOSTILE)
    result = nefa(workdir, "run", "hostile.py")
    assert (result.returncode, result.stdout) == (0, "finished\n"), result.stderr
    assert [line for line in result.stderr.splitlines() if not SUMMARY.search(line)] == []
    document, _ = stored(workdir, result)
    (call,) = calls_of(document, "work")
    assert call["locals"]["items"] == [1, 2]
    assert call["locals"]["loud"] == Unprintable("__main__.Loud")
    numbers = call["locals"]["numbers"]
    assert numbers[:50] == list(range(50)) and numbers[50:] == [More(999_950)]
    (returned,) = [r for r in all_records(document) if r["co_name"] == "work" and r["event"] == "return"]
    assert returned["arg"] == Tuple((1, 2))


def test_profiler_api_context_manager_and_decorator(workdir):
    script = """
        from nefa import Profiler

        def square(n):
            return n * n

        with Profiler(db_path="api.db") as profiler:
            square(3)
        print(profiler.trace_id)

        recorder = Profiler(db_path="api.db", config={"threading": False})

        @recorder
        def work(n):
            return square(n) + 1

        work(2)
        work(5)
        print(recorder.trace_id)
    """
    (workdir / "api.py").write_text(textwrap.dedent(script))
    result = subprocess.run([sys.executable, "api.py"], cwd=workdir, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    block_id, decorated_id = result.stdout.split()

    (block,) = read_trace(workdir / "api.db", block_id)
    assert block["meta"]["source"] == "api"
    assert calls_of(block, "square")

    first, second = read_trace(workdir / "api.db", decorated_id)
    assert [r["locals"]["n"] for r in calls_of(first, "work")] == [2]
    assert [r["locals"]["n"] for r in calls_of(second, "work")] == [5]
    assert db.get_trace(workdir / "api.db", decorated_id).part_count == 2


LOOP = """
    def step(i):
        return i

    for i in range(5000):
        step(i)
"""


def test_run_past_the_memory_budget_stores_a_cut_trace_and_warns(workdir):
    (workdir / "loop.py").write_text(textwrap.dedent(LOOP))
    result = nefa(workdir, "run", "--memory-budget", "100K", "loop.py")
    assert result.returncode == 0, result.stderr
    document, summary = stored(workdir, result)
    warnings = [line for line in result.stderr.splitlines() if "warning" in line]
    assert len(warnings) == 1
    assert re.fullmatch(
        r"nefa: warning: recording stopped at the memory budget \(100 KiB\): the trace keeps what came before, "
        r"\d+ events dropped \(raise it with --memory-budget\)",
        warnings[0],
    )
    dropped = int(re.search(r"(\d+) events dropped", warnings[0]).group(1))
    assert summary.cut and summary.dropped_events == dropped == document["meta"]["dropped_events"] > 0
    kept = [r["locals"]["i"] for r in calls_of(document, "step")]
    assert kept == list(range(len(kept))) and 0 < len(kept) < 5000

    listing = nefa(workdir, "traces")
    assert f"(cut, {dropped} dropped)" in listing.stdout
    shown = nefa(workdir, "show", "--color", "never")
    assert f"cut at the memory budget: {dropped} events dropped" in shown.stdout.splitlines()[0]

    # Within the budget nothing is said.
    result = nefa(workdir, "run", "loop.py")
    assert result.returncode == 0 and "warning" not in result.stderr
    assert not stored(workdir, result)[1].cut


FORKING = """
    import os

    def before(i):
        return i

    def child_work():
        return "child"

    def parent_work():
        return "parent"

    for i in range(100):
        before(i)
    pid = os.fork()
    if pid == 0:
        child_work()
    else:
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        parent_work()
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_run_a_forked_child_stores_its_own_trace(workdir):
    (workdir / "forking.py").write_text(textwrap.dedent(FORKING))
    result = nefa(workdir, "run", "forking.py")
    assert result.returncode == 0, result.stderr
    # Child and parent each print their own summary line.
    ids = SUMMARY.findall(result.stderr)
    assert len(ids) == 2, result.stderr
    traces = {trace.id: trace for trace in db.list_traces(workdir / ".nefa" / "db.sqlite3")}
    assert set(traces) == {trace_id for trace_id, *_ in ids}
    [child] = [trace for trace in traces.values() if trace.parent_trace_id is not None]
    [parent] = [trace for trace in traces.values() if trace.parent_trace_id is None]
    assert child.parent_trace_id == parent.id
    (child_doc,) = read_trace(workdir / ".nefa" / "db.sqlite3", child.id)
    (parent_doc,) = read_trace(workdir / ".nefa" / "db.sqlite3", parent.id)
    assert calls_of(child_doc, "before") == [] and len(calls_of(child_doc, "child_work")) == 1
    assert len(calls_of(parent_doc, "before")) == 100 and calls_of(parent_doc, "child_work") == []
    assert child_doc["main_thread_id"] != parent_doc["main_thread_id"]
    assert {r["thread_native_id"] for r in all_records(child_doc)} == {child_doc["main_thread_id"]}
    shown = nefa(workdir, "show", child.id, "--color", "never")
    assert f"forked from {parent.id}" in shown.stdout.splitlines()[0]
