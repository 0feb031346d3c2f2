"""The ``nefa`` command line.

Each subcommand is a :class:`Command` object: it parses its own arguments
and returns an exit status.  Problems are raised as :class:`CommandError`,
which carries the status to exit with; :func:`main` prints them.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sqlite3
import sys
import time
from collections.abc import Sequence

from nefa import config, db, runner
from nefa.traces.output import printable
from nefa.version import __version__

__all__ = [
    "Command",
    "CommandError",
    "ExportCommand",
    "ImportCommand",
    "RunCommand",
    "ShowCommand",
    "TracesCommand",
    "ViewCommand",
    "main",
]

PROG = "nefa"

# nefa's own exit statuses (a recorded program's status is its own).
EXIT_FAILURE = 1
EXIT_USAGE = 2  # bad options or configuration
EXIT_DATABASE = 3  # the trace database cannot be used
EXIT_NOT_A_TRACE = 4  # `nefa import`: the file is not a trace document


class CommandError(Exception):
    """A problem to report; ``usage`` is shown above the message if given."""

    def __init__(self, message: str, exit_code: int = 1, *, usage: str | None = None):
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code
        self.usage = usage


class _ParserExit(Exception):
    """argparse has printed help or an error: end with this status."""

    def __init__(self, code):
        super().__init__(code)
        self.exit_code = _exit_status(code)


class Command:
    name: str = ""
    summary: str = ""

    def run(self, argv: list[str]) -> int:
        raise NotImplementedError

    def parse_options(self, argv: list[str]) -> argparse.Namespace:
        """This command's options; argparse's own exits end the command."""
        try:
            return self.parser().parse_args(argv)
        except SystemExit as exit_:
            raise _ParserExit(exit_.code) from None

    def parser(self) -> argparse.ArgumentParser:
        raise NotImplementedError


# The events the recorder could not record, told once at the end (here and
# in pytest's terminal summary), from stats()'s "failed_events", which name
# causes and code, never values.
_MOST_FAILURE_LINES = 5

# What the causes the recorder names mean to the user.
_FAILURE_CAUSES = {
    "KeyError: '__name__'": "their globals have no `__name__`",
    "recursion limit": "the program was at its recursion limit",
    "RecursionError": "the program was at its recursion limit",
    "internal error": "an internal error",
    "out of memory": "memory ran out",
    "report failed": "their failure could not be logged",
}


def failure_lines(stats: dict) -> list[str]:
    """One line per cause and file, the most frequent first (at most a few,
    then one for the rest); empty when every event was recorded."""
    groups: dict[tuple[str, str | None], tuple[int, int, list[str]]] = {}
    for entry in stats.get("failed_events") or ():
        key = (entry["cause"], entry["file"])
        count, calls, functions = groups.get(key, (0, 0, []))
        if entry["function"] and entry["function"] not in functions:
            functions.append(entry["function"])
        groups[key] = (count + entry["count"], calls + entry["calls"], functions)
    ordered = sorted(groups.items(), key=lambda item: -item[1][0])
    lines = []
    for (cause, file), (count, calls, functions) in ordered[:_MOST_FAILURE_LINES]:
        what = _count_of(calls, "call") if calls else _count_of(count, "event")
        of = f" of {', '.join(functions[:3])}{' and others' if len(functions) > 3 else ''}" if functions else ""
        where = f" in {_display_path(file)}" if file else ""
        verb = "was" if (calls or count) == 1 else "were"
        why = _FAILURE_CAUSES.get(cause) or f"{cause} raised while recording them"
        lines.append(f"{what}{of}{where} {verb} not recorded: {why}")
    rest = sum(count for _, (count, _, _) in ordered[_MOST_FAILURE_LINES:]) + (stats.get("failed_events_other") or 0)
    if rest:
        lines.append(f"{_count_of(rest, 'more event')} in other code {'was' if rest == 1 else 'were'} not recorded")
    return lines


def _count_of(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def _display_path(path: str) -> str:
    # Shown as the user would type it: relative when under the current directory.
    try:
        relative = os.path.relpath(path)
    except ValueError:
        return path
    return path if relative.startswith(os.pardir) else relative


class RunCommand(Command):
    name = "run"
    summary = "run a Python program and record every call and return"
    usage = (
        f"usage: {PROG} run [--db PATH] [--include PATTERN]... [--ignore PATTERN]... "
        "[--no-threads] [--lightweight] [--memory-budget SIZE] [--engine ENGINE] (SCRIPT | -m MODULE) [ARGS...]"
    )
    help_text = f"""{usage}

