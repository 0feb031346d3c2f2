"""``nefa test -m unittest``: one stored trace per TestCase run."""

from plugin_support import frame_names, of_type, run_python, stored

TESTS = """
import unittest


def helper(value):
    return value * 2


def setUpModule():
    helper(0)


class Cases(unittest.TestCase):
    def test_a_passes(self):
        self.assertEqual(helper(1), 2)

    def test_b_fails(self):
        self.assertEqual(helper(1), 3)

    def test_c_errors(self):
        raise ValueError(helper(2))

    @unittest.skip("not today")
    def test_d_skipped(self):
        helper(3)

    @unittest.expectedFailure
    def test_e_expected_failure(self):
        self.assertEqual(helper(4), 0)

    @unittest.expectedFailure
    def test_f_unexpected_success(self):
        self.assertEqual(helper(5), 10)

    def test_g_failing_subtest(self):
        for value in (1, 2):
            with self.subTest(value=value):
                self.assertEqual(helper(value), 2)
"""


def test_each_test_case_is_stored_as_its_own_trace(tmp_path):
    (tmp_path / "test_cases.py").write_text(TESTS)
    proc = run_python(tmp_path, ["-m", "nefa", "test", "-m", "unittest", "test_cases"], check=False)
    assert proc.returncode == 1, proc.stderr  # the suite failed
    assert "stored one trace per test" in proc.stderr

    traces = stored(tmp_path / ".nefa" / "db.sqlite3")
    seen = []
    for summary, records in traces:
        assert summary.source == "test"
        start, end = records[0], records[-1]
        assert (start["type"], start["subtype"], end["type"]) == ("start_test", "unittest", "end_test")
        assert start["test_id"] == end["test_id"]
        assert len(of_type(records, "start_test", "end_test")) == 2
        seen.append((start["test_id"].rpartition(".")[2], end["outcome"], frame_names(records)))
    # setUpModule ran before the first test started: it is in no trace.
    assert seen == [
        ("test_a_passes", "passed", ["test_a_passes", "helper"]),
        ("test_b_fails", "failed", ["test_b_fails", "helper"]),
        ("test_c_errors", "error", ["test_c_errors", "helper"]),
        ("test_d_skipped", "skipped", []),
        ("test_e_expected_failure", "xfailed", ["test_e_expected_failure", "helper"]),
        ("test_f_unexpected_success", "xpassed", ["test_f_unexpected_success", "helper"]),
        ("test_g_failing_subtest", "failed", ["test_g_failing_subtest", "helper", "helper"]),
    ]


def test_a_program_without_tests_is_stored_whole(tmp_path):
    (tmp_path / "script.py").write_text("def work():\n    return 1\n\nwork()\n")
    proc = run_python(tmp_path, ["-m", "nefa", "test", "script.py"])
    assert "stored trace trc_" in proc.stderr
    [(summary, records)] = stored(tmp_path / ".nefa" / "db.sqlite3")
    assert summary.source == "test"
    assert frame_names(records) == ["<module>", "work"]


def test_a_plain_run_keeps_test_markers_in_one_trace(tmp_path):
    (tmp_path / "test_cases.py").write_text(TESTS)
    run_python(tmp_path, ["-m", "nefa", "run", "-m", "unittest", "test_cases"], check=False)
    [(summary, records)] = stored(tmp_path / ".nefa" / "db.sqlite3")
    starts = of_type(records, "start_test")
    assert len(starts) == 7
    # Without the per-test cut, module setup is part of the single trace.
    setup = next(i for i, r in enumerate(records) if r.get("co_name") == "setUpModule")
    assert setup < records.index(starts[0])
