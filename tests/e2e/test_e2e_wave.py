"""Waves of spokes against the emulator's many-spoke topology, whose
operations take time and refuse what runs into another: every spoke
switched with no change of a shared router lost, restored in the right
order to the topology as it was, with the revert information in a folder
or a bucket, also after a signal stopped the wave half-way."""

import os
import random
import signal
import time
import uuid

import pytest
import yaml

from tarn_gcp.emulator import fleet
from tarn_gcp.plan.status import switched_bgp

from e2e_helpers import assert_same
from gcs_helpers import gcs_server  # noqa: F401
from testing.emulators import ended, launch

SPOKES = 5
TRIALS = int(os.environ.get("TARN_WAVE_TRIALS", "2"))


@pytest.fixture(scope="module")
def emulator_options():
    return {"op_seconds": 0.05}


@pytest.fixture(params=["local", "bucket"])
def place(request, tmp_path):
    """(--revert value, environment) of the wave's revert information."""
    if request.param == "local":
        return str(tmp_path / "revert"), {}
    server = request.getfixturevalue("gcs_server")
    return "gs://tarn-state/%s/" % uuid.uuid4().hex[:12], {"STORAGE_EMULATOR_HOST": server.url}


@pytest.fixture
def topology(emulator, tmp_path):
    """The emulator seeded with SPOKES spokes; (emulator, wave file)."""
    emu = emulator.reset(seed=fleet.spokes(SPOKES))
    return emu, fleet.write_plans(SPOKES, str(tmp_path / "plans"))


def wave(emu, place, action, wave_file, *args, started=False):
    process = launch("--emulator-url", emu.url, "--revert", place[0], "wave", action,
                     wave_file, *args, env=place[1], cwd=os.path.dirname(wave_file),
                     poll_seconds=0.05)
    return process if started else ended(process)


def spoke(emu, place, wave_file, index, *args):
    plans = os.path.dirname(wave_file)
    revert = place[0].rstrip("/") + "/tarn-spoke-%03d.spoke-vpc.json" % index
    return ended(launch("--emulator-url", emu.url, "--plan",
                        os.path.join(plans, "tarn-spoke-%03d.yaml" % index), "--revert", revert,
                        *args, env=place[1], cwd=plans, poll_seconds=0.05))


def expected_routers(before, wave_file):
    """The BGP ranges of every transit router once every plan is switched."""
    routers = {path: res["bgp"] for path, res in before.items() if "/routers/" in path}
    folder = os.path.dirname(wave_file)
    for name in sorted(os.listdir(folder)):
        if not name.startswith("tarn-spoke-"):
            continue
        with open(os.path.join(folder, name)) as handle:
            plan = yaml.safe_load(handle)
        for transit in plan["transit_vpcs"]:
            project, network = transit["vpc_name"].split("::")
            for entry in transit["cloud_routers"]:
                path = "projects/%s/regions/%s/routers/%s" % (project, entry["region"],
                                                                entry["router_name"])
                routers[path] = switched_bgp(routers[path], entry)
    return {path: sorted(r["range"] for r in bgp["advertisedIpRanges"])
            for path, bgp in routers.items()}


def advertised(emu):
    return {path: sorted(r["range"] for r in res["bgp"]["advertisedIpRanges"])
            for path, res in emu.snapshot().items() if "/routers/" in path}


