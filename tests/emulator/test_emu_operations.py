import re

import pytest
from googleapiclient.errors import HttpError

from emu_helpers import SPOKE
from testing.emulators import finish, wait_until
from tarn_gcp.emulator import PEERING_IN_PROGRESS, ROUTE_IN_PROGRESS, Emulator, build_service, \
    sample


def new_route(name="op-route", **extra):
    return dict({"name": name, "network": SPOKE, "destRange": "10.70.0.0/16",
                 "nextHopIp": "10.10.0.9"}, **extra)


def insert(compute, name="op-route"):
    return compute.routes().insert(project="tarn-demo", body=new_route(name)).execute()


def exists(compute, name="op-route"):
    try:
        compute.routes().get(project="tarn-demo", route=name).execute()
        return True
    except HttpError as err:
        assert err.status_code == 404
        return False


def poll(compute, op, verb="wait"):
    return getattr(compute.globalOperations(), verb)(project="tarn-demo",
                                                     operation=op["name"]).execute()


@pytest.fixture(scope="module")
def slow():
    """An emulator whose operations take a while, as the API's do."""
    with Emulator(seed=sample, op_seconds={"route": 0.5, "peering": 0.5, None: 0}) as emu:
        yield emu


def test_operations_run_their_time_unpolled_and_wait_holds_until_done(slow):
    slow.reset(seed=sample)
    compute = build_service(slow)
    op = insert(compute)
    assert re.fullmatch(r"operation-\d+-[0-9a-f]+(-[0-9a-f]+)*", op["name"])
    assert op["kind"] == "compute#operation" and op["status"] == "PENDING"
    assert op["operationType"] == "insert"
    assert op["targetLink"] == ("https://www.googleapis.com/compute/v1/projects/tarn-demo/global/"
                                "routes/op-route")
    assert op["selfLink"].endswith("/projects/tarn-demo/global/operations/" + op["name"])
    assert poll(compute, op, "get")["status"] == "RUNNING" and not exists(compute)
    # The name is taken at once: a second insert is refused, not failed in its operation.
    with pytest.raises(HttpError) as err:
        insert(compute)
    assert err.value.status_code == 409
    done = poll(compute, op)
    assert done["status"] == "DONE" and done["progress"] == 100 and "endTime" in done
    assert "error" not in done and exists(compute)
    # An insert nobody polls lands all the same.
    slow.clear_requests()
    insert(compute, "unpolled")
    assert wait_until(lambda: exists(compute, "unpolled"), seconds=10)
    assert not [r for r in slow.requests if "Operations" in (r.method or "")]


def test_changes_wait_for_a_running_peering_operation_on_their_networks(slow):
    slow.reset(seed=sample)
    compute = build_service(slow)
    op = compute.networks().removePeering(project="tarn-transit", network="transit-a",
                                          body={"name": "transit-a-to-spoke"}).execute()
    for call in (lambda: insert(compute),
                 lambda: compute.networks().removePeering(
                     project="tarn-demo", network="spoke-vpc",
                     body={"name": "spoke-to-transit-a"}).execute()):
        with pytest.raises(HttpError) as err:
            call()
        assert (err.value.status_code, err.value.reason) == (400, PEERING_IN_PROGRESS)
    assert finish(compute, op)[1] == 1     # one wait: it holds the call until DONE
    assert "error" not in finish(compute, insert(compute))[0]


def test_failed_operation_reports_the_error_and_changes_nothing(compute, emu):
    emu.faults.fail_operation("compute.routes.insert", 409, "Route quota exhausted.",
                              name="op-route")
    other = insert(compute, "other-route")   # not matched by name
    failing = insert(compute)
    assert failing["status"] == "PENDING" and "error" not in failing   # accepted
    assert "error" not in finish(compute, other)[0]
    done, _ = finish(compute, failing)
    assert done["error"] == {"errors": [{"code": "RESOURCE_ALREADY_EXISTS",
                                         "message": "Route quota exhausted."}]}
    assert done["httpErrorStatusCode"] == 409 and done["httpErrorMessage"] == "CONFLICT"
    assert not exists(compute) and exists(compute, "other-route")


