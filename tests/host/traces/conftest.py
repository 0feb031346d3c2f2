import importlib
import os
import re
import subprocess
import sys
import textwrap

import msgpack
import pytest

from nefa import db

START = 1_700_000_000.0


class Records:
    """Builds a thread's records the way the native module lays them out."""

    def __init__(self, thread_id=1, name="MainThread"):
        self.thread_id = thread_id
        self.name = name
        self.records = []
        self.counter = 0

    def _base(self, offset):
        return {
            "thread": self.name,
            "thread_native_id": self.thread_id,
            "timestamp": START + offset,
            "user_code_call_site": None,
        }

    def call(self, qualname, offset, *, frame_id=None, line=1, file="app.py", locals=None):
        if frame_id is None:
            self.counter += 1
            frame_id = f"frm_{self.thread_id}_{self.counter}"
        self._frame("call", qualname, offset, frame_id, None, f"{file}:{line}", locals)
        return frame_id

    def ret(self, qualname, offset, frame_id, *, value=None, line=2, file="app.py", locals=None):
        self._frame("return", qualname, offset, frame_id, value, f"{file}:{line}", locals)

    def _frame(self, event, qualname, offset, frame_id, arg, path, locals):
        record = self._base(offset)
        record.update(
            path=path,
            co_name=qualname.rsplit(".", 1)[-1],
            qualname=qualname,
            event=event,
            frame_id=frame_id,
            arg=arg,
            locals=locals or {},
            type="frame",
        )
        self.records.append(record)

    def plugin(self, type_, offset, subtype=None, frame_id=None, **data):
        record = self._base(offset)
        record.update(type=type_, frame_id=frame_id, **data)
        if subtype is not None:
            record["subtype"] = subtype
        self.records.append(record)


def pack_document(main, others=(), *, interleave=False, trace_id="trc_test", start=START):
    """A document whose frames_of_interest are ``main``'s records (and,
    with ``interleave``, the other threads' too, merged by time)."""
    frames_of_interest = list(main.records)
    frames = {}
    for other in others:
        if interleave:
            frames_of_interest.extend(other.records)
        else:
            frames[other.thread_id] = other.records
    if interleave:
        frames_of_interest.sort(key=lambda record: record["timestamp"])
    return msgpack.packb(
        {
            "command_line_args": ["app.py", "--fast"],
            "current_commit_sha": None,
            "frames": frames,
            "frames_of_interest": frames_of_interest,
            "main_thread_id": main.thread_id,
            "meta": {"version": "0", "source": "test", "use_frame_boundaries": True},
            "timestamp": start,
            "trace_id": trace_id,
        }
    )


@pytest.fixture
def records():
    return Records


@pytest.fixture
def pack():
    return pack_document


@pytest.fixture
def store(tmp_path):
    """Stores documents as one trace; returns the database path."""
    path = tmp_path / "traces.db"

    def store_(trace_id, *documents):
        for document in documents:
            db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=document)
        return path

    return store_


def synthetic_document(record_count, *, trace_id="trc_synthetic"):
    """About ``record_count`` records on two threads: batches of 100 nested
    calls with small values, and a plugin record every tenth batch."""
    main = Records(1, "MainThread")
    worker = Records(2, "worker")
    clock = 0.0
    for thread, share in ((main, 0.75), (worker, 0.25)):
        budget = int(record_count * share)
        batch = 0
        while budget >= 2:
            outer = thread.call("app.run_batch", clock, locals={"batch": batch})
            budget -= 2
            clock += 1e-6
            for item in range(100):
                if budget < 4:
                    break
                inner = thread.call("app.handle", clock, locals={"item": item, "name": f"item-{item}"})
                leaf = thread.call("app.compute", clock + 1e-6, locals={"x": item})
                thread.ret("app.compute", clock + 3e-6, leaf, value=item * 2)
                thread.ret("app.handle", clock + 4e-6, inner, value={"ok": True})
                clock += 5e-6
                budget -= 4
            if budget >= 1 and batch % 10 == 0:
                thread.plugin("log", clock, message=f"batch {batch} done", level="INFO")
                budget -= 1
            thread.ret("app.run_batch", clock, outer, value=None)
            clock += 1e-6
            batch += 1
    return pack_document(main, [worker], trace_id=trace_id)


def cut_and_flipped(document, rng, cuts, flipped, most_flips):
    """``cuts`` truncations of ``document`` and ``flipped`` copies with 1 to
    ``most_flips`` bits flipped, for the readers' fuzz tests."""
    cases = [document[:cut] for cut in sorted(rng.sample(range(1, len(document)), cuts))]
    for _ in range(flipped):
        damaged = bytearray(document)
        for _ in range(rng.randint(1, most_flips)):
            damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        cases.append(bytes(damaged))
    return cases


@pytest.fixture
def synthetic():
    return synthetic_document