def test_wave_round_trip(topology, place):
    emu, wave_file = topology
    before = emu.snapshot()
    status, out, err = wave(emu, place, "switch", wave_file, "--parallel", "3")
    assert status == 0, out + err
    assert '0 "in progress" refusal(s) met' in out
    # every spoke's change of every shared router is there
    assert advertised(emu) == expected_routers(before, wave_file)
    status, out, err = wave(emu, place, "status", wave_file)
    assert (status, out.count("switched"), err) == (0, 3 * SPOKES + 1, "")
    # a second run finds nothing to do
    status, out, err = wave(emu, place, "switch", wave_file)
    assert status == 0 and "%d of %d spoke(s) done" % (SPOKES, SPOKES) in out, out + err
    assert advertised(emu) == expected_routers(before, wave_file)
    # the first spoke alone: spokes switched after it changed its routers
    status, out, err = spoke(emu, place, wave_file, 1, "restore", "all")
    assert status == 2 and "changed since the switch: it advertises" in err, out + err
    status, out, err = wave(emu, place, "restore", wave_file, "--parallel", "3")
    assert status == 0, out + err
    assert_same(before, emu.snapshot())
    status, out, err = wave(emu, place, "status", wave_file, "--format", "json")
    states = {stage["state"] for s in yaml.safe_load(out)["spokes"] for stage in s["stages"]}
    assert (status, states) == (0, {"restored"})


def test_wave_force_restores_one_spoke_alone(topology, place):
    emu, wave_file = topology
    before = emu.snapshot()
    assert wave(emu, place, "switch", wave_file)[0] == 0
    status, out, err = spoke(emu, place, wave_file, 1, "restore", "all", "--force")
    assert status == 0, out + err
    spoke_1 = "projects/tarn-spoke-001/global/networks/spoke-vpc"
    assert emu.snapshot()[spoke_1] == before[spoke_1]
    router = "projects/tarn-transit/regions/europe-west1/routers/transit-a-cr-euw1"
    assert fleet.subnet_range(1, "euw1") in advertised(emu)[router]


@pytest.mark.parametrize("trial", range(TRIALS))
def test_wave_stopped_by_a_signal_then_run_again(topology, place, trial):
    emu, wave_file = topology
    rand = random.Random(trial)
    before = emu.snapshot()
    process = wave(emu, place, "switch", wave_file, "--parallel", "3", started=True)
    time.sleep(rand.uniform(0.3, 2.5))
    signum = rand.choice([signal.SIGINT, signal.SIGTERM])
    process.send_signal(signum)
    status, out, err = ended(process)
    assert status in (0, 128 + signum), out + err
    status, out, err = wave(emu, place, "switch", wave_file)
    assert status == 0, out + err
    assert advertised(emu) == expected_routers(before, wave_file)
    status, out, err = wave(emu, place, "restore", wave_file)
    assert status == 0, out + err
    assert_same(before, emu.snapshot())


ONE = "spokes: [tarn-spoke-001.yaml]\nrevert: r/\n"


@pytest.mark.parametrize("wave_text, options, error", [
    (ONE + "waves: 2\n", [], "unknown key 'waves'"),
    ("spokes: []\nrevert: r/\n", [], "'spokes' must be a list of plan files"),
    ("spokes: [tarn-spoke-001.yaml]\n", [], "'revert' must name a folder"),
    (ONE + "parallel: 0\n", [], "'parallel' must be"),
    ("spokes: [tarn-spoke-001.yaml, ./tarn-spoke-001.yaml]\nrevert: r/\n", [],
     "both migrate tarn-spoke-001::spoke-vpc"),
    ("spokes: [missing.yaml]\nrevert: r/\n", [], "cannot read plan"),
    (ONE, ["--parallel", "0"], "must be a whole number"),
    (ONE, ["--plan", "x.yaml"], "not --plan"),
    (ONE, ["--emulator"], "an emulator its workers can share"),
])
def test_wave_bad_input(tmp_path, wave_text, options, error):
    from testing.emulators import tarn

    fleet.write_plans(1, str(tmp_path))
    (tmp_path / "w.yaml").write_text(wave_text)
    before = sorted(os.listdir(tmp_path))
    target = [] if "--emulator" in options else [
        "--emulator-url", "http://127.0.0.1:9/compute/v1/"]
    done = tarn(*target, "wave", "switch", str(tmp_path / "w.yaml"), *options)
    assert (done.returncode, done.stdout) == (2, "")
    assert error in done.stderr and done.stderr.count("\n") == 1, done.stderr
    assert sorted(os.listdir(tmp_path)) == before


