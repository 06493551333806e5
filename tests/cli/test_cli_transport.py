"""The retrying transport: what it retries, how long it pauses, what it
leaves alone; and a stage that gets through injected refusals."""

import json

import pytest

from tarn_gcp.cloud.transport import RetryingHttp, refusal_reason
from tarn_gcp.emulator import PEERING_IN_PROGRESS

from test_cli_support import KEY, cli, pauses, read_json  # noqa: F401
from testing.emulators import mutations

URI = "https://compute.googleapis.com/compute/v1/projects/p/global/routes"


class Response(dict):
    def __init__(self, status, **headers):
        super().__init__(headers)
        self.status = status


def body(status, message, reason="invalid"):
    return json.dumps({"error": {"code": status, "message": message,
                                 "errors": [{"message": message, "reason": reason}]}}).encode()


class Scripted:
    """An httplib2.Http stand-in answering from a script; an exception in
    the script is raised."""

    credentials = "the credentials"

    def __init__(self, *answers):
        self.answers = list(answers)
        self.calls = []

    def request(self, uri, method="GET", body=None, headers=None, **kwargs):
        self.calls.append((uri, method, body))
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer


OK = (Response(200), b"{}")


def wrap(inner, **kw):
    pauses = []
    http = RetryingHttp(inner, sleep=pauses.append, rand=lambda: 0.5, **kw)
    return http, pauses


@pytest.mark.parametrize("status,content", [
    (500, b""),
    (503, body(503, "Backend unavailable", "backendError")),
    (429, body(429, "Quota exceeded", "rateLimitExceeded")),
    (403, body(403, "Rate Limit Exceeded", "userRateLimitExceeded")),
    (400, body(400, PEERING_IN_PROGRESS)),
    (400, body(400, "There is a route operation in progress on the network. Try later.")),
    (400, body(400, "The resource 'projects/p/regions/r/routers/cr' is not ready",
               "resourceNotReady")),
])
def test_transient_refusals_are_sent_again(status, content):
    inner = Scripted((Response(status), content), OK)
    http, pauses = wrap(inner)
    response, _ = http.request(URI, "POST", body='{"name": "r"}', headers={"a": "b"})
    assert response.status == 200
    assert len(inner.calls) == 2 and inner.calls[0] == inner.calls[1]
    assert len(pauses) == 1


@pytest.mark.parametrize("status,content", [
    (400, body(400, "Invalid value for field 'resource.name'")),
    (403, body(403, "Required 'compute.routes.insert' permission", "forbidden")),
    (404, body(404, "The resource was not found", "notFound")),
    (409, body(409, "The resource already exists", "alreadyExists")),
    (400, b"not json"),
    (501, b""),
])
def test_other_answers_go_back_at_once(status, content):
    inner = Scripted((Response(status), content))
    http, pauses = wrap(inner)
    response, returned = http.request(URI, "POST")
    assert (response.status, returned) == (status, content)
    assert len(inner.calls) == 1 and pauses == []


def test_backoff_grows_is_bounded_and_gives_up_with_the_last_answer():
    answers = [(Response(503), b"")] * 6
    http, pauses = wrap(Scripted(*answers), retries=5, base_delay=1.0, max_delay=5.0)
    response, _ = http.request(URI)
    assert response.status == 503
    assert pauses == [0.75, 1.5, 3.0, 3.75, 3.75]   # half-jitter factor 0.75, capped at 5
    assert http.retried == 5


def test_retry_after_is_honoured_within_the_bound():
    inner = Scripted((Response(429, **{"retry-after": "3"}), b""),
                     (Response(429, **{"retry-after": "600"}), b""), OK)
    http, pauses = wrap(inner, max_delay=10.0)
    assert http.request(URI)[0].status == 200
    assert pauses == [3.0, 10.0]


@pytest.mark.parametrize("method,uri,error,retried", [
    ("GET", URI, ConnectionResetError(), True),
    ("GET", URI, TimeoutError(), True),
    ("POST", URI + "/operations/op-1/wait", ConnectionResetError(), True),
    # a change carries its request id: sent again, it is not made twice
    ("POST", URI, ConnectionResetError(), True),
    ("DELETE", URI + "/r", TimeoutError(), True),
    ("POST", URI + "?requestId=given", TimeoutError(), True),
    ("POST", URI, ConnectionRefusedError(), True),      # never reached the server
])
def test_transport_failures_are_retried_only_when_repeating_is_safe(method, uri, error, retried):
    inner = Scripted(error, OK)
    http, _ = wrap(inner)
    if retried:
        assert http.request(uri, method)[0].status == 200
    else:
        with pytest.raises(type(error)):
            http.request(uri, method)
    assert len(inner.calls) == (2 if retried else 1)
    # every send of one request is the same, request id included
    assert len({call[0] for call in inner.calls}) == 1
    assert ("requestId=" in inner.calls[0][0]) == (method in ("POST", "DELETE") and
                                                   "/wait" not in uri)
    assert "requestId=given" in inner.calls[0][0] or "given" not in uri


