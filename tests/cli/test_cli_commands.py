"""Each command on the emulator, in this process: what it shows, what it
changes, what it records, and the dry run."""

import errno
import json
import logging
import os
import signal
import time

import pytest
import yaml

from tarn_gcp.revert import first_missing

from test_cli_support import KEY, cli, pauses, read_json  # noqa: F401
from testing.emulators import mutations


def test_discover_lists_networks_then_peerings_and_routers_per_region(cli, emu):
    result = cli("discover", "tarn-transit")
    assert result.status == 0, result.err
    lines = result.out_lines
    assert lines.count("- Discover subnet(s)") == 2 and lines.count("- Discover route(s)") == 2
    assert lines.count("- Discover peering(s)") == 2
    # transit-a: europe-west1 and us-central1; transit-b: us-central1 and europe-west1
    assert lines.count("- Discover cloud router(s)") == 4
    first_peering = lines.index("- Discover peering(s)")
    assert lines.index("- Discover subnet(s)") < lines.index("- Discover route(s)") < first_peering
    assert "  transit-a-cr-euw1 europe-west1 bgp 64514 CUSTOM" in lines
    assert "    10.20.0.0/20 spoke-vpc spoke-usc1" in lines
    # After the module's listing: each peering's state and settings, each route's name.
    rows = [line.split() for line in lines]
    assert ["transit-a-to-spoke", "ACTIVE", "true", "true"] in rows
    assert rows.index(["transit-a-to-spoke", "ACTIVE", "true", "true"]) < lines.index(
        "= VPC transit-a: routes") < lines.index("= VPC transit-a: Cloud Routers in europe-west1")
    assert ["transit-a-default-internet", "0.0.0.0/0", "1000", "default-internet-gateway"] in rows
    # europe-west1 holds a router, not of transit-b
    heading = lines.index("= VPC transit-b: Cloud Routers in europe-west1")
    assert lines[heading + 1:heading + 3] == ["- Discover cloud router(s)",
                                              "  no Cloud Router found"]
    assert lines[-1].startswith("discover tarn-transit: 2 network(s), 4 subnetwork(s), "
                                "2 peering(s)")
    assert mutations(emu) == []
    assert all(r.params.get("project") in (None, "tarn-transit") for r in emu.requests)


def test_discover_takes_the_plan_project_and_restores_the_module_names(cli, gcplib):
    saved = gcplib.google, gcplib.discovery
    result = cli("discover")
    assert result.status == 0
    assert "= VPC spoke-vpc (https://www.googleapis.com/compute/v1/projects/tarn-demo/global/" \
           "networks/spoke-vpc)" in result.out_lines
    assert (gcplib.google, gcplib.discovery) == saved
    assert cli("discover", "empty-project-x").status == 1   # not a project of the emulator


@pytest.mark.parametrize("args", [["cidrs", "europe-west1"], ["--dry-run", "switch", "routers"],
                                  ["--dry-run", "switch", "peerings"]])
def test_every_command_puts_the_module_names_back(cli, gcplib, args):
    saved = gcplib.google, gcplib.discovery
    assert cli(*args).status == 0
    assert (gcplib.google, gcplib.discovery) == saved


def test_cidrs_prints_the_ranges_and_keeps_the_route_listing_quiet(cli):
    result = cli("cidrs", "europe-west1")
    assert result.status == 0
    assert result.out_lines == ["- Ranges tarn-demo::spoke-vpc advertises in europe-west1",
                                "172.16.0.0/28", "10.10.0.0/20", "10.10.16.0/20"]
    assert logging.getLogger("tarn_gcp.gcplib").propagate is True
    assert cli("-q", "cidrs", "us-central1").out_lines == ["172.16.0.0/28", "10.20.0.0/20"]


NULL_SPOKE = ("with spoke_advertisement null the region's subnets are advertised only "
              "together with the GKE export ranges, and ")