def test_a_spoke_whose_preflight_fails_is_left_out_and_the_others_go_on(topology, place):
    emu, wave_file = topology
    before = emu.snapshot()
    plan_2 = os.path.join(os.path.dirname(wave_file), "tarn-spoke-002.yaml")
    with open(plan_2) as handle:
        plan = yaml.safe_load(handle)
    plan["transit_vpcs"][0]["cloud_routers"][0]["router_name"] = "no-such-router"
    with open(plan_2, "w") as handle:
        yaml.safe_dump(plan, handle)
    status, out, err = wave(emu, place, "switch", wave_file)
    assert status == 1
    assert "wave switch: tarn-spoke-002.spoke-vpc failed (exit 2): switch routers: router " \
           "no-such-router in tarn-transit europe-west1 does not exist" in out, out + err
    assert "%d of %d spoke(s) done, 1 failed" % (SPOKES - 1, SPOKES) in out
    assert before["projects/tarn-spoke-002/global/networks/spoke-vpc"] == \
        emu.snapshot()["projects/tarn-spoke-002/global/networks/spoke-vpc"]
    status, out, err = wave(emu, place, "status", wave_file)
    assert status == 0 and "tarn-spoke-002.spoke-vpc  routers          not started" in out
    status, out, err = wave(emu, place, "restore", wave_file)
    assert status == 0 and "tarn-spoke-002.spoke-vpc: nothing to restore" in out, out + err
    assert_same(before, emu.snapshot())


def test_a_wave_of_drafted_plans_round_trips(topology, place, tmp_path):
    emu, _ = topology
    before = emu.snapshot()
    names = []
    for index in range(1, SPOKES + 1):
        names.append("drafted-%d.yaml" % index)
        done = ended(launch("--emulator-url", emu.url, "plan", "draft", fleet.project(index),
                            fleet.VPC, "-o", str(tmp_path / names[-1])))
        assert done[0] == 0, done
    (tmp_path / "drafted.yaml").write_text(yaml.safe_dump({"spokes": names}))
    wave_file = str(tmp_path / "drafted.yaml")
    assert wave(emu, place, "switch", wave_file, "--parallel", "3")[0] == 0
    status, out, err = wave(emu, place, "status", wave_file)
    assert (status, out.count("switched")) == (0, 3 * SPOKES + 1), out + err
    assert wave(emu, place, "restore", wave_file, "--parallel", "3")[0] == 0
    assert_same(before, emu.snapshot())


def test_a_restore_refused_holds_back_the_spokes_switched_before_it(topology, place):
    emu, wave_file = topology
    assert wave(emu, place, "switch", wave_file)[0] == 0
    # someone changes a shared router by hand after the last spoke's switch
    compute = emu.service()
    router = compute.routers().get(project="tarn-transit", region="europe-west1",
                                   router="transit-a-cr-euw1").execute()
    ranges = router["bgp"]["advertisedIpRanges"] + [{"range": "10.250.0.0/16"}]
    compute.routers().patch(project="tarn-transit", region="europe-west1",
                            router="transit-a-cr-euw1",
                            body={"bgp": dict(router["bgp"], advertisedIpRanges=ranges)}
                            ).execute()
    status, out, err = wave(emu, place, "status", wave_file)
    assert status == 1 and "drifted" in out, out + err
    status, out, err = wave(emu, place, "restore", wave_file)
    assert status == 1, out + err
    # the last spoke to change that router is refused, and every other spoke
    # (each shares the router with it) waits for it
    summary = [line for line in out.splitlines() if "spoke-vpc failed (exit" in line]
    refused = [line for line in summary if "failed (exit 2): restore routers: router "
               "transit-a-cr-euw1 in tarn-transit europe-west1 changed since the switch" in line]
    held = [line for line in summary if "failed (exit 1): not started: its routers must first "
            "be restored for" in line]
    assert (len(refused), len(held)) == (1, SPOKES - 1), out
    # nothing was restored, and no spoke switches again over the router
    # changed by hand
    status, out, err = wave(emu, place, "switch", wave_file)
    assert status == 1 and out.count("restore it first") == 2 * SPOKES, out + err
