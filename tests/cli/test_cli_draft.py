"""plan draft and plan check: summaries, drafts and reachability of small
topologies built in the emulator, and the round trip of a drafted plan."""

import json

import pytest
import yaml

from tarn_gcp.emulator import fleet, sample
from tarn_gcp.plan import Plan
from tarn_gcp.plan.draft import Options, draft
from tarn_gcp.plan.preflight import keys
from tarn_gcp.plan.ranges import summarize, texts
from tarn_gcp.plan.reach import reachability

from test_cli_support import cli, pauses  # noqa: F401
from testing.emulators import mutations


@pytest.mark.parametrize("ranges,length,summary,added", [
    (["10.0.0.0/24", "10.0.1.0/24"], None, ["10.0.0.0/23"], []),
    (["10.0.0.0/24", "10.0.2.0/24"], None, ["10.0.0.0/24", "10.0.2.0/24"], []),
    (["10.0.1.0/24", "10.0.0.128/25", "10.0.0.0/24"], None, ["10.0.0.0/23"], []),
    (["10.0.0.0/25", "10.0.0.128/26"], None, ["10.0.0.0/25", "10.0.0.128/26"], []),
    (["10.10.0.0/20", "10.10.16.0/20"], 16, ["10.10.0.0/16"],
     ["10.10.32.0/19", "10.10.64.0/18", "10.10.128.0/17"]),
    (["10.0.0.0/24", "10.0.2.0/24"], 22, ["10.0.0.0/22"], ["10.0.1.0/24", "10.0.3.0/24"]),
    (["192.168.0.0/16"], 24, ["192.168.0.0/16"], []),
])
def test_exact_summary_and_what_a_wider_one_adds(ranges, length, summary, added):
    assert tuple(map(texts, summarize(ranges, length))) == (summary, added)


# A spoke (10.1.0.0/24, 10.1.1.0/24 in europe-west1, one instance that can
# forward IP) peered with a hub (10.50.0.0/24, 10.50.1.0/24) whose router
# in europe-west1 lists the spoke's first subnet in CUSTOM mode.
SPOKE, HUB = "tarn-spoke", "tarn-hub"


def _net(project, name):
    return "projects/%s/global/networks/%s" % (project, name)


def _subnet(project, name, network, cidr, region="europe-west1"):
    return {"project": project, "region": region, "name": name,
            "network": _net(project, network), "ipCidrRange": cidr}


def _instance(name, forwards=True):
    return {"project": SPOKE, "zone": "europe-west1-b", "name": name, "machineType": "e2-small",
            "canIpForward": forwards, "networkInterfaces": [
                {"subnetwork": "regions/europe-west1/subnetworks/s1"}]}


def _router(mode="CUSTOM", ranges=("10.1.0.0/24",), groups=(), region="europe-west1"):
    bgp = {"asn": 64600, "advertiseMode": mode}
    if mode == "CUSTOM":
        bgp.update(advertisedIpRanges=[{"range": r} for r in ranges],
                   advertisedGroups=list(groups))
    return {"project": HUB, "region": region, "name": "hub-cr",
            "network": _net(HUB, "hub"), "bgp": bgp}


def _pair(name, peer_project, peer, imports=False, exports=False):
    return [{"project": SPOKE, "network": "spoke", "name": name,
             "peerNetwork": _net(peer_project, peer), "importCustomRoutes": imports},
            {"project": peer_project, "network": peer, "name": name + "-back",
             "peerNetwork": _net(SPOKE, "spoke"), "exportCustomRoutes": exports}]


def small(*changes):
    topology = {"projects": [SPOKE, HUB], "networks": [
        {"project": SPOKE, "name": "spoke"}, {"project": HUB, "name": "hub"}],
        "subnetworks": [_subnet(SPOKE, "s1", "spoke", "10.1.0.0/24"),
                        _subnet(SPOKE, "s2", "spoke", "10.1.1.0/24"),
                        _subnet(HUB, "h1", "hub", "10.50.0.0/24"),
                        _subnet(HUB, "h2", "hub", "10.50.1.0/24")],
        "instances": [_instance("fw1")], "peerings": _pair("to-hub", HUB, "hub"),
        "routes": [], "routers": [_router()]}
    for change in changes:
        change(topology)
    return topology


def extra(key, *items):
    return lambda topology: topology[key].extend(items)


def replace(key, *items):
    return lambda topology: topology.__setitem__(key, list(items))


ONPREM = {"project": HUB, "name": "onprem", "network": _net(HUB, "hub"), "priority": 900,
          "destRange": "192.168.0.0/16", "nextHopIp": "10.50.0.5"}
