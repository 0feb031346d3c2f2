"""``pytest --nefa``: one stored trace per test, run by an inner pytest."""

import sys
import textwrap

import pytest
from plugin_support import frame_names, of_type, stored

from nefa import db
from nefa.traces import read_trace

pytest_plugins = ["pytester"]

TESTS = """
import unittest

import pytest


def helper(value):
    return value * 2


@pytest.fixture
def broken():
    raise RuntimeError("fixture failed")


def test_passes():
    assert helper(2) == 4


def test_fails():
    assert helper(2) == 5


def test_setup_error(broken):
    helper(3)


@pytest.mark.skip(reason="not today")
def test_skipped():
    helper(4)


@pytest.mark.xfail(reason="known")
def test_expected_failure():
    assert helper(5) == 0


class TestStyle(unittest.TestCase):
    def test_unittest_style(self):
        self.assertEqual(helper(6), 12)
"""

EXPECTED = [
    ("test_demo.py::test_passes", "passed", ["test_passes", "helper"]),
    ("test_demo.py::test_fails", "failed", ["test_fails", "helper"]),
    ("test_demo.py::test_setup_error", "error", ["broken"]),
    ("test_demo.py::test_skipped", "skipped", []),
    ("test_demo.py::test_expected_failure", "xfailed", ["test_expected_failure", "helper"]),
    ("test_demo.py::TestStyle::test_unittest_style", "passed", ["test_unittest_style", "helper"]),
]


@pytest.fixture
def env_clean(pytester, monkeypatch):
    # The outer run's own settings must not leak into the inner one.
    monkeypatch.delenv("PYTEST_ADDOPTS", raising=False)
    return pytester


def test_each_test_is_stored_as_its_own_trace(env_clean):
    pytester = env_clean
    pytester.makepyfile(test_demo=TESTS)
    result = pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2, failed=1, errors=1, skipped=1, xfailed=1)
    result.stdout.fnmatch_lines(["nefa: recorded 6 tests, one trace each, in .nefa*db.sqlite3*"])

    traces = stored(pytester.path / ".nefa" / "db.sqlite3")
    seen = []
    for summary, records in traces:
        assert summary.source == "pytest"
        start, end = records[0], records[-1]
        assert (start["type"], start["subtype"]) == ("start_test", "pytest")
        assert (end["type"], end["subtype"]) == ("end_test", "pytest")
        assert start["test_id"] == end["test_id"]
        # Enough to run the test again, and what `nefa traces` shows.
        assert summary.command_line == ["pytest", start["test_id"]]
        # Only the test's own markers: unittest-style tests are not cut twice.
        assert len(of_type(records, "start_test", "end_test")) == 2
        seen.append((start["test_id"], end["outcome"], frame_names(records)))
    assert seen == EXPECTED


def test_recording_is_off_unless_asked(env_clean):
    pytester = env_clean
    pytester.makepyfile(test_demo="def test_one():\n    pass\n")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)
    assert "nefa:" not in result.stdout.str()
    assert not (pytester.path / ".nefa").exists()


def test_ini_options_enable_recording_and_choose_the_database(env_clean):
    pytester = env_clean
    pytester.makeini(
        textwrap.dedent(
            """
            [pytest]
            nefa = true
            nefa_db = traces/tests.db
            """
        )
    )
    pytester.makepyfile(test_demo="def work():\n    return 1\n\ndef test_one():\n    assert work() == 1\n")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)
    [(summary, records)] = stored(pytester.path / "traces" / "tests.db")
    assert frame_names(records) == ["test_one", "work"]
    assert not (pytester.path / ".nefa").exists()


def test_command_line_database_option_wins(env_clean, tmp_path_factory):
    pytester = env_clean
    target = tmp_path_factory.mktemp("elsewhere") / "store.db"
    pytester.makeini("[pytest]\nnefa_db = ignored.db\n")
    pytester.makepyfile(test_demo="def test_one():\n    pass\n")
    result = pytester.runpytest_subprocess("--nefa", f"--nefa-db={target}", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)
    [(summary, records)] = stored(target)
    assert records[-1]["outcome"] == "passed"
    assert not (pytester.path / "ignored.db").exists()


def test_threads_a_test_starts_are_part_of_its_trace(env_clean):
    pytester = env_clean
    pytester.makepyfile(
        test_demo="""
        import threading

        def worker(out):
            out.append(1)

        def test_threaded():
            out = []
            thread = threading.Thread(target=worker, args=(out,))
            thread.start()
            thread.join()
            assert out == [1]
        """
    )
    result = pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)
    db_path = pytester.path / ".nefa" / "db.sqlite3"
    [summary] = db.list_traces(db_path)
    [document] = read_trace(db_path, summary.id)
    [(thread_id, thread_records)] = document["frames"].items()
    assert thread_id != document["main_thread_id"]
    assert frame_names(thread_records) == ["worker"]