@pytest.mark.parametrize("spoke,gke,gke_route,shown", [
    (None, False, True, "  none (%sadvertise_gke is not true)" % NULL_SPOKE),
    (None, True, False, "  none (%sno GKE export range was found)" % NULL_SPOKE),
    ([], False, True, "  none (spoke_advertisement lists no range and advertise_gke is not true)"),
    ([], True, True, "172.16.0.0/28"),
    (["10.0.0.0/8"], False, True, "10.0.0.0/8"),
])
def test_cidrs_says_why_the_vpc_advertises_nothing(cli, emu, tmp_path, spoke, gke, gke_route,
                                                   shown):
    from tarn_gcp.emulator import sample

    topology = sample.topology()
    topology["routes"] = [r for r in topology["routes"]
                          if gke_route or r.get("nextHopPeering") != "gke-abc123-def4-peer"]
    emu.reset(topology)
    plan = dict(yaml.safe_load(sample.plan_text()), spoke_advertisement=spoke, advertise_gke=gke)
    (tmp_path / "plan.yaml").write_text(yaml.safe_dump(plan))
    result = cli("--plan", tmp_path / "plan.yaml", "cidrs", "europe-west1")
    assert (result.status, result.out_lines) == (
        0, ["- Ranges tarn-demo::spoke-vpc advertises in europe-west1", shown])
    quiet = cli("-q", "--plan", tmp_path / "plan.yaml", "cidrs", "europe-west1")
    assert quiet.out_lines == ([] if shown.startswith("  none") else [shown])


@pytest.mark.parametrize("target,args", [
    ("routes", ["routes", "stage1"]),
    ("routers", ["routers"]),
    ("peerings", ["peerings"]),
])
def test_switch_then_restore_puts_the_topology_back(cli, emu, tmp_path, target, args):
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    switched = cli("--revert", revert, "switch", *args)
    assert switched.status == 0, switched.err
    assert emu.snapshot() != original
    assert switched.out_lines[-1].endswith("; revert information saved to %s" % revert)
    saved = read_json(revert)
    assert saved["vpc"] == KEY
    restored = cli("--revert", revert, "restore", *args)
    assert restored.status == 0, restored.err
    assert emu.snapshot() == original
    assert read_json(revert)["vpc"] == KEY


def test_route_stage_records_and_summary(cli, emu, tmp_path):
    revert = tmp_path / "r.json"
    result = cli("--revert", revert, "switch", "routes", "stage1")
    record = read_json(revert)["manage_routes"]["stage1"][KEY]
    assert [r["name"] for r in record["deleted_route_list"]] == ["spoke-onprem-backup"]
    assert record["added_route_list"][2:] == ["spoke-transit-a-via-appliance",
                                              "spoke-transit-b-via-appliance"]
    assert result.out_lines[-1].startswith(
        "switch routes stage1: deleted 1 route(s) and added 4 in tarn-demo::spoke-vpc")
    # run twice, a step that is done changes nothing
    again = cli("--revert", revert, "switch", "routes", "stage1")
    assert again.status == 0 and "already switched, nothing to do" in again.out_lines[-1]
    assert read_json(revert)["manage_routes"]["stage1"][KEY] == record
    for _ in range(2):
        restored = cli("--revert", revert, "restore", "routes", "stage1")
        assert restored.status == 0
    assert restored.out_lines[-1].startswith("restore routes stage1: already restored")
    # and switched again after the restore: the used record is replaced
    assert cli("--revert", revert, "switch", "routes", "stage1").status == 0
    assert cli("--revert", revert, "restore", "routes", "stage1").out_lines[-1].startswith(
        "restore routes stage1: removed 4 added route(s) and re-inserted 1 deleted route(s)")


@pytest.mark.parametrize("args", [
    ["switch", "routes", "stage1"], ["switch", "routers"],
    ["switch", "peerings"],
])
def test_dry_run_reads_and_logs_but_changes_and_saves_nothing(cli, emu, tmp_path, args):
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    result = cli("--dry-run", "--revert", revert, *args)
    assert result.status == 0, result.err
    assert mutations(emu) == []
    assert emu.snapshot() == original
    assert not revert.exists()
    summary = result.out_lines[-1]
    assert " would " in summary and summary.endswith("dry run, revert information not saved")


