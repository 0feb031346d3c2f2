import os
import re
import threading
import time

import pytest

import nefa
from nefa import profiler as profiler_module
from nefa.profiler import Profiler, new_ulid

CROCKFORD_ULID = re.compile(r"[0-9A-HJKMNP-TV-Z]{26}")


def ulid_millis(ulid):
    return int(ulid[:10].translate(str.maketrans("JKMNPQRSTVWXYZ", "IJKLMNOPQRSTUV")), 32)


def test_ulid_format_time_and_uniqueness():
    before = time.time_ns() // 1_000_000
    ids = [new_ulid() for _ in range(2000)]
    after = time.time_ns() // 1_000_000
    assert all(CROCKFORD_ULID.fullmatch(u) for u in ids)
    assert all(before <= ulid_millis(u) <= after for u in ids)
    assert len({u[10:] for u in ids}) == len(ids)  # the random part alone is unique


def test_profiler_attributes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    p = Profiler()
    assert re.fullmatch(r"trc_" + CROCKFORD_ULID.pattern, p.trace_id) and Profiler().trace_id != p.trace_id
    assert p.db_path == str(tmp_path / ".nefa" / "db.sqlite3")
    assert type(p.config) is dict and p.config["threading"] is True

    q = Profiler(db_path="rel.db", config={"threading": False}, one_trace_per_test=True, source="pytest")
    assert q.db_path == os.path.join(str(tmp_path), "rel.db")
    assert q.config["threading"] is False and q.one_trace_per_test is True

    with pytest.raises(TypeError):
        Profiler(one_trace_per_test=1)
    with pytest.raises(TypeError):
        Profiler(source="")
    with pytest.raises(ValueError):
        Profiler(config={"threading": "no"})


def test_using_a_profiler_before_starting_it():
    p = Profiler()
    for method in (p.build_trace, p.save):
        with pytest.raises(RuntimeError, match="start"):
            method()


class FakeNative:
    """Stands in for the native module: logs what the host asks of it."""

    def __init__(self):
        self.log = []

    def register_profiler(self, profiler):
        assert type(profiler.config) is dict and callable(profiler)
        log = self.log
        log.append("register")
        serial = log.count("register")

        class Recording:
            def build_trace(self):
                return b"doc%d" % serial

            def save_request_in_db(self):
                log.append(f"save {serial}")

            def stats(self):
                return {"trace_id": profiler.trace_id}

        profiler.rust_profiler = Recording()

    def register_noop_profiler(self):
        self.log.append("noop")


@pytest.fixture
def fake_native(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # start() creates the default database here
    native = FakeNative()
    monkeypatch.setattr(profiler_module, "recording_module", lambda: native)
    return native


def test_context_manager_saves_even_on_error(fake_native):
    with pytest.raises(KeyError):
        with Profiler() as p:
            assert p.recording
            with pytest.raises(RuntimeError, match="already recording"):
                p.start()
            raise KeyError("boom")
    assert not p.recording
    assert fake_native.log == ["register", "noop", "save 1"]
    assert p.build_trace() == b"doc1"


def test_decorator_saves_one_part_per_outermost_call(fake_native):
    p = Profiler()

    @p
    def countdown(n):
        """Counts down."""
        if n == 0:
            raise ValueError("done")
        return countdown(n - 1)

    assert countdown.__name__ == "countdown" and countdown.__doc__ == "Counts down."
    with pytest.raises(ValueError):
        countdown(3)
    with pytest.raises(ValueError):
        countdown(1)
    # Recursive calls ride on the outer recording.
    assert fake_native.log == ["register", "noop", "save 1", "register", "noop", "save 2"]

    @nefa.profile
    def add(a, b):
        return a + b

    assert add(2, 3) == 5
    assert fake_native.log[-3:] == ["register", "noop", "save 3"]
    with pytest.raises(TypeError):
        p(42)


def test_stop_unhooks_future_threads_only_when_threading(fake_native):
    def sentinel(*args):
        return None

    for threading_on, expected in [(True, None), (False, sentinel)]:
        threading.setprofile(sentinel)
        try:
            p = Profiler(config={"threading": threading_on})
            p.start()
            p.stop()
            assert threading.getprofile() is expected
        finally:
            threading.setprofile(None)


def test_start_refuses_an_unusable_database(fake_native, tmp_path):
    from nefa import db

    (tmp_path / "dir.db").mkdir()
    p = Profiler(db_path=tmp_path / "dir.db")
    with pytest.raises(db.DatabaseError, match="it is a directory"):
        with p:
            raise AssertionError("the block must not run")
    assert not p.recording and fake_native.log == []


def test_missing_native_module_is_explained(monkeypatch):
    # None in sys.modules makes the import fail, as with an unbuilt module.
    monkeypatch.setitem(__import__("sys").modules, "nefa._nefa", None)
    monkeypatch.delattr(nefa, "_nefa", raising=False)
    p = Profiler()
    with pytest.raises(profiler_module.NativeModuleMissingError, match="pip install"):
        p.start()
    assert not p.recording
