"""The HTTP front under requests no client library sends: every one gets a
JSON error in the API's shape, never a traceback or a dropped connection;
and the command that serves the emulator refuses bad arguments in one line."""

import json
import socket

import pytest

from testing.emulators import run_python

ROUTES = "/compute/v1/projects/tarn-demo/global/routes"
BODY = json.dumps({"name": "raw-route", "network": "global/networks/spoke-vpc",
                   "destRange": "10.81.0.0/16", "nextHopIp": "10.10.0.9"}).encode()


def exchange(emu, head, body=b""):
    """Sends raw bytes, half-closes, reads the whole answer."""
    with socket.create_connection(("127.0.0.1", emu.port), timeout=10) as conn:
        conn.sendall(head.encode("latin-1") + b"\r\n\r\n" + body)
        conn.shutdown(socket.SHUT_WR)
        data = b""
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status = int(head.split()[1])
    headers = dict(line.split(": ", 1) for line in head.decode("latin-1").split("\r\n")[1:])
    return status, headers, rest


def post(length=None, extra=()):
    lines = ["POST %s HTTP/1.1" % ROUTES, "Host: x", "Content-Type: application/json"]
    if length is not None:
        lines.append("Content-Length: %s" % length)
    return "\r\n".join(lines + list(extra))


CASES = [
    # (id, head, body, status, part of the message)
    ("no Content-Length", post(), BODY, 400, "needs a Content-Length"),
    ("malformed Content-Length", post("12abc"), BODY, 400, "Malformed Content-Length"),
    ("negative Content-Length", post("-5"), BODY, 400, "Malformed Content-Length"),
    ("huge Content-Length", post("9" * 30), BODY, 400, "Malformed Content-Length"),
    ("oversized body", post(2 * 1024 * 1024), BODY, 413, "exceeds the limit"),
    ("body shorter than announced", post(len(BODY) + 50), BODY, 400, "ended after"),
    ("body not UTF-8", post(7), b'{"\xff":1}', 400, "not UTF-8"),
    ("UTF-16 body", post(len(BODY.decode().encode("utf-16"))), BODY.decode().encode("utf-16"),
     400, "not UTF-8"),
    ("not JSON", post(9), b"{name: x}", 400, "not valid JSON"),
    ("unknown transfer coding", post(None, ["Transfer-Encoding: gzip"]), BODY, 400,
     "Unsupported Transfer-Encoding"),
    ("bad chunk size", post(None, ["Transfer-Encoding: chunked"]), b"zz\r\n{}\r\n0\r\n\r\n", 400,
     "Malformed chunked"),
    ("oversized chunked body", post(None, ["Transfer-Encoding: chunked"]),
     b"%x\r\n" % (2 << 20) + b"x" * 10, 413, "exceeds the limit"),
    ("control path body not UTF-8", "POST /_emulator/faults HTTP/1.1\r\nHost: x\r\n"
     "Content-Length: 3", b"\xff\xfe\xfd", 400, "Bad control request"),
    ("bad request line", "GARBAGE", b"", 400, "Bad request"),
    ("HTTP method the server lacks", "BREW %s HTTP/1.1\r\nHost: x" % ROUTES, b"", 501,
     "Unsupported method"),
]


@pytest.mark.parametrize("head, body, status, fragment", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_malformed_requests_get_json_errors(emu, capfd, head, body, status, fragment):
    before = emu.snapshot()
    got, headers, rest = exchange(emu, head, body)
    assert got == status
    assert headers["Content-Type"].startswith("application/json")
    error = json.loads(rest)["error"]
    assert error["code"] == status and fragment in error["message"]
    assert emu.snapshot() == before
    # The server goes on serving, and printed nothing.
    assert exchange(emu, "GET %s HTTP/1.1\r\nHost: x\r\nConnection: close" % ROUTES)[0] == 200
    assert "Traceback" not in capfd.readouterr().err


def test_chunked_body_is_read(emu):
    chunked = b"%x\r\n%s\r\n0\r\n\r\n" % (len(BODY), BODY)
    status, _, rest = exchange(emu, post(None, ["Transfer-Encoding: chunked"]), chunked)
    assert status == 200 and json.loads(rest)["operationType"] == "insert"


def _serve(*args):
    return run_python("-m", "tarn_gcp.emulator", *args, timeout=60)


@pytest.fixture(scope="module")
def busy_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen()
        yield sock.getsockname()[1]


@pytest.mark.parametrize("args, fragment", [
    (["--port", "{busy}"], "Address already in use"),
    (["--port", "65536"], "out of range"),
    (["--port", "-1"], "out of range"),
    (["--port", "eighty"], "invalid port"),
    (["--colour"], "unrecognized arguments"),
    (["--project", "Bad Project"], "invalid project id"),
    (["--op-seconds", "soon"], "must be a number"),
    (["--op-seconds", "route=-1"], "must be 0 or more"),
    (["--op-seconds", "bgp=5"], "unknown kind of operation 'bgp'"),
    (["--spokes", "0"], "the number of spokes must be from 1 to 1024"),
    (["--write-plans", "plans"], "--write-plans needs --spokes"),
    (["--spokes", "2", "--write-plans", "/proc/no/such/folder"], "cannot write the plans"),
])
def test_serving_refuses_bad_arguments_in_one_line(busy_port, args, fragment):
    done = _serve(*[a.format(busy=busy_port) for a in args])
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and fragment in done.stderr
    assert done.stderr.startswith("python -m tarn_gcp.emulator: ")
