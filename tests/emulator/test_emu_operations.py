import re

import pytest
from googleapiclient.errors import HttpError

from emu_helpers import SPOKE, finish
from tarn_gcp.emulator import Emulator, build_service, sample


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


def test_operation_goes_pending_running_done_and_applies_at_done(compute):
    op = insert(compute)
    assert re.fullmatch(r"operation-\d+-[0-9a-f]+(-[0-9a-f]+)*", op["name"])
    assert op["kind"] == "compute#operation" and op["status"] == "PENDING"
    assert op["operationType"] == "insert"
    assert op["targetLink"] == "https://www.googleapis.com/compute/v1/projects/tarn-demo/global/routes/op-route"
    assert op["selfLink"].endswith("/projects/tarn-demo/global/operations/" + op["name"])
    statuses = []
    for verb in ("get", "wait", "wait"):
        statuses.append(poll(compute, op, verb)["status"])
        if statuses[-1] != "DONE":
            assert not exists(compute)
    assert statuses == ["RUNNING", "DONE", "DONE"]
    done = poll(compute, op)
    assert done["progress"] == 100 and "error" not in done and "endTime" in done
    assert exists(compute)


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
    assert polls == 2 + 3
    # The next removal is not held.
    op = compute.networks().removePeering(project="tarn-transit", network="transit-b",
                                          body={"name": "spoke-to-transit-b"}).execute()
    assert finish(compute, op)[1] == 2


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
    assert first["status"] == "RUNNING"
    with pytest.raises(HttpError) as err:   # not a global operation
        compute.globalOperations().wait(project="tarn-transit", operation=op["name"]).execute()
    assert err.value.status_code == 404


def test_request_id_makes_a_retried_insert_return_its_first_operation(compute):
    first = compute.routes().insert(project="tarn-demo", body=new_route(), requestId="r-1").execute()
    finish(compute, first)
    again = compute.routes().insert(project="tarn-demo", body=new_route(), requestId="r-1").execute()
    assert again["name"] == first["name"]
    with pytest.raises(HttpError):
        compute.routes().insert(project="tarn-demo", body=new_route()).execute()


def test_request_log_records_what_was_sent(compute, emu):
    emu.clear_requests()
    op = insert(compute)
    finish(compute, op)
    log = emu.requests
    assert [r.method for r in log] == ["compute.routes.insert", "compute.globalOperations.wait",
                                       "compute.globalOperations.wait"]
    assert log[0].params == {"project": "tarn-demo"} and log[0].body == new_route()
    assert log[0].http_method == "POST" and log[0].status == 200
    assert log[1].params == {"project": "tarn-demo", "operation": op["name"]}
    compute.routes().list(project="tarn-demo", filter='network = "x"', maxResults=3).execute()
    assert emu.requests[-1].query["filter"] == 'network = "x"'
    assert emu.requests[-1].query["maxResults"] == "3"


def test_wait_completes_mode_finishes_in_one_wait_unless_held():
    with Emulator(seed=sample, wait_completes=True) as emu:
        compute = build_service(emu)
        assert finish(compute, insert(compute))[1] == 1
        emu.faults.hold_operation(2)
        assert finish(compute, insert(compute, "held"))[1] == 3