Run SCRIPT (or MODULE, with -m) as __main__ with ARGS, record it, and store
the trace. Options must come before SCRIPT / -m MODULE: everything after it
is the program's own.

options:
  --db PATH          trace database (default: {config.DEFAULT_DB_PATH} in the current directory)
  --include PATTERN  record files whose path contains PATTERN, even library code (repeatable)
  --ignore PATTERN   skip files whose path contains PATTERN (repeatable)
  --no-threads       record only the main thread
  --lightweight      store short, truncated values (smaller, faster traces)
  --memory-budget SIZE
                     memory the trace's records may take, e.g. 512M; past it
                     recording stops and what was kept is stored (0: the largest
                     a trace can be; default: an eighth of physical memory)
  --engine ENGINE    how calls reach nefa: monitoring (sys.monitoring, Python
                     3.12+: code nefa does not record runs at full speed) or
                     profile (the profile hook); default: {config.DEFAULT_ENGINE}
  -m MODULE          run library module MODULE as a script
  -h, --help         show this help
"""

    def parse(self, argv: list[str]) -> tuple[dict, runner.Target] | None:
        """Our options, up to the program: returns (settings, target), or
        None when help was shown."""
        settings: dict = {}
        index = 0

        def value_of(option: str, inline: str | None) -> str:
            nonlocal index
            if inline is not None:
                return inline
            if index >= len(argv):
                raise CommandError(f"{option} expects a value", 2, usage=self.usage)
            index += 1
            return argv[index - 1]

        while index < len(argv):
            arg = argv[index]
            index += 1
            if arg in ("-h", "--help"):
                print(self.help_text, end="")
                return None
            if arg == "--":
                break
            if arg == "-m" or (arg.startswith("-m") and not arg.startswith("--")):
                module = arg[2:] or value_of("-m", None)
                return settings, runner.Target(module, argv[index:], is_module=True)
            if not arg.startswith("-") or arg == "-":
                index -= 1
                break
            inline: str | None
            option, eq, inline = arg.partition("=")
            inline = inline if eq else None
            if option == "--db":
                settings["db"] = value_of(option, inline)
            elif option in ("--include", "--ignore"):
                settings.setdefault(option[2:], []).append(value_of(option, inline))
            elif option == "--no-threads" and inline is None:
                settings["threading"] = False
            elif option == "--lightweight" and inline is None:
                settings["lightweight_repr"] = True
            elif option == "--memory-budget":
                settings["memory_budget"] = value_of(option, inline)
            elif option == "--engine":
                settings["engine"] = value_of(option, inline)
            else:
                raise CommandError(f"unrecognized option {arg!r}", 2, usage=self.usage)
        if index >= len(argv):
            raise CommandError("nothing to run: give a SCRIPT or -m MODULE", 2, usage=self.usage)
        return settings, runner.Target(argv[index], argv[index + 1 :])

    def run(self, argv: list[str]) -> int:
        parsed = self.parse(argv)
        if parsed is None:
            return 0
        settings, target = parsed
        try:
            profiler_config, db_path = config.resolve(settings)
        except config.ConfigError as error:
            raise CommandError(str(error), EXIT_USAGE) from None
        from nefa.profiler import NativeModuleMissingError, Profiler

        profiler = Profiler(
            db_path=db_path, config=profiler_config, one_trace_per_test=self.one_trace_per_test, source=self.source
        )
        with runner.program_environment(target):
            # Looked up with the program's sys.path: -m finds modules in the
            # current directory even when run through the console script.
            try:
                runner.check_target(target)
            except runner.TargetError as error:
                raise CommandError(error.message, error.exit_code) from None
            # Before the program runs: a database that cannot take the trace
            # is said at once, not after a long run.
            try:
                db.prepare_database(db_path, timeout=profiler_config["sqlite_busy_timeout"], check=True)
            except db.DatabaseError as error:
                raise CommandError(str(error), EXIT_DATABASE) from None
            # Still inside the program's environment when finishing: the
            # document records the program's own command line.
            with runner.ProgramEnd(lambda: self._finish(profiler, db_path)) as end:
                try:
                    status = runner.execute(target, profiler)
                except NativeModuleMissingError as error:
                    raise CommandError(str(error), 1) from None
                end.finish()
        return runner.end_like_python(status)

    def _finish(self, profiler, db_path: str) -> None:
        """Store the trace and say where it went.  A failure is reported
        and leaves the program's exit status alone."""
        try:
            self.store(profiler)
            stored = True
        except db.TraceNotStoredError:
            stored = False  # reported below, with where the trace went
        except Exception as error:
            stored = False
            print(printable(f"{PROG}: error: could not store the trace in {db_path}: {error}"), file=sys.stderr)
        for failure in db.take_unsaved():
            print(printable(f"{PROG}: error: {failure}"), file=sys.stderr)
        if stored:
            self._report(profiler.trace_id, db_path)
            stats = profiler.stats()
            if stats["stored_cut"]:
                print(
                    f"{PROG}: warning: recording stopped at the memory budget "
                    f"({config.format_size(stats['memory_budget'])}): the trace keeps what came before, "
                    f"{_plural(stats['stored_dropped_events'], 'event')} dropped (raise it with --memory-budget)",
                    file=sys.stderr,
                )
        for line in failure_lines(profiler.stats()):
            print(printable(f"{PROG}: warning: {line}"), file=sys.stderr)

    one_trace_per_test = False
    source = "cli"

    def store(self, profiler) -> None:
        profiler.save()

    def _report(self, trace_id: str, db_path: str) -> None:
        where = _display_path(db_path)
        try:
            trace = db.get_trace(db_path, trace_id)
        except db.DatabaseError as error:
            print(
                printable(f"{PROG}: stored trace {trace_id} in {where} (summary unavailable: {error})"), file=sys.stderr
            )
            return
        from nefa.traces import format_duration

        print(
            printable(
                f"{PROG}: stored trace {trace_id} in {where} ({_plural(trace.record_count, 'record')}, "
                f"{_plural(trace.thread_count, 'thread')}, {format_duration(trace.duration)})"
            ),
            file=sys.stderr,
        )


