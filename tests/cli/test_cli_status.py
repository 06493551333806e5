"""``status`` after stages, restores, interrupted steps and changes made by
hand, in text and JSON; the JSON of discover and cidrs; the DOT picture."""

import fcntl
import json
import shutil
import subprocess
import types

import pytest
import yaml

from tarn_gcp.emulator import sample

from test_cli_support import KEY, cli, pauses  # noqa: F401
from testing.emulators import mutations

NS, SW, RE, PA, DR = "not started", "switched", "restored", "partial", "drifted"
MARKER = "Tessaron-Created-Resource: Do-Not-Delete-Tessaron-Created-Resource"
STAGES = ("peerings", "routes stage1", "routers")
RKEY_A = "tarn-transit::transit-a::europe-west1::transit-a-cr-euw1"
RKEY_B = "tarn-transit::transit-b::us-central1::transit-b-cr-usc1"
SWITCH_ALL = [("switch", "peerings"), ("switch", "routes", "stage1"), ("switch", "routers")]
RESTORE_ALL = [("restore", "routers"), ("restore", "routes", "stage1"), ("restore", "peerings")]


def fault(kind, method, name):
    def inject(emu, revert):
        getattr(emu.faults, kind)(method, 400, name=name)
    return inject


def _wait(compute, op, project):
    compute.globalOperations().wait(project=project, operation=op["name"]).execute()


def route_by_hand(dest):
    def change(emu, revert=None):
        compute = emu.service()
        body = {"name": "spoke-onprem-backup", "network": "global/networks/spoke-vpc",
                "destRange": dest, "priority": 2000, "nextHopIp": "10.10.0.10"}
        _wait(compute, compute.routes().insert(project="tarn-demo", body=body).execute(),
              "tarn-demo")
    return change


def delete_by_hand(name):
    def change(emu, revert=None):
        compute = emu.service()
        _wait(compute, compute.routes().delete(project="tarn-demo", route=name).execute(),
              "tarn-demo")
    return change


def default_mode_by_hand(emu, revert=None):
    emu.service().routers().patch(
        project="tarn-transit", region="us-central1", router="transit-b-cr-usc1",
        body={"bgp": {"advertiseMode": "DEFAULT", "advertisedIpRanges": [],
                      "advertisedGroups": []}}).execute()


def unrecord(name):
    """The revert file forgets the peering pair or router of ``name``, as
    after a stage that stopped before it."""
    def change(emu, revert):
        data = json.loads(revert.read_text())
        if KEY in data["peerings"]:
            data["peerings"][KEY] = [p for p in data["peerings"][KEY]
                                     if p["localPeeringProperties"]["name"] != name]
        data["cloud_routers"].get(KEY, {}).pop(name, None)
        revert.write_text(json.dumps(data))
    return change


def router_by_hand(emu, revert=None):
    emu.service().routers().patch(
        project="tarn-transit", region="europe-west1", router="transit-a-cr-euw1",
        body={"bgp": {"advertisedIpRanges": [{"range": "10.99.0.0/16"}]}}).execute()


def peering_by_hand(emu, revert=None):
    """Peers spoke-vpc and transit-b again, the spoke side exporting its
    custom routes, which the saved record did not."""
    compute = emu.service()
    for project, network, peer, export in (
            ("tarn-demo", "spoke-vpc", "projects/tarn-transit/global/networks/transit-b", True),
            ("tarn-transit", "transit-b", "projects/tarn-demo/global/networks/spoke-vpc", True)):
        body = {"networkPeering": {"name": "spoke-to-transit-b", "network": peer,
                                   "exportCustomRoutes": export, "importCustomRoutes": True,
                                   "exchangeSubnetRoutes": True}}
        _wait(compute, compute.networks().addPeering(project=project, network=network,
                                                     body=body).execute(), project)


def added_by_hand(index, priority, marked=True):
    """Puts the stage's ``index``-th added route back by hand with another
    priority (and without the marker description when not ``marked``)."""
    def change(emu, revert):
        name = json.loads(revert.read_text())["manage_routes"]["stage1"][KEY][
            "added_route_list"][index]
        compute = emu.service()
        old = compute.routes().get(project="tarn-demo", route=name).execute()
        delete_by_hand(name)(emu)
        body = {k: old[k] for k in ("name", "network", "destRange", "nextHopInstance")}
        body.update(priority=priority, description=MARKER if marked else "by hand")
        _wait(compute, compute.routes().insert(project="tarn-demo", body=body).execute(),
              "tarn-demo")
    return change