def test_dry_run_restore_shows_what_it_would_put_back(cli, emu, tmp_path):
    revert = tmp_path / "revert.json"
    cli("--revert", revert, "switch", "routers")
    before = revert.read_bytes()
    emu.clear_requests()
    result = cli("--revert", revert, "--dry-run", "restore", "routers")
    assert result.status == 0
    assert result.out_lines[-1].startswith("restore routers: would patch back 2 Cloud Router(s)")
    assert mutations(emu) == [] and revert.read_bytes() == before


def test_quiet_keeps_summary_and_errors_verbose_adds_details(cli, emu):
    emu.faults.fail_request("compute.routes.get", 404, "The resource 'x' was not found",
                            times=1)
    quiet = cli("-q", "switch", "routes", "stage1")
    assert quiet.status == 1
    assert len(quiet.out_lines) == 1 and quiet.out_lines[0].startswith("switch routes stage1:")
    assert len(quiet.err_lines) == 1
    assert quiet.err_lines[0].startswith("  **Error** <HttpError 404 when requesting ")
    verbose = cli("-v", "cidrs", "us-central1")
    assert verbose.out_lines[0] == "Compute API: the emulator at %s" % emu.url


def test_options_may_follow_the_command(cli, emu, tmp_path):
    revert = tmp_path / "revert.json"
    result = cli("switch", "routers", "--revert", revert, "--dry-run")
    assert result.status == 0 and not revert.exists()


def test_example_plan_is_the_documented_sample_plan(cli):
    result = cli("example-plan", emulator=False)
    plan = yaml.safe_load(result.out)
    assert result.status == 0
    assert plan["project_id"] == "tarn-demo" and "stage1" in plan["manage_routes"]
    assert "# Keys:" in result.out


def test_a_failing_stage_still_saves_what_it_recorded(cli, emu, tmp_path, monkeypatch):
    from tarn_gcp.gcplib import GcpLib
    from tarn_gcp.res.Globals import Globals

    revert = tmp_path / "revert.json"

    def failing(request, stage):
        Globals.getRevertInfo()["manage_routes"][stage][KEY] = {
            "deleted_route_list": [], "added_route_list": ["tsr-half"]}
        raise RuntimeError("lost the connection")

    monkeypatch.setattr(GcpLib, "manageSwitchRoute", failing)
    result = cli("--revert", revert, "switch", "routes", "stage1")
    assert result.status == 1
    assert result.err_lines == ["tarn_gcp: switch routes stage1 failed: RuntimeError: "
                                "lost the connection"]
    assert "stopped by an error" in result.out_lines[-1]
    assert read_json(revert)["manage_routes"]["stage1"][KEY]["added_route_list"] == ["tsr-half"]


@pytest.mark.parametrize("args", [["routes", "stage1"], ["routers"], ["peerings"]])
def test_a_second_switch_keeps_the_first_records_so_restore_still_returns(cli, emu, tmp_path,
                                                                           args):
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    assert cli("--revert", revert, "switch", *args).status == 0
    first = read_json(revert)
    again = cli("--revert", revert, "switch", *args)
    assert again.status in (0, 1)          # a repeated change may be refused and logged
    assert "would be lost" not in again.err
    assert cli("--revert", revert, "restore", *args).status in (0, 1)
    assert emu.snapshot() == original
    assert first_missing(first, read_json(revert)) is None


def test_an_interrupted_stage_saves_its_records_and_exits_130(cli, tmp_path, monkeypatch):
    from tarn_gcp.gcplib import GcpLib
    from tarn_gcp.res.Globals import Globals

    def interrupted(switch_traffic):
        Globals.getRevertInfo()["cloud_routers"][KEY] = {"t::n::r::cr": {"asn": 1}}
        raise KeyboardInterrupt

    monkeypatch.setattr(GcpLib, "manageCloudRouterAdvertisedRoute", interrupted)
    revert = tmp_path / "revert.json"
    result = cli("--revert", revert, "switch", "routers")
    assert result.status == 130 and result.err_lines == ["tarn_gcp: interrupted"]
    assert read_json(revert)["cloud_routers"][KEY] == {"t::n::r::cr": {"asn": 1}}


