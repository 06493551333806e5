"""Re-creating saved peering pairs (addPeerings), the stage entry point
managePeerings, and the stage and its restore on a network state that
follows the adds and removes."""

import copy

import pytest

from testing.fakes import FakeHttpError, FakeService, network_url

SETTINGS = ["name", "network", "exportCustomRoutes", "importCustomRoutes", "exchangeSubnetRoutes",
            "exportSubnetRoutesWithPublicIp", "importSubnetRoutesWithPublicIp", "stackType"]


def rec(name, project, network, **extra):
    return {"name": name, "network": network_url(project, network), "state": "ACTIVE",
            "exportCustomRoutes": True, "importCustomRoutes": False, "exchangeSubnetRoutes": True,
            "exportSubnetRoutesWithPublicIp": False, "importSubnetRoutesWithPublicIp": True,
            "stackType": "IPV4_ONLY", **extra}


def pair(local, remote):
    return {"localPeeringProperties": local, "remotePeeringProperties": remote}


def body(record):
    return {"networkPeering": {k: record[k] for k in SETTINGS}}


# The migrated network M (proj-m/vpc-m) and the transit network T (proj-t/transit).
LOCAL, REMOTE = (rec("m-t", "proj-t", "transit"),
                 rec("t-m", "proj-m", "vpc-m", exportCustomRoutes=False))


# --- addPeerings -----------------------------------------------------------


def test_restore_adds_both_sides_in_order(GcpLib, service, run, logs):
    assert GcpLib.addPeerings(service, [pair(LOCAL, REMOTE)]) is None
    assert logs.lines == [("INFO", m) for m in [
        "- Restore peerings", "- Add local peering in proj-m::vpc-m",
        "  add peering m-t in proj-m::vpc-m", "  add peering t-m in proj-t::transit"]]
    assert service.executed() == [
        ("networks.addPeering", {"project": "proj-m", "network": "vpc-m", "body": body(LOCAL)}),
        ("globalOperations.wait", {"project": "proj-m", "operation": "operation-1"}),
        ("networks.addPeering", {"project": "proj-t", "network": "transit", "body": body(REMOTE)}),
        ("globalOperations.wait", {"project": "proj-t", "operation": "operation-2"}),
    ]
    sent = service.executed()[0][1]["body"]["networkPeering"]
    assert list(sent) == SETTINGS and all(sent[k] is LOCAL[k] for k in SETTINGS)


def test_restore_of_nothing(GcpLib, service, run, logs):
    GcpLib.addPeerings(service, [])
    assert logs.messages == ["- Restore peerings", "  no peering found"] and service.log == []


def test_restore_in_dry_run_logs_three_lines_per_pair(GcpLib, service, run, logs):
    run.dry_run = "yes"
    GcpLib.addPeerings(service, [pair(LOCAL, REMOTE), pair(REMOTE, LOCAL)])
    assert len(logs.messages) == 7 and service.log == [] and run.count("dry_run") == 4


@pytest.mark.parametrize("extra, line", [
    ({"error": "E", "warnings": ["W"]}, ("ERROR", "  **Error** E")),
    ({"warnings": ["W"], "httpErrorMessage": "H"}, ("WARNING", "  **Error** ['W']")),
    ({"error": 0, "httpErrorMessage": "H"}, ("ERROR", "  **Error** H")),
])
def test_restore_logs_what_the_operation_reports_and_goes_on(
        GcpLib, service, run, logs, extra, line):
    service.on("networks.addPeering", {"name": "op", **extra})
    GcpLib.addPeerings(service, [pair(LOCAL, REMOTE)])
    assert logs.lines[3] == line and logs.lines[5] == line and len(service.mutations()) == 2


