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
import logging
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
    group.addoption(
        "--nefa-include",
        metavar="PATTERN",
        action="append",
        default=[],
        help="also record files whose path contains PATTERN, even library code; repeatable (ini: nefa_include)",
    )
    group.addoption(
        "--nefa-ignore",
        metavar="PATTERN",
        action="append",
        default=[],
        help="skip files whose path contains PATTERN; repeatable (ini: nefa_ignore)",
    )
    group.addoption(
        "--nefa-lightweight",
        action="store_true",
        default=None,
        help="store short, truncated values (ini: nefa_lightweight = true)",
    )
    group.addoption(
        "--nefa-memory-budget",
        metavar="SIZE",
        default=None,
        help="memory one test's trace may take, e.g. 512M; past it the trace is cut "
        "(ini: nefa_memory_budget; 0: the largest; default: an eighth of physical memory)",
    )
    group.addoption(
        "--nefa-engine",
        metavar="ENGINE",
        choices=("monitoring", "profile"),
        default=None,
        help="how calls reach nefa: monitoring (sys.monitoring, Python 3.12+) or profile (the profile hook) "
        "(ini: nefa_engine; default: monitoring where it exists)",
    )
    parser.addini("nefa", type="bool", default=False, help="record every test with nefa (like --nefa)")
    parser.addini("nefa_db", default="", help="trace database for nefa, relative to the rootdir")
    parser.addini("nefa_include", type="linelist", default=[], help="path patterns to record (like --nefa-include)")
    parser.addini("nefa_ignore", type="linelist", default=[], help="path patterns to skip (like --nefa-ignore)")
    parser.addini("nefa_lightweight", type="bool", default=False, help="store short values (like --nefa-lightweight)")
    parser.addini("nefa_memory_budget", default="", help="memory budget per test trace (like --nefa-memory-budget)")
    parser.addini("nefa_engine", default="", help="monitoring or profile (like --nefa-engine)")


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


def _settings(config) -> dict:
    """What the command line and the ini file say, as nefa settings; the
    command line wins, and patterns from both are combined."""
    settings: dict = {}
    for name in ("include", "ignore"):
        patterns = [*config.getini(f"nefa_{name}"), *config.getoption(f"nefa_{name}")]
        if patterns:
            settings[name] = patterns
    lightweight = config.getoption("nefa_lightweight")
    if lightweight or (lightweight is None and config.getini("nefa_lightweight")):
        settings["lightweight_repr"] = True
    budget = config.getoption("nefa_memory_budget") or config.getini("nefa_memory_budget")
    if budget:
        settings["memory_budget"] = budget
    engine = config.getoption("nefa_engine") or config.getini("nefa_engine")
    if engine:
        settings["engine"] = engine
    return settings


