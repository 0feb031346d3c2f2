"""Flask's request handling, and one stored trace per request through the
WSGI middleware."""

import os
import re
import subprocess
import sys

import msgpack
import pytest
from plugin_support import frame_names, of_type, run_script, stored

from nefa.traces import decode_document
from nefa.wsgi import with_command_line

APP = """
import flask

app = flask.Flask(__name__)


def lookup(item_id):
    if item_id == 0:
        raise LookupError("no item 0")
    return {"id": item_id}


@app.get("/items/<int:item_id>")
def item(item_id):
    return lookup(item_id)


@app.post("/items")
def create():
    return {"created": True}, 201
"""


def test_flask_requests_and_responses_are_recorded(tmp_path):
    pytest.importorskip("flask")
    run_script(
        tmp_path,
        APP
        + """
from nefa import Profiler

client = app.test_client()
with Profiler(db_path="traces.db", config={"plugins": ["flask"]}):
    statuses = [client.get("/items/7?token=x").status_code, client.get("/items/0").status_code,
                client.post("/items").status_code, client.get("/nowhere").status_code]
assert statuses == [200, 500, 201, 404], statuses
""",
    )
    [(summary, records)] = stored(tmp_path / "traces.db")
    flask_records = of_type(records, "flask_request", "flask_response")
    shapes = [
        (r["method"], r["path"]) if r["type"] == "flask_request" else (r["status_code"], r["endpoint"])
        for r in flask_records
    ]
    assert shapes == [
        ("GET", "/items/7"),
        (200, "item"),
        ("GET", "/items/0"),
        (500, "item"),
        ("POST", "/items"),
        (201, "create"),
        ("GET", "/nowhere"),
        (404, None),
    ]
    assert flask_records[0]["url"] == "/items/7?token=[redacted]"
    assert flask_records[1]["status"] == "200 OK"
    # The view's own frames sit between its request and its response.
    first_response = records.index(flask_records[1])
    assert frame_names(records[:first_response])[-2:] == ["item", "lookup"]


SERVED = """
import threading
import urllib.error
import urllib.request
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server
from socketserver import ThreadingMixIn

from nefa.wsgi import NefaMiddleware


class Quiet(WSGIRequestHandler):
    def log_message(self, *args):
        pass


class ThreadedServer(ThreadingMixIn, WSGIServer):
    # Each trace is stored when its handler closes the response, which
    # is after the client has read it: server_close() waits for that.
    daemon_threads = False


def fetch(path, data=None):
    try:
        with urllib.request.urlopen(base + path, data=data) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


server = make_server("127.0.0.1", 0, NefaMiddleware(APPLICATION, db_path="traces.db"),
                     server_class=ThreadedServer, handler_class=Quiet)
threading.Thread(target=server.serve_forever, daemon=True).start()
base = f"http://127.0.0.1:{server.server_address[1]}"
results = [fetch(path) for path in PATHS]
server.shutdown()
server.server_close()
print(results)
"""

STREAMING_APP = """
def chunk(number):
    return f"chunk {number};".encode()


def body(count):
    for number in range(count):
        yield chunk(number)


def APPLICATION(environ, start_response):
    count = int(environ["QUERY_STRING"] or 0)
    start_response("200 OK", [("Content-Type", "text/plain")])
    return body(count)


PATHS = ["/stream?2", "/stream?3"]
"""


def test_each_request_is_stored_as_its_own_trace_until_the_response_is_closed(tmp_path):
    proc = run_script(tmp_path, STREAMING_APP + SERVED)
    assert "(200, b'chunk 0;chunk 1;')" in proc.stdout
    traces = stored(tmp_path / "traces.db")
    assert [(summary.source, summary.command_line) for summary, _ in traces] == [
        ("wsgi", ["GET", "/stream?2", "200"]),
        ("wsgi", ["GET", "/stream?3", "200"]),
    ], proc.stderr
    for (_, records), count in zip(traces, (2, 3)):
        # The body is produced while the server iterates: still recorded,
        # up to the generator's last resumption, which ends it, and the
        # server's logging, which comes before it closes the response.
        assert frame_names(records) == ["APPLICATION", *["body", "chunk"] * count, "body", "log_message"]
        assert len({r["thread_native_id"] for r in records}) == 1