GKE = [lambda t: t["projects"].append("gke-p"), extra("networks", {"project": "gke-p",
                                                                   "name": "gke-n"}),
       extra("subnetworks", _subnet("gke-p", "pe", "gke-n", "172.16.0.0/28")),
       extra("peerings", *_pair("gke-1a2b-3c4d-peer", "gke-p", "gke-n")),
       extra("routes", {"project": SPOKE, "name": "peering-route-1", "priority": 0,
                        "network": _net(SPOKE, "spoke"), "destRange": "172.16.0.0/28",
                        "nextHopPeering": "gke-1a2b-3c4d-peer"})]
SERVICE = [lambda t: t["projects"].append("abc123-tp"),
           extra("networks", {"project": "abc123-tp", "name": "servicenetworking"}),
           extra("subnetworks", _subnet("abc123-tp", "sql", "servicenetworking",
                                        "10.90.0.0/24")),
           extra("peerings", *_pair("servicenetworking-googleapis-com", "abc123-tp",
                                    "servicenetworking"))]
APPLIANCE = Options(appliances={"europe-west1": ("europe-west1-b", "fw2")})

# (id, topology, options, routers drafted (name, add, remove), routes added
# (cidr, instance, priority), words of the problems, advertise_gke)
DRAFTS = [
    ("one hub", small(), None, [("hub-cr", ["10.1.0.0/24"], ["10.1.0.0/24"])],
     [("10.50.0.0/23", "fw1", 0)], [], False),
    ("ALL_SUBNETS carries the spoke's subnets", small(replace("routers", _router(
        groups=["ALL_SUBNETS"]))), None, [("hub-cr", ["10.1.0.0/23"], ["10.1.0.0/24"])],
     [("10.50.0.0/23", "fw1", 0)], [], False),
    ("a DEFAULT router that carries them", small(replace("routers", _router("DEFAULT"))),
     None, [], [("10.50.0.0/23", "fw1", 0)], ["hub-cr of tarn-hub::hub in europe-west1 "
                                                "advertises in DEFAULT mode"], False),
    ("a DEFAULT router of a region without them", small(replace("routers", _router(
        "DEFAULT", region="us-central1"))), None, [], [("10.50.0.0/23", "fw1", 0)], [], False),
    ("a router with no range of the spoke", small(replace("routers", _router(
        ranges=["10.50.0.0/23"]))), None, [], [("10.50.0.0/23", "fw1", 0)], [], False),
    ("a custom route the hub exports and the spoke imports", small(
        replace("peerings", *_pair("to-hub", HUB, "hub", imports=True, exports=True)),
        extra("routes", ONPREM)), None, [("hub-cr", ["10.1.0.0/24"], ["10.1.0.0/24"])],
     [("10.50.0.0/23", "fw1", 0), ("192.168.0.0/16", "fw1", 900)], [], False),
    ("a custom route the spoke does not import", small(
        replace("peerings", *_pair("to-hub", HUB, "hub", exports=True)),
        extra("routes", ONPREM)), None, [("hub-cr", ["10.1.0.0/24"], ["10.1.0.0/24"])],
     [("10.50.0.0/23", "fw1", 0)], [], False),
    ("two instances can forward", small(extra("instances", _instance("fw2"))), None,
     [("hub-cr", ["10.1.0.0/24"], ["10.1.0.0/24"])], [],
     ["europe-west1: 2 instances of the VPC can forward IP"], False),
    ("none can", small(replace("instances", _instance("fw1", False))), None,
     [("hub-cr", ["10.1.0.0/24"], ["10.1.0.0/24"])], [], ["no instance of the VPC"], False),
    ("--appliance chooses", small(extra("instances", _instance("fw2"))), APPLIANCE,
     [("hub-cr", ["10.1.0.0/24"], ["10.1.0.0/24"])], [("10.50.0.0/23", "fw2", 0)], [],
     False),
    ("--appliance of no instance", small(), APPLIANCE,
     [("hub-cr", ["10.1.0.0/24"], ["10.1.0.0/24"])], [("10.50.0.0/23", "fw2", 0)],
     ["no instance fw2 in zone europe-west1-b"], False),
    ("--priority and --summarize", small(), Options(priorities={None: 500}, summarize=16),
     [("hub-cr", ["10.1.0.0/16"], ["10.1.0.0/24"])], [("10.50.0.0/16", "fw1", 500)], [],
     False),
    ("Google services' peerings are kept", small(*GKE + SERVICE + [replace("routers", _router(
        ranges=["10.1.0.0/24", "172.16.0.0/28"]))]), None,
     [("hub-cr", ["10.1.0.0/24", "172.16.0.0/28"], ["10.1.0.0/24", "172.16.0.0/28"])],
     [("10.50.0.0/23", "fw1", 0)], [], True),
]


@pytest.mark.parametrize("topology,options,routers,adds,problems,gke",
                         [d[1:] for d in DRAFTS], ids=[d[0] for d in DRAFTS])