class TestCommand(RunCommand):
    name = "test"
    summary = "run a test suite (e.g. -m unittest) and store one trace per test"
    usage = RunCommand.usage.replace(f"{PROG} run ", f"{PROG} test ", 1)
    help_text = RunCommand.help_text.replace(RunCommand.usage, usage, 1) + (
        "\nEach test the program runs (each unittest TestCase) is stored as a trace of\n"
        "its own as it ends; what runs outside any test is not stored.\n"
    )
    one_trace_per_test = True
    source = "test"

    def store(self, profiler) -> None:
        # Each test was stored as it ended; what ran after the last one
        # belongs to no test.  A run without tests is stored whole.
        profiler.stop()
        if profiler.stats()["trace_id"] == profiler.trace_id:
            profiler.save()
        else:
            profiler.build_trace()  # the tail after the last test: dropped

    def _report(self, trace_id: str, db_path: str) -> None:
        try:
            db.get_trace(db_path, trace_id)
        except db.TraceNotFoundError:
            where = printable(_display_path(db_path))
            print(f"{PROG}: stored one trace per test in {where} (`{PROG} traces` lists them)", file=sys.stderr)
            return
        except db.DatabaseError:
            pass
        super()._report(trace_id, db_path)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected 1 or more, got {value}")
    return min(value, 2**63 - 1)  # past what SQLite counts, the same as all


