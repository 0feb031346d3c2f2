"""``nefa view`` served: who may ask, and what the window answers hold."""

import json
import os
import signal
import socket
import stat
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from contextlib import closing

from nefa import _native
from nefa.traces import layout
from nefa.traces.call_index import open_index

# Straight to the loopback server, whatever proxy the environment names.
_OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def get(url):
    try:
        with _OPENER.open(url, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def api(server, route):
    status, body = get(server.url + route)
    assert status == 200, body
    return json.loads(body)


def test_only_the_token_opens_the_door(serve, shop):
    server = serve(shop, "trc_01SHOP")
    host, port = server.server_address[:2]
    assert host == "127.0.0.1"
    token = server.token
    assert len(token) >= 32
    other = token[:-1] + ("a" if token[-1] != "a" else "b")
    for path in (
        "/",
        "/api/trace",
        f"/{token[:-1]}/api/trace",
        f"/{other}/api/trace",
        f"/{token}api/trace",
        f"/x/{token}/api/trace",
    ):
        assert get(f"http://127.0.0.1:{port}{path}")[0] == 404, path
    status, page = get(server.url)
    assert status == 200 and page.startswith(b"<!doctype html>") and b"nefaFormat" in page
    assert api(server, "api/trace")["trace"]["id"] == "trc_01SHOP"
    for route in (
        "api/window?t0=5&t1=5&width=10",
        "api/window?t0=0&t1=1&width=0",
        "api/window?t0=nan&t1=1&width=9",
        "api/window?t0=0&t1=1&width=9&rows=1:0",
        "api/call?id=x",
    ):
        assert get(server.url + route)[0] == 400, route
    assert get(server.url + "api/call?id=999999")[0] == 404


def test_values_of_a_call_and_search(serve, shop):
    server = serve(shop, "trc_01SHOP")
    found = api(server, "api/search?q=PRICE")
    ((match,),) = [found["matches"]]
    assert found["total"] == 1 and match["name"] == "shop.pricing.price"
    call = api(server, f"api/call?id={match['id']}")
    assert call["values"] == {"arguments": {"items": [1, 2]}, "locals": {}, "returned": 42.5}
    assert call["parent"]["name"] == "shop.Cart.checkout" and call["path"] == "shop/pricing.py:3"
    assert call["threadLabel"] == "MainThread (1) · main"
    # The plugin record is a mark of its thread, and shows its data.
    (event,) = [
        event for thread in api(server, "api/window?t0=0&t1=20000&width=500")["threads"] for event in thread["events"]
    ]
    record = api(server, f"api/call?id={event[0]}")
    assert record["event"] and record["data"] == {"message": "charged card", "level": "INFO"}
    many = api(server, "api/search?q=shop&limit=2")
    assert many["total"] == 3 and len(many["matches"]) == 2


def _frames(conn, key, thread, depth, t0, t1):
    return conn.execute(
        "SELECT id, start, duration FROM calls WHERE trace_key = ? AND thread_native_id = ? AND depth = ?"
        " AND kind IS NULL AND end > ? AND start < ?",
        (key, thread, depth, t0, t1),
    ).fetchall()


def _check_row(row, px, width):
    assert len(row.blocks) <= width + 1 and len(row.calls) <= width + 1
    assert all(call[2] >= px for call in row.calls)
    starts = [call[1] for call in row.calls]
    assert starts == sorted(starts)
    for before, after in zip(row.blocks, row.blocks[1:]):
        assert after[0] - before[1] >= px  # closer blocks would be one


def _check_window(conn, key, thread, found, t0, t1, width, depths=4):
    """Every call of the window is shown once: wide ones as themselves, the
    others inside a block."""
    px = (t1 - t0) / min(width, 20_000)
    rows = {row.depth: row for row in found.rows}
    for depth in range(depths):
        frames = _frames(conn, key, thread, depth, t0, t1)
        row = rows.get(depth)
        assert (row is None) == (not frames)
        if row is None:
            continue
        _check_row(row, px, min(width, 20_000))
        shown = {call[0] for call in row.calls}
        assert shown == {id_ for id_, _, duration in frames if duration >= px}
        for id_, frame_start, duration in frames:
            assert id_ in shown or any(
                block[0] - px <= frame_start and frame_start + duration <= block[1] + px for block in row.blocks
            ), (thread, depth, id_)


def test_a_window_shows_every_call_once_merged_below_a_pixel(store, synthetic):
    database = store("trc_synthetic", synthetic(20_000))
    with open_index(database, "trc_synthetic") as index, closing(layout.open_helper(index.conn)) as second:
        conn, key = index.conn, index.trace_key
        layout.ensure_layout_indexes(conn)
        threads = conn.execute(
            "SELECT thread_native_id, start, end FROM call_threads WHERE trace_key = ?", (key,)
        ).fetchall()
        for thread, start, end in threads:
            span = end - start
            for t0, t1, width in (
                (start, end, 300),
                (start + span // 3, start + span // 3 + span // 200, 300),
                (start, end, 100_000),
            ):
                walked = layout.window(conn, key, thread, range(4), t0, t1, width, native=False)
                # The native walk reads less, and finds the same, on one connection or two.
                for helper in (None, second):
                    found = layout.window(conn, key, thread, range(4), t0, t1, width, helper=helper)
                    assert (found.rows, found.events) == (walked.rows, walked.events)
                _check_window(conn, key, thread, walked, t0, t1, width)
            deeper = layout.window(conn, key, thread, range(2, 4), start, end, 300)
            assert [row.depth for row in deeper.rows] == [row.depth for row in walked.rows if row.depth >= 2]
            # Panning at one scale, either way, walks only what the rows kept lack.
            kept = _native.WindowLayout()
            step, previous = span // 40, None
            for shift in (0, 2, 4, 2, 1, 30):
                t0 = start + span // 4 + shift * step
                t1 = t0 + span // 4
                found = layout.window(conn, key, thread, range(4), t0, t1, 400, kept=kept)
                _check_window(conn, key, thread, found, t0, t1, 400)
                fresh = layout.window(conn, key, thread, range(4), t0, t1, 400)
                events = {
                    id_
                    for (id_,) in conn.execute(
                        "SELECT id FROM calls WHERE trace_key = ? AND thread_native_id = ? AND kind IS NOT NULL"
                        " AND start >= ? AND start < ?",
                        (key, thread, t0, t1),
                    )
                }
                assert {event[0] for event in found.events} <= events and bool(found.events) == bool(events)
                if previous is not None and shift != 30:
                    assert found.visited < fresh.visited / 2
                previous = shift


def test_work_per_window_is_bounded_by_its_width(million):
    database, trace_id = million
    with open_index(database, trace_id) as index:
        conn, key = index.conn, index.trace_key
        thread, calls, start, end = conn.execute(
            "SELECT thread_native_id, call_count, start, end FROM call_threads WHERE trace_key = ?"
            " ORDER BY call_count DESC",
            (key,),
        ).fetchone()
        depths = conn.execute(
            "SELECT max(depth) + 1 FROM calls WHERE trace_key = ? AND thread_native_id = ?", (key, thread)
        ).fetchone()[0]
        middle = (start + end) // 2
        for t0, t1, width in ((start, end, 100), (start, end, 1000), (middle, middle + (end - start) // 50, 800)):
            for native in (False, True):
                found = layout.window(conn, key, thread, range(depths), t0, t1, width, native=native)
                assert found.rows and found.visited <= (2 * width + 4) * depths < calls
                for row in found.rows:
                    _check_row(row, (t1 - t0) / width, width)


def test_the_page_gets_the_rows_it_asks_for_as_the_walk_finds_them(serve, million, monkeypatch):
    server = serve(*million)
    threads = api(server, "api/trace")["threads"]
    main, other = threads[0], threads[1]
    whole = f"api/window?t0=0&t1={main['end']}&width=900"
    answer = api(server, f"{whole}&rows={main['id']}:2:3,{other['id']}:0:0")
    rows = {thread["id"]: thread for thread in answer["threads"]}
    assert [row["depth"] for row in rows[main["id"]]["rows"]] == [2, 3, 4] and rows[main["id"]]["events"]
    assert rows[other["id"]]["rows"] == []
    assert all(rows[thread["id"]] == {"id": thread["id"], "rows": [], "events": []} for thread in threads[2:])
    # Times in microseconds to the nanosecond, written natively: as Python writes them.
    native = api(server, whole)
    monkeypatch.setattr(layout, "_native_walk", lambda *args: None)
    assert api(server, whole) == native


def test_view_serves_until_interrupted(shop):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    child = subprocess.Popen(
        [sys.executable, "-m", "nefa", "view", "--db", str(shop)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        line = child.stdout.readline()
        assert line.startswith("nefa: serving trace trc_01SHOP at http://127.0.0.1:"), line
        url = line.split(" at ")[1].split()[0]
        status, body = get(url + "api/trace")
        assert status == 200 and json.loads(body)["trace"]["records"] == 9
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert (child.returncode, out, err) == (0, "", "")


def test_an_index_built_for_one_connection_gets_the_window_indexes(shop):
    # As for a database that cannot be written: the index in TEMP tables.
    from nefa import db
    from nefa.traces import call_index

    conn = db.connect(shop, timeout=5, create=False)
    try:
        call_index.create_index_tables(conn, temporary=True)
        call_index._index_all_parts(conn, "trc_01SHOP", None)
        key = conn.execute("SELECT trace_key FROM call_indexes WHERE trace_id = 'trc_01SHOP'").fetchone()[0]
        layout.ensure_layout_indexes(conn)
        assert layout.open_helper(conn) is None
        for native in (False, True):
            rows = layout.window(conn, key, 1, range(5), 0, 10**8, 500, native=native).rows
            assert [(row.depth, len(row.calls)) for row in rows] == [(0, 1), (1, 1), (2, 1)]
    finally:
        conn.close()


def test_the_browser_is_opened_on_a_private_page_not_on_the_token(shop, tmp_path):
    launched = tmp_path / "launched.json"
    browser = tmp_path / "browser.py"
    browser.write_text(f"import json, sys\nopen({str(launched)!r}, 'w').write(json.dumps(sys.argv))\n")
    env = dict(os.environ, PYTHONUNBUFFERED="1", BROWSER=f"{sys.executable} {browser} %s")
    child = subprocess.Popen(
        [sys.executable, "-m", "nefa", "view", "--db", str(shop), "--open"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        url = child.stdout.readline().split(" at ")[1].split()[0]
        for _ in range(300):
            if launched.exists() and launched.read_text():
                break
            time.sleep(0.1)
        argv = json.loads(launched.read_text())
        token = url.rstrip("/").rsplit("/", 1)[1]
        assert not any(token in arg for arg in argv), argv
        page = urllib.request.url2pathname(urllib.parse.urlsplit(argv[-1]).path)
        assert url in open(page).read()
        assert [stat.S_IMODE(os.stat(path).st_mode) for path in (page, os.path.dirname(page))] == [0o600, 0o700]
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    # Gone with the server.
    assert (child.returncode, err) == (0, "") and not os.path.exists(os.path.dirname(page))


def test_any_connection_is_answered_while_one_idles_and_others_hosts_are_refused(serve, shop):
    server = serve(shop, "trc_01SHOP")
    host, port = server.server_address[:2]
    with socket.create_connection((host, port)) as idle:
        idle.sendall(b"GET /")  # and nothing more
        assert api(server, "api/trace")["trace"]["id"] == "trc_01SHOP"
    for named in ("localhost", "LOCALHOST", "127.0.0.1"):
        assert _asked(port, f"/{server.token}/api/trace", f"{named}:{port}")[0] == 200, named
    for other in ("evil.example:%d" % port, "127.0.0.1", "127.0.0.1:1", None):
        assert _asked(port, f"/{server.token}/api/trace", other)[0] == 403, other
    # A bad number is a bad request, whatever its size.
    huge = "9" * 23
    for route in (
        f"api/call?id={huge}",
        f"api/call?id=-{huge}",
        f"api/search?q=shop&limit={huge}",
        "api/window?t0=0&t1=1e300&width=9",
        f"api/window?t0=0&t1=1&width={huge}",
        f"api/window?t0=0&t1=1&width=9&rows=1:{huge}:1",
    ):
        status, body = get(server.url + route)
        assert status == 400 and b"\n" not in body, route


def _asked(port, path, host):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as conn:
        head = f"GET {path} HTTP/1.0\r\n" + (f"Host: {host}\r\n" if host is not None else "") + "\r\n"
        conn.sendall(head.encode())
        answer = b""
        while chunk := conn.recv(65536):
            answer += chunk
    return int(answer.split(b" ", 2)[1]), answer