def test_the_draft_of_a_small_topology(emu, compute, topology, options, routers, adds,
                                       problems, gke):
    emu.reset(seed=topology)

    drafted = draft(compute, SPOKE, "spoke", options)

    data = drafted.data
    assert [t["vpc_name"] for t in data["transit_vpcs"]] == ["tarn-hub::hub"]
    assert [(r["router_name"], r["add_advertised_routes"], r["remove_advertised_routes"])
            for r in data["transit_vpcs"][0]["cloud_routers"]] == routers
    stage = data["manage_routes"]["stage1"]
    assert [(a["cidr"], a["dest_instance"], a["priority"]) for a in stage["add"]] == adds
    assert stage["delete"] == [] and data["advertise_gke"] is gke
    assert len(drafted.problems) == len(problems)
    assert all(words in found for words, found in zip(problems, drafted.problems))
    assert ("Kept: gke-1a2b-3c4d-peer" in drafted.yaml()) is gke
    # what it prints is the plan, every key of it known and every value right
    assert yaml.safe_load(drafted.yaml()) == data and keys(data) == []
    plan = Plan(data, "draft")
    plan.transit_vpcs("check", with_routers=True)
    plan.stage_config("stage1", "check")
    assert emu.requests and mutations(emu) == []


def _sample_plan(*changes):
    plan = yaml.safe_load(sample.plan_text())
    for change in changes:
        change(plan)
    return plan


def _adds(*keep):
    return lambda plan: plan["manage_routes"]["stage1"].__setitem__("add", [
        a for i, a in enumerate(plan["manage_routes"]["stage1"]["add"]) if i in keep])


def _cidr(i, value):
    return lambda plan: plan["manage_routes"]["stage1"]["add"][i].__setitem__("cidr", value)


BOTH = ("europe-west1", "us-central1")
TRANSIT = ["10.100.0.0/20", "10.100.16.0/20", "10.200.0.0/20", "10.200.16.0/20"]
SMALL_PLAN = {"project_id": SPOKE, "vpc_name": "spoke", "manage_routes": {"stage1": {}},
              "transit_vpcs": [{"vpc_name": "tarn-hub::hub", "cloud_routers": []}]}
PUBLIC = dict(ONPREM, name="public", destRange="203.0.113.0/24")
INTERNET = {"project": SPOKE, "name": "internet", "network": _net(SPOKE, "spoke"),
            "destRange": "0.0.0.0/0", "nextHopGateway": "global/gateways/default-internet-gateway"}

# (id, topology, plan, {(range, lost ranges)} unreachable in every region,
# ranges whose next hop changes)
REACH = [
    ("the example plan", None, _sample_plan(), set(), TRANSIT + ["192.168.0.0/16"]),
    ("without the route to transit-a", None, _sample_plan(_adds(0, 1, 3)),
     {("10.100.0.0/20", ("10.100.0.0/20",)), ("10.100.16.0/20", ("10.100.16.0/20",))},
     TRANSIT[2:] + ["192.168.0.0/16"]),
    ("a route narrower than what it replaces", None, _sample_plan(_cidr(2, "10.100.0.0/21")),
     {("10.100.0.0/20", ("10.100.8.0/21",)), ("10.100.16.0/20", ("10.100.16.0/20",))},
     TRANSIT[2:] + ["192.168.0.0/16"]),
    ("on-premises left to the backup route", None, _sample_plan(
        _adds(2, 3), lambda p: p["manage_routes"]["stage1"].__setitem__("delete", [])),
     set(), TRANSIT + ["192.168.0.0/16"]),
    ("on-premises left to nothing", None, _sample_plan(_adds(2, 3)),
     {("192.168.0.0/16", ("192.168.0.0/16",))}, TRANSIT),
    ("routes added, peerings kept", None, _sample_plan(
        lambda p: p.__setitem__("transit_vpcs", [])), set(), ["192.168.0.0/16"]),
    ("the internet gateway delivers public ranges only", small(
        replace("peerings", *_pair("to-hub", HUB, "hub", imports=True, exports=True)),
        extra("routes", PUBLIC, INTERNET)), SMALL_PLAN,
     {("10.50.0.0/24", ("10.50.0.0/24",)), ("10.50.1.0/24", ("10.50.1.0/24",))},
     ["203.0.113.0/24"]),
]


@pytest.mark.parametrize("topology,plan,unreachable,changed", [r[1:] for r in REACH],
                         ids=[r[0] for r in REACH])