class TracesCommand(Command):
    name = "traces"
    summary = "list stored traces, newest first"

    def parser(self) -> argparse.ArgumentParser:
        parser = argparse.ArgumentParser(prog=f"{PROG} traces", description=self.summary)
        parser.add_argument("--db", metavar="PATH", help=f"trace database (default: {config.DEFAULT_DB_PATH})")
        parser.add_argument("--limit", metavar="N", type=_positive_int, help="show only the N newest traces")
        return parser

    def run(self, argv: list[str]) -> int:
        options = self.parse_options(argv)
        db_path = _database_path(options)
        where = _display_path(os.path.abspath(db_path))
        try:
            traces = db.list_traces(db_path, limit=options.limit)
        except db.DatabaseNotFoundError:
            raise CommandError(f"no trace database at {where} (record a program with `{PROG} run SCRIPT`)") from None
        except db.DatabaseError as error:
            raise CommandError(str(error), EXIT_DATABASE) from None
        if not traces:
            print(printable(f"No traces stored in {where} yet."))
            return 0
        from nefa.traces import format_listing

        try:
            print(format_listing(traces))
            sys.stdout.flush()
        except BrokenPipeError:
            _quiet_closed_stdout()
        return 0


def _database_path(options) -> str:
    """--db, or the database the configuration names."""
    if options.db is not None:
        return options.db
    try:
        _, db_path = config.resolve({})
    except config.ConfigError as error:
        raise CommandError(str(error), 2) from None
    return db_path


class _TraceCommand(Command):
    """A command that reads one stored trace: the newest unless named."""

    def parser(self) -> argparse.ArgumentParser:
        parser = argparse.ArgumentParser(prog=f"{PROG} {self.name}", description=self.summary)
        parser.add_argument(
            "trace_id",
            nargs="?",
            metavar="TRACE_ID",
            help="the trace (or a unique start of its id; default: the newest)",
        )
        parser.add_argument("--db", metavar="PATH", help=f"trace database (default: {config.DEFAULT_DB_PATH})")
        self.add_options(parser)
        return parser

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        pass

    def _trace_id(self, db_path: str, options) -> str:
        from nefa.traces.selection import TraceSelectionError, select_trace_id

        where = _display_path(os.path.abspath(db_path))
        try:
            return select_trace_id(db_path, options.trace_id, where=where)
        except TraceSelectionError as error:
            raise CommandError(error.message) from None
        except db.DatabaseError as error:
            raise CommandError(str(error), EXIT_DATABASE) from None

    def run(self, argv: list[str]) -> int:
        # Read through the call index: no tree of the trace is built.
        options = self.parse_options(argv)
        db_path = _database_path(options)
        trace_id = self._trace_id(db_path, options)
        self.check(db_path, trace_id, options)
        return self._use_index(db_path, trace_id, options)

    def check(self, db_path: str, trace_id: str, options) -> None:
        """Refuses a trace before anything is read of it."""

    def _use_index(self, db_path: str, trace_id: str, options) -> int:
        from nefa.traces.call_index import open_index
        from nefa.traces.indexed import IndexedTrace

        try:
            index = open_index(db_path, trace_id, progress=_IndexProgress(trace_id))
        except db.DocumentFormatError as error:
            raise CommandError(str(error)) from None
        except db.DatabaseError as error:
            raise CommandError(str(error), EXIT_DATABASE) from None
        with index:
            if index.note:
                print(f"{PROG}: note: {index.note}", file=sys.stderr)
            try:
                return self.use(IndexedTrace(index), options)
            except db.DocumentDamagedError as error:
                raise CommandError(str(error)) from None
            # Found damaged where it was read, or failing as a damaged index
            # does: one line, naming the trace, once.
            except (db.IndexDamagedError, *db.IndexDamagedError.READ_ERRORS) as error:
                raise CommandError(str(db.IndexDamagedError.of(error, trace_id)), EXIT_DATABASE) from None
            except db.DatabaseError as error:
                raise CommandError(str(error), EXIT_DATABASE) from None

    def use(self, trace, options) -> int:
        raise NotImplementedError


class _IndexProgress:
    """How far the index of an older trace has got, on a terminal."""

    def __init__(self, trace_id: str):
        self.trace_id = trace_id
        self.shown = 0.0
        self.started = time.monotonic()
        self.active = sys.stderr.isatty()

    def __call__(self, done: int) -> None:
        now = time.monotonic()
        if self.active and now - self.started > 1 and now - self.shown > 0.5:
            self.shown = now
            print(f"\r{PROG}: indexing trace {self.trace_id}: {done / 1e6:.0f} MB read", end="", file=sys.stderr)

    def __del__(self):
        if self.shown:
            print(file=sys.stderr)