def test_hold_keeps_the_operation_running_for_n_polls(compute, emu):
    emu.faults.hold_operation(3, "compute.networks.removePeering")
    op = compute.networks().removePeering(project="tarn-demo", network="spoke-vpc",
                                          body={"name": "spoke-to-transit-b"}).execute()
    done, polls = finish(compute, op)
    assert polls == 3 + 1
    # The next removal is not held.
    op = compute.networks().removePeering(project="tarn-transit", network="transit-b",
                                          body={"name": "spoke-to-transit-b"}).execute()
    assert finish(compute, op)[1] == 1


def test_fail_request_by_method_name_and_call_count(compute, emu):
    rule = emu.faults.fail_request("compute.routes.*", 503, "Backend unavailable.",
                                   name="op-route", call=2)
    finish(compute, insert(compute))                                        # first call passes
    compute.routes().get(project="tarn-demo", route="spoke-onprem-backup").execute()  # other name
    with pytest.raises(HttpError) as err:
        compute.routes().get(project="tarn-demo", route="op-route").execute()        # second call
    assert err.value.status_code == 503 and err.value.reason == "Backend unavailable."
    assert exists(compute)                                                  # fired once only
    assert rule.fired == 1


def test_region_operations_and_unknown_operations(compute):
    op = compute.routers().patch(project="tarn-transit", region="us-central1",
                                 router="transit-b-cr-usc1", body={"description": "x"}).execute()
    ops = compute.regionOperations()
    first = ops.get(project="tarn-transit", region="us-central1", operation=op["name"]).execute()
    assert first["status"] == "DONE"
    with pytest.raises(HttpError) as err:   # not a global operation
        compute.globalOperations().wait(project="tarn-transit", operation=op["name"]).execute()
    assert err.value.status_code == 404


def test_request_id_makes_a_retried_insert_return_its_first_operation(compute):
    first = compute.routes().insert(project="tarn-demo", body=new_route(),
                                    requestId="r-1").execute()
    finish(compute, first)
    again = compute.routes().insert(project="tarn-demo", body=new_route(),
                                    requestId="r-1").execute()
    assert again["name"] == first["name"]
    with pytest.raises(HttpError):
        compute.routes().insert(project="tarn-demo", body=new_route()).execute()


def test_request_log_records_what_was_sent(compute, emu):
    emu.clear_requests()
    op = insert(compute)
    finish(compute, op)
    log = emu.requests
    assert [r.method for r in log] == ["compute.routes.insert", "compute.globalOperations.wait"]
    assert log[0].params == {"project": "tarn-demo"} and log[0].body == new_route()
    assert log[0].http_method == "POST" and log[0].status == 200
    assert log[1].params == {"project": "tarn-demo", "operation": op["name"]}
    compute.routes().list(project="tarn-demo", filter='network = "x"', maxResults=3).execute()
    assert emu.requests[-1].query["filter"] == 'network = "x"'
    assert emu.requests[-1].query["maxResults"] == "3"


def test_wait_completes_mode_ends_a_long_operation_in_one_wait_unless_held():
    with Emulator(seed=sample, wait_completes=True, op_seconds=600) as emu:
        compute = build_service(emu)
        assert finish(compute, insert(compute))[1] == 1
        emu.faults.hold_operation(2)
        assert finish(compute, insert(compute, "held"))[1] == 3


ROUTER = {"project": "tarn-transit", "region": "europe-west1", "router": "transit-a-cr-euw1"}
PATCHED = {"bgp": {"advertisedIpRanges": [{"range": "10.99.0.0/16"}]}}


def _route_change(compute):
    return insert(compute)


def _router_patch(compute):
    return compute.routers().patch(body=PATCHED, **ROUTER).execute()


def _changed(compute, which):
    if which == "route":
        return exists(compute)
    router = compute.routers().get(**ROUTER).execute()
    return router["bgp"].get("advertisedIpRanges") == PATCHED["bgp"]["advertisedIpRanges"]