# (id, steps: CLI arguments or a function of the emulator, the stages' states,
#  the items listed as partial or drifted)
CASES = [
    ("before any switch: no revert file yet", [], (NS, NS, NS), {}),
    ("routes switched only", [("switch", "routes", "stage1")], (NS, SW, NS), {}),
    ("every stage switched", SWITCH_ALL, (SW, SW, SW), {}),
    ("every stage restored", SWITCH_ALL + RESTORE_ALL, (RE, RE, RE), {}),
    ("peerings switched and restored", [("switch", "peerings"), ("restore", "peerings")],
     (RE, NS, NS), {}),
    ("routers restored, the rest switched", SWITCH_ALL + [("restore", "routers")],
     (SW, SW, RE), {}),
    ("peering removal interrupted",
     [fault("fail_request", "compute.networks.removePeering", "spoke-to-transit-a"),
      ("switch", "peerings")], (PA, NS, NS), {"spoke-to-transit-a": PA}),
    ("peering re-creation interrupted",
     [("switch", "peerings"),
      fault("fail_operation", "compute.networks.addPeering", "transit-a-to-spoke"),
      ("restore", "peerings")], (PA, NS, NS), {"spoke-to-transit-a": PA}),
    ("route deletion failed", [fault("fail_request", "compute.routes.delete",
                                     "spoke-onprem-backup"), ("switch", "routes", "stage1")],
     (NS, PA, NS), {}),
    ("route restore interrupted",
     [("switch", "routes", "stage1"),
      fault("fail_operation", "compute.routes.delete", "spoke-transit-a-via-appliance"),
      ("restore", "routes", "stage1")], (NS, PA, NS), {}),
    ("router patch failed", [fault("fail_request", "compute.routers.patch", "transit-b-cr-usc1"),
                             ("switch", "routers")], (NS, NS, PA), {}),
    ("deleted route back by hand, changed", [("switch", "routes", "stage1"),
                                              route_by_hand("192.168.0.0/24")],
     (NS, DR, NS), {"spoke-onprem-backup": DR}),
    ("deleted route back by hand, as it was", [("switch", "routes", "stage1"),
                                                route_by_hand("192.168.0.0/16")],
     (NS, PA, NS), {}),
    ("added route removed by hand", [("switch", "routes", "stage1"),
                                     delete_by_hand("spoke-transit-b-via-appliance")],
     (NS, PA, NS), {}),
    ("generated route re-made by hand", [("switch", "routes", "stage1"),
                                         added_by_hand(1, 901)], (NS, DR, NS), "tsr-"),
    ("named route re-made by hand", [("switch", "routes", "stage1"),
                                     added_by_hand(3, 1000, marked=False)],
     (NS, DR, NS), {"spoke-transit-b-via-appliance": DR}),
    ("generated route as the stage makes it", [("switch", "routes", "stage1"),
                                               added_by_hand(0, 800)], (NS, SW, NS), {}),
    ("router changed by hand", SWITCH_ALL + [router_by_hand], (SW, SW, DR), {RKEY_A: DR}),
    ("router changed by hand after its restore",
     [("switch", "routers"), ("restore", "routers"), router_by_hand], (NS, NS, DR),
     {RKEY_A: DR}),
    ("peering re-made by hand with other settings", [("switch", "peerings"), peering_by_hand],
     (DR, NS, NS), {"spoke-to-transit-b": DR}),
    # what the plan asks for and the record lacks
    ("a transit peering never removed", [("switch", "peerings"),
                                         unrecord("spoke-to-transit-b"), peering_by_hand],
     (PA, NS, NS), {"spoke-to-transit-b": PA}),
    ("a route insert refused", [fault("fail_request", "compute.routes.insert",
                                      "spoke-transit-b-via-appliance"),
                                ("switch", "routes", "stage1")],
     (NS, PA, NS), {"spoke-transit-b-via-appliance": PA}),
    ("a router in DEFAULT mode skipped", [("switch", "routers"), unrecord(RKEY_B),
                                          default_mode_by_hand], (NS, NS, PA), {RKEY_B: PA}),
]