@pytest.mark.parametrize("setup, error", [
    (lambda s: s.fail("networks.addPeering", FakeHttpError(409, "exists")), FakeHttpError),
    (lambda s: s.operation_extra.update({"operation-1": {"error": "bad"}}), Exception),
])
def test_restore_failures_reach_the_caller(GcpLib, service, run, logs, setup, error):
    setup(service)
    with pytest.raises(error):
        GcpLib.addPeerings(service, [pair(LOCAL, REMOTE), pair(LOCAL, REMOTE)])
    assert len(service.mutations()) == 1 and len(logs.messages) == 3


# A failed addition on the migrated VPC (the local side of a pair and the
# one of a pair without transit record), and what that network holds when
# the failure is looked up: (response or error, whether the side is in place).
REFUSED = FakeHttpError(400, "There is already a peering named m-t")
FAILED_ADDITIONS = {
    "refused": lambda s: s.fail("networks.addPeering", REFUSED,
                                when=lambda kw: kw["network"] == "vpc-m"),
    "operation error": lambda s: s.operation_extra.update({"operation-1": {"error": "bad"},
                                                            "operation-3": {"error": "bad"}}),
}
LOOKUPS = {
    "in place": ({"peerings": [rec("m-o", "proj-o", "other"), dict(LOCAL, state="INACTIVE")]},
                 True),
    "in place, other settings": ({"peerings": [{"name": "m-t", "network": LOCAL["network"]}]},
                                 True),
    "other network": ({"peerings": [dict(LOCAL, network=network_url("proj-x", "transit"))]}, False),
    "other name": ({"peerings": [dict(LOCAL, name="m-t2")]}, False),
    "no peerings": ({"name": "vpc-m"}, False),
    "record without a name": ({"peerings": [{"network": LOCAL["network"]}, LOCAL]}, True),
    "only one without a name": ({"peerings": [{"network": LOCAL["network"]}]}, False),
    "lookup fails": (FakeHttpError(503, "busy"), False),
}


@pytest.mark.parametrize("lookup", LOOKUPS)
@pytest.mark.parametrize("failure", FAILED_ADDITIONS)
def test_a_failed_addition_of_a_side_in_place_is_logged_and_the_restore_goes_on(
        GcpLib, service, run, logs, failure, lookup):
    FAILED_ADDITIONS[failure](service)
    network, in_place = LOOKUPS[lookup]
    (service.fail if isinstance(network, BaseException) else service.on)("networks.get", network)
    # The local addition (and its wait), then the lookup of vpc-m.
    first = (["networks.addPeering"] + ["globalOperations.wait"] * (failure == "operation error")
             + ["networks.get"])
    lines = ["- Restore peerings", "- Add local peering in proj-m::vpc-m",
             "  add peering m-t in proj-m::vpc-m"]
    if not in_place:
        with pytest.raises(Exception) as err:
            GcpLib.addPeerings(service, [pair(LOCAL, REMOTE), pair(LOCAL, None)])
        assert (err.value is REFUSED if failure == "refused"
                else (type(err.value), str(err.value)) == (Exception, "bad"))
        assert service.executed_names() == first and logs.messages == lines
        return
    GcpLib.addPeerings(service, [pair(LOCAL, REMOTE), pair(LOCAL, None)])
    found = "  peering m-t already in proj-m::vpc-m"
    assert logs.lines == [("INFO", m) for m in lines
                          + [found, "  add peering t-m in proj-t::transit"] + lines[1:] + [found]]
    assert (service.executed_names()
            == first + ["networks.addPeering", "globalOperations.wait"] + first)
    assert service.executed("networks.get")[0][1] == {"project": "proj-m", "network": "vpc-m"}


class Interrupt(BaseException):
    pass


def test_interrupts_are_never_absorbed(GcpLib, service, run, logs):
    # In the addition: no lookup is made.
    service.fail("networks.addPeering", Interrupt())
    service.on("networks.get", {"peerings": [LOCAL]})
    with pytest.raises(Interrupt):
        GcpLib.addPeerings(service, [pair(LOCAL, REMOTE)])
    assert service.executed_names() == ["networks.addPeering"]
    # In the lookup: the interrupt, raised while the failure was handled.
    service = FakeService().fail("networks.addPeering", REFUSED).fail("networks.get", Interrupt())
    with pytest.raises(Interrupt) as err:
        GcpLib.addPeerings(service, [pair(LOCAL, REMOTE)])
    assert err.value.__context__ is REFUSED
    assert service.executed_names() == ["networks.addPeering", "networks.get"]