def _poll_op(compute, op, verb="wait"):
    if "region" in op:
        return getattr(compute.regionOperations(), verb)(
            project=ROUTER["project"], region=op["region"].rsplit("/", 1)[1],
            operation=op["name"]).execute()
    return poll(compute, op, verb)


SCOPES = [("route", "compute.routes.insert", "op-route", _route_change),
          ("router", "compute.routers.patch", "transit-a-cr-euw1", _router_patch)]


@pytest.mark.parametrize("which, method, name, change", SCOPES)
@pytest.mark.parametrize("fault, polls, statuses, applied", [
    # (fault, number of wait calls, statuses they return, change in place at the end)
    (None, 1, ["DONE"], True),
    ("fail", 1, ["DONE"], False),
    ("hold", 3, ["RUNNING", "RUNNING", "DONE"], True),
    ("pending", 3, ["PENDING", "PENDING", "DONE"], True),
    ("hold-fail", 3, ["PENDING", "PENDING", "DONE"], False),
])
def test_global_and_regional_operations_alike(compute, emu, which, method, name, change,
                                              fault, polls, statuses, applied):
    if fault in ("fail", "hold-fail"):
        emu.faults.fail_operation(method, 412, "Changed meanwhile.", name=name)
    if fault == "hold":
        emu.faults.hold_operation(2, method, name=name)
    if fault in ("pending", "hold-fail"):
        emu.faults.hold_operation(2, method, name=name, state="PENDING")
    op = change(compute)
    assert op["status"] == "PENDING" and ("region" in op) == (which == "router")
    seen = [_poll_op(compute, op)["status"] for _ in range(polls)]
    assert seen == statuses
    done = _poll_op(compute, op, "get")
    assert done["status"] == "DONE"
    if fault in ("fail", "hold-fail"):
        assert done["httpErrorStatusCode"] == 412
        assert done["error"]["errors"] == [{"code": "CONDITION_NOT_MET",
                                            "message": "Changed meanwhile."}]
    else:
        assert "error" not in done and done["progress"] == 100
    assert _changed(compute, which) is applied


@pytest.mark.parametrize("which, method, name, change", SCOPES)
def test_operation_held_until_released(compute, emu, which, method, name, change):
    emu.faults.hold_operation(None, method, state="PENDING")
    op = change(compute)
    for _ in range(20):
        assert _poll_op(compute, op)["status"] == "PENDING"
    assert emu.release_operations("compute.networks.*") == 0
    assert emu.release_operations(method, name=name) == 1
    assert _poll_op(compute, op)["status"] == "DONE"
    assert _changed(compute, which)
    assert emu.release_operations() == 0


def test_regional_faults_through_the_control_path(compute, emu):
    import requests
    control = emu.root_url + "_emulator/"
    rule = requests.post(control + "faults", json={
        "kind": "operation", "method": "compute.routers.patch", "name": "europe-west1",
        "status": 400, "message": "Router is busy."}).json()
    assert rule["kind"] == "operation" and rule["fired"] == 0
    held = requests.post(control + "faults", json={
        "kind": "hold", "method": "compute.routers.patch", "polls": None,
        "state": "PENDING", "times": None}).json()
    assert held["polls"] is None and held["state"] == "PENDING"
    failing = _router_patch(compute)
    other = compute.routers().patch(project="tarn-transit", region="us-central1",
                                    router="transit-b-cr-usc1",
                                    body={"description": "kept"}).execute()
    assert _poll_op(compute, failing)["status"] == "PENDING"
    assert [r["fired"] for r in requests.get(control + "faults").json()] == [1, 2]
    listed = {o["name"]: o for o in requests.get(control + "operations").json()}
    assert listed[failing["name"]]["method"] == "compute.routers.patch"
    assert listed[other["name"]]["status"] == "PENDING"
    released = requests.post(control + "release", json={"name": "transit-a-cr-euw1"}).json()
    assert released == {"released": 1}
    done, _ = finish(compute, failing)
    assert done["error"]["errors"][0]["message"] == "Router is busy."
    assert not _changed(compute, "router")
    assert _poll_op(compute, other)["status"] == "PENDING"
    assert requests.post(control + "release", json={}).json() == {"released": 1}
    assert finish(compute, other)[0].get("error") is None
    for bad in ({"kind": "hold", "polls": 1, "state": "DONE"}, {"kind": "hold", "polls": -1},
                [1]):
        assert requests.post(control + "faults", json=bad).status_code == 400
    assert requests.post(control + "release", json={"nope": 1}).status_code == 400