@pytest.fixture(scope="session")
def native_module():
    try:
        importlib.import_module("nefa._nefa")
    except ImportError:
        pytest.skip("the native module nefa._nefa is not built")


STORED = re.compile(r"stored trace (trc_[0-9A-Z]+)")


@pytest.fixture
def record_program(tmp_path, native_module):
    """Runs a script under ``nefa run`` in a child process; returns (db, trace id)."""

    def record(source, *options, name="program.py"):
        script = tmp_path / name
        script.write_text(textwrap.dedent(source))
        database = tmp_path / "recorded.db"
        env = dict(os.environ, PYTHONFAULTHANDLER="1")
        done = subprocess.run(
            [sys.executable, "-m", "nefa", "run", "--db", str(database), *options, str(script)],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, done.stderr
        return database, STORED.search(done.stderr).group(1)

    return record


PROGRAM = """
    import threading

    def countdown(n):
        while n:
            yield n
            n -= 1

    def fail(reason):
        raise ValueError(reason)

    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    def worker(k):
        return sum(countdown(k))

    def main():
        total = sum(countdown(3))
        try:
            fail("boom")
        except ValueError:
            pass
        helper = threading.Thread(target=worker, args=(4,), name="helper")
        helper.start()
        helper.join()
        return fib(4) + total

    main()
"""


@pytest.fixture(scope="session")
def recorded(tmp_path_factory, native_module):
    """The trace of PROGRAM (threads, a generator, an exception, recursion): (db, id)."""
    directory = tmp_path_factory.mktemp("recorded")
    (directory / "program.py").write_text(textwrap.dedent(PROGRAM).lstrip())
    database = directory / "t.db"
    subprocess.run(
        [sys.executable, "-m", "nefa", "run", "--db", str(database), "program.py"],
        cwd=directory,
        env=dict(os.environ, PYTHONFAULTHANDLER="1"),
        check=True,
        capture_output=True,
        timeout=120,
    )
    return database, db.list_traces(database)[0].id


@pytest.fixture
def shop(records, pack, store):
    """A trace with two threads, nested calls, values and a plugin record."""
    main, worker = records(1, "MainThread"), records(2, "packer")
    module = main.call("__main__.<module>", 0.0, file="shop.py", line=0, locals={"__name__": "__main__"})
    checkout = main.call(
        "shop.Cart.checkout",
        0.001,
        file="shop/cart.py",
        line=10,
        locals={"self": "<Cart object at 0x1>", "coupon": "SAVE10"},
    )
    price = main.call("shop.pricing.price", 0.002, file="shop/pricing.py", line=3, locals={"items": [1, 2]})
    main.ret("shop.pricing.price", 0.004, price, value=42.5, file="shop/pricing.py", line=8)
    main.plugin("log", 0.005, message="charged card", level="INFO")
    main.ret("shop.Cart.checkout", 0.006, checkout, value={"total": 42.5}, file="shop/cart.py", line=20)
    main.ret("__main__.<module>", 0.01, module, file="shop.py", line=30)
    pack_frame = worker.call("shop.shipping.pack", 0.003, file="shop/shipping.py", line=5, locals={"order": 7})
    worker.ret("shop.shipping.pack", 0.0035, pack_frame, value="parcel-7", file="shop/shipping.py", line=9)
    return store("trc_01SHOP", pack(main, [worker], trace_id="trc_01SHOP"))


@pytest.fixture(scope="session")
def million(tmp_path_factory):
    """A stored, indexed trace of about a million records, written by the
    trace-store benchmark's synthetic writer: (db, trace id)."""
    import importlib.util
    from pathlib import Path

    from nefa.traces.call_index import open_index

    source = Path(__file__).parents[3] / "benchmarks" / "trace_store.py"
    spec = importlib.util.spec_from_file_location("nefa_trace_store_benchmark", source)
    writer = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(writer)
    database = tmp_path_factory.mktemp("million") / "t.db"
    db.store_trace(database, "trc_million", pieces=writer.document_pieces(1_000_000, "trc_million"), index=False)
    open_index(database, "trc_million").close()
    return database, "trc_million"


@pytest.fixture
def serve():
    """Serves a stored trace from a thread of its own (its index connection
    is that thread's); returns the server.  Stopped after the test."""
    import threading

    from nefa.traces.call_index import open_index
    from nefa.traces.indexed import IndexedTrace
    from nefa.traces.server import ViewServer

    started = []

    def serve_(database, trace_id):
        ready = threading.Event()
        box = {}

        def run():
            try:
                with open_index(database, trace_id) as index:
                    server = box["server"] = ViewServer(IndexedTrace(index))
                    ready.set()
                    with server:
                        server.serve_forever(poll_interval=0.05)
            finally:
                ready.set()

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        ready.wait(60)
        server = box["server"]
        started.append((server, thread))
        return server

    yield serve_
    for server, thread in started:
        server.shutdown()
        thread.join(10)
