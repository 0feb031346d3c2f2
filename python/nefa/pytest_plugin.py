"""``pytest --nefa``: record each test as a trace of its own.

Registered through the ``pytest11`` entry point and idle unless asked for
(``--nefa`` or ``nefa = true`` in the ini file).  A host profiler records
the whole session in one-trace-per-test mode; around each test item's run
this module calls :func:`_nefa_test_started` and :func:`_nefa_test_finished`,
whose calls the ``pytest`` plugin turns into the records that start a trace
and store it.  What runs outside any test (collection, the session's end)
belongs to no trace.
"""

from __future__ import annotations

import contextlib
import os
import sys

import pytest

__all__ = ["pytest_addoption", "pytest_configure"]

# The outcome of a test whose setup or teardown failed, as pytest counts it.
_SETUP_OR_TEARDOWN_FAILED = "error"


def pytest_addoption(parser) -> None:
    group = parser.getgroup("nefa", "nefa: record each test as its own trace")
    group.addoption(
        "--nefa",
        action="store_true",
        default=None,
        help="record every test with nefa, one trace per test (ini: nefa = true)",
    )
    group.addoption(
        "--nefa-db",
        metavar="PATH",
        default=None,
        help="trace database for --nefa (ini: nefa_db; default: [tool.nefa] db, else .nefa/db.sqlite3 in the rootdir)",
    )
    parser.addini("nefa", type="bool", default=False, help="record every test with nefa (like --nefa)")
    parser.addini("nefa_db", default="", help="trace database for nefa, relative to the rootdir")


def _enabled(config) -> bool:
    option = config.getoption("nefa")
    return bool(option) if option is not None else bool(config.getini("nefa"))


def pytest_configure(config) -> None:
    if not _enabled(config):
        return
    config.pluginmanager.register(_Recorder(config), "nefa-recorder")
    config.pluginmanager.register(_UnsavedReport(), "nefa-unsaved")


# The two markers: their calls are what the `pytest` plugin reacts to, so
# they must keep their names and parameters.
def _nefa_test_started(nodeid: str) -> None:
    pass


def _nefa_test_finished(nodeid: str, outcome: str) -> None:
    pass


@contextlib.contextmanager
def _command_line(nodeid: str):
    # The end marker stores the test's trace with sys.argv as its command
    # line: make it the command that runs this test alone.
    saved = sys.argv
    sys.argv = ["pytest", nodeid]
    try:
        yield
    finally:
        sys.argv = saved


def _outcome_of(report, previous: str | None) -> str | None:
    """The test's outcome label once ``report`` (one phase) is known."""
    if report.when == "call":
        if hasattr(report, "wasxfail"):
            return "xfailed" if report.skipped else "xpassed"
        return report.outcome  # passed, failed or skipped
    if report.failed:
        # A failing teardown after a failing test keeps "failed".
        return _SETUP_OR_TEARDOWN_FAILED if previous in (None, "passed") else previous
    if report.skipped and previous is None:
        return "xfailed" if hasattr(report, "wasxfail") else "skipped"
    return previous


class _Recorder:
    def __init__(self, config):
        from nefa import config as config_module
        from nefa.profiler import Profiler

        rootpath = str(config.rootpath)
        try:
            profiler_config, db_path = config_module.resolve({}, directory=rootpath)
        except config_module.ConfigError as error:
            raise pytest.UsageError(f"nefa: {error}") from None
        cli_db = config.getoption("nefa_db")
        ini_db = config.getini("nefa_db")
        if cli_db:
            db_path = os.path.abspath(cli_db)
        elif ini_db:
            db_path = os.path.join(rootpath, os.path.expanduser(ini_db))
        # The test cuts come from the pytest plugin; unittest's would cut
        # again inside the unittest-style tests pytest runs.
        enabled = [name for name in profiler_config["plugins"] if name != "unittest"]
        profiler_config["plugins"] = enabled if "pytest" in enabled else ["pytest", *enabled]
        # Checked before any test runs: a database that cannot take the
        # traces ends the session at once, with the reason.
        from nefa import db

        try:
            db.prepare_database(db_path, timeout=profiler_config["sqlite_busy_timeout"])
        except db.DatabaseError as error:
            raise pytest.UsageError(f"nefa: {error}") from None
        self.profiler = Profiler(db_path=db_path, config=profiler_config, one_trace_per_test=True, source="pytest")
        self.outcomes: dict[str, str | None] = {}
        self.recorded = 0

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionstart(self, session) -> None:
        from nefa.profiler import NativeModuleMissingError

        try:
            self.profiler.start()
        except NativeModuleMissingError as error:
            raise pytest.UsageError(f"nefa: {error}") from None

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        nodeid = item.nodeid
        self.outcomes[nodeid] = None
        _nefa_test_started(nodeid)
        yield
        outcome = self.outcomes.pop(nodeid, None) or "unknown"
        with _command_line(nodeid):
            _nefa_test_finished(nodeid, outcome)
        self.recorded += 1

    def pytest_runtest_logreport(self, report) -> None:
        if report.nodeid in self.outcomes:
            self.outcomes[report.nodeid] = _outcome_of(report, self.outcomes[report.nodeid])

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session, exitstatus) -> None:
        # What runs from here on belongs to no test: it is not stored.
        self.profiler.stop()

    def pytest_terminal_summary(self, terminalreporter) -> None:
        where = self.profiler.db_path
        with contextlib.suppress(ValueError):
            relative = os.path.relpath(where)
            where = where if relative.startswith(os.pardir) else relative
        tests = f"{self.recorded} test{'' if self.recorded == 1 else 's'}"
        terminalreporter.write_line(f"nefa: recorded {tests}, one trace each, in {where}")


class _UnsavedReport:
    """Says where the traces that could not be stored went."""

    def pytest_terminal_summary(self, terminalreporter) -> None:
        from nefa import db

        for failure in db.take_unsaved():
            terminalreporter.write_line(f"nefa: error: {failure}", red=True)