def test_flask_behind_the_middleware(tmp_path):
    pytest.importorskip("flask")
    proc = run_script(
        tmp_path,
        APP + "\nAPPLICATION = app\nPATHS = ['/items/3', '/items/0']\n" + SERVED,
    )
    assert "(200," in proc.stdout and "(500," in proc.stdout
    traces = stored(tmp_path / "traces.db")
    # A trace that could not be stored is only a warning on stderr.
    assert [summary.command_line for summary, _ in traces] == [
        ["GET", "/items/3", "200"],
        ["GET", "/items/0", "500"],
    ], proc.stderr
    for (_, records), status in zip(traces, (200, 500)):
        assert [r["type"] for r in of_type(records, "flask_request", "flask_response")] == [
            "flask_request",
            "flask_response",
        ]
        assert of_type(records, "flask_response")[0]["status_code"] == status
        assert frame_names(records) == ["item", "lookup", "log_message"]


def test_a_thread_already_recorded_is_left_to_its_recording(tmp_path):
    run_script(
        tmp_path,
        """
from wsgiref.util import setup_testing_defaults

from nefa import Profiler
from nefa.wsgi import NefaMiddleware

def handler():
    return [b"ok"]

def app(environ, start_response):
    start_response("200 OK", [])
    return handler()

environ = {}
setup_testing_defaults(environ)
middleware = NefaMiddleware(app, db_path="requests.db")
with Profiler(db_path="outer.db"):
    assert middleware(environ, lambda status, headers: None) == [b"ok"]
# Once the thread is free, requests are stored again.
assert middleware(environ, lambda status, headers: None) == [b"ok"]
""",
    )
    [(outer, outer_records)] = stored(tmp_path / "outer.db")
    assert frame_names(outer_records) == ["app", "<lambda>", "handler"]
    [(request, request_records)] = stored(tmp_path / "requests.db")
    assert request.command_line == ["GET", "/", "200"]
    assert frame_names(request_records) == ["app", "<lambda>", "handler"]


def test_an_application_that_raises_is_still_stored(tmp_path):
    run_script(
        tmp_path,
        """
from wsgiref.util import setup_testing_defaults

from nefa.wsgi import NefaMiddleware

def app(environ, start_response):
    raise RuntimeError("broken")

environ = {"PATH_INFO": "/broken", "REQUEST_METHOD": "POST"}
setup_testing_defaults(environ)
try:
    NefaMiddleware(app, db_path="requests.db")(environ, None)
except RuntimeError:
    pass
else:
    raise AssertionError("the error was swallowed")
""",
    )
    [(request, records)] = stored(tmp_path / "requests.db")
    assert request.command_line == ["POST", "/broken"]
    assert frame_names(records) == ["app"]


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_requests_in_flight_at_once_are_each_stored_with_their_own_calls(tmp_path, engine):
    if engine == "monitoring" and sys.version_info < (3, 12):
        pytest.skip("sys.monitoring is 3.12+")
    # Two handler threads record at the same time: under the monitoring
    # engine one tool id serves both, and neither may see the other's calls,
    # nor end the other's recording when it stops first.
    run_script(
        tmp_path,
        f"""
import threading
from wsgiref.util import setup_testing_defaults

from nefa.wsgi import NefaMiddleware

both_in = threading.Barrier(2)
first_done = threading.Event()

def handle_a():
    return [b"a"]

def handle_b():
    first_done.wait(10)  # still recording after the other request has ended
    return [b"b"]

def app(environ, start_response):
    start_response("200 OK", [])
    both_in.wait(10)
    if environ["PATH_INFO"] == "/a":
        return handle_a()
    return handle_b()

middleware = NefaMiddleware(app, db_path="requests.db", config={{"engine": "{engine}"}})

def request(path):
    environ = {{"PATH_INFO": path}}
    setup_testing_defaults(environ)
    assert middleware(environ, lambda status, headers: None) == [path[1:].encode()]
    if path == "/a":
        first_done.set()

threads = [threading.Thread(target=request, args=(path,)) for path in ("/a", "/b")]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
""",
    )
    traces = {tuple(summary.command_line): records for summary, records in stored(tmp_path / "requests.db")}
    assert sorted(traces) == [("GET", "/a", "200"), ("GET", "/b", "200")]
    assert frame_names(traces["GET", "/a", "200"]) == ["app", "<lambda>", "handle_a"]
    assert frame_names(traces["GET", "/b", "200"]) == ["app", "<lambda>", "handle_b"]
    # b's recording outlived a's: its returns after a had stopped are there.
    returns = [r["co_name"] for r in traces["GET", "/b", "200"] if r["type"] == "frame" and r["event"] == "return"]
    assert returns == ["<lambda>", "handle_b", "app"]
    for records in traces.values():
        assert len({r["thread_native_id"] for r in records}) == 1


def test_command_line_is_replaced_and_everything_else_kept_byte_for_byte():
    entries = {"command_line_args": ["server.py"], "frames": {1: [{"a": b"\x00" * 300}]}, "trace_id": "trc_x"}
    document = msgpack.packb(entries)
    changed = with_command_line(document, ["GET", "/path", "200"])
    assert decode_document(changed) == {**entries, "command_line_args": ["GET", "/path", "200"]}
    assert changed.endswith(document[document.index(msgpack.packb("frames")) :])