def test_bad_settings_are_a_usage_error(env_clean):
    pytester = env_clean
    pytester.makepyprojecttoml('[tool.nefa]\nplugins = ["pytest", "nope"]\n')
    pytester.makepyfile(test_demo="def test_one():\n    pass\n")
    result = pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider")
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*nefa:*unknown plugin 'nope'*"])


LIBRARY_TESTS = """
import mylib


def local():
    return 1


def test_uses_the_library():
    assert mylib.double(local()) == 2
"""


def _library(pytester):
    # A package outside the rootdir's own code, found on sys.path as an
    # installed one would be.
    libs = pytester.mkdir("site-packages")
    (libs / "mylib").mkdir()
    (libs / "mylib" / "__init__.py").write_text("def double(value):\n    return value * 2\n")
    pytester.makeini(f"[pytest]\npythonpath = {libs}\n")
    return libs


def test_include_and_ignore_options_and_their_ini_mirrors(env_clean):
    pytester = env_clean
    _library(pytester)
    pytester.makepyfile(test_demo=LIBRARY_TESTS)
    db_path = pytester.path / ".nefa" / "db.sqlite3"

    result = pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)
    [(_, records)] = stored(db_path)
    assert frame_names(records) == ["test_uses_the_library", "local"]
    db_path.unlink()

    result = pytester.runpytest_subprocess(
        "--nefa",
        "--nefa-include",
        "mylib",
        "--nefa-ignore",
        "test_demo",
        "--nefa-ignore=nothing",
        "-p",
        "no:cacheprovider",
    )
    result.assert_outcomes(passed=1)
    [(_, records)] = stored(db_path)
    assert frame_names(records) == ["double"]
    db_path.unlink()

    libs = pytester.path / "site-packages"
    pytester.makeini(f"[pytest]\npythonpath = {libs}\nnefa = true\nnefa_include =\n    mylib\n")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)
    [(_, records)] = stored(db_path)
    assert frame_names(records) == ["test_uses_the_library", "local", "double"]


def test_lightweight_option_and_ini_shorten_values(env_clean):
    pytester = env_clean
    pytester.makepyfile(test_demo="def keep(text):\n    return text\n\ndef test_one():\n    keep('x' * 5000)\n")
    db_path = pytester.path / ".nefa" / "db.sqlite3"

    def stored_length():
        [(_, records)] = stored(db_path)
        db_path.unlink()
        [call] = [r for r in records if r.get("co_name") == "keep" and r["event"] == "call"]
        return len(repr(call["locals"]))

    pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider").assert_outcomes(passed=1)
    full = stored_length()
    pytester.runpytest_subprocess("--nefa", "--nefa-lightweight", "-p", "no:cacheprovider").assert_outcomes(passed=1)
    light = stored_length()
    pytester.makeini("[pytest]\nnefa_lightweight = true\n")
    pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider").assert_outcomes(passed=1)
    assert light == stored_length() < full


ENGINE_PROBE = """
import sys

def test_engine():
    monitoring = getattr(sys, "monitoring", None)
    held = monitoring.get_tool(monitoring.PROFILER_ID) if monitoring else None
    engine = "monitoring" if held == "nefa" else "profile" if sys.getprofile() is not None else "none"
    print("ENGINE=" + engine)
"""


def test_engine_option_and_ini(env_clean):
    pytester = env_clean
    pytester.makepyfile(test_probe=ENGINE_PROBE)

    def engine(*options):
        result = pytester.runpytest_subprocess("--nefa", "-s", "-p", "no:cacheprovider", *options)
        result.assert_outcomes(passed=1)
        return [word for line in result.outlines for word in line.split() if word.startswith("ENGINE=")]

    default = "monitoring" if sys.version_info >= (3, 12) else "profile"
    assert engine() == [f"ENGINE={default}"]
    assert engine("--nefa-engine", "profile") == ["ENGINE=profile"]
    pytester.makeini("[pytest]\nnefa_engine = profile\n")
    assert engine() == ["ENGINE=profile"]
    if sys.version_info >= (3, 12):
        assert engine("--nefa-engine", "monitoring") == ["ENGINE=monitoring"]


BIG_AND_SMALL = """
def step(i):
    return i


def test_big():
    for i in range(3000):
        step(i)


def test_small():
    step(1)
"""