@pytest.mark.parametrize("broken, logged", [("network", 1), ("stackType", 2)])
def test_restore_of_an_incomplete_record_raises_before_any_request(
        GcpLib, service, run, logs, broken, logged):
    remote = {k: v for k, v in REMOTE.items() if k != broken}
    with pytest.raises(KeyError, match=broken):
        GcpLib.addPeerings(service, [pair(LOCAL, remote)])
    assert len(logs.messages) == logged and service.log == []


@pytest.mark.parametrize("dry_run", [False, True])
def test_pair_without_transit_record_is_added_on_the_runs_vpc(GcpLib, service, run, logs, dry_run):
    run.project, run.vpc, run.dry_run = "proj-r", {"vpc_name": "vpc-r"}, dry_run
    GcpLib.addPeerings(service, [pair(LOCAL, None)])
    assert logs.messages == ["- Restore peerings", "- Add local peering in proj-r::vpc-r",
                             "  add peering m-t in proj-r::vpc-r"]
    assert run.events == [("attr", "project"), ("attr", "vpc"), ("dry_run",)]
    assert service.executed() == ([] if dry_run else [
        ("networks.addPeering", {"project": "proj-r", "network": "vpc-r", "body": body(LOCAL)}),
        ("globalOperations.wait", {"project": "proj-r", "operation": "operation-1"})])


@pytest.mark.parametrize("indexes, url, expected", [
    ({}, "https://h/c/v1/projects/prøj/global/networks/vpc-😀", ("prøj", "vpc-😀")),
    ({"PROJECT_I": 9, "NETWORK_I": -3}, network_url("a", "b"), ("b", "global")),
    ({}, "https://h/c/v1/projects/p/global", IndexError),
])
def test_restore_reads_links_as_split_does(GcpLib, service, run, logs, indexes, url, expected):
    cls = type("Sub", (GcpLib,), indexes)
    pairs = [pair(LOCAL, dict(REMOTE, network=url))]
    if expected is IndexError:
        with pytest.raises(IndexError):
            cls.addPeerings(service, pairs)
    else:
        cls.addPeerings(service, pairs)
        kw = service.executed("networks.addPeering")[0][1]
        assert (kw["project"], kw["network"]) == expected


# --- managePeerings --------------------------------------------------------


class Recording:
    def __init__(self, GcpLib):
        self.calls = []
        calls = self.calls

        class Sub(GcpLib):
            @classmethod
            def deletePeerings(cls, *args):
                calls.append(("deletePeerings",) + args)

            @classmethod
            def addPeerings(cls, *args):
                calls.append(("addPeerings",) + args)

        self.cls = Sub


@pytest.mark.parametrize("switch, branch", [
    (True, "deletePeerings"), (False, "addPeerings"), (None, "addPeerings"),
    (1, "addPeerings"), ("yes", "addPeerings"),
])
def test_only_true_itself_runs_the_stage(GcpLib, run, logs, switch, branch):
    stub = Recording(GcpLib)
    saved = run.revert["peerings"]["proj-m::vpc-m"] = [pair(LOCAL, REMOTE)]
    assert stub.cls.managePeerings(switch) is None
    assert run.events[:3] == [("attr", "service"), ("attr", "project"), ("attr", "vpc")]
    if branch == "deletePeerings":
        assert stub.calls == [(branch, run.service, "proj-m", run.vpc)]
    else:
        assert stub.calls == [(branch, run.service, saved)] and run.count("revert_info") == 2
    assert logs.lines == []