def test_google_cloud_service_uses_default_credentials_over_the_retrying_transport(monkeypatch):
    import google.auth
    from google.auth.credentials import AnonymousCredentials

    from tarn_gcp.cloud import target as session
    from tarn_gcp.cloud.transport import RetryingHttp

    asked = []

    def default(scopes=None):
        asked.append(scopes)
        return AnonymousCredentials(), "adc-project"

    monkeypatch.setattr(google.auth, "default", default)
    target = session.open_target()
    assert asked == [["https://www.googleapis.com/auth/compute"]]
    assert (target.kind, target.default_project) == ("cloud", "adc-project")
    assert isinstance(target.http, RetryingHttp)
    assert target.http.credentials is target.credentials
    request = target.service.networks().get(project="p", network="n")
    assert request.http is target.http
    assert request.uri.startswith("https://compute.googleapis.com/compute/v1/projects/p/")


def test_a_re_run_after_a_half_failed_removal_keeps_the_saved_transit_record(
        cli, emu, tmp_path):
    # The first run removes spoke-to-transit-b's transit side but not its own.
    emu.faults.fail_request("compute.networks.removePeering", 500, name="spoke-vpc", call=2,
                            times=None)
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    assert cli("--revert", revert, "switch", "peerings").status == 1
    first = revert.read_bytes()
    emu.faults.clear()
    # The re-run finds the leftover without its transit side; the pair saved
    # by the first run, transit record included, stays as it was.
    again = cli("--revert", revert, "switch", "peerings")
    assert again.status == 0
    assert revert.read_bytes() == first
    assert list(tmp_path.glob("revert.json.refused-*")) == []
    assert cli("--revert", revert, "restore", "peerings").status == 0
    assert emu.snapshot() == original


@pytest.mark.parametrize("when", ["stage", "save"])
@pytest.mark.parametrize("signum,status,words", [
    (signal.SIGINT, 130, "interrupted"),
    (signal.SIGTERM, 143, "terminated (SIGTERM)"),
    (signal.SIGHUP, 129, "hung up (SIGHUP)"),
])
def test_a_signal_in_the_stage_or_the_save_ends_with_the_records_saved(
        cli, tmp_path, monkeypatch, when, signum, status, words):
    from tarn_gcp.revert import LocalRevertStore
    from tarn_gcp.gcplib import GcpLib
    from tarn_gcp.res.Globals import Globals

    def stage(switch_traffic):
        Globals.getRevertInfo()["cloud_routers"][KEY] = {"t::n::r::cr": {"asn": 1}}
        if when == "stage":
            os.kill(os.getpid(), signum)
            time.sleep(5)
            raise AssertionError("the signal did not stop the stage")

    replace = LocalRevertStore.replace

    def slow_replace(self, text):
        if when == "save":
            os.kill(os.getpid(), signum)
            time.sleep(0.05)       # the signal waits for the save
        replace(self, text)

    monkeypatch.setattr(GcpLib, "manageCloudRouterAdvertisedRoute", stage)
    monkeypatch.setattr(LocalRevertStore, "replace", slow_replace)
    revert = tmp_path / "revert.json"
    result = cli("--revert", revert, "switch", "routers")
    assert result.status == status
    assert result.err_lines == ["tarn_gcp: " + words]
    assert read_json(revert)["cloud_routers"][KEY] == {"t::n::r::cr": {"asn": 1}}
    summary = "switch routers: %scustomised 1 Cloud Router(s) (cr in r); revert information " \
              "saved to %s" % ("%s, so far tried to " % words if when == "stage" else "", revert)
    if when == "save":      # the stage ran to its end: its (faked) patch was followed
        summary = summary.replace("customised 1", "customised 0 Cloud Router(s); not customised 1")
    assert result.out_lines[-1] == summary.replace("tried to customised", "tried to customise")
    assert sorted(os.listdir(tmp_path)) == ["revert.json"]
    assert signal.getsignal(signum) in (signal.default_int_handler, signal.SIG_DFL)


