"""Run a script or a module as ``__main__``, as the interpreter would."""

from __future__ import annotations

import atexit
import contextlib
import functools
import importlib.util
import os
import runpy
import signal
import sys
import threading
import zipfile
from collections.abc import Callable
from dataclasses import dataclass, field

__all__ = [
    "ProgramEnd",
    "SaveAbandoned",
    "Target",
    "TargetError",
    "check_target",
    "end_like_python",
    "execute",
    "program_environment",
]


@dataclass(frozen=True)
class Target:
    """What to run: a script path (or directory/zip with ``__main__.py``)
    or, with ``is_module``, a module name; plus the program's arguments."""

    name: str
    args: list[str] = field(default_factory=list)
    is_module: bool = False

    @property
    def argv(self) -> list[str]:
        # For -m, runpy puts the module's file in argv[0] while it runs.
        return [self.name, *self.args]


class TargetError(Exception):
    def __init__(self, message: str, exit_code: int):
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code


def check_target(target: Target) -> None:
    """Fail early, with the interpreter's message and status, when there is
    nothing to run."""
    if target.is_module:
        top = target.name.partition(".")[0]
        # Only the top-level package is looked up: finding a submodule would
        # import (run) its parent packages before recording starts.
        try:
            found = bool(top) and importlib.util.find_spec(top) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            raise TargetError(f"No module named {top or target.name!r}", 1)
    elif not os.path.exists(target.name):
        raise TargetError(f"can't open file {os.path.abspath(target.name)!r}: [Errno 2] No such file or directory", 2)


def _path_entry(target: Target) -> str:
    if target.is_module:
        return os.getcwd()
    if os.path.isdir(target.name) or zipfile.is_zipfile(target.name):
        return os.path.abspath(target.name)
    return os.path.dirname(os.path.realpath(target.name))


@contextlib.contextmanager
def program_environment(target: Target):
    """``sys.argv`` and ``sys.path[0]`` as the program expects them; both are
    put back afterwards."""
    saved_argv = sys.argv
    saved_path = list(sys.path)
    sys.argv = target.argv
    entry = _path_entry(target)
    if sys.path:
        sys.path[0] = entry
    else:
        sys.path.append(entry)
    try:
        yield
    finally:
        sys.argv = saved_argv
        sys.path[:] = saved_path