def test_other_attributes_are_the_wrapped_objects():
    http, _ = wrap(Scripted())
    assert http.credentials == "the credentials"
    assert refusal_reason(200, b"") is None


def test_a_route_stage_gets_through_refused_inserts_and_waits(cli, emu, pauses):
    emu.faults.fail_request("compute.routes.insert", 503, times=2)
    emu.faults.fail_request("compute.globalOperations.wait", 429, times=1,
                            reason="rateLimitExceeded")
    emu.faults.fail_request("compute.routes.delete", 400,
                            "There is a route operation in progress on the network.", times=1)
    result = cli("switch", "routes", "stage1")
    assert result.status == 0, result.err
    inserts = [r for r in mutations(emu) if r.method == "compute.routes.insert"]
    assert [r.status for r in inserts] == [503, 503, 200, 200, 200, 200]
    assert len(pauses) == 4
    assert result.err.count("  retry ") == 4
    assert "added 4" in result.out_lines[-1]


def test_a_change_whose_answer_is_lost_is_made_once_recorded_and_restored(cli, emu, tmp_path):
    """The second insert is made, then its connection drops before the
    answer: the HTTP library sends it again with the same request id, the
    emulator answers with the first operation, and nothing is made twice."""
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    emu.faults.lose_answer("compute.routes.insert", call=2)
    result = cli("--revert", revert, "switch", "routes", "stage1")
    assert result.status == 0, result.err
    inserts = [r for r in emu.requests if r.method == "compute.routes.insert"]
    assert len(inserts) == 5 and inserts[1].query["requestId"] == inserts[2].query["requestId"]
    assert len(result.err_lines) == 1 and "re-sent at once by the HTTP library: POST " \
        "projects/tarn-demo/global/routes" in result.err
    added = json.loads(revert.read_text())["manage_routes"]["stage1"][KEY]["added_route_list"]
    assert len(added) == 4 and added[1] == inserts[1].body["name"]
    assert cli("--revert", revert, "restore", "routes", "stage1").status == 0
    assert emu.snapshot() == original


def test_refusals_beyond_the_retries_end_the_step_as_the_module_reports(cli, emu):
    emu.faults.fail_request("compute.routes.insert", 503, times=None)
    result = cli("switch", "routes", "stage1")
    assert result.status == 1
    assert "  **Error** " in result.err
    assert "4 problem(s) logged above" in result.out_lines[-1]
    assert "tried to delete 1 route(s) and added 0" in result.out_lines[-1]


def test_the_peering_stage_waits_out_peering_operations_in_progress(cli, emu, pauses, tmp_path):
    emu.faults.peering_in_progress(3)
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    assert cli("--revert", revert, "switch", "peerings").status == 0
    removals = [r.status for r in mutations(emu) if r.method == "compute.networks.removePeering"]
    assert removals == [400, 400, 400, 200, 200, 200, 200]
    assert len(read_json(revert)["peerings"][KEY]) == 2
    emu.faults.peering_in_progress(1)
    assert cli("--revert", revert, "restore", "peerings").status == 0
    assert emu.snapshot() == original
    assert len(pauses) == 4



@pytest.mark.parametrize("method,uri,held", [
    ("POST", URI, True),                                   # an insert: its answer is read
    ("DELETE", URI + "/r1", True),
    ("GET", URI + "/r1", False),                           # a read stops at once
    ("POST", URI.replace("routes", "operations/op-1/wait"), False),
])
def test_a_signal_during_a_change_is_raised_when_the_next_request_starts(method, uri, held):
    import os
    import signal
    import time

    from tarn_gcp import interrupts

    class Signalled(Scripted):
        def request(self, *args, **kwargs):
            if not self.calls:
                os.kill(os.getpid(), signal.SIGTERM)
                time.sleep(0.2)
            return super().request(*args, **kwargs)

    inner = Signalled((Response(200), b"{}"), (Response(200), b"{}"))
    http = RetryingHttp(inner, sleep=lambda s: None)
    with interrupts.handled():
        with pytest.raises(interrupts.Stopped):
            answer = http.request(uri, method)
            assert held and answer[0].status == 200
            http.request(URI + "/r1", "GET")
    assert len(inner.calls) == (1 if held else 0)   # the read never got its answer



