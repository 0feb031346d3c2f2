"""The ``nefa`` command line.

Each subcommand is a :class:`Command` object: it parses its own arguments
and returns an exit status.  Problems are raised as :class:`CommandError`,
which carries the status to exit with; :func:`main` prints them.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from nefa import config, db, runner
from nefa.version import __version__

__all__ = ["Command", "CommandError", "RunCommand", "TracesCommand", "main"]

PROG = "nefa"


class CommandError(Exception):
    """A problem to report; ``usage`` is shown above the message if given."""

    def __init__(self, message: str, exit_code: int = 1, *, usage: str | None = None):
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code
        self.usage = usage


class Command:
    name: str = ""
    summary: str = ""

    def run(self, argv: list[str]) -> int:
        raise NotImplementedError


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
        "[--no-threads] [--lightweight] (SCRIPT | -m MODULE) [ARGS...]"
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
            raise CommandError(str(error), 2) from None
        from nefa.profiler import NativeModuleMissingError, Profiler

        profiler = Profiler(db_path=db_path, config=profiler_config, source="cli")
        with runner.program_environment(target):
            # Looked up with the program's sys.path: -m finds modules in the
            # current directory even when run through the console script.
            try:
                runner.check_target(target)
            except runner.TargetError as error:
                raise CommandError(error.message, error.exit_code) from None
            try:
                status = runner.execute(target, profiler)
            except NativeModuleMissingError as error:
                raise CommandError(str(error), 1) from None
            # Still inside the program's environment: the document records
            # the program's own command line.
            try:
                profiler.save()
            except Exception as error:
                print(f"{PROG}: error: could not store the trace in {db_path}: {error}", file=sys.stderr)
                return status or 1
        self._report(profiler.trace_id, db_path)
        return status

    def _report(self, trace_id: str, db_path: str) -> None:
        where = _display_path(db_path)
        try:
            trace = db.get_trace(db_path, trace_id)
        except db.DatabaseError as error:
            print(f"{PROG}: stored trace {trace_id} in {where} (summary unavailable: {error})", file=sys.stderr)
            return
        from nefa.traces import format_duration

        print(
            f"{PROG}: stored trace {trace_id} in {where} ({_plural(trace.record_count, 'record')}, "
            f"{_plural(trace.thread_count, 'thread')}, {format_duration(trace.duration)})",
            file=sys.stderr,
        )


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected 1 or more, got {value}")
    return value


class TracesCommand(Command):
    name = "traces"
    summary = "list stored traces, newest first"

    def parser(self) -> argparse.ArgumentParser:
        parser = argparse.ArgumentParser(prog=f"{PROG} traces", description=self.summary)
        parser.add_argument("--db", metavar="PATH", help=f"trace database (default: {config.DEFAULT_DB_PATH})")
        parser.add_argument("--limit", metavar="N", type=_positive_int, help="show only the N newest traces")
        return parser

    def run(self, argv: list[str]) -> int:
        try:
            options = self.parser().parse_args(argv)
        except SystemExit as exit_:
            return _exit_status(exit_.code)
        if options.db is not None:
            db_path = options.db
        else:
            try:
                _, db_path = config.resolve({})
            except config.ConfigError as error:
                raise CommandError(str(error), 2) from None
        where = _display_path(os.path.abspath(db_path))
        try:
            traces = db.list_traces(db_path, limit=options.limit)
        except db.DatabaseNotFoundError:
            raise CommandError(f"no trace database at {where} (record a program with `{PROG} run SCRIPT`)") from None
        except db.DatabaseError as error:
            raise CommandError(str(error)) from None
        if not traces:
            print(f"No traces stored in {where} yet.")
            return 0
        from nefa.traces import format_listing

        print(format_listing(traces))
        return 0


COMMANDS: dict[str, Command] = {command.name: command for command in (RunCommand(), TracesCommand())}


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
    except CommandError as error:
        if error.usage:
            print(error.usage.rstrip("\n"), file=sys.stderr)
        print(f"{PROG}: error: {error.message}", file=sys.stderr)
        return error.exit_code
