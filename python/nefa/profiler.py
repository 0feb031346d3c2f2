"""The host side of a recording: what the native hook is registered with."""

from __future__ import annotations

import functools
import os
import sys
import threading
import time
from collections.abc import Mapping

from nefa import config as config_module
from nefa import redaction

__all__ = ["NativeModuleMissingError", "Profiler", "new_ulid"]

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def new_ulid() -> str:
    """A 26-character ULID: 48 bits of Unix time in ms, then 80 random bits.

    Crockford base32, so ids sort by creation time (to the millisecond).
    """
    value = ((time.time_ns() // 1_000_000) << 80) | int.from_bytes(os.urandom(10), "big")
    chars = []
    for _ in range(26):
        value, digit = divmod(value, 32)
        chars.append(_CROCKFORD[digit])
    return "".join(reversed(chars))


class NativeModuleMissingError(RuntimeError):
    pass


def recording_module():
    """The native recording module (nefa._nefa); NativeModuleMissingError, saying
    how to get it, where it is missing."""
    try:
        from nefa import _nefa
    except ImportError as error:
        raise NativeModuleMissingError(
            f"nefa's native module is not available ({error}); reinstall nefa with `python -m pip install .`"
        ) from error
    return _nefa


# Profilers between start() and stop(): under the monitoring engine no
# profile function shows that a thread is being recorded, they can tell.
_RECORDING: set = set()
_RECORDING_LOCK = threading.Lock()


def thread_is_recorded() -> bool:
    """Whether some nefa profiler records the calling thread, whatever its engine."""
    if sys.getprofile() is not None:
        return True
    with _RECORDING_LOCK:
        recording = list(_RECORDING)
    for profiler in recording:
        native = profiler.rust_profiler
        if native is not None and native.records_this_thread():
            return True
    return False


_CHECKED_DATABASES: set[str] = set()


class Profiler:
    """Records the calls and returns of the current thread (and, with the
    ``threading`` setting, of threads started while it records).

    Three ways to use it::

        with Profiler() as profiler:     # records the block, saves on exit
            work()

        profiler = Profiler()
        profiler.start(); work(); profiler.stop(); profiler.save()

        @Profiler()                      # records and saves every call
        def handle(request): ...

    A profiler has one trace id.  Each save stores what was recorded since
    the latest ``start()`` as one more part of that trace, so a decorated
    function's calls end up as the parts of a single trace, in call order.
    """

    def __init__(
        self,
        *,
        db_path: str | os.PathLike[str] | None = None,
        config: Mapping | None = None,
        one_trace_per_test: bool = False,
        source: str = "api",
    ):
        if type(one_trace_per_test) is not bool:
            raise TypeError(f"one_trace_per_test must be True or False, not {one_trace_per_test!r}")
        if not isinstance(source, str) or not source:
            raise TypeError(f"source must be a non-empty string, not {source!r}")
        self.config: dict = config_module.make_config(config)
        # Absolute, so that a program changing directory still saves here.
        self.db_path = os.path.abspath(os.fspath(db_path) if db_path is not None else config_module.DEFAULT_DB_PATH)
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = "trc_" + new_ulid()
        self.source = source
        # Set by the native module on registration.
        self.rust_profiler = None
        self._recording = False
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        state = "recording" if self._recording else "idle"
        return f"<Profiler {self.trace_id} {state} db={self.db_path!r}>"

    @property
    def recording(self) -> bool:
        return self._recording

    def start(self) -> None:
        """Start recording the calling thread.  A database that cannot take
        the trace raises DatabaseError here, not once the work is done."""
        if self.db_path not in _CHECKED_DATABASES:
            recording_module()  # its absence is said first
            from nefa.store.connections import prepare_database

            prepare_database(self.db_path, timeout=self.config["sqlite_busy_timeout"])
            # Once per process: a profiler per request must not pay for it each time.
            _CHECKED_DATABASES.add(self.db_path)
        if not self._start():
            raise RuntimeError("this profiler is already recording")

    def _start(self) -> bool:
        native = recording_module()
        with self._lock:
            if self._recording:
                return False
            self._recording = True
        try:
            redaction.configure(self.config)
            native.register_profiler(self)
        except BaseException:
            self._recording = False
            raise
        with _RECORDING_LOCK:
            _RECORDING.add(self)
        return True

    def stop(self) -> None:
        """Stop recording; what was recorded stays available to save()."""
        if not self._recording:
            return
        recording_module().register_noop_profiler()
        # Then no hook at all: even a do-nothing one costs every later call.
        sys.setprofile(None)
        if self.config.get("threading"):
            # Threads started from now on must not pick up the hook.
            threading.setprofile(None)
        with _RECORDING_LOCK:
            _RECORDING.discard(self)
        self._recording = False

    def _require_native_profiler(self):
        if self.rust_profiler is None:
            raise RuntimeError("nothing recorded yet: call start() first")
        return self.rust_profiler

    def build_trace(self) -> bytes:
        """The MessagePack trace document of what was recorded so far."""
        return self._require_native_profiler().build_trace()

    def save(self) -> None:
        """Stop recording if needed and store the recording in the database."""
        native_profiler = self._require_native_profiler()
        self.stop()
        try:
            native_profiler.save_request_in_db()
        finally:
            # A forked child records under a trace id of its own.
            self.trace_id = native_profiler.stats()["trace_id"]

    def stats(self) -> dict:
        """How the recording stands: ``trace_id``, ``parent_trace_id`` (in a
        forked child), ``memory_budget``, ``buffered_bytes``, whether the
        current trace was ``cut`` at the budget and its ``dropped_events``;
        and, over the stores so far, ``stored``, ``store_failures``,
        ``stored_cut`` and ``stored_dropped_events``."""
        return self._require_native_profiler().stats()

    def __enter__(self) -> Profiler:
        self.start()
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        # Saved even when the block raised: that is often the run of interest.
        self.save()

    def __call__(self, func):
        """Decorate ``func`` so that each call is recorded and saved.

        A call made while this profiler is already recording (a recursive
        call, or one inside ``with profiler:``) just runs, as part of the
        ongoing recording.
        """
        if not callable(func):
            raise TypeError(f"Profiler() decorates a callable, not {type(func).__name__}")

        @functools.wraps(func)
        def recorded(*args, **kwargs):
            if not self._start():
                return func(*args, **kwargs)
            try:
                return func(*args, **kwargs)
            finally:
                self.save()

        return recorded