def test_a_signal_raised_in_a_finalizer_is_raised_when_the_next_request_starts():
    import gc
    import os
    import signal
    import sys
    import time

    from tarn_gcp import interrupts
    from tarn_gcp.cli.app import _unraisable

    class Closing:
        def __del__(self):
            os.kill(os.getpid(), signal.SIGHUP)
            time.sleep(0.2)  # the handler raises here, where nothing can catch it

    seen = []
    inner = Scripted(OK, OK)
    http = RetryingHttp(inner, sleep=lambda s: None)
    hook, sys.unraisablehook = sys.unraisablehook, _unraisable(seen.append)
    try:
        with interrupts.handled():
            http.request(URI + "/r1", "GET")
            Closing()
            gc.collect()
            with pytest.raises(interrupts.Stopped):
                http.request(URI + "/r1", "GET")
    finally:
        sys.unraisablehook = hook
    assert (len(inner.calls), seen) == (1, [])


NET = "https://compute.googleapis.com/compute/v1/projects/%s/global/networks/%s"
BASE = "https://compute.googleapis.com/compute/v1/"


@pytest.mark.parametrize("method,path,body,locked", [
    # a peering change: the network and its peer, from the body or the read
    ("POST", "projects/s/global/networks/spoke/removePeering", {"name": "to-hub"},
     {"s::spoke", "t::hub"}),
    ("POST", "projects/s/global/networks/spoke/removePeering", {"name": "unknown"},
     {"s::spoke"}),
    ("POST", "projects/t/global/networks/hub/addPeering",
     {"networkPeering": {"network": NET % ("s", "spoke")}}, {"t::hub", "s::spoke"}),
    # a route change: its network and the networks it was read peered with
    ("POST", "projects/s/global/routes", {"network": NET % ("s", "spoke")},
     {"s::spoke", "t::hub", "g::gke"}),
    ("DELETE", "projects/s/global/routes/r1", None, {"s::spoke", "t::hub", "g::gke"}),
    ("DELETE", "projects/s/global/routes/r2", None, {"o::other"}),
    ("DELETE", "projects/s/global/routes/never-read", None, {"s::spoke", "t::hub", "g::gke"}),
    ("POST", "projects/s/regions/r/routers/cr", {}, set()),
])
def test_network_locks_of_a_change(method, path, body, locked):
    from tarn_gcp.cloud.serialise import NetworkLocks

    locks = NetworkLocks(place=None, home="s::spoke")
    locks.seen("projects/s/global/networks/spoke", json.dumps({"peerings": [
        {"name": "to-hub", "network": NET % ("t", "hub")},
        {"name": "to-gke", "network": NET % ("g", "gke")}]}))
    locks.seen("projects/s/global/routes", json.dumps({"items": [
        {"name": "r1", "network": NET % ("s", "spoke")},
        {"name": "r2", "network": NET % ("o", "other")}]}))
    assert locks.networks(method, path, body and json.dumps(body)) == locked


def test_a_locked_change_holds_its_locks_until_its_operation_is_done():
    held = []

    class Guard:
        def guard(self, method, path, body):
            import contextlib

            @contextlib.contextmanager
            def holding():
                held.append("taken")
                yield
                held.append("given back after %d request(s)" % len(inner.calls))
            return holding()

        def seen(self, path, content):
            pass

    running = {"kind": "compute#operation", "status": "RUNNING",
               "selfLink": "https://www.googleapis.com/compute/v1/projects/p/global/operations/o"}
    inner = Scripted((Response(200), json.dumps(running).encode()),
                     (Response(200), json.dumps(dict(running, status="RUNNING")).encode()),
                     (Response(200), json.dumps(dict(running, status="DONE")).encode()))
    http, _ = wrap(inner)
    http.serialise = Guard()
    response, content = http.request(URI, "POST", "{}")
    assert json.loads(content)["status"] == "RUNNING"
    assert held == ["taken", "given back after 3 request(s)"]
    # the waits go to the operation at the API root the change went to
    assert [c[:2] for c in inner.calls[1:]] == [(BASE + "projects/p/global/operations/o/wait",
                                                 "POST")] * 2