def test_a_trace_past_the_budget_is_cut_and_the_summary_says_so(env_clean):
    pytester = env_clean
    pytester.makepyfile(test_demo=BIG_AND_SMALL)
    result = pytester.runpytest_subprocess("--nefa", "--nefa-memory-budget", "64K", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)
    assert result.ret == 0
    result.stdout.fnmatch_lines(
        [
            "nefa: recorded 2 tests, one trace each, in .nefa*db.sqlite3",
            "nefa: warning: 1 trace cut at the memory budget (64 KiB), * events dropped (raise it with "
            "--nefa-memory-budget): test_demo.py::test_big",
        ]
    )
    traces = {
        summary.command_line[1]: (summary, records)
        for summary, records in stored(pytester.path / ".nefa" / "db.sqlite3")
    }
    big, big_records = traces["test_demo.py::test_big"]
    small, _ = traces["test_demo.py::test_small"]
    assert big.cut and big.dropped_events > 0 and not small.cut
    # Cut, but still a whole test: its end marker and outcome are there.
    assert big_records[-1]["type"] == "end_test" and big_records[-1]["outcome"] == "passed"

    # The ini mirror; a budget that is no size is a usage error.
    pytester.makeini("[pytest]\nnefa_memory_budget = 64K\n")
    result = pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider")
    result.stdout.fnmatch_lines(["nefa: warning: 1 trace cut at the memory budget (64 KiB)*"])
    result = pytester.runpytest_subprocess("--nefa", "--nefa-memory-budget", "lots", "-p", "no:cacheprovider")
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*nefa:*expected a size such as 512M or 2G*"])


def test_a_failed_store_is_reported_and_fails_the_session(env_clean):
    pytester = env_clean
    pytester.makeconftest(
        """
        import nefa.db

        real = nefa.db.save_trace_in_sqlite

        def save(db_path, trace_id, *, timeout, msgpack):
            import sys
            if "test_unlucky" in sys.argv[-1]:
                raise OSError("disk on fire")
            return real(db_path, trace_id, timeout=timeout, msgpack=msgpack)

        nefa.db.save_trace_in_sqlite = save
        """
    )
    pytester.makepyfile(test_demo="def test_lucky():\n    pass\n\ndef test_unlucky():\n    pass\n")
    result = pytester.runpytest_subprocess("--nefa", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)
    assert result.ret == pytest.ExitCode.TESTS_FAILED
    result.stdout.fnmatch_lines(
        [
            "nefa: recorded 2 tests: 1 trace stored in .nefa*db.sqlite3, 1 could not be stored",
            "nefa: error: trace of test_demo.py::test_unlucky not stored: OSError: disk on fire",
        ]
    )
    [(summary, _)] = stored(pytester.path / ".nefa" / "db.sqlite3")
    assert summary.command_line == ["pytest", "test_demo.py::test_lucky"]


FOUR_TESTS = "".join(
    f"def work():\n    return 1\n\n\ndef test_{name}():\n    assert work() == 1\n\n\n" for name in "abcd"
)


def test_xdist_workers_counts_reach_the_summary(env_clean):
    pytest.importorskip("xdist")
    pytester = env_clean
    pytester.makepyfile(test_demo=FOUR_TESTS)
    result = pytester.runpytest_subprocess("--nefa", "-n", "2", "-p", "xdist", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=4)
    result.stdout.fnmatch_lines(["nefa: recorded 4 tests, one trace each, in .nefa*db.sqlite3"])
    traces = stored(pytester.path / ".nefa" / "db.sqlite3")
    assert sorted(summary.command_line[1] for summary, _ in traces) == [f"test_demo.py::test_{n}" for n in "abcd"]

    # A save that fails in a worker is reported by the controller and fails the run.
    pytester.makeconftest(
        """
        import nefa.db

        real = nefa.db.save_trace_in_sqlite

        def save(db_path, trace_id, *, timeout, msgpack):
            import sys
            if sys.argv[-1].endswith("test_c"):
                raise OSError("disk on fire")
            return real(db_path, trace_id, timeout=timeout, msgpack=msgpack)

        nefa.db.save_trace_in_sqlite = save
        """
    )
    result = pytester.runpytest_subprocess(
        "--nefa", "--nefa-db", "again.db", "-n", "2", "-p", "xdist", "-p", "no:cacheprovider"
    )
    result.assert_outcomes(passed=4)
    assert result.ret == pytest.ExitCode.TESTS_FAILED
    result.stdout.fnmatch_lines(
        [
            "nefa: recorded 4 tests: 3 traces stored in again.db, 1 could not be stored",
            "nefa: error: trace of test_demo.py::test_c not stored: OSError: disk on fire",
            # The worker's failed-event warnings come along.
            "nefa: warning: 1 call of _nefa_test_finished * was not recorded: OSError*",
        ]
    )
    assert len(stored(pytester.path / "again.db")) == 3