class ShowCommand(_TraceCommand):
    name = "show"
    summary = "print a trace as an indented call tree per thread"

    def add_options(self, parser):
        parser.add_argument("--depth", metavar="N", type=_positive_int, help="show N levels of calls at most")
        parser.add_argument(
            "--filter", metavar="TEXT", help="only calls whose qualified name or path contains TEXT, with their callers"
        )
        parser.add_argument("--thread", metavar="NAME_OR_ID", help="only this thread (name or native id)")
        parser.add_argument(
            "--color",
            choices=("auto", "always", "never"),
            default="auto",
            help="colour the output (default: auto, i.e. on a terminal unless NO_COLOR is set)",
        )

    def use(self, trace, options) -> int:
        from nefa.traces.indexed import render_tree
        from nefa.traces.show import ThreadNotFoundError, use_color

        try:
            render_tree(
                trace,
                sys.stdout,
                depth=options.depth,
                needle=options.filter,
                thread=options.thread,
                color=use_color(sys.stdout, options.color),
            )
            sys.stdout.flush()
        except ThreadNotFoundError as error:
            raise CommandError(str(error)) from None
        except BrokenPipeError:
            _quiet_closed_stdout()
        return 0


def _quiet_closed_stdout() -> None:
    # Piped into `head`: stop quietly, and keep Python from complaining
    # about the closed stdout at exit.
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


class TopCommand(_TraceCommand):
    name = "top"
    summary = "per function: calls, total and self time, the costliest first (like pstats)"

    def add_options(self, parser):
        parser.add_argument(
            "--limit", metavar="N", type=_positive_int, default=20, help="show the N first functions (default: 20)"
        )
        parser.add_argument(
            "--sort",
            choices=("calls", "total", "self"),
            default="self",
            help="order by number of calls, total time or self time (default: self)",
        )
        parser.add_argument(
            "--color", choices=("auto", "always", "never"), default="auto", help="colour the output (default: auto)"
        )

    def use(self, trace, options) -> int:
        from nefa.traces.indexed import render_summary
        from nefa.traces.show import use_color

        try:
            render_summary(
                trace, sys.stdout, limit=options.limit, sort=options.sort, color=use_color(sys.stdout, options.color)
            )
            sys.stdout.flush()
        except BrokenPipeError:
            _quiet_closed_stdout()
        return 0