@pytest.mark.parametrize("verbosity", [[], ["-q"], ["-v"]])
def test_the_router_stage_tracebacks_go_to_the_debug_log_and_quiet_shows_what_it_counts(
        cli, emu, gcplib, tmp_path, monkeypatch, verbosity):
    import traceback

    emu.faults.fail_request("compute.routers.patch", 400, "Invalid value for field", times=1)
    result = cli(*verbosity, "--revert", tmp_path / "r.json", "switch", "routers")
    assert result.status == 1
    assert gcplib.traceback is traceback
    assert "Traceback" not in result.err
    assert ("Traceback (most recent call last):" in result.out_lines) == (verbosity == ["-v"])
    assert "; 1 problem(s) logged above;" in result.out_lines[-1]
    errors = [line for line in result.err_lines if "**Error**" in line]
    assert len(errors) == 1 and errors[0].startswith("**Error** <HttpError 400 when requesting ")
    # A restore whose removal of an added route fails: an alert (info
    # level) that -q shows since the summary counts it.
    revert = tmp_path / "routes.json"
    cli("--revert", revert, "switch", "routes", "stage1")
    emu.faults.fail_request("compute.routes.delete", 400, "spoke-transit-a-via-appliance")
    again = cli(*verbosity, "--revert", revert, "restore", "routes", "stage1")
    shown = [line for line in again.out_lines + again.err_lines if "**Alert**" in line]
    count = int(again.out_lines[-1].split("; ")[-2].split()[0])
    assert shown and len(shown) == count
    # A plan router in DEFAULT mode is left alone: a problem, never customised.
    from tarn_gcp.emulator import sample

    plan = yaml.safe_load(open(sample.PLAN_PATH, encoding="utf-8"))
    plan["transit_vpcs"][0]["cloud_routers"].append(dict(
        plan["transit_vpcs"][0]["cloud_routers"][0], region="us-central1",
        router_name="transit-a-cr-usc1"))
    (tmp_path / "plan.yaml").write_text(yaml.safe_dump(plan))
    refused = cli(*verbosity, "--plan", tmp_path / "plan.yaml", "switch", "routers")
    assert refused.status == 2 and "transit-a-cr-usc1 in tarn-transit us-central1 advertises " \
        "in DEFAULT mode" in refused.err
    # one that turns DEFAULT after the preflight: the stage skips it
    monkeypatch.setattr("tarn_gcp.plan.preflight.Preflight.switch_routers",
                        lambda self, found, skip=(): None)
    for dry_run in (["--dry-run"], []):
        left = cli(*verbosity, *dry_run, "--plan", tmp_path / "plan.yaml", "switch", "routers")
        assert left.status == 1
        assert "  transit-a-cr-usc1 in tarn-transit::transit-a us-central1 is in DEFAULT " \
               "advertize mode, cannot customize route" in left.out_lines
        done, rest = left.out_lines[-1].split("; not customised ")
        assert "transit-a-cr-usc1" not in done and rest.startswith(
            "1 Cloud Router(s) (transit-a-cr-usc1 in us-central1); 1 problem(s) logged above; ")


@pytest.mark.parametrize("code", [errno.ENOSPC, errno.EACCES, errno.EIO])
def test_a_failed_save_leaves_the_revert_information_beside_the_file_and_on_stderr(
        cli, tmp_path, monkeypatch, code):
    from tarn_gcp.revert import LocalRevertStore

    def failing(self, text):
        raise OSError(code, os.strerror(code))

    monkeypatch.setattr(LocalRevertStore, "replace", failing)
    revert = tmp_path / "revert.json"
    result = cli("--revert", revert, "switch", "routers")
    assert result.status == 1
    aside = [p for p in os.listdir(tmp_path) if p.startswith("revert.json.unsaved-")]
    # the journal of the changes stays until their records are saved
    assert sorted(os.listdir(tmp_path)) == ["revert.json.journal"] + aside and len(aside) == 1
    assert result.err_lines[-1] == (
        "tarn_gcp: cannot save the revert information to %s (%s); it is in %s and on "
        "standard error above" % (revert, os.strerror(code), tmp_path / aside[0]))
    shown = json.loads(result.err[:result.err.rindex("\ntarn_gcp: ")])
    assert shown == read_json(tmp_path / aside[0])
    assert len(shown["cloud_routers"][KEY]) == 2


