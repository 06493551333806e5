"""Removing the migrated VPC's transit peerings: deletePeering, the remote
lookup and deletePeerings with the revert entry it keeps."""

import pytest

from testing.fakes import FakeHttpError, network_url

M = ("proj-m", "vpc-m")
TA = ("proj-t", "transit-a")
TB = ("proj-t", "transit-b")
KEY = "proj-m::vpc-m"


def rec(name, peer, **extra):
    return {"name": name, "network": network_url(*peer), **extra}


def script(run, networks, transit=("proj-t::transit-a", "proj-t::transit-b")):
    run.plan["transit_vpcs"] = [{"vpc_name": t} for t in transit]
    run.service.on("networks.get", lambda project, network: networks[(project, network)])


def stage(GcpLib, run):
    return GcpLib.deletePeerings(run.service, "proj-m", {"vpc_name": "vpc-m"})


# --- deletePeering ---------------------------------------------------------


def test_delete_peering_removes_and_waits(GcpLib, service, run, logs, sleeps):
    service.statuses["operation-1"] = ["RUNNING", "DONE"]
    assert GcpLib.deletePeering(service, "p", "v", 7) is None
    assert logs.lines == [("INFO", "  delete peering 7 in p::v")]
    assert [e for e in service.log if e[0] == "build"] == [
        ("build", "networks.removePeering",
         {"project": "p", "network": "v", "body": {"name": "7"}}),
        ("build", "globalOperations.wait", {"project": "p", "operation": "operation-1"}),
        ("build", "globalOperations.wait", {"project": "p", "operation": "operation-1"}),
    ]
    assert sleeps == [1]


def test_delete_peering_in_dry_run_only_logs(GcpLib, service, run, logs):
    run.dry_run = 1
    GcpLib.deletePeering(service, "p", "v", "x")
    assert logs.messages == ["  delete peering x in p::v"] and service.log == []
    assert run.events == [("dry_run",)]


@pytest.mark.parametrize("setup, message", [
    (lambda s: s.fail("networks.removePeering", FakeHttpError(404, "gone")),
     "<HttpError 404: gone>"),
    (lambda s: s.on("networks.removePeering", {"status": "PENDING"}), "'name'"),
    (lambda s: s.operation_extra.update({"operation-1": {"error": {"errors": [1]}}}),
     "{'errors': [1]}"),
    (lambda s: s.fail("globalOperations.wait", ValueError("lost")), "lost"),
])
def test_delete_peering_absorbs_failures(GcpLib, service, run, logs, setup, message):
    setup(service)
    assert GcpLib.deletePeering(service, "p", "v", "x") is None
    assert logs.lines[1:] == [("ERROR", "  **Error** " + message)]


