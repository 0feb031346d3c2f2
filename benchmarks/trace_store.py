"""The trace store at scale: index build, reads from the index, bytes on disk.

Writes synthetic traces straight into a database, without recording
them: records in the frame record form the recorder writes (12 keys,
values encoded by nefa.serialize.dump_msgpack), on 3 threads, calls
nested 5 to 30 deep, a plugin record every 1,000 calls.  The document is
made from templated bytes and streamed into the database piece by piece.
Then, each step in a child process of its own (so that its peak memory is
its own):

* index build: records per second, until the index can be read and until the
  database log it was written to is copied back into the file;
* ``nefa show --depth 3`` and ``nefa top`` on the largest trace, indexed;
* the save of the smallest trace with and without its index (what the
  index adds to the end of ``nefa run``);
* bytes per record on disk, index included, for each size;
* ``nefa view``: the server started as a command of its own, then timed
  HTTP requests as the page makes them: the overview of the whole trace
  (first paint), zooms in and pans, a click's values, a search, each for
  the rows a wide screen shows; the server's CPU time for each window (the
  machine may be busy), and its peak memory.

    python benchmarks/trace_store.py                  # 1M and 10M records
    python benchmarks/trace_store.py --records 200000 # quicker
    python benchmarks/trace_store.py --dir /tmp/bench --reuse --steps export
                                        # again, on the databases written before
    python benchmarks/trace_store.py --dir /tmp/bench --reuse --steps index
                                        # the index built again, from the
                                        # unindexed copy kept beside each
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from contextlib import redirect_stdout

START = 1_700_000_000.0
THREADS = ((1, "MainThread", 0.6), (2, "worker-1", 0.25), (3, "worker-2", 0.15))
PLUGIN_EVERY = 1000
_CROCKFORD = bytes(b"0123456789ABCDEFGHJKMNPQRSTVWXYZ"[i % 32] for i in range(256))


def _str(text: str) -> bytes:
    data = text.encode()
    if len(data) < 32:
        return bytes([0xA0 | len(data)]) + data
    return b"\xd9" + bytes([len(data)]) + data


def _uint(value: int) -> bytes:
    if value < 128:
        return bytes([value])
    if value < 1 << 16:
        return b"\xcd" + value.to_bytes(2, "big")
    return b"\xce" + value.to_bytes(4, "big")


class Service:
    def __init__(self, number: int):
        self.number = number

    def __repr__(self) -> str:
        return f"<Service {self.number}>"


class Functions:
    """~200 functions in 20 files, each with its record templates."""

    def __init__(self, dump):
        self.dump = dump
        self.templates = []
        for index in range(200):
            module = f"shop/mod{index % 20}.py"
            qualname = f"shop.mod{index % 20}.Service{index % 7}.handle_{index}"
            co_name = f"handle_{index}"
            line = 10 + 3 * index
            head = [
                b"\x8c",
                _str("path"),
                _str(f"{module}:{line}"),
                _str("co_name"),
                _str(co_name),
                _str("qualname"),
                _str(qualname),
                _str("event"),
            ]
            self.templates.append(
                (
                    b"".join(head + [_str("call"), _str("frame_id")]),
                    b"".join(head[:-1] + [_str("event"), _str("return"), _str("frame_id")]),
                )
            )
        # A repr'd object among the locals, as methods have their self.
        self.locals = [dump({"self": Service(i % 7), "item": i, "name": f"item-{i}", "ok": True}) for i in range(256)]
        self.results = [dump(i * 3) for i in range(256)]
        self.none = dump(None)


class ThreadWriter:
    """One thread's records, as bytes, in call order."""

    def __init__(self, functions: Functions, native_id: int, name: str, calls: int, seed: int):
        self.f = functions
        self.rng = random.Random(seed)
        self.calls = calls
        self.tail = b"".join(
            [_str("thread"), _str(name), _str("thread_native_id"), _uint(native_id), _str("timestamp"), b"\xcb"]
        )
        self.type = _str("type") + _str("frame") + _str("user_code_call_site")
        self.clock = START + native_id * 1e-3
        self.made = 0
        self.random_bits = b""
        self.millis = -1
        self.when = b""
        self.out: list[bytes] = []
        self.native_id = native_id
        self.name = name

    def record_count(self) -> int:
        return 2 * self.calls + self.calls // PLUGIN_EVERY

    def frame_id(self) -> bytes:
        # "frm_", 10 characters of millisecond time, 16 random ones: 80
        # random bits, which no compressor can shrink, as in a real ULID.
        if len(self.random_bits) < 16:
            self.random_bits = os.urandom(16 * 4096).translate(_CROCKFORD)
        bits, self.random_bits = self.random_bits[:16], self.random_bits[16:]
        millis = int(self.clock * 1000)
        if millis != self.millis:
            self.millis = millis
            self.when = bytes(_CROCKFORD[(millis >> shift) & 31] for shift in range(45, -5, -5))
        return b"\xbefrm_" + self.when + bits

    def _timestamp(self) -> bytes:
        self.clock += self.rng.random() * 2e-6 + 3e-7
        return struct.pack(">d", self.clock)

    def _record(self, template: bytes, frame_id: bytes, arg: bytes, local: bytes, site: bytes) -> bytes:
        return b"".join(
            (template, frame_id, b"\xa3arg", arg, b"\xa6locals", local, self.tail, self._timestamp(), self.type, site)
        )

    def _site(self, parent_id: bytes | None, line: int) -> bytes:
        if parent_id is None:
            return b"\xc0"
        return b"".join((b"\x82\xadcall_frame_id", parent_id, b"\xabline_number", _uint(line)))

    def _plugin(self) -> bytes:
        return self.f.dump(
            {
                "frame_id": None,
                "timestamp": self.clock,
                "thread": self.name,
                "thread_native_id": self.native_id,
                "user_code_call_site": None,
                "type": "log",
                "message": f"step {self.made}",
                "level": "INFO",
            }
        )

    def records(self):
        """Yields the records: a main call, phases, steps, then random
        subtrees 5 to 30 deep, until the call budget is spent."""
        budget = self.calls
        phases, steps = 50, 20
        per_step = max(1, (budget - 1 - phases - phases * steps) // (phases * steps))
        out = self.out

        def enter(function: int, parent_id):
            frame_id = self.frame_id()
            self.made += 1
            out.append(
                self._record(
                    self.f.templates[function][0],
                    frame_id,
                    self.f.none,
                    self.f.locals[self.made & 255],
                    self._site(parent_id, 20 + function),
                )
            )
            if self.made % PLUGIN_EVERY == 0:
                out.append(self._plugin())
            return frame_id

        def leave(function: int, frame_id):
            out.append(
                self._record(
                    self.f.templates[function][1],
                    frame_id,
                    self.f.results[self.made & 255],
                    self.f.locals[self.made & 255],
                    b"\xc0",
                )
            )

        def subtree(depth: int, cap: int, calls: int, parent_id):
            function = self.rng.randrange(200)
            frame_id = enter(function, parent_id)
            rest = calls - 1
            while rest > 0:
                if depth >= cap:
                    for _ in range(rest):
                        leaf = self.rng.randrange(200)
                        leave(leaf, enter(leaf, frame_id))
                    break
                share = min(rest, max(1, rest // self.rng.randint(1, 4)))
                subtree(depth + 1, cap, share, frame_id)
                rest -= share
            leave(function, frame_id)

        def drained():
            yield from out
            out.clear()

        main_id = enter(0, None)
        spent = 1
        for _ in range(phases):
            phase_id = enter(1, main_id)
            spent += 1
            for _ in range(steps):
                step_id = enter(2, phase_id)
                spent += 1
                calls = min(per_step, max(0, budget - spent - 1))
                if calls:
                    subtree(3, self.rng.randint(5, 30), calls, step_id)
                    spent += calls
                leave(2, step_id)
                yield from drained()
            leave(1, phase_id)
        while spent < budget:  # what the rounding left
            subtree(1, 8, min(budget - spent, 50), main_id)
            spent += min(budget - spent, 50)
            yield from drained()
        leave(0, main_id)
        yield from drained()


def _array_header(count: int) -> bytes:
    return b"\xdd" + count.to_bytes(4, "big")


def document_pieces(records: int, trace_id: str):
    """The whole document, about 1 MiB at a time."""
    from nefa.serialize import dump_msgpack

    functions = Functions(dump_msgpack)
    writers = [
        ThreadWriter(functions, native_id, name, max(1, int(records * share / 2)), seed=native_id)
        for native_id, name, share in THREADS
    ]
    main, others = writers[0], writers[1:]
    out = [
        b"\x88",
        _str("command_line_args"),
        b"\x92",
        _str("shop.py"),
        _str("--big"),
        _str("current_commit_sha"),
        b"\xc0",
        _str("frames"),
        bytes([0x80 | len(others)]),
    ]
    size = 0

    def flush():
        nonlocal out, size
        piece = b"".join(out)
        out, size = [], 0
        return piece

    for native_id, writer in zip((2, 3), others):
        out += [_uint(native_id), _array_header(writer.record_count())]
        for record in writer.records():
            out.append(record)
            size += len(record)
            if size >= 1 << 20:
                yield flush()
    out += [_str("frames_of_interest"), _array_header(main.record_count())]
    for record in main.records():
        out.append(record)
        size += len(record)
        if size >= 1 << 20:
            yield flush()
    out += [
        _str("main_thread_id"),
        _uint(1),
        _str("meta"),
        b"\x83",
        _str("version"),
        _str("0.1.0"),
        _str("source"),
        _str("benchmark"),
        _str("use_frame_boundaries"),
        b"\xc3",
        _str("timestamp"),
        b"\xcb" + struct.pack(">d", START),
        _str("trace_id"),
        _str(trace_id),
    ]
    yield flush()


# --- steps, each run in a child process ------------------------------------


def _peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def step_write(db_path: str, records: int, trace_id: str) -> dict:
    from nefa import db

    started = time.perf_counter()
    summary = db.store_trace(db_path, trace_id, pieces=document_pieces(records, trace_id), index=False)
    return {"seconds": time.perf_counter() - started, "records": summary.record_count}


def step_index(db_path: str, trace_id: str) -> dict:
    from nefa.traces import call_index

    started = time.perf_counter()
    with call_index.open_index(db_path, trace_id) as index:
        seconds = time.perf_counter() - started
        records = index.conn.execute(
            "SELECT record_count FROM call_indexes WHERE trace_key = ?", (index.trace_key,)
        ).fetchone()[0]
    # The log's copy back into the database runs on after the index is
    # readable, and closing waits for it: timed too, so that the build's
    # whole cost is shown.
    copied = time.perf_counter() - started
    import sqlite3

    with sqlite3.connect(db_path) as conn:
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return {"seconds": seconds, "records": records, "rate": records / seconds, "copied": copied}


def step_cli(db_path: str, argv: list[str]) -> dict:
    from nefa import cli

    sink = io.StringIO()
    started = time.perf_counter()
    with redirect_stdout(sink):
        status = cli.main([*argv, "--db", db_path])
    return {"seconds": time.perf_counter() - started, "status": status, "lines": sink.getvalue().count("\n")}


def step_export(db_path: str, trace_id: str, format_name: str, output: str) -> dict:
    from nefa.traces.stream_export import export_trace

    started = time.perf_counter()
    export_trace(db_path, trace_id, format_name, output)
    seconds = time.perf_counter() - started
    size = os.path.getsize(output)
    os.unlink(output)
    return {"seconds": seconds, "bytes": size}


def step_save(db_path: str, records: int, index: bool) -> dict:
    from nefa import db

    document = b"".join(document_pieces(records, "trc_save"))
    started = time.perf_counter()
    db.store_trace(db_path, "trc_save", msgpack=document, index=index)
    return {"seconds": time.perf_counter() - started, "bytes": len(document)}


# The canvas of a wide screen: the page asks for its width, and half as
# much again once zoomed (a margin on each side, for panning), for the rows
# on screen and ROW_MARGIN more (flame.js: its row and lane sizes).
VIEW_WIDTH, VIEW_HEIGHT = 1600, 900
AXIS_HEIGHT, LANE_HEADER, LANE_GAP, ROW_HEIGHT, ROW_MARGIN = 24, 22, 10, 18, 8


def rows_on_screen(threads: list) -> str:
    """The page's ``rows`` for the view scrolled to the top."""
    asked, top = [], 0
    for thread in threads:
        y = AXIS_HEIGHT + top
        top += LANE_HEADER + max(1, thread["depths"]) * ROW_HEIGHT + LANE_GAP
        if y > VIEW_HEIGHT:
            continue
        first = max(0, (AXIS_HEIGHT - y - LANE_HEADER) // ROW_HEIGHT - ROW_MARGIN)
        end = min(thread["depths"], -(-(VIEW_HEIGHT - y - LANE_HEADER) // ROW_HEIGHT) + ROW_MARGIN)
        asked.append(f"{thread['id']}:{first}:{max(0, end - first)}")
    return ",".join(asked)


def _get(url: str):
    import urllib.request

    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    started = time.perf_counter()
    with opener.open(url, timeout=120) as response:
        body = json.loads(response.read())
    return body, time.perf_counter() - started


def _cpu_seconds(pid: int) -> float:
    """The process's CPU time so far, its ended threads' included."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def step_view(db_path: str, trace_id: str) -> dict:
    """Runs ``nefa view`` and asks it what the page would ask; besides each
    answer's time, the server's CPU time for it (the machine may be busy)."""
    started = time.perf_counter()
    # Ctrl-C is how the viewer stops. Run in the background from a script,
    # this process inherits SIGINT ignored, and so would the server, which
    # then never stops: it starts with the default handling instead.
    server = subprocess.Popen(
        [sys.executable, "-m", "nefa", "view", "--db", db_path, trace_id],
        stdout=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        url = server.stdout.readline().split(" at ")[1].split()[0]
        summary, _ = _get(url + "api/trace")
        total = summary["trace"]["duration"]
        asked = "rows=" + rows_on_screen(summary["threads"])
        window, overview = _get(f"{url}api/window?t0=0&t1={total}&width={VIEW_WIDTH}&{asked}")
        first_paint = time.perf_counter() - started
        zooms, pans, cpu = [], [], {"zoom": [], "pan": []}

        def timed(kind: str, start: float, end: float) -> float:
            before = _cpu_seconds(server.pid)
            seconds = _get(f"{url}api/window?t0={start}&t1={end}&width={VIEW_WIDTH * 3 // 2}&{asked}")[1]
            cpu[kind].append(_cpu_seconds(server.pid) - before)
            return seconds

        span, middle = total, total * 0.37
        for _ in range(12):  # each zoom halves the span, around one point
            span /= 2
            t0 = max(0.0, middle - span * 0.75)
            zooms.append(timed("zoom", t0, t0 + span * 1.5))
            for shift in (0.3, 0.6):  # panning past the margin asks again
                pans.append(timed("pan", t0 + span * shift, t0 + span * (shift + 1.5)))
        if os.environ.get("NEFA_BENCH_VERBOSE"):
            print("zooms", [round(z * 1e3) for z in zooms], "pans", [round(p * 1e3) for p in pans], file=sys.stderr)
            print(
                "server CPU ms: zooms",
                [round(c * 1e3) for c in cpu["zoom"]],
                "pans",
                [round(c * 1e3) for c in cpu["pan"]],
                file=sys.stderr,
            )
        rows = max(len(thread["rows"]) for thread in window["threads"])
        call_id = next(row["calls"][0][0] for thread in window["threads"] for row in thread["rows"] if row["calls"])
        _, click = _get(f"{url}api/call?id={call_id}")
        found, search = _get(f"{url}api/search?q=handle_1")
        with open(f"/proc/{server.pid}/status") as status:
            peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(30)
    zooms.sort()
    pans.sort()
    return {
        "seconds": first_paint,
        "overview": overview,
        "rows": rows,
        "zoom_median": zooms[len(zooms) // 2],
        "zoom_max": zooms[-1],
        "pan_median": pans[len(pans) // 2],
        "pan_max": pans[-1],
        "click": click,
        "search": search,
        "matches": found["total"],
        "server_peak_mb": peak,
        "zoom_cpu_max": max(cpu["zoom"]),
        "pan_cpu_max": max(cpu["pan"]),
    }


def child_main(argv: list[str]) -> None:
    name, *args = argv
    if name == "write":
        result = step_write(args[0], int(args[1]), args[2])
    elif name == "index":
        result = step_index(args[0], args[1])
    elif name == "cli":
        result = step_cli(args[0], args[1:])
    elif name == "view":
        result = step_view(args[0], args[1])
    elif name == "export":
        result = step_export(*args)
    elif name == "save":
        result = step_save(args[0], int(args[1]), args[2] == "index")
    else:
        raise SystemExit(f"unknown step {name}")
    result["peak_mb"] = _peak_mb()
    print(json.dumps(result))


STEPS = ("index", "cli", "view", "export", "save")


def _stored_records(db_path: str, trace_id: str) -> int | None:
    """The records of ``trace_id``'s call index in ``db_path``; None when
    the database, the trace or its index is not there."""
    import sqlite3

    if not os.path.exists(db_path):
        return None
    try:
        with sqlite3.connect(f"file:{db_path}?mode=ro", uri=True) as conn:
            row = conn.execute("SELECT record_count FROM call_indexes WHERE trace_id = ?", (trace_id,)).fetchone()
    except sqlite3.Error:
        return None
    return row[0] if row else None


def run_child(*argv) -> dict:
    output = subprocess.run(
        [sys.executable, __file__, "--child", *map(str, argv)], check=True, stdout=subprocess.PIPE, text=True
    ).stdout
    return json.loads(output.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--records",
        type=int,
        nargs="+",
        default=[1_000_000, 10_000_000],
        help="trace sizes in records (default: 1000000 10000000)",
    )
    parser.add_argument("--dir", help="where to put the databases (default: a temporary folder, removed)")
    parser.add_argument(
        "--reuse",
        action="store_true",
        help="keep a database of --dir that already holds its trace, instead of writing it anew;"
        " with the index step, its index is built again from the unindexed copy kept beside it",
    )
    parser.add_argument(
        "--steps", nargs="+", choices=STEPS, default=list(STEPS), help="which steps to run (default: all)"
    )
    parser.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child_main(options.child)
        return
    folder = options.dir or tempfile.mkdtemp(prefix="nefa-trace-store-")
    sizes = sorted(options.records)
    print(f"{'records':>11}  {'step':<24} {'seconds':>8}  {'rate':>16}  {'peak MB':>8}")

    def show(records, step, result, rate=""):
        print(
            f"{records:>11,}  {step:<24} {result['seconds']:>8.2f}  {rate:>16}  {result['peak_mb']:>8.0f}", flush=True
        )

    for records in sizes:
        db_path = os.path.join(folder, f"trace-{records}.db")
        trace_id = f"trc_bench{records}"
        # The database as written, before its index: an index build again
        # starts from it.
        unindexed = db_path + ".unindexed"
        rebuild = options.reuse and "index" in options.steps and os.path.exists(unindexed)
        kept = _stored_records(db_path, trace_id) if options.reuse and not rebuild else None
        if kept is None or rebuild:
            for stale in (db_path, db_path + "-wal", db_path + "-shm"):
                if os.path.exists(stale):
                    os.unlink(stale)
        if rebuild:
            shutil.copyfile(unindexed, db_path)
        elif kept is None:
            if os.path.exists(unindexed):
                os.unlink(unindexed)
            written = run_child("write", db_path, records, trace_id)
            show(
                written["records"],
                "write (compressed)",
                written,
                f"{written['records'] / written['seconds']:,.0f} rec/s",
            )
            if options.dir:
                shutil.copyfile(db_path, unindexed)
        if kept is None or "index" in options.steps:
            indexed = run_child("index", db_path, trace_id)
            show(
                indexed["records"],
                "index build" if kept is None else "index open (kept)",
                indexed,
                f"{indexed['rate']:,.0f} rec/s",
            )
            count = indexed["records"]
            if kept is None or rebuild:
                whole = dict(indexed, seconds=indexed["copied"])
                show(count, " and its log copied back", whole, f"{count / whole['seconds']:,.0f} rec/s")
        else:
            count = kept
        if "index" in options.steps:
            size = os.path.getsize(db_path)
            print(
                f"{count:>11,}  {'on disk, index included':<24} {size / count:>8.1f}  {'bytes/record':>16}", flush=True
            )
        if "cli" in options.steps:
            for label, argv in (("nefa show --depth 3", ["show", "--depth", "3"]), ("nefa top", ["top"])):
                result = run_child("cli", db_path, *argv)
                show(count, label, result, f"{result['lines']} lines")
        if "view" in options.steps:
            viewed = run_child("view", db_path, trace_id)
            viewed["peak_mb"] = viewed["server_peak_mb"]
            show(count, "nefa view: first paint", viewed, f"overview {viewed['overview'] * 1e3:.0f} ms")
            for what in ("zoom", "pan"):
                print(
                    f"{count:>11,}  {'nefa view: ' + what:<24} {viewed[what + '_max']:>8.3f}  "
                    f"{'median ' + format(viewed[what + '_median'] * 1e3, '.0f') + ' ms':>16}"
                    f"  (server CPU at most {viewed[what + '_cpu_max'] * 1e3:.0f} ms)",
                    flush=True,
                )
            print(
                f"{count:>11,}  {'nefa view: click, search':<24} {viewed['click']:>8.3f}  "
                f"{'search ' + format(viewed['search'] * 1e3, '.0f') + ' ms':>16}",
                flush=True,
            )
        if "export" in options.steps:
            for format_name in ("chrome", "speedscope"):
                result = run_child("export", db_path, trace_id, format_name, os.path.join(folder, "export.json"))
                show(
                    count,
                    f"export {format_name} ({result['bytes'] / 1e6:,.0f} MB)",
                    result,
                    f"{count / result['seconds']:,.0f} rec/s",
                )
    if "save" in options.steps:
        smallest = sizes[0]
        for index in (False, True):
            db_path = os.path.join(folder, f"save-{index}.db")
            result = run_child("save", db_path, smallest, "index" if index else "plain")
            show(
                smallest,
                "save, indexed" if index else "save, not indexed",
                result,
                f"{result['bytes'] / smallest:.0f} raw B/rec",
            )
    if not options.dir:
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