def test_restore_without_an_entry_does_nothing(GcpLib, run, logs):
    stub = Recording(GcpLib)
    run.project, run.revert["peerings"]["42::vpc-m"] = 42, []
    run.revert["peerings"]["proj-m::vpc-m"] = [pair(LOCAL, REMOTE)]
    stub.cls.managePeerings(False)
    assert stub.calls == [("addPeerings", run.service, [])]
    run.project = "proj-x"
    GcpLib.managePeerings(False)
    assert logs.lines == [] and run.service.log == []


def test_restore_needs_the_peerings_container(GcpLib, run, logs):
    del run.revert["peerings"]
    with pytest.raises(KeyError, match="peerings"):
        GcpLib.managePeerings(False)


# --- the stage and its restore on a network state ---------------------------


class Networks(FakeService):
    """A Compute service whose networks hold peerings that follow the
    adds and removes; gets return copies, as the API returns fresh JSON."""

    def __init__(self, networks):
        super().__init__()
        self.state = networks
        self.on("networks.get",
                lambda project, network: copy.deepcopy(self.state[(project, network)]))
        self.on("networks.addPeering", self._add)
        self.on("networks.removePeering", self._remove)

    def _add(self, project, network, body):
        record = dict(body["networkPeering"], state="ACTIVE")
        self.state[(project, network)].setdefault("peerings", []).append(record)
        return {"name": f"add-{len(self.log)}"}

    def _remove(self, project, network, body):
        peerings = self.state[(project, network)]["peerings"]
        peerings[:] = [p for p in peerings if p["name"] != body["name"]]
        return {"name": f"remove-{len(self.log)}"}

    def peerings(self):
        return {k: sorted(v.get("peerings", []), key=lambda p: p["name"])
                for k, v in self.state.items()}


def world():
    return Networks({
        ("proj-m", "vpc-m"): {"peerings": [
            rec("m-o", "proj-o", "other"), rec("m-a", "proj-t", "transit-a"),
            rec("m-b", "proj-t", "transit-b", stackType="IPV4_IPV6"),
            rec("m-c", "proj-t2", "transit-c")]},
        ("proj-t", "transit-a"): {"peerings": [rec("a-s", "proj-s", "spoke"),
                                               rec("a-m", "proj-m", "vpc-m")]},
        ("proj-t", "transit-b"): {"peerings": [rec("b-m", "proj-m", "vpc-m",
                                                   importCustomRoutes=True)]},
        ("proj-t2", "transit-c"): {},
        ("proj-o", "other"): {"peerings": [rec("o-m", "proj-m", "vpc-m")]},
    })


@pytest.mark.parametrize("runs", [1, 2])
def test_stage_then_restore_puts_every_peering_back(GcpLib, run, logs, runs):
    run.service = world()
    run.plan["transit_vpcs"] = [{"vpc_name": v} for v in (
        "proj-t::transit-a", "proj-t::transit-b", "proj-t2::transit-c")]
    before = run.service.peerings()
    for _ in range(runs):
        GcpLib.managePeerings(True)
    after_stage = run.service.peerings()
    assert [p["name"] for p in after_stage[("proj-m", "vpc-m")]] == ["m-o"]
    assert [p["name"] for p in after_stage[("proj-t", "transit-a")]] == ["a-s"]
    assert len(run.revert["peerings"]["proj-m::vpc-m"]) == 3
    GcpLib.managePeerings(False)
    assert run.service.peerings() == before
    assert [level for level, _ in logs.lines] == ["INFO"] * len(logs.lines)


def test_dry_run_of_the_stage_changes_nothing_but_records(GcpLib, run, logs):
    run.service, run.dry_run = world(), True
    run.plan["transit_vpcs"] = [{"vpc_name": "proj-t::transit-a"}]
    before = run.service.peerings()
    GcpLib.managePeerings(True)
    GcpLib.managePeerings(False)
    assert run.service.peerings() == before and run.service.mutations() == []
    assert [p["localPeeringProperties"]["name"]
            for p in run.revert["peerings"]["proj-m::vpc-m"]] == ["m-a"]