def test_delete_peering_lets_interrupts_through(GcpLib, service, run, logs):
    service.fail("networks.removePeering", KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        GcpLib.deletePeering(service, "p", "v", "x")


@pytest.mark.parametrize("extra, line", [
    ({}, None),
    ({"error": "E", "warnings": ["W"], "httpErrorMessage": "H"}, ("ERROR", "  **Error** E")),
    ({"error": {}, "warnings": ["W"], "httpErrorMessage": "H"}, ("WARNING", "  **Error** ['W']")),
    ({"error": None, "warnings": [], "httpErrorMessage": "H"}, ("ERROR", "  **Check Error** H")),
    ({"httpErrorMessage": ""}, None),
])
def test_delete_peering_checks_the_operation(GcpLib, service, run, logs, extra, line):
    service.on("networks.removePeering", {"name": "op", "status": "DONE", **extra})
    GcpLib.deletePeering(service, "p", "v", "x")
    assert logs.lines[1:] == ([line] if line else [])


# --- lookupRemotePeering ---------------------------------------------------


@pytest.mark.parametrize("peerings, expected", [
    ([rec("a", ("proj-x", "vpc-m")), rec("b", ("proj-m", "vpc-x")), rec("c", M), rec("d", M)], "c"),
    ([rec("a", ("proj-x", "vpc-m")), rec("b", ("proj-m", "vpc-x"))], None),
    (None, None),
])
def test_lookup_finds_the_first_record_naming_the_local_side(
        GcpLib, service, logs, peerings, expected):
    network = {} if peerings is None else {"peerings": peerings}
    service.on("networks.get", network)
    found = GcpLib.lookupRemotePeering(service, "proj-m", "vpc-m", "proj-t", "transit-a")
    assert service.executed() == [("networks.get", {"project": "proj-t", "network": "transit-a"})]
    assert (found and found["name"]) == expected and logs.lines == []
    if expected:
        assert any(found is p for p in peerings)


class Text(str):
    pass


LONG = "/".join(["a"] * 6 + ["prøj"] + ["b"] * 28 + ["vpc-€"])


@pytest.mark.parametrize("indexes, url, expected", [
    ({}, network_url("prøj", "vpc-€"), True),
    ({}, network_url("prøj", "vpc-😀"), False),
    ({}, Text(network_url("prøj", "vpc-€")), True),
    ({"PROJECT_I": 9, "NETWORK_I": 6}, network_url("vpc-€", "prøj"), True),
    ({"NETWORK_I": -1}, network_url("prøj", "vpc-€"), True),
    ({"NETWORK_I": 35}, LONG, True),
    ({"NETWORK_I": 40}, network_url("prøj", "vpc-€"), IndexError),
    ({}, "https://x/compute/v1/projects/other/global", IndexError),
])
def test_lookup_reads_links_as_split_does(GcpLib, service, indexes, url, expected):
    cls = type("Sub", (GcpLib,), indexes)
    service.on("networks.get", {"peerings": [{"name": "r", "network": url}]})
    if expected is IndexError:
        with pytest.raises(IndexError):
            cls.lookupRemotePeering(service, "prøj", "vpc-€", "p", "t")
    else:
        assert (cls.lookupRemotePeering(service, "prøj", Text("vpc-€"), "p", "t")
                is not None) == expected


# --- deletePeerings --------------------------------------------------------


def test_stage_saves_and_removes_transit_peerings(GcpLib, run, logs):
    local_a, remote_a = rec("m-a", TA), rec("a-m", M)
    local_c = rec("m-c", TB)
    networks = {M: {"peerings": [rec("m-o", ("proj-o", "other")), local_a, local_c]},
                TA: {"peerings": [rec("a-x", ("proj-m", "vpc-x")), remote_a]}, TB: {}}
    script(run, networks)
    assert stage(GcpLib, run) is None
    assert logs.lines == [("INFO", m) for m in [
        "- Delete transit peerings in proj-m::vpc-m",
        "  delete peering a-m in proj-t::transit-a", "  delete peering m-a in proj-m::vpc-m",
        "  delete peering m-c in proj-m::vpc-m"]]
    assert [(n, kw) for n, kw in run.service.executed() if n != "globalOperations.wait"] == [
        ("networks.get", {"project": "proj-m", "network": "vpc-m"}),
        ("networks.get", {"project": "proj-t", "network": "transit-a"}),
        ("networks.removePeering",
         {"project": "proj-t", "network": "transit-a", "body": {"name": "a-m"}}),
        ("networks.removePeering",
         {"project": "proj-m", "network": "vpc-m", "body": {"name": "m-a"}}),
        ("networks.get", {"project": "proj-t", "network": "transit-b"}),
        ("networks.removePeering",
         {"project": "proj-m", "network": "vpc-m", "body": {"name": "m-c"}}),
    ]
    assert run.service.executed_names().count("globalOperations.wait") == 3
    [pa, pc] = run.revert["peerings"][KEY]
    assert list(pa) == ["localPeeringProperties", "remotePeeringProperties"]
    assert pa["localPeeringProperties"] is local_a and pa["remotePeeringProperties"] is remote_a
    assert pc["localPeeringProperties"] is local_c and pc["remotePeeringProperties"] is None


@pytest.mark.parametrize("peerings, transit", [
    (None, ("proj-t::transit-a",)),
    ([rec("m-o", ("proj-o", "other"))], ("proj-t::transit-a",)),
    ([rec("m-a", TA)], ("transit-a",)),
])
def test_stage_without_transit_peerings_stores_an_empty_list(GcpLib, run, logs, peerings, transit):
    script(run, {M: {} if peerings is None else {"peerings": peerings}}, transit)
    stage(GcpLib, run)
    assert logs.messages == ["- Delete transit peerings in proj-m::vpc-m",
                             "  no transit peering found!"]
    assert run.revert["peerings"] == {KEY: []} and run.service.mutations() == []


def test_stage_in_dry_run_reads_and_records_but_removes_nothing(GcpLib, run, logs):
    script(run, {M: {"peerings": [rec("m-a", TA)]}, TA: {"peerings": [rec("a-m", M)]}})
    run.dry_run = True
    stage(GcpLib, run)
    assert run.service.executed_names() == ["networks.get", "networks.get"]
    assert len(logs.messages) == 3 and run.count("dry_run") == 2
    assert len(run.revert["peerings"][KEY]) == 1


def test_stage_goes_on_after_a_failed_removal(GcpLib, run, logs):
    script(run, {M: {"peerings": [rec("m-a", TA), rec("m-b", TB)]}, TA: {}, TB: {}})
    run.service.fail("networks.removePeering", FakeHttpError(500, "busy"),
                     when=lambda kw: kw["body"]["name"] == "m-a")
    stage(GcpLib, run)
    assert ("ERROR", "  **Error** <HttpError 500: busy>") in logs.lines
    assert len(run.service.mutations()) == 2 and len(run.revert["peerings"][KEY]) == 2


def test_subclass_overrides_are_used(GcpLib, run, logs):
    calls = []

    class Sub(GcpLib):
        @classmethod
        def lookupRemotePeering(cls, *args):
            calls.append(("lookup",) + args[1:])
            return {"name": "r"}

        @classmethod
        def deletePeering(cls, *args):
            calls.append(("delete",) + args[1:])

    script(run, {M: {"peerings": [rec("m-a", TA)]}})
    stage(Sub, run)
    assert calls == [("lookup", "proj-m", "vpc-m", "proj-t", "transit-a"),
                     ("delete", "proj-t", "transit-a", "r"), ("delete", "proj-m", "vpc-m", "m-a")]


@pytest.mark.parametrize("setup", [
    lambda run: run.plan.update(transit_vpcs=[{"name": "x"}]),
    lambda run: run.service.fail("networks.get", FakeHttpError(403, "no")),
    lambda run: run.service.fail("networks.get", FakeHttpError(403, "no"),
                                 when=lambda kw: kw["network"] == "transit-a"),
])
def test_failure_before_any_pair_stores_nothing(GcpLib, run, logs, setup):
    script(run, {M: {"peerings": [rec("m-a", TA)]}, TA: {}})
    setup(run)
    with pytest.raises((KeyError, FakeHttpError)):
        stage(GcpLib, run)
    assert run.revert["peerings"] == {} and run.service.mutations() == []


# --- the revert entry across runs and failures -----------------------------

OLD_A, OLD_B = ({"localPeeringProperties": {"name": "m-a"}},
                {"localPeeringProperties": {"name": "m-z"}})


@pytest.mark.parametrize("stored, expected", [
    (None, ["m-a", "m-b"]),
    ([], ["m-a", "m-b"]),
    ([OLD_B], ["m-z", "m-a", "m-b"]),
    ([OLD_A, OLD_B], ["m-a", "m-z", "m-b"]),
    ("not a list", ["m-a", "m-b"]),
    ([{"localPeeringProperties": None}, OLD_A], [None, "m-a", "m-b"]),
])
def test_a_rerun_keeps_saved_pairs(GcpLib, run, logs, stored, expected):
    script(run, {M: {"peerings": [rec("m-a", TA), rec("m-b", TB)]}, TA: {}, TB: {}})
    if stored is not None:
        run.revert["peerings"][KEY] = stored
    stage(GcpLib, run)
    saved = run.revert["peerings"][KEY]
    assert [(p["localPeeringProperties"] or {}).get("name") for p in saved] == expected
    assert all(p is not OLD_A for p in saved)


def test_a_second_run_with_nothing_left_keeps_the_pairs(GcpLib, run, logs):
    script(run, {M: {"peerings": [rec("m-a", TA)]}, TA: {}})
    stage(GcpLib, run)
    first = list(run.revert["peerings"][KEY])
    script(run, {M: {}})
    stage(GcpLib, run)
    assert (run.revert["peerings"][KEY] == first
            and logs.messages[-1] == "  no transit peering found!")


@pytest.mark.parametrize("where, error, saved", [
    ("transit-b", FakeHttpError(403, "no"), ["m-z", "m-a"]),
    ("transit-b", KeyboardInterrupt(), ["m-z", "m-a"]),
    ("m-b", KeyboardInterrupt(), ["m-z", "m-a", "m-b"]),
    ("m-b", SystemExit(3), ["m-z", "m-a", "m-b"]),
    ("record", KeyError("name"), ["m-z", "m-a"]),
])
def test_a_failure_midway_keeps_what_was_saved(GcpLib, run, logs, where, error, saved):
    second = {"network": network_url(*TB)} if where == "record" else rec("m-b", TB)
    script(run, {M: {"peerings": [rec("m-a", TA), second]}, TA: {}, TB: {}})
    run.service.fail("networks.get", error, when=lambda kw: kw["network"] == where)
    run.service.fail("networks.removePeering", error, when=lambda kw: kw["body"]["name"] == where)
    run.revert["peerings"][KEY] = [OLD_B]
    with pytest.raises(type(error)) as caught:
        stage(GcpLib, run)
    assert caught.value is error or where == "record"
    assert [p["localPeeringProperties"]["name"] for p in run.revert["peerings"][KEY]] == saved
    assert "  no transit peering found!" not in logs.messages


def test_a_failing_store_after_a_failure_names_the_first_failure(GcpLib, run, logs, monkeypatch):
    script(run, {M: {"peerings": [rec("m-a", TA), rec("m-b", TB)]}, TA: {}})
    monkeypatch.setattr(run.Globals, "getRevertInfo", classmethod(lambda cls: {}["gone"]))
    with pytest.raises(KeyError) as caught:
        stage(GcpLib, run)
    assert caught.value.args == ("gone",) and caught.value.__context__.args == (TB,)


@pytest.mark.parametrize("networks, saved", [
    ({TA: {}, TB: {}}, ["m-a", "m-b"]),
    ({TA: {}}, ["m-a"]),
])
def test_a_missing_peerings_container_is_created(GcpLib, run, logs, networks, saved):
    script(run, {M: {"peerings": [rec("m-a", TA), rec("m-b", TB)]}, **networks})
    del run.revert["peerings"]
    try:
        stage(GcpLib, run)
    except KeyError:
        assert TB not in networks
    assert [p["localPeeringProperties"]["name"] for p in run.revert["peerings"][KEY]] == saved
