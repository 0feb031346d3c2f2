"""Outbound HTTP and log messages, recorded by a real profiler in a child."""

import importlib.util
import json
from urllib.parse import urlsplit

import pytest

from nefa.plugins.http import REDACTED, redact_headers, redact_url
from plugin_support import of_type, run_script, stored

SERVER = """
import http.server
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        status = 200 if self.path.startswith("/ok") else 404
        body = self.headers.get("X-Echo", "").encode()
        self.send_response(status)
        self.send_header("Set-Cookie", "session=s3cret")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_POST = do_GET

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
base = f"http://127.0.0.1:{server.server_address[1]}"
"""

CLIENTS = {
    "urllib": """
import urllib.error
import urllib.request

def get(url, headers):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers)) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code
""",
    "http.client": """
import http.client
import urllib.parse

def get(url, headers):
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port)
    connection.request("GET", parts.path + ("?" + parts.query if parts.query else ""), headers=headers)
    status = connection.getresponse().status
    connection.close()
    return status
""",
    "urllib3": """
import urllib3

def get(url, headers):
    return urllib3.PoolManager().request("GET", url, headers=headers).status
""",
    "requests": """
import requests

def get(url, headers):
    return requests.get(url, headers=headers).status_code
""",
}


@pytest.mark.parametrize("client", list(CLIENTS))
def test_requests_and_responses_are_recorded_without_secrets(tmp_path, client):
    module = client.partition(".")[0]
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed")
    run_script(
        tmp_path,
        SERVER
        + CLIENTS[client]
        + """
from nefa import Profiler

secrets = {"Authorization": "Bearer t0ken", "Cookie": "id=1", "X-Api-Key": "k3y", "X-Echo": "visible"}
with Profiler(db_path="traces.db", config={"plugins": ["http"]}):
    statuses = [get(base + "/ok?page=2&access_token=abc", secrets), get(base + "/missing", {})]
assert statuses == [200, 404], statuses
server.shutdown()
""",
    )
    [(summary, records)] = stored(tmp_path / "traces.db")
    traffic = of_type(records, "http_request", "http_response")
    assert [r["type"] for r in traffic] == ["http_request", "http_response"] * 2
    request, response, _, missing = traffic
    port = urlsplit(request["url"]).port
    ok_url = f"http://127.0.0.1:{port}/ok?page=2&access_token={REDACTED}"
    assert (request["method"], request["url"]) == ("GET", ok_url)
    headers = {name.lower(): value for name, value in request["headers"].items()}
    assert headers["authorization"] == headers["cookie"] == headers["x-api-key"] == REDACTED
    assert headers["x-echo"] == "visible"
    # The plugin records hold no secret (the program's own frames may).
    assert "t0ken" not in json.dumps(traffic) and "s3cret" not in json.dumps(traffic)
    assert (response["method"], response["url"], response["status"]) == ("GET", ok_url, 200)
    assert response["headers"]["Set-Cookie"] == REDACTED
    assert isinstance(response["duration"], float) and response["duration"] >= 0
    assert (missing["status"], missing["url"]) == (404, f"http://127.0.0.1:{port}/missing")


@pytest.mark.parametrize(
    "url, expected",
    [
        ("http://user:pw@host/p?q=1", f"http://{REDACTED}@host/p?q=1"),
        ("https://h/p?api_key=1&x=2&Session=3", f"https://h/p?api_key={REDACTED}&x=2&Session={REDACTED}"),
        ("/local/path?flag&token=", f"/local/path?flag&token={REDACTED}"),
        ("http://h/p#frag", "http://h/p#frag"),
    ],
)
def test_urls_lose_their_credentials(url, expected):
    assert redact_url(url) == expected


def test_headers_lose_their_credentials_and_keep_repeats():
    headers = redact_headers(
        [("Accept", "a"), ("Accept", "b"), ("Proxy-Authorization", "x"), ("X-Auth-Token", "y"), ("Set-Cookie", "z")]
    )
    assert headers == {"Accept": "a, b", "Proxy-Authorization": REDACTED, "X-Auth-Token": REDACTED,
                       "Set-Cookie": REDACTED}


def test_log_messages_are_recorded_and_nefas_own_warnings_are_not(tmp_path):
    run_script(
        tmp_path,
        """
import logging

import nefa.serialize
from nefa import Profiler

# nefa's warnings come from inside the hook: count them, keep them quiet.
warnings = []
nefa_logger = logging.getLogger("nefa")
nefa_logger.addHandler(logging.Handler())
nefa_logger.handlers[-1].emit = warnings.append
nefa_logger.propagate = False

real = nefa.serialize.dump_msgpack
def dump(value):
    if value == "poison":
        raise ValueError("cannot encode")
    return real(value)
nefa.serialize.dump_msgpack = dump

logging.basicConfig(level=logging.INFO, handlers=[logging.NullHandler()])
log = logging.getLogger("app.orders")

def poisoned():
    return "poison"

def work():
    log.debug("below the level: %s", 1)
    log.info("order %s shipped", 42)
    poisoned()
    log.warning("bad format %d", "text")
    try:
        raise KeyError("sku")
    except KeyError:
        log.exception("lookup failed")

with Profiler(db_path="traces.db", config={"plugins": ["logging"]}):
    work()
assert len(warnings) == 1, warnings
assert "Unexpected exception" in warnings[0].msg
""",
    )
    [(summary, records)] = stored(tmp_path / "traces.db")
    logs = of_type(records, "log")
    assert [(r["level"], r["logger"]) for r in logs] == [
        ("INFO", "app.orders"),
        ("WARNING", "app.orders"),
        ("ERROR", "app.orders"),
    ]
    info, bad, error = logs
    assert info["message"] == "order 42 shipped" and info["function"] == "work"
    assert info["path"].endswith("main.py")
    assert "formatting failed" in bad["message"] and "bad format" in bad["message"]
    assert error["exception"] == "KeyError: 'sku'"
    # The log call is placed in the user's function that made it.
    work_call = next(r for r in records if r.get("co_name") == "work" and r["event"] == "call")
    assert info["user_code_call_site"]["call_frame_id"] == work_call["frame_id"]
