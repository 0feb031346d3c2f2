"""``pytest --nefa``: one stored trace per test, run by an inner pytest."""

import textwrap

import pytest

from nefa import db
from nefa.traces import read_trace
from plugin_support import frame_names, of_type, stored

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