class _ExportProgress:
    """A bar on a terminal while a large trace is exported: one line, rewritten."""

    LARGE = 200_000  # records
    LARGE_BYTES = 64 << 20  # when the trace has no index to count its records

    def __init__(self, trace_id: str, records: int | None):
        self.trace_id = trace_id
        self.records = records
        self.active = sys.stderr.isatty() and (records is None or records > self.LARGE)
        self.shown = 0.0
        self.width = 0

    def __call__(self, done: int, total: int) -> None:
        if not self.active or (self.records is None and total < 2 * self.LARGE_BYTES):
            return
        now = time.monotonic()
        if now - self.shown < 0.2 and done < total:
            return
        self.shown = now
        share = done / total if total else 1.0
        filled = int(share * 30)
        line = f"\r{PROG}: exporting trace {self.trace_id} [{'#' * filled}{'.' * (30 - filled)}] {share:4.0%}"
        self.width = len(line)
        print(line, end="", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.width:
            print("\r" + " " * self.width + "\r", end="", file=sys.stderr, flush=True)
            self.width = 0


class ExportCommand(_TraceCommand):
    name = "export"
    summary = "write a trace for Perfetto / chrome://tracing or speedscope, or its stored MessagePack"

    def add_options(self, parser):
        parser.add_argument(
            "--format",
            choices=("chrome", "speedscope", "msgpack"),
            default="chrome",
            help="chrome: Trace Event JSON; speedscope: evented profile; msgpack: the stored"
            " document's exact bytes (default: chrome)",
        )
        parser.add_argument(
            "-o",
            "--output",
            metavar="FILE",
            help="where to write (default: TRACE_ID.FORMAT.json here, TRACE_ID.msgpack for msgpack;"
            " - for standard output)",
        )

    def run(self, argv: list[str]) -> int:
        # Streamed from the stored document: no tree of the trace is built.
        options = self.parse_options(argv)
        db_path = _database_path(options)
        trace_id = self._trace_id(db_path, options)
        from nefa.traces.output import file_name_for
        from nefa.traces.reader import TraceFormatError
        from nefa.traces.stream_export import export_document, export_trace, record_count

        raw = options.format == "msgpack"
        output = options.output or file_name_for(trace_id, ".msgpack" if raw else f".{options.format}.json")
        progress = _ExportProgress(trace_id, record_count(db_path, trace_id) if sys.stderr.isatty() else None)
        try:
            if raw:
                if output == "-":
                    sys.stdout.flush()
                export_document(db_path, trace_id, sys.stdout.buffer if output == "-" else output, progress=progress)
                if output == "-":
                    sys.stdout.flush()
            else:
                export_trace(
                    db_path, trace_id, options.format, sys.stdout if output == "-" else output, progress=progress
                )
        except TraceFormatError as error:
            raise CommandError(str(error)) from None
        except db.DatabaseError as error:
            raise CommandError(str(error), EXIT_DATABASE) from None
        except BrokenPipeError:
            if output != "-":
                raise CommandError(f"cannot write {output}: broken pipe") from None
            _quiet_closed_stdout()
            return 0
        except OSError as error:
            raise CommandError(f"cannot write {output}: {error.strerror or error}") from None
        finally:
            progress.close()
        if output != "-":
            print(printable(_display_path(os.path.abspath(output))))
        return 0


class ViewCommand(_TraceCommand):
    name = "view"
    summary = "show a trace in the web browser: flame chart, values, search (served locally, or one page with -o)"

    # What one self-contained page holds at most: it embeds every call and
    # value, and takes about its weight in browser memory.
    PAGE_RECORDS = 200_000

    def add_options(self, parser):
        parser.add_argument(
            "-o",
            "--output",
            metavar="FILE",
            help=f"write one self-contained page instead (traces of up to {self.PAGE_RECORDS:,} records)",
        )
        parser.add_argument("--open", action="store_true", help="open the viewer in the default web browser")
        parser.add_argument(
            "--port", metavar="N", type=int, default=0, help="serve on this port of 127.0.0.1 (default: a free one)"
        )

    def check(self, db_path: str, trace_id: str, options) -> None:
        if not options.output:
            return
        try:
            records = db.get_trace(db_path, trace_id).record_count
        except db.DatabaseError as error:
            raise CommandError(str(error), EXIT_DATABASE) from None
        if records > self.PAGE_RECORDS:
            raise CommandError(
                f"trace {trace_id} has {records:,} records, too many for one page (-o takes up to"
                f" {self.PAGE_RECORDS:,}): run `{PROG} view {trace_id}` without -o to serve it instead"
            )

    def use(self, trace, options) -> int:
        if not options.output:
            return self._serve(trace, options)
        from nefa.traces.viewer import write_view

        try:
            path = write_view(trace, options.output)
        except db.DocumentFormatError as error:
            raise CommandError(str(error)) from None
        except OSError as error:
            raise CommandError(f"cannot write {options.output}: {error.strerror or error}") from None
        print(printable(_display_path(os.path.abspath(path))))
        if options.open:
            import webbrowser

            if not webbrowser.open(path.resolve().as_uri()):
                print(f"{PROG}: could not open a web browser; open the file above yourself", file=sys.stderr)
        return 0

    def _serve(self, trace, options) -> int:
        """Serves until Ctrl-C, which ends it quietly with status 0: it is
        how one is meant to stop the viewer."""
        from nefa.traces.server import ViewServer

        try:
            server = ViewServer(trace, options.port)
        except (OSError, OverflowError) as error:
            raise CommandError(
                f"cannot serve on 127.0.0.1:{options.port}: {getattr(error, 'strerror', None) or error}"
            ) from None
        page = None
        with server:
            print(f"{PROG}: serving trace {printable(trace.trace_id)} at {server.url}  (Ctrl-C to stop)", flush=True)
            try:
                if options.open:
                    page = self._open_browser(server.url)
                server.serve_forever()
            except KeyboardInterrupt:
                pass
            finally:
                if page is not None:
                    shutil.rmtree(page.parent, ignore_errors=True)
        return 0

    @staticmethod
    def _open_browser(url: str):
        """Opens the browser on a private page that forwards it to ``url``
        (the token must not be on a command line); returns that page."""
        import webbrowser

        from nefa.traces.server import forwarding_page

        try:
            page = forwarding_page(url)
        except OSError:
            page = None
        if page is None or not webbrowser.open(page.as_uri()):
            print(f"{PROG}: could not open a web browser; open the address above yourself", file=sys.stderr)
        return page


class ImportCommand(Command):
    name = "import"
    summary = "store a trace that could not be stored when it was recorded (an unsaved-*.msgpack file)"

    def parser(self) -> argparse.ArgumentParser:
        parser = argparse.ArgumentParser(prog=f"{PROG} import", description=self.summary)
        parser.add_argument("file", metavar="FILE", help="the file nefa wrote the trace to")
        parser.add_argument("--db", metavar="PATH", help=f"trace database (default: {config.DEFAULT_DB_PATH})")
        return parser

    def run(self, argv: list[str]) -> int:
        options = self.parse_options(argv)
        try:
            settings, configured_db = config.resolve({})
        except config.ConfigError as error:
            raise CommandError(str(error), EXIT_USAGE) from None
        db_path = os.path.abspath(options.db if options.db is not None else configured_db)
        try:
            trace_id, stored = db.import_file(db_path, options.file, timeout=settings["sqlite_busy_timeout"])
        except OSError as error:
            raise CommandError(str(error)) from None
        except (ValueError, TypeError) as error:
            raise CommandError(f"{options.file}: {error}", EXIT_NOT_A_TRACE) from None
        except db.DatabaseError as error:
            raise CommandError(str(error), EXIT_DATABASE) from None
        except sqlite3.Error as error:
            raise CommandError(f"could not store {options.file} in {db_path}: {error}", EXIT_DATABASE) from None
        where = _display_path(db_path)
        if stored:
            print(
                printable(f"{PROG}: stored trace {trace_id} in {where}; {options.file} may be deleted"), file=sys.stderr
            )
        else:
            print(
                printable(f"{PROG}: {options.file} is already stored in {where}, as part of trace {trace_id}"),
                file=sys.stderr,
            )
        return 0


COMMANDS: dict[str, Command] = {
    command.name: command
    for command in (
        RunCommand(),
        TestCommand(),
        TracesCommand(),
        ShowCommand(),
        TopCommand(),
        ExportCommand(),
        ViewCommand(),
        ImportCommand(),
    )
}


def _exit_status(code) -> int:
    if code is None:
        return 0
    return code if isinstance(code, int) else 1


def _usage() -> str:
    lines = [f"usage: {PROG} [--version] COMMAND [ARGS...]", "", "commands:"]
    width = max(map(len, COMMANDS))
    lines += [f"  {name.ljust(width)}  {command.summary}" for name, command in COMMANDS.items()]
    lines += ["", f"Run `{PROG} COMMAND --help` for a command's options."]
    return "\n".join(lines) + "\n"


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        if not args:
            raise CommandError("no command given", 2, usage=_usage())
        first = args[0]
        if first in ("-h", "--help"):
            print(_usage(), end="")
            return 0
        if first == "--version":
            print(f"{PROG} {__version__}")
            return 0
        command = COMMANDS.get(first)
        if command is None:
            raise CommandError(f"unknown command {first!r}", 2, usage=_usage())
        return command.run(args[1:])
    except _ParserExit as exit_:
        return exit_.exit_code
    except CommandError as error:
        if error.usage:
            print(error.usage.rstrip("\n"), file=sys.stderr)
        print(f"{PROG}: error: {printable(error.message, lines=True)}", file=sys.stderr)
        return error.exit_code