def test_switch_all_and_restore_all_twice_with_one_revert_file(cli, emu, tmp_path):
    """A rehearsal and the real cut-over: switch, restore, switch, restore,
    each run twice, all with exit status 0; the topology ends as it began.
    A dry run shows the whole change set and changes nothing."""
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    dry = cli("--revert", revert, "--dry-run", "switch", "all")
    assert dry.status == 0 and emu.snapshot() == original and not revert.exists()
    changes = [line.split()[:2] for line in dry.out_lines if line[:3] in ("  -", "  +", "  ~")]
    assert changes.count(["-", "peering"]) == 4 and changes.count(["~", "router"]) == 2
    assert changes.count(["-", "route"]) == 1 and changes.count(["+", "route"]) == 4
    for _ in range(2):
        for action in ("switch", "restore"):
            done, again = (cli("--revert", revert, action, "all") for _ in range(2))
            assert (done.status, again.status) == (0, 0), (done.err, again.err)
            assert [line.split(": ", 1)[1].startswith("already ") for line in again.out_lines
                    if line.startswith(action + " ")] == [True] * 3
            assert (emu.snapshot() == original) == (action == "restore")


@pytest.mark.parametrize("changes,dry_run,emulator,yes,tty,answer,outcome", [
    (3, False, False, False, True, "y\n", "made"),
    (3, False, False, False, True, "\n", "not confirmed"),
    (3, False, False, False, False, "", "need --yes"),
    (3, False, False, True, False, "", "made"),
    (3, True, False, False, False, "", "made"),      # a dry run changes nothing
    (3, False, True, False, False, "", "made"),      # nor is an emulator asked
    (0, False, False, False, False, "", "made"),
])
def test_changes_to_google_cloud_wait_for_the_operator(monkeypatch, capsys, changes, dry_run,
                                                       emulator, yes, tty, answer, outcome):
    import io
    import types

    from tarn_gcp.cli.commands.stages import confirm
    from tarn_gcp.errors import CliError

    stdin = io.StringIO(answer)
    stdin.isatty = lambda: tty
    monkeypatch.setattr("sys.stdin", stdin)
    run = types.SimpleNamespace(dry_run=dry_run, uses_emulator=emulator,
                                options=types.SimpleNamespace(yes=yes))
    if outcome == "made":
        confirm(run, changes)
    else:
        with pytest.raises(CliError, match=outcome):
            confirm(run, changes)
    assert ("[y/N]" in capsys.readouterr().out) == (tty and outcome != "need --yes"
                                                    and not (yes or dry_run or emulator)
                                                    and changes > 0)


def test_the_change_set_as_json(cli, emu, tmp_path):
    result = cli("--revert", tmp_path / "r.json", "--dry-run", "switch", "routes", "stage1",
                 "--format", "json")
    assert result.status == 0, result.err
    document = json.loads(result.out)
    assert [step["step"] for step in document["steps"]] == ["switch routes stage1"]
    changes = document["steps"][0]["changes"]
    assert [(c["op"], c["kind"]) for c in changes] == [("-", "route")] + [("+", "route")] * 4
    assert changes[0] == {"op": "-", "kind": "route", "where": "tarn-demo/spoke-vpc",
                          "name": "spoke-onprem-backup",
                          "detail": "192.168.0.0/16 via 10.10.0.10, priority 2000"}
    # with the peerings still there only on-premises moves: to the appliance of priority 800
    reach = document["reachability"]
    appliance = ["instance europe-west1-b/router-appliance-euw1"]
    assert reach["unreachable"] == [] and [(c["range"], c["after"]) for c in reach[
        "next_hop_changed"]] == [("192.168.0.0/16", appliance)] * 2