def test_middleware_settings_are_checked_when_it_is_made():
    from nefa.config import ConfigError
    from nefa.wsgi import NefaMiddleware

    with pytest.raises(TypeError, match="WSGI application"):
        NefaMiddleware("not an app")
    with pytest.raises(ConfigError, match="unknown plugin 'nope'"):
        NefaMiddleware(lambda environ, start_response: [], config={"plugins": ["nope"]})


SECRET_APP = """
import plumbing


def login(user, password):
    token = "t0ken-" + user
    return len(password) + len(token)


def app(environ, start_response):
    start_response("302 Found", [("Location", "/next?code=c0de-5ecret;jsessionid=5ess-5ecret")])
    return [str(login("bob", "pa55word-5ecret")).encode()]


plumbing.request_once(app, "/p?token=qu3ry-5ecret&page=2")
"""

# The server and the client, kept out of the trace (--ignore): their own
# variables hold the request line and URLs as plain text.
PLUMBING = """
import threading
import urllib.error
import urllib.request
from wsgiref.simple_server import WSGIRequestHandler, make_server


class Quiet(WSGIRequestHandler):
    def log_message(self, *args):
        pass


class Stay(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def request_once(app, target):
    server = make_server("127.0.0.1", 0, app, handler_class=Quiet)
    threading.Thread(target=server.handle_request, daemon=True).start()
    headers = {"Authorization": "Bearer b3arer-5ecret", "Cookie": "id=c00kie-5ecret", "X-Custom": "token=cu5tom-5ecret"}
    request = urllib.request.Request(f"http://127.0.0.1:{server.server_port}{target}", headers=headers)
    try:
        urllib.request.build_opener(Stay).open(request)
    except urllib.error.HTTPError as error:
        assert error.code == 302
"""


@pytest.mark.parametrize("redact_values", [True, False])
def test_stored_bytes_of_a_wsgi_request_hold_no_secret(tmp_path, redact_values):
    (tmp_path / "main.py").write_text(SECRET_APP)
    (tmp_path / "plumbing.py").write_text(PLUMBING)
    if not redact_values:
        (tmp_path / "pyproject.toml").write_text("[tool.nefa]\nredact_values = false\n")
    # A small environment: wsgiref copies it into environ ahead of the request's own entries.
    # Sanitiser runs preload their runtime: keep what they set.
    kept = ("PATH", "LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    env = {name: os.environ[name] for name in kept if name in os.environ}
    env |= {"PYTHONFAULTHANDLER": "1", "SESSION_SECRET": "3nv-5ecret"}
    args = [sys.executable, "-m", "nefa", "run", "--ignore", "plumbing.py", "main.py", "--password=4rgv-5ecret"]
    run = subprocess.run(args, cwd=tmp_path, env=env, capture_output=True, timeout=120)
    assert run.returncode == 0 and run.stderr.startswith(b"nefa: stored trace"), run.stderr
    export = [sys.executable, "-m", "nefa", "export", "--format", "msgpack", "-o", "-"]
    stored_bytes = subprocess.run(export, cwd=tmp_path, env=env, capture_output=True, timeout=120, check=True).stdout
    document = msgpack.unpackb(stored_bytes, strict_map_key=False, ext_hook=lambda code, data: data)
    records = [*document["frames_of_interest"], *(r for part in document["frames"].values() for r in part)]
    recorded = [r for r in records if r["type"] == "frame"]
    login = next(r for r in recorded if r["co_name"] == "login" and r["event"] == "return")
    environ = next(r for r in recorded if r["co_name"] == "app")["locals"]["environ"]
    secrets = re.findall(rb"[a-z0-9]+-5ecret", stored_bytes)
    if redact_values:
        assert secrets == [], secrets
        assert login["locals"]["password"] == login["locals"]["token"] == "[redacted]"
        assert environ["QUERY_STRING"] == "token=[redacted]&page=2" and environ["PATH_INFO"] == "/p"
        assert document["command_line_args"][-1] == "--password=[redacted]"
    else:
        # Recorded whole but for nefa's own records (the HTTP plugin's).
        assert {b"pa55word-5ecret", b"b3arer-5ecret", b"qu3ry-5ecret", b"4rgv-5ecret"} <= set(secrets)
        assert environ["HTTP_AUTHORIZATION"] == "Bearer b3arer-5ecret"
    responses = [r for r in records if r["type"] == "http_response"]
    assert responses and responses[0]["headers"]["Location"] == "/next?code=[redacted];jsessionid=[redacted]"