def _exit_status(code) -> int:
    """The process status the interpreter gives ``SystemExit(code)``."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    # sys.exit("message"): the message goes to stderr, the status is 1.
    try:
        print(code, file=sys.stderr)
    except Exception:
        pass
    return 1


def _program_traceback(tb):
    """Drop the leading frames of nefa and runpy, which the interpreter
    would not have shown."""
    while tb is not None:
        module = tb.tb_frame.f_globals.get("__name__", "")
        if module != "runpy" and module != "nefa" and not module.startswith("nefa."):
            break
        tb = tb.tb_next
    return tb


def _report_uncaught(error: BaseException) -> None:
    tb = _program_traceback(error.__traceback__)
    # The default hook prints the exception's own traceback, not its argument.
    error.__traceback__ = tb
    try:
        sys.excepthook(type(error), error, tb)
    except BaseException as hook_error:
        # As the interpreter does when a custom hook fails.
        print("Error in sys.excepthook:", file=sys.stderr)
        sys.__excepthook__(type(hook_error), hook_error, hook_error.__traceback__)
        print("\nOriginal exception was:", file=sys.stderr)
        sys.__excepthook__(type(error), error, tb)


def _wait_for_threads() -> None:
    # The interpreter waits for non-daemon threads before it exits; do the
    # same while still recording, so that their work is in the trace.
    current = threading.current_thread()
    for thread in threading.enumerate():
        if thread is not current and not thread.daemon:
            try:
                thread.join()
            except KeyboardInterrupt:
                return
            except RuntimeError:
                continue


def _restore_module_argv0(target: Target) -> None:
    # runpy puts argv[0] back to the module name once the module returns;
    # the trace should show the command line the program itself saw.
    if sys.argv and sys.argv[0] == target.name:
        try:
            found = importlib.util.find_spec(target.name)
            if found is not None and found.submodule_search_locations is not None:
                found = importlib.util.find_spec(target.name + ".__main__")  # a package run with -m
        except (ImportError, ValueError):
            return
        if found is not None and found.origin and found.has_location:
            sys.argv[0] = found.origin


def execute(target: Target, profiler=None) -> int:
    """Run ``target`` (inside :func:`program_environment`) and return the
    exit status the interpreter would have given it: negative for a
    signal to die by (an uncaught KeyboardInterrupt), see
    :func:`end_like_python`.

    ``profiler`` (optional) is started just before the program and stopped
    once the program and its non-daemon threads are done.
    """
    status = 0
    if profiler is not None:
        profiler.start()
    try:
        try:
            if target.is_module:
                runpy.run_module(target.name, run_name="__main__", alter_sys=True)
            else:
                runpy.run_path(target.name, run_name="__main__")
        except SystemExit as error:
            status = _exit_status(error.code)
        except KeyboardInterrupt as error:
            _report_uncaught(error)
            # The interpreter dies by SIGINT here, once it has shut down.
            status = -signal.SIGINT
        except BaseException as error:
            _report_uncaught(error)
            status = 1
        _wait_for_threads()
        if target.is_module:
            _restore_module_argv0(target)
    finally:
        if profiler is not None:
            profiler.stop()
        with contextlib.suppress(Exception):
            sys.stdout.flush()
    return status


def _die_by(signum: int) -> None:
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def end_like_python(status: int) -> int:
    """For a negative ``status`` from :func:`execute`, end the process as
    the interpreter would: shut down (exit handlers, flushed streams),
    then die by that signal.  Returns the status to exit with otherwise,
    or if the signal is blocked (128 + its number, as the interpreter
    does)."""
    if status >= 0:
        return status
    signum = -status
    with contextlib.suppress(Exception):
        atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    _die_by(signum)
    return 128 + signum


class SaveAbandoned(Exception):
    """Raised into the save by a second Ctrl-C: the store gives up and
    keeps the trace in an unsaved file instead."""


class _QuietStream:
    """nefa's lines once the program has ended: a stream that fails to
    take them (closed, its descriptor gone) loses them, never the status."""

    def __init__(self, stream):
        self._stream = stream

    # Only the stream's own failures: a second Ctrl-C may arrive while
    # writing, and must get through.
    _FAILURES = (OSError, ValueError)

    def write(self, text: str) -> int:
        if self._stream is not None:
            with contextlib.suppress(*self._FAILURES):
                self._stream.write(text)
        return len(text)

    def flush(self) -> None:
        if self._stream is not None:
            with contextlib.suppress(*self._FAILURES):
                self._stream.flush()

    def isatty(self) -> bool:
        return False


def _usable(stream) -> bool:
    if stream is None or getattr(stream, "closed", True):
        return False
    try:
        os.fstat(stream.fileno())
    except OSError:
        return False  # its descriptor was closed
    except Exception:
        pass  # a stream with no descriptor (captured output)
    return True


@contextlib.contextmanager
def _summary_stderr():
    """``sys.stderr`` while finishing: the program's, or the original one
    when the program closed or dropped its own, or nowhere."""
    saved = sys.stderr
    stream = next((s for s in (saved, sys.__stderr__) if _usable(s)), None)
    sys.stderr = _QuietStream(stream)  # type: ignore[assignment]  # writes and flushes are all nefa needs
    try:
        yield
    finally:
        sys.stderr = saved


class _DeferredInterrupt:
    """Ctrl-C while the trace is saved: the first is only acknowledged,
    the second abandons the save (the store then keeps the trace in an
    unsaved file), later ones are ignored while that file is written."""

    def __init__(self):
        self._presses = 0
        self._saved = None

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            current = signal.getsignal(signal.SIGINT)
            if current is not signal.SIG_IGN and current is not None:
                self._saved = current
                signal.signal(signal.SIGINT, self._on_sigint)
        return self

    def __exit__(self, *exc_info) -> None:
        if self._saved is not None:
            signal.signal(signal.SIGINT, self._saved)

    def _on_sigint(self, signum, frame) -> None:
        self._presses += 1
        if self._presses == 1:
            print(
                "nefa: saving the trace... (Ctrl-C again to abandon it and keep it in an unsaved file)", file=sys.stderr
            )
        elif self._presses == 2:
            raise SaveAbandoned("the save was abandoned (Ctrl-C)")


class ProgramEnd:
    """Runs ``finish`` (store the trace, say so) exactly once, however the
    program ends: normally, by SIGTERM, or through ``os._exit``.

    SIGTERM: the interpreter's default is to die at once, without
    cleanup; the program is still ended that way, after ``finish``.  A
    SIGTERM handler of the program's own replaces this one, and an ignored
    SIGTERM stays ignored.  ``os._exit`` finishes, then exits with the
    status given.  A forked child ends as it would without nefa: the
    trace is its parent's to store.
    """

    def __init__(self, finish: Callable[[], None]):
        self._finish = finish
        self._state = "pending"  # then "running", then "done"
        self._terminate = False
        self._pid = os.getpid()
        self._real_exit = os._exit
        self._installed_handler = False

    def __enter__(self) -> ProgramEnd:
        if threading.current_thread() is threading.main_thread() and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, self._on_sigterm)
            self._installed_handler = True
        real_exit = self._real_exit

        @functools.wraps(real_exit)
        def _exit(status):
            if os.getpid() == self._pid:
                with contextlib.suppress(BaseException):
                    self.finish()
            real_exit(status)

        os._exit = _exit
        return self

    def __exit__(self, *exc_info) -> None:
        os._exit = self._real_exit
        if self._installed_handler and signal.getsignal(signal.SIGTERM) == self._on_sigterm:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)

    def finish(self) -> None:
        if self._state != "pending":
            return
        self._state = "running"
        try:
            with _summary_stderr(), _DeferredInterrupt():
                self._finish()
        finally:
            self._state = "done"
        if self._terminate:
            _die_by(signal.SIGTERM)

    def _on_sigterm(self, signum, frame) -> None:
        if os.getpid() == self._pid:
            if self._state == "running":
                # Storing already: let it end, then die.
                self._terminate = True
                return
            with contextlib.suppress(Exception):
                self.finish()
        with contextlib.suppress(Exception):
            sys.stderr.flush()
        _die_by(signal.SIGTERM)