@pytest.mark.parametrize("steps,states,flagged", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_status_tells_each_stage_in_text_and_json(cli, emu, tmp_path, steps, states, flagged):
    revert = tmp_path / "revert.json"
    for step in steps:
        if callable(step):
            step(emu, revert)
        else:
            cli("--revert", revert, *step)
            emu.faults.clear()
    saved = revert.read_bytes() if revert.exists() else None
    emu.clear_requests()
    expected_status = 1 if {PA, DR} & set(states) else 0

    result = cli("--revert", revert, "status", "--format", "json")
    assert result.status == expected_status, result.err
    document = json.loads(result.out)
    assert list(document) == ["vpc", "stages"] and document["vpc"] == KEY
    assert [(s["stage"], s["state"]) for s in document["stages"]] == list(zip(STAGES, states))
    for stage in document["stages"]:
        assert all(list(item) == ["kind", "name", "state", "detail"] and item["detail"]
                   for item in stage["items"])
        assert (stage["items"] == []) == (stage["state"] == NS)
    items = {i["name"]: i["state"] for s in document["stages"] for i in s["items"]}
    if flagged == "tsr-":
        flagged = {n: DR for n in items if items[n] == DR}
        assert len(flagged) == 1 and list(flagged)[0].startswith("tsr-")
    assert {n: s for n, s in items.items() if s in (PA, DR)} == flagged
    if states[1] == PA and not flagged:
        # A mix of switched and restored routes.
        assert {i["state"] for i in document["stages"][1]["items"]} == {SW, RE}

    text = cli("--revert", revert, "status")
    assert text.status == expected_status
    stage_lines = [line for line in text.out_lines if not line.startswith("  ")]
    assert [line.split(" (")[0] for line in stage_lines] == [
        "%s: %s" % pair for pair in zip(STAGES, states)]
    item_lines = [line[2:].split(": ") for line in text.out_lines if line.startswith("  ")]
    assert {words[0].split(" ", 1)[1]: words[1] for words in item_lines} == flagged
    assert len(item_lines) == len(flagged)

    # Read requests only; the revert file untouched.
    assert mutations(emu) == [] and all(r.http_method == "GET" for r in emu.requests)
    assert (revert.read_bytes() if revert.exists() else None) == saved


def test_status_names_what_drifted_and_how(cli, emu, tmp_path):
    revert = tmp_path / "revert.json"
    for step in SWITCH_ALL:
        cli("--revert", revert, *step)
    route_by_hand("192.168.0.0/24")(emu)
    router_by_hand(emu)
    result = cli("--revert", revert, "status")
    assert result.status == 1
    assert result.out_lines[1:3] == [
        "routes stage1: drifted (4 switched, 1 drifted)",
        "  route spoke-onprem-backup: drifted: present as 192.168.0.0/24 via nextHopIp "
        "10.10.0.10, priority 2000; was 192.168.0.0/16 via nextHopIp 10.10.0.10, priority 2000"]
    assert result.out_lines[3] == "routers: drifted (1 switched, 1 drifted)"
    assert result.out_lines[4] == (
        "  router %s: drifted: advertises 10.99.0.0/16 (groups ALL_SUBNETS); the stage sets "
        "10.10.0.0/16 (groups ALL_SUBNETS); saved: 10.10.0.0/20, 10.10.16.0/20 (groups "
        "ALL_SUBNETS)" % RKEY_A)


def test_status_json_keeps_standard_output_for_the_document(cli, tmp_path):
    revert = tmp_path / "revert.json"
    cli("--revert", revert, "switch", "routers")
    result = cli("-v", "--revert", revert, "status", "--format", "json")
    assert result.status == 0
    assert json.loads(result.out)["stages"][2]["state"] == SW
    assert "status of %s: peerings not started" % KEY in result.err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["revert.json"]   # no lock taken

    # While another run holds the revert file, status still reads it.
    with open(str(revert) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        held = cli("--revert", revert, "status")
    assert (held.status, held.out_lines[-1]) == (0, "routers: switched (2 item(s))"), held.err


def test_a_route_stage_only_the_revert_file_holds_comes_after_the_plan_stages(cli, tmp_path):
    revert, plan = tmp_path / "revert.json", tmp_path / "plan.yaml"
    cli("--revert", revert, "switch", "routes", "stage1")
    data = yaml.safe_load(sample.plan_text())
    data["manage_routes"] = {"stage2": data["manage_routes"]["stage1"]}
    plan.write_text(yaml.safe_dump(data))
    result = cli("--plan", plan, "--revert", revert, "status", "--format", "json")
    assert result.status == 0, result.err
    assert [(s["stage"], s["state"]) for s in json.loads(result.out)["stages"]] == [
        ("peerings", NS), ("routes stage2", NS), ("routes stage1", SW), ("routers", NS)]


# ---------------------------------------------------- discover and cidrs

def test_discover_json_documents_the_project(cli, emu):
    result = cli("discover", "--format", "json")
    assert result.status == 0, result.err
    document = json.loads(result.out)
    # The log stays out of standard error unless -v; the summary and the problems do not.
    assert len(result.err_lines) == 1 and result.err_lines[0].startswith(
        "discover tarn-demo: 1 network(s)")
    assert "- Discover subnet(s)" in cli("-v", "discover", "--format", "json").err_lines
    emu.seed({"routes": [{"project": "tarn-demo", "name": "spoke-vpn", "destRange": "10.9.0.0/16",
                          "network": "projects/tarn-demo/global/networks/spoke-vpc",
                          "priority": 1000, "nextHopVpnTunnel": "regions/europe-west1/"
                                                                "vpnTunnels/t1"}]})
    problem = cli("discover", "--format", "json")
    assert problem.status == 1 and json.loads(problem.out)["project"] == "tarn-demo"
    assert [line.split(" {")[0] for line in problem.err_lines[:-1]] == [
        "  **Error** unknown destination"]
    assert list(document) == ["project", "networks"] and document["project"] == "tarn-demo"
    (network,) = document["networks"]
    assert list(network) == ["name", "key", "selfLink", "subnetworks", "peerings", "routes",
                             "routers"]
    assert network["key"] == KEY
    assert [(s["name"], s["region"], s["ipCidrRange"]) for s in network["subnetworks"]] == [
        ("spoke-euw1", "europe-west1", "10.10.0.0/20"),
        ("spoke-gke-euw1", "europe-west1", "10.10.16.0/20"),
        ("spoke-usc1", "us-central1", "10.20.0.0/20")]
    assert network["subnetworks"][1]["secondaryIpRanges"] and all(
        set(r) == {"rangeName", "ipCidrRange"} for r in network["subnetworks"][1][
            "secondaryIpRanges"])
    assert {(p["name"], p["peer"], p["state"]) for p in network["peerings"]} >= {
        ("spoke-to-transit-a", "tarn-transit::transit-a", "ACTIVE"),
        ("gke-abc123-def4-peer", "gke-prod-abc123::gke-abc123-def4-net", "ACTIVE")}
    backup = next(r for r in network["routes"] if r["name"] == "spoke-onprem-backup")
    assert (backup["destRange"], backup["nextHop"], backup["priority"]) == (
        "192.168.0.0/16", "10.10.0.10", 2000)
    assert mutations(emu) == []

    transit = json.loads(cli("discover", "tarn-transit", "--format", "json").out)
    routers = {r["name"]: r for n in transit["networks"] for r in n["routers"]}
    assert routers["transit-a-cr-euw1"]["advertiseMode"] == "CUSTOM"
    assert [r["range"] for r in routers["transit-a-cr-euw1"]["advertisedIpRanges"]][:2] == [
        "10.10.0.0/20", "10.10.16.0/20"]
    assert "ALL_SUBNETS" in routers["transit-b-cr-usc1"]["advertisedGroups"]

    # A failure writes no document, and the standard error says why.
    failed = cli("discover", "empty-project-x", "--format", "json")
    assert (failed.status, failed.out) == (1, "") and failed.err_lines[-1].startswith("tarn_gcp: ")


@pytest.mark.parametrize("region", ["europe-west1", "us-central1", "asia-east1"])
def test_cidrs_json_holds_what_the_text_lists(cli, region):
    text = cli("-q", "cidrs", region)
    result = cli("cidrs", region, "--format", "json")
    assert result.status == text.status == 0
    document = json.loads(result.out)
    assert document == {"vpc": KEY, "region": region, "cidrs": text.out_lines or
                        document["cidrs"]}
    assert isinstance(document["cidrs"], list) or document["cidrs"] is None


# -------------------------------------------------------------- DOT

def dot_edges(text):
    """(source, target, dashed) of each edge line of a DOT graph, after a
    structural check of the graph."""
    lines = text.strip().splitlines()
    assert lines[0].startswith("digraph ") and lines[0].endswith("{") and lines[-1] == "}"
    assert text.count("{") == text.count("}") == 1
    edges = []
    for line in lines[1:-1]:
        assert line.endswith(";"), line
        if " -> " in line:
            source, rest = line.strip().split(" -> ", 1)
            edges.append((source.strip('"'), rest.split(" [")[0].strip('"'), "dashed" in rest))
    return edges


def test_discover_dot_draws_the_peerings_and_dashes_an_inactive_side(cli, emu, tmp_path):
    result = cli("discover", "--format", "dot")
    assert result.status == 0, result.err
    edges = dot_edges(result.out)
    assert ("tarn-demo::spoke-vpc", "tarn-transit::transit-a", False) in edges
    assert ("tarn-transit::transit-a", "tarn-demo::spoke-vpc", False) in edges
    assert len(edges) == 6 and not any(dashed for _, _, dashed in edges)
    assert '"tarn-demo::spoke-vpc" [label="tarn-demo::spoke-vpc\\n10.10.0.0/20' in result.out

    emu.faults.fail_request("compute.networks.removePeering", 400, name="spoke-to-transit-a")
    cli("--revert", tmp_path / "r.json", "switch", "peerings")
    half = cli("discover", "--format", "dot")
    assert dot_edges(half.out) == [("tarn-demo::spoke-vpc", "tarn-transit::transit-a", True),
                                   ("tarn-demo::spoke-vpc",
                                    "gke-prod-abc123::gke-abc123-def4-net", False),
                                   ("gke-prod-abc123::gke-abc123-def4-net",
                                    "tarn-demo::spoke-vpc", False)]
    if shutil.which("dot"):
        for text in (result.out, half.out):
            drawn = subprocess.run(["dot", "-Tplain"], input=text, capture_output=True,
                                   text=True, timeout=60)
            assert drawn.returncode == 0, drawn.stderr
            assert drawn.stdout.count("\nedge ") == len(dot_edges(text))


def test_a_restore_over_routes_changed_since_the_switch_is_refused_unless_forced(cli, emu,
                                                                                  tmp_path):
    revert = tmp_path / "revert.json"
    cli("--revert", revert, "switch", "routes", "stage1")
    added_by_hand(3, 1000, marked=False)(emu, revert)
    route_by_hand("192.168.0.0/24")(emu)
    before = emu.snapshot()
    refused = cli("--revert", revert, "restore", "routes", "stage1")
    assert refused.status == 2 and [line.split(": ")[2].split(" was ")[0] for line in
                                    refused.err_lines] == [
        "route spoke-transit-b-via-appliance", "route spoke-onprem-backup"], refused.err
    assert emu.snapshot() == before
    assert cli("--revert", revert, "restore", "routes", "stage1", "--force").status != 2
    assert emu.snapshot() != before


def _bgp(*ranges):
    return {"advertiseMode": "CUSTOM", "advertisedIpRanges": [{"range": r} for r in ranges]}


# Spokes a, b, c switched a shared router in that order: each took out its
# /20 and put in its /18 (as recorded, before and after each change).
_CHAIN = [
    {"spoke": "p::a", "before": _bgp("10.0.0.0/20", "10.1.0.0/20", "10.2.0.0/20"),
     "left": _bgp("10.1.0.0/20", "10.2.0.0/20", "10.0.0.0/18")},
    {"spoke": "p::b", "before": _bgp("10.1.0.0/20", "10.2.0.0/20", "10.0.0.0/18"),
     "left": _bgp("10.2.0.0/20", "10.0.0.0/18", "10.1.0.0/18")},
    {"spoke": "p::c", "before": _bgp("10.2.0.0/20", "10.0.0.0/18", "10.1.0.0/18"),
     "left": _bgp("10.0.0.0/18", "10.1.0.0/18", "10.2.0.0/18")},
]


@pytest.mark.parametrize("spoke,now,state", [
    ("p::a", 2, "switched"),     # b and c changed it after a: a's change is in
    ("p::b", 2, "switched"),
    ("p::a", 1, "switched"),     # c restored
    ("p::c", 1, "restored"),
    ("p::b", 0, "restored"),     # c and b restored
    ("p::a", -1, "restored"),    # all restored
    ("p::a", None, "drifted"),   # changed by hand: the order does not explain it
    ("p::x", 2, "drifted"),      # a spoke the order does not name
])
def test_a_router_shared_in_a_wave_is_judged_along_its_order(spoke, now, state):
    from tarn_gcp.plan.status import router_item

    index = [c["spoke"] for c in _CHAIN].index(spoke) if spoke != "p::x" else 0
    current = (_bgp("10.9.0.0/16") if now is None else
               _CHAIN[0]["before"] if now == -1 else _CHAIN[now]["left"])
    rkey = "t::hub::r1::cr"
    plan = types.SimpleNamespace(data={"transit_vpcs": [{"vpc_name": "t::hub", "cloud_routers": [
        {"region": "r1", "router_name": "cr", "remove_advertised_routes": [],
         "add_advertised_routes": []}]}]})
    live = types.SimpleNamespace(router=lambda *a: {"bgp": current},
                                 orders=lambda key: _CHAIN if key == rkey else None)
    item = router_item(live, plan, rkey, _CHAIN[index]["before"], spoke)
    assert item["state"] == state, item