def _remove_peering(project, network, name):
    return lambda c: c.networks().removePeering(project=project, network=network,
                                                body={"name": name}).execute()


def _add_route(project, network, name):
    return lambda c: c.routes().insert(project=project, body=new_route(
        name, network="global/networks/" + network, nextHopIp=None,
        nextHopGateway="global/gateways/default-internet-gateway")).execute()


def _delete_route(project, name):
    return lambda c: c.routes().delete(project=project, route=name).execute()


def _patch_router(region, name):
    return lambda c: c.routers().patch(project="tarn-transit", region=region, router=name,
                                       body={"description": "x"}).execute()


NOT_READY = ("The resource 'projects/tarn-transit/regions/europe-west1/routers/"
             "transit-a-cr-euw1' is not ready")
SPOKE_A = _remove_peering("tarn-demo", "spoke-vpc", "spoke-to-transit-a")


@pytest.mark.parametrize("first, second, refusal", [
    # (a change whose operation still runs, a second change, the refusal of the second)
    (SPOKE_A, _remove_peering("tarn-transit", "transit-a", "transit-a-to-spoke"),
     PEERING_IN_PROGRESS),
    (SPOKE_A, _remove_peering("tarn-demo", "spoke-vpc", "spoke-to-transit-b"),
     PEERING_IN_PROGRESS),
    (SPOKE_A, _add_route("tarn-demo", "spoke-vpc", "r1"), PEERING_IN_PROGRESS),
    (SPOKE_A, _delete_route("tarn-demo", "spoke-onprem-backup"), PEERING_IN_PROGRESS),
    # transit-b and the GKE network are peered with the spoke.
    (SPOKE_A, _add_route("tarn-transit", "transit-b", "r1"), PEERING_IN_PROGRESS),
    (SPOKE_A, _add_route("gke-prod-abc123", "gke-abc123-def4-net", "r1"), PEERING_IN_PROGRESS),
    (_add_route("tarn-transit", "transit-b", "r1"),
     _remove_peering("tarn-transit", "transit-b", "spoke-to-transit-b"), ROUTE_IN_PROGRESS),
    (_delete_route("tarn-demo", "spoke-onprem-backup"), SPOKE_A, ROUTE_IN_PROGRESS),
    (_add_route("tarn-transit", "transit-b", "r1"), SPOKE_A, None),
    (_add_route("tarn-demo", "spoke-vpc", "r1"), _add_route("tarn-demo", "spoke-vpc", "r2"), None),
    (_patch_router("europe-west1", "transit-a-cr-euw1"),
     _patch_router("europe-west1", "transit-a-cr-euw1"), NOT_READY),
    (_patch_router("europe-west1", "transit-a-cr-euw1"),
     _patch_router("us-central1", "transit-b-cr-usc1"), None),
])
def test_changes_refused_while_a_conflicting_operation_runs(compute, emu, first, second,
                                                           refusal):
    emu.faults.hold_operation(None, times=1)
    running = first(compute)
    state = emu.snapshot()
    if refusal is None:
        assert "error" not in finish(compute, second(compute))[0]
    else:
        with pytest.raises(HttpError) as err:
            second(compute)
        assert (err.value.status_code, err.value.reason) == (400, refusal)
        assert err.value.error_details[0]["reason"] == (
            "resourceNotReady" if refusal == NOT_READY else "badRequest")
        assert emu.snapshot() == state
    # Once the first is done the second goes through.
    emu.release_operations()
    assert "error" not in finish(compute, running)[0]
    if refusal is not None:
        assert "error" not in finish(compute, second(compute))[0]
