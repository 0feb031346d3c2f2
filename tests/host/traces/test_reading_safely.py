"""What the trace commands print and write: nothing that drives a terminal,
one-line errors for documents no nefa writes, pages only their owner reads."""

import json
import math
import os
import re
import sqlite3
import stat
import subprocess
import sys

import msgpack
import pytest

from nefa import cli

ESC = "\x1b]0;owned\x07\x1b[2J"
ESCAPED = "\\x1b]0;owned\\x07\\x1b[2J"
COMMANDS = ("show", "view", "export")


def run_cli(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def raw_controls(text):
    return [ch for ch in text if ord(ch) < 0x20 and ch != "\n" or 0x7F <= ord(ch) <= 0x9F]


def test_show_and_traces_escape_what_was_recorded(capsys, records, pack, store):
    thread = records(1, f"worker{ESC}")
    frame_id = thread.call(
        f"app.f{ESC}",
        0.0,
        file=f"evil{ESC}.py",
        locals={"text": ESC, "obj": msgpack.ExtType(4, msgpack.packb(["Foo", f"Foo({ESC}\x9b)"]))},
    )
    thread.ret(f"app.f{ESC}", 0.1, frame_id, value=msgpack.ExtType(9, msgpack.packb(f"X{ESC}")))
    thread.plugin(f"log{ESC}", 0.2, message=ESC)
    document = pack(thread, trace_id="trc_escape").replace(
        msgpack.packb(["app.py", "--fast"]), msgpack.packb(["app.py", f"--name={ESC}\x7f"])
    )
    database = store("trc_escape", document)

    for argv in (("show",), ("show", "--color", "always"), ("traces",)):
        status, out, err = run_cli(capsys, *argv, "--db", database)
        assert status == 0 and err == ""
        # Only our own colour codes (ESC [ digits m) remain.
        text = re.sub(r"\x1b\[[0-9;]*m", "", out) if "--color" in argv else out
        assert raw_controls(text) == [], argv
        assert ESCAPED in text
    status, out, _ = run_cli(capsys, "show", "--db", database)
    assert f"--name={ESCAPED}\\x7f" in out and "Thread worker" + ESCAPED in out
    assert f"Foo({ESCAPED}\\x9b)" in out and f"<unprintable X{ESCAPED} object>" in out


def test_errors_naming_recorded_text_are_escaped(capsys, records, pack, store):
    thread = records()
    thread.call("app.f", 0.0)
    database = store("trc_x", pack(thread, trace_id="trc_x"))
    status, _, err = run_cli(capsys, "show", "--db", database, f"trc_{ESC}")
    assert status == 1 and raw_controls(err) == [] and err.count("\n") >= 1


@pytest.mark.parametrize("timestamp", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("command", COMMANDS)
def test_a_timestamp_that_is_not_a_time_is_a_one_line_error(capsys, records, pack, store, tmp_path, timestamp, command):
    thread = records()
    frame_id = thread.call("app.f", 0.0)
    thread.ret("app.f", 0.1, frame_id)
    thread.records[1]["timestamp"] = timestamp
    database = store("trc_nan", pack(thread, trace_id="trc_nan"))
    output = ["-o", tmp_path / "out"] if command != "show" else []
    status, out, err = run_cli(capsys, command, "--db", database, *output)
    assert (status, out) == (1, "")
    assert err.count("\n") == 1 and "trc_nan" in err and repr(timestamp) in err
    assert not (tmp_path / "out").exists()


def test_a_document_timestamp_that_is_not_a_time(capsys, records, pack, store, tmp_path):
    thread = records()
    thread.call("app.f", 0.0)
    database = store("trc_inf", pack(thread, trace_id="trc_inf", start=math.inf))
    status, out, _ = run_cli(capsys, "traces", "--db", database)
    # The listing still lists it, without a time it cannot have.
    assert status == 0 and re.search(r"^trc_inf +- +1 ", out, re.MULTILINE)
    status, _, err = run_cli(capsys, "view", "--db", database, "-o", tmp_path / "page.html")
    assert status == 1 and err.count("\n") == 1 and "trc_inf" in err and "inf" in err


@pytest.mark.parametrize("utf8", [True, False])
@pytest.mark.parametrize("command", COMMANDS)
def test_a_document_stored_as_text_is_a_one_line_error(capsys, records, pack, store, tmp_path, command, utf8):
    thread = records()
    thread.call("app.f", 0.0)
    database = store("trc_text", pack(thread, trace_id="trc_text"))
    with sqlite3.connect(database) as conn:
        # As another tool might have written a part of the BLOB form: JSON
        # text, or the bytes as TEXT.
        update = "'{\"frames\": []}'" if utf8 else "CAST(x'92a161a162' AS TEXT)"
        conn.execute(f"UPDATE trace_parts SET document = {update}, document_size = NULL, chunk_size = NULL")
        assert conn.execute("SELECT typeof(document) FROM trace_parts").fetchone() == ("text",)
    conn.close()
    output = ["-o", tmp_path / "out"] if command != "show" else []
    status, out, err = run_cli(capsys, command, "--db", database, *output)
    assert (status, out) == (1, "")
    assert err.count("\n") == 1 and "trace trc_text" in err and "BLOB" in err


@pytest.fixture
def loose_umask():
    old = os.umask(0o022)
    yield
    os.umask(old)


def _mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.usefixtures("loose_umask")
def test_pages_and_exports_are_private(capsys, shop, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # No directory is made on the way: a missing one is one line.
    for argv in (("view", "-o", tmp_path / ".nefa" / "shop.html"), ("export", "-o", tmp_path / ".nefa" / "t.json")):
        status, out, err = run_cli(capsys, *argv, "--db", shop)
        assert (status, out, err.count("\n")) == (1, "", 1) and "No such file or directory" in err
        assert not (tmp_path / ".nefa").exists()
    assert run_cli(capsys, "view", "--db", shop, "-o", tmp_path / "shop.html")[0] == 0
    assert _mode(tmp_path / "shop.html") == 0o600
    # A file that was there, readable by all, is made private too.
    existing = tmp_path / "page.html"
    existing.write_text("old")
    existing.chmod(0o644)
    assert run_cli(capsys, "view", "--db", shop, "-o", existing)[0] == 0
    assert _mode(existing) == 0o600 and existing.read_text().startswith("<!doctype html>")
    assert run_cli(capsys, "export", "--db", shop, "-o", tmp_path / "t.json")[0] == 0
    assert _mode(tmp_path / "t.json") == 0o600
    # Standard output is written, not opened.
    status, out, _ = run_cli(capsys, "export", "--db", shop, "-o", "-")
    assert status == 0 and out.startswith('{"traceEvents"')


def test_default_export_names_stay_plain_files_here_whatever_the_id(
    capsys, records, pack, store, tmp_path, monkeypatch
):
    here = tmp_path / "a" / "b"
    here.mkdir(parents=True)
    monkeypatch.chdir(here)
    for trace_id, name in (
        ("../../etc/passwd", None),
        (str(tmp_path / "abs"), None),
        (".hidden", None),
        ("trc_01PLAIN", "trc_01PLAIN.chrome.json"),
    ):
        thread = records()
        thread.ret("app.f", 0.1, thread.call("app.f", 0.0))
        database = store(trace_id, pack(thread, trace_id=trace_id))
        status, out, err = run_cli(capsys, "export", trace_id, "--db", database)
        assert status == 0, err
        written = out.strip()
        assert os.path.dirname(written) == "" and os.path.isfile(here / written), (trace_id, written)
        assert written == name or (name is None and re.fullmatch(r"trace-[0-9a-f]{16}\.chrome\.json", written))
    assert not (tmp_path / "etc").exists() and not (tmp_path / "abs.chrome.json").exists()
    assert len(os.listdir(here)) == 4


def test_huge_limits_closed_readers_and_damaged_name_blocks_are_one_line_at_most(capsys, shop, tmp_path, serve):
    from .test_server import get

    huge = "9" * 23
    for argv in (("traces", "--limit", huge), ("top", "--limit", huge), ("show", "--depth", huge)):
        status, out, err = run_cli(capsys, *argv, "--db", shop)
        assert status == 0 and "trc_01SHOP" in out and err == "", argv
    # Read by `head`, gone before the end: stopped quietly.
    for argv in (["traces"], ["show"], ["export", "-o", "-"]):
        read, write = os.pipe()
        os.close(read)
        done = subprocess.run(
            [sys.executable, "-m", "nefa", *argv, "--db", str(shop)],
            stdout=write,
            stderr=subprocess.PIPE,
            env=dict(os.environ, PYTHONFAULTHANDLER="1"),
        )
        os.close(write)
        assert (done.returncode, done.stderr) == (0, b""), argv
    # A block of the index by name that is no block, read by a filter and a search.
    with sqlite3.connect(shop) as conn:
        conn.execute("UPDATE call_name_blocks SET ids = x'010203'")
    conn.close()
    status, out, err = run_cli(capsys, "show", "--filter", "price", "--db", shop)
    assert (status, out, err.count("\n")) == (3, "", 1) and "call_name_blocks" in err and "trc_01SHOP" in err
    server = serve(shop, "trc_01SHOP")
    status, body = get(server.url + "api/search?q=price")
    assert status == 500 and "call_name_blocks" in json.loads(body)["error"]
    assert capsys.readouterr().err.count("\n") == 1