def test_what_a_plan_leaves_unreachable(emu, compute, topology, plan, unreachable, changed):
    if topology is not None:
        emu.reset(seed=topology)
    plan = Plan(plan, "plan")
    steps = [("peerings", None), ("routes", "stage1")]

    found = reachability(compute, plan, plan.vpc_key("check"), steps)

    regions = found["regions"]
    assert regions == (list(BOTH) if topology is None else ["europe-west1"])
    assert sorted((u["region"], u["range"], tuple(u["lost"])) for u in found["unreachable"]) == \
        sorted((region, cidr, lost) for cidr, lost in unreachable for region in regions)
    assert sorted((c["region"], c["range"]) for c in found["next_hop_changed"]) == \
        sorted((region, cidr) for cidr in changed for region in regions)
    assert mutations(emu) == []


@pytest.mark.parametrize("fleet_spoke", [None, 2])
def test_a_drafted_plan_passes_the_preflight_and_comes_back_exactly(cli, emu, tmp_path,
                                                                    fleet_spoke):
    """The sample's spoke with its appliances named, or a fleet spoke with
    its one forwarding instance per region: the draft names the transit VPCs
    and routers of the hand-written plan and, summarised as widely, adds
    routes to the same ranges; switch all and restore all bring it back."""
    if fleet_spoke is None:
        project, wanted = sample.PROJECT, _sample_plan()
        options = ["--appliance", "europe-west1=europe-west1-b/router-appliance-euw1",
                   "--appliance", "us-central1=us-central1-a/router-appliance-usc1"]
    else:
        emu.reset(seed=fleet.spokes(3))
        project, wanted, options = fleet.project(2), fleet.plan(2), []
    out, wide = tmp_path / "plan.yaml", tmp_path / "wide.json"
    original = emu.snapshot()

    drafted = cli("plan", "draft", project, "spoke-vpc", "-o", out, *options)
    summarized = cli("plan", "draft", project, "spoke-vpc", "--summarize", "16",
                     "--format", "json", *options)

    # the sample's DEFAULT-mode router is the one problem
    assert drafted.status == (1 if fleet_spoke is None else 0), drafted.err
    assert len(drafted.err_lines) == (1 if fleet_spoke is None else 0)
    wide.write_text(summarized.out)
    plan = Plan.load(out)
    for data in (plan.data, Plan.load(wide).data):
        assert keys(data) == []
        assert [(t["vpc_name"], [r["router_name"] for r in t["cloud_routers"]])
                for t in data["transit_vpcs"]] == [
            (t["vpc_name"], [r["router_name"] for r in t["cloud_routers"]])
            for t in wanted["transit_vpcs"]]
    transit_adds = {a["cidr"] for a in wanted["manage_routes"]["stage1"]["add"]}
    if fleet_spoke is not None:
        transit_adds -= {"192.168.0.0/16"}  # a fleet spoke reaches it by its own static route
    assert summarize({a["cidr"] for a in Plan.load(wide).data["manage_routes"]["stage1"][
        "add"]}) == summarize(transit_adds)  # the same addresses
    assert cli("--plan", out, "plan", "check").status == 0
    revert = tmp_path / "revert.json"
    for action in ("switch", "restore"):
        done = cli("--plan", out, "--revert", revert, action, "all")
        assert done.status == 0, done.err
        assert (emu.snapshot() == original) == (action == "restore")


def test_plan_check_and_switch_all_name_what_would_be_unreachable(cli, emu, tmp_path):
    full, short = tmp_path / "full.yaml", tmp_path / "short.yaml"
    full.write_text(yaml.safe_dump(_sample_plan()))
    short.write_text(yaml.safe_dump(_sample_plan(_adds(0, 1, 3))))

    assert json.loads(cli("--plan", full, "plan", "check", "--format", "json").out)[
        "unreachable"] == []
    checked = cli("--plan", short, "plan", "check")
    refused = cli("--plan", short, "--revert", tmp_path / "r.json", "switch", "all")
    allowed = cli("--plan", short, "--dry-run", "switch", "all",
                  "--allow-unreachable", "10.100.0.0/16")

    assert checked.status == 1
    assert [line.split()[1] for line in checked.out_lines if line.startswith("unreachable:")] \
        == ["10.100.0.0/20", "10.100.16.0/20"]
    assert (refused.status, refused.out) == (2, "") and mutations(emu) == []
    assert not (tmp_path / "r.json").exists()
    assert [line.split()[3] for line in refused.err_lines] == ["10.100.0.0/20", "10.100.16.0/20"]
    assert allowed.status == 0, allowed.err
    assert "reachability unreachable: 10.100.0.0/20 in europe-west1, us-central1" in allowed.out
    # a draft is never written over an existing file, unless forced
    assert cli("plan", "draft", "tarn-demo", "spoke-vpc", "-o", full).status == 2
    assert full.read_text() == yaml.safe_dump(_sample_plan())
    assert cli("plan", "draft", "tarn-demo", "spoke-vpc", "-o", full, "--force").status == 1
    assert full.read_text().startswith("# Migration plan of tarn-demo::spoke-vpc, drafted")