class _StoreProblems(logging.Handler):
    """Catches what the recorder says while a test's trace is stored: a
    failed store is logged there, and would otherwise end up in pytest's
    log capture where nobody looks."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record) -> None:
        error = record.exc_info[1] if record.exc_info else None
        self.messages.append(f"{type(error).__name__}: {error}" if error is not None else record.getMessage())


class _Recorder:
    def __init__(self, config) -> None:
        from nefa import config as config_module
        from nefa.profiler import Profiler

        rootpath = str(config.rootpath)
        try:
            profiler_config, db_path = config_module.resolve(_settings(config), directory=rootpath)
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
        self.cut: list[tuple[str, int]] = []  # (test, events dropped)
        self.failed: list[tuple[str, str]] = []  # (test, why)
        # What pytest-xdist workers report back to this (controller) process.
        self.failed_events: list[dict] = []
        self.failed_events_other = 0
        self.unsaved: list[str] = []

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
        before = self._stats()
        problems = _StoreProblems()
        logger = logging.getLogger("nefa")
        logger.addHandler(problems)
        try:
            with _command_line(nodeid):
                _nefa_test_finished(nodeid, outcome)
        finally:
            logger.removeHandler(problems)
        self.recorded += 1
        self._account(nodeid, before, self._stats(), problems.messages)

    def _stats(self) -> dict | None:
        native = self.profiler.rust_profiler
        return native.stats() if native is not None else None

    def _account(self, nodeid: str, before: dict | None, after: dict | None, messages: list[str]) -> None:
        if before is None or after is None:
            return
        if after["store_failures"] > before["store_failures"]:
            self.failed.append((nodeid, messages[-1] if messages else "see the log"))
        if after["stored_cut"] > before["stored_cut"]:
            self.cut.append((nodeid, after["stored_dropped_events"] - before["stored_dropped_events"]))

    def pytest_runtest_logreport(self, report) -> None:
        if report.nodeid in self.outcomes:
            self.outcomes[report.nodeid] = _outcome_of(report, self.outcomes[report.nodeid])

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session, exitstatus) -> None:
        # What runs from here on belongs to no test: it is not stored.
        self.profiler.stop()
        if self.failed and session.exitstatus == pytest.ExitCode.OK:
            # A trace that was asked for and lost is a failure of the run.
            session.exitstatus = pytest.ExitCode.TESTS_FAILED
        workeroutput = getattr(session.config, "workeroutput", None)
        if workeroutput is not None:
            # A pytest-xdist worker prints no summary: its counts go to the
            # controller, in the only channel xdist offers (plain data).
            from nefa import db

            stats = self._stats() or {}
            workeroutput["nefa"] = {
                "recorded": self.recorded,
                "failed": [list(entry) for entry in self.failed],
                "cut": [list(entry) for entry in self.cut],
                "failed_events": [dict(entry) for entry in stats.get("failed_events") or ()],
                "failed_events_other": stats.get("failed_events_other") or 0,
                "unsaved": [str(failure) for failure in db.take_unsaved()],
            }

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node, error) -> None:
        # Called on the pytest-xdist controller as each worker ends; a worker
        # that crashed may have sent nothing.
        counts = (getattr(node, "workeroutput", None) or {}).get("nefa")
        if not counts:
            return
        self.recorded += counts["recorded"]
        self.failed.extend((nodeid, why) for nodeid, why in counts["failed"])
        self.cut.extend((nodeid, dropped) for nodeid, dropped in counts["cut"])
        self.failed_events.extend(counts["failed_events"])
        self.failed_events_other += counts["failed_events_other"]
        self.unsaved.extend(counts["unsaved"])

    def pytest_terminal_summary(self, terminalreporter) -> None:
        from nefa.config import format_size

        where = self.profiler.db_path
        with contextlib.suppress(ValueError):
            relative = os.path.relpath(where)
            where = where if relative.startswith(os.pardir) else relative
        tests = _plural(self.recorded, "test")
        if not self.failed:
            terminalreporter.write_line(f"nefa: recorded {tests}, one trace each, in {where}")
        else:
            stored = self.recorded - len(self.failed)
            terminalreporter.write_line(
                f"nefa: recorded {tests}: {_plural(stored, 'trace')} stored in {where}, "
                f"{len(self.failed)} could not be stored",
                red=True,
            )
            for nodeid, why in self.failed:
                terminalreporter.write_line(f"nefa: error: trace of {nodeid} not stored: {why}", red=True)
        for failure in self.unsaved:
            terminalreporter.write_line(f"nefa: error: {failure}", red=True)
        if self.cut:
            budget = self.profiler.config.get("memory_budget") or 0
            dropped = sum(count for _, count in self.cut)
            names = ", ".join(nodeid for nodeid, _ in self.cut[:5])
            more = f" and {len(self.cut) - 5} more" if len(self.cut) > 5 else ""
            terminalreporter.write_line(
                f"nefa: warning: {_plural(len(self.cut), 'trace')} cut at the memory budget ({format_size(budget)}), "
                f"{_plural(dropped, 'event')} dropped (raise it with --nefa-memory-budget): {names}{more}",
                yellow=True,
            )
        from nefa.cli import failure_lines

        stats = self._stats() or {}
        failures = {
            "failed_events": [*(stats.get("failed_events") or ()), *self.failed_events],
            "failed_events_other": (stats.get("failed_events_other") or 0) + self.failed_events_other,
        }
        for line in failure_lines(failures):
            terminalreporter.write_line(f"nefa: warning: {line}", yellow=True)


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


class _UnsavedReport:
    """Says where the traces that could not be stored went."""

    def pytest_terminal_summary(self, terminalreporter) -> None:
        from nefa import db

        for failure in db.take_unsaved():
            terminalreporter.write_line(f"nefa: error: {failure}", red=True)
