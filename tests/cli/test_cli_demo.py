"""The demo's flow in this process, and how it tells what changed."""

import pytest

from tarn_gcp.cli.commands.demo import snapshot_diff

from test_cli_support import cli, pauses  # noqa: F401


@pytest.fixture
def no_peering_stage(monkeypatch):
    """The demo's flow without the peering stage (both directions change
    nothing; the switch records no pair, as when no transit peering is
    found), so that it can be followed whatever the peering build."""
    from tarn_gcp.gcplib import GcpLib
    from tarn_gcp.res.Globals import Globals

    def no_pairs(switch_traffic):
        if switch_traffic is True:
            Globals.getRevertInfo()["peerings"]["tarn-demo::spoke-vpc"] = []

    monkeypatch.setattr(GcpLib, "managePeerings", no_pairs)
    # the transit peerings stay; status judges the stage by its record alone
    monkeypatch.setattr("tarn_gcp.plan.status.missing_peerings", lambda *args: [])


def test_demo_migrates_shows_restores_and_verifies(cli, no_peering_stage):
    result = cli("demo", emulator=False)
    assert result.status == 0, result.err
    lines = result.out_lines
    order = [lines.index(h) for h in (
        "== Discovery: tarn-demo before the migration",
        "== Discovery: the transit project tarn-transit",
        "== Migration of tarn-demo::spoke-vpc", "== What changed")]
    assert order == sorted(order)
    assert "  - route tarn-demo/spoke-onprem-backup: 192.168.0.0/16 via 10.10.0.10, " \
           "priority 2000" in lines
    assert "  + route tarn-demo/spoke-transit-a-via-appliance: 10.100.0.0/16 via " \
           "router-appliance-euw1, priority 1000" in lines
    assert "  ~ router tarn-transit/us-central1/transit-b-cr-usc1 advertises the groups none " \
           "(was ALL_SUBNETS)" in lines
    after = [lines[lines.index("== Status %s" % when) + 2:][:3] for when in (
        "after the switches", "after the restores")]
    assert after == [["peerings: switched (the record holds no change)",
                      "routes stage1: switched (5 item(s))", "routers: switched (2 item(s))"],
                     ["peerings: switched (the record holds no change)",
                      "routes stage1: restored (5 item(s))", "routers: restored (2 item(s))"]]
    restore = [l for l in lines if l.startswith("restore ")]
    assert [l.split(":")[0] for l in restore] == [
        "restore routers", "restore routes stage1", "restore peerings"]
    assert "cidrs europe-west1: tarn-demo::spoke-vpc advertises 172.16.0.0/28 10.10.0.0/20 " \
           "10.10.16.0/20" in lines
    assert lines[-1].startswith("demo: round trip verified: 8 change(s) made and undone")


def test_demo_fails_when_the_topology_does_not_come_back(cli, no_peering_stage, monkeypatch):
    from tarn_gcp.gcplib import GcpLib

    real = GcpLib.manageCloudRouterAdvertisedRoute
    monkeypatch.setattr(GcpLib, "manageCloudRouterAdvertisedRoute",
                        lambda switch_traffic: real(True) if switch_traffic is True else None)
    result = cli("-q", "demo", emulator=False)
    assert result.status == 1
    assert result.err_lines == ["tarn_gcp: demo failed: the topology is not back as it was "
                                "(3 difference(s) above); status found routers switched after "
                                "the restores"]


def test_demo_dry_run_changes_nothing(cli, no_peering_stage):
    result = cli("--dry-run", "-q", "demo", emulator=False)
    assert result.status == 0, result.err
    assert "  (nothing)" in result.out_lines
    assert result.out_lines[-1].startswith("demo: round trip verified: 0 change(s) made "
                                           "(dry run: none)")


def test_snapshot_diff_names_each_kind_of_change():
    net = "projects/p/global/networks/n"
    peer = {"name": "to-t", "network": "https://x/projects/t/global/networks/tn",
            "state": "ACTIVE"}
    before = {net: {"name": "n", "peerings": [peer], "mtu": 1460},
              "projects/p/regions/r1/routers/cr": {"bgp": {"asn": 1, "advertisedIpRanges": [
                  {"range": "10.0.0.0/8"}]}},
              "projects/p/global/routes/old": {"destRange": "0.0.0.0/0",
                                               "nextHopGateway": "g/default", "priority": 9}}
    after = {net: {"name": "n", "peerings": [dict(peer, state="INACTIVE")], "mtu": 1500},
             "projects/p/regions/r1/routers/cr": {"bgp": {"asn": 2}}}
    assert snapshot_diff(before, after) == [
        "~ peering to-t of p/n: state 'ACTIVE' -> 'INACTIVE'",
        "~ network p/n: mtu 1460 -> 1500",
        "- route p/old: 0.0.0.0/0 via default, priority 9",
        "~ router p/r1/cr advertises none (was 10.0.0.0/8)",
        "~ router p/r1/cr: bgp asn 1 -> 2",
    ]
    assert snapshot_diff(after, after) == []


def test_demo_keeps_a_revert_file_it_is_given(cli, no_peering_stage, tmp_path):
    from test_cli_support import KEY, read_json

    revert = tmp_path / "kept.json"
    assert cli("-q", "--revert", revert, "demo", emulator=False).status == 0
    saved = read_json(revert)
    assert saved["vpc"] == KEY
    assert set(saved["cloud_routers"][KEY]) == {
        "tarn-transit::transit-a::europe-west1::transit-a-cr-euw1",
        "tarn-transit::transit-b::us-central1::transit-b-cr-usc1"}
