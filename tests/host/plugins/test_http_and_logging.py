"""Outbound HTTP and log messages, recorded by a real profiler in a child."""

import importlib.util
import json
from urllib.parse import urlsplit

import pytest
from plugin_support import of_type, run_script, stored

from nefa import config
from nefa.plugins.http import REDACTED, Redactor, redact_headers, redact_url, redactor

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
    assert headers == {
        "Accept": "a, b",
        "Proxy-Authorization": REDACTED,
        "X-Auth-Token": REDACTED,
        "Set-Cookie": REDACTED,
    }


@pytest.mark.parametrize(
    "name",
    [
        "sig",
        "pwd",
        "pass",
        "code",
        "jwt",
        "DPoP",
        "X-Jwt-Assertion",
        "X-Pass",
        "X-Access-Code",
        "X-CSRF-Token",
        "client_secret",
        "id_token",
        "PHPSESSID",
        "x-amz-signature",
        "apiKey",
        "OTP",
    ],
)
def test_credential_names_by_rule(name):
    assert Redactor().is_secret(name)
    assert redact_url(f"https://h/p?{name}=v&page=2") == f"https://h/p?{name}={REDACTED}&page=2"
    assert redact_headers([(name, "v")]) == {name: REDACTED}


@pytest.mark.parametrize("name", ["Accept", "Content-Type", "Content-Encoding", "Keep-Alive", "page", "X-Echo"])
def test_ordinary_names_are_kept(name):
    assert not Redactor().is_secret(name)


def test_user_info_goes_wherever_it_appears():
    headers = redact_headers(
        [
            ("Host", "alice:pw@example.org:8080"),
            ("Referer", "https://bob:pw@a.example/x"),
            ("Link", "<ftp://carol@f.example/>; rel=x"),
            ("Accept", "a@b"),
        ]
    )
    assert headers == {
        "Host": f"{REDACTED}@example.org:8080",
        "Referer": f"https://{REDACTED}@a.example/x",
        "Link": f"<ftp://{REDACTED}@f.example/>; rel=x",
        "Accept": "a@b",
    }
    # OAuth's implicit flow returns the token in the fragment.
    assert redact_url("https://h/cb#access_token=abc&state=1") == f"https://h/cb#access_token={REDACTED}&state=1"
    assert redact_url("https://h/p?a+key=1") == f"https://h/p?a+key={REDACTED}"


def test_the_configuration_adds_fragments(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[tool.nefa]\nredact = ["Tenant"]\n')
    profiler_config, _ = config.resolve({}, directory=tmp_path)
    assert profiler_config["redact"] == ["tenant"]
    extended = redactor(profiler_config)
    assert extended.is_secret("X-Tenant-Id") and extended.is_secret("token") and not redactor({}).is_secret("tenant")
    (tmp_path / "pyproject.toml").write_text('[tool.nefa]\nredact = "tenant"\n')
    with pytest.raises(config.ConfigError, match="redact: expected a list of non-empty name fragments"):
        config.resolve({}, directory=tmp_path)
    with pytest.raises(config.ConfigError, match="redact"):
        config.make_config({"redact": [""]})


def test_recorded_requests_follow_the_rules_and_the_configuration(tmp_path):
    run_script(
        tmp_path,
        SERVER
        + """
import http.client
from nefa import Profiler

port = server.server_address[1]
with Profiler(db_path="traces.db", config={"plugins": ["http"], "redact": ["tenant"]}):
    connection = http.client.HTTPConnection("127.0.0.1", port)
    connection.putrequest("GET", "/ok?sig=hush1x&pwd=hush2x&jwt=hush3x&code=hush4x&page=2", skip_host=True)
    connection.putheader("Host", f"user:hush5x@127.0.0.1:{port}")
    for name, value in (("DPoP", "hush6x"), ("X-Jwt-Assertion", "hush7x"), ("X-Pass", "hush8x"),
                        ("X-Access-Code", "hush9x"), ("X-Tenant", "hush10x"), ("X-Echo", "visible")):
        connection.putheader(name, value)
    connection.endheaders()
    assert connection.getresponse().status == 200
server.shutdown()
""",
    )
    [(_, records)] = stored(tmp_path / "traces.db")
    request, response = of_type(records, "http_request", "http_response")
    text = json.dumps([request, response])
    assert not any(f"hush{n}x" in text for n in range(1, 11)), text
    assert request["headers"]["X-Echo"] == "visible" and "page=2" in request["url"]
    assert request["headers"]["Host"].startswith(f"{REDACTED}@127.0.0.1:")


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


def test_pairs_inside_urls_and_ordinary_headers_lose_their_values():
    assert (
        redact_url("https://h/a;jsessionid=s1/b?x=1;token=s2")
        == f"https://h/a;jsessionid={REDACTED}?x=1;token={REDACTED}"
    )
    headers = redact_headers(
        [
            ("Location", "https://u:pw@h/cb?code=s3&state=ok"),
            ("X-Custom", "mode=fast, token=s4"),
            ("Content-Type", "text/html; charset=utf-8"),
            ("Link", "</next?api_key=s5>; rel=next"),
        ]
    )
    assert headers == {
        "Location": f"https://{REDACTED}@h/cb?code={REDACTED}&state=ok",
        "X-Custom": f"mode=fast, token={REDACTED}",
        "Content-Type": "text/html; charset=utf-8",
        "Link": f"</next?api_key={REDACTED}>; rel=next",
    }


def test_the_command_line_loses_its_secrets():
    from nefa.redaction import Rule

    argv = ["app.py", "--password=a&b", "--token", "s1", "--api-key", "-v", "db://h/x?sig=s2", "user=me", "pin=1"]
    assert Rule().command_line(argv) == [
        "app.py",
        f"--password={REDACTED}",
        "--token",
        REDACTED,
        "--api-key",
        "-v",
        f"db://h/x?sig={REDACTED}",
        "user=me",
        f"pin={REDACTED}",
    ]
