"""The Cloud Router stage and its restore from the command line, following
each patch's regional operation: a patch whose operation fails (or cannot
be followed) is a problem of that router, the command exits 1, and the
revert file still puts everything back."""

import json

import pytest

from tarn_gcp.cli import main

from e2e_helpers import RKEY_A, RKEY_B, ROUTER_A, ROUTER_B, assert_same, changed

LABEL_A = "transit-a-cr-euw1 in europe-west1"
LABEL_B = "transit-b-cr-usc1 in us-central1"
PATCH = "compute.routers.patch"
WAIT = "compute.regionOperations.wait"


@pytest.fixture
def cli(emu, capsys):
    def run(*args):
        status = main(["--emulator-url", emu.url] + [str(a) for a in args])
        captured = capsys.readouterr()
        return status, captured.out.splitlines(), captured.err.splitlines()
    return run


def waits(emu):
    return [(r.params.get("project"), r.params.get("region")) for r in emu.requests_for(WAIT)]


def fail_patch_of(router):
    return lambda emu: emu.faults.fail_operation(PATCH, 412, "Injected: the router is busy.",
                                                 name=router)


def fail_wait_of(region):
    return lambda emu: emu.faults.fail_request(WAIT, 404, "Injected: no such operation.", name=region,
                                               times=None)


# (id, step the fault hits, fault, router left undone, label, words of its error line)
FAULTS = [
    ("switch: operation error", "switch", fail_patch_of("transit-a-cr-euw1"), ROUTER_A, LABEL_A,
     "operation-"),
    ("switch: wait refused", "switch", fail_wait_of("us-central1"), ROUTER_B, LABEL_B,
     "its operation could not be followed: Compute API refused a request (HTTP 404)"),
    ("restore: operation error", "restore", fail_patch_of("transit-b-cr-usc1"), ROUTER_B,
     LABEL_B, "failed: Injected: the router is busy. (HTTP 412)"),
]


@pytest.mark.parametrize("step,fault,router,label,words", [c[1:] for c in FAULTS],
                         ids=[c[0] for c in FAULTS])
def test_a_router_patch_that_does_not_take_effect_is_reported_and_the_restore_still_works(
        emu, cli, tmp_path, step, fault, router, label, words):
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    other = ROUTER_B if router == ROUTER_A else ROUTER_A
    other_label = LABEL_B if label == LABEL_A else LABEL_A
    if step == "switch":
        fault(emu)
    status, out, err = cli("--revert", revert, "switch", "routers")
    switched = emu.snapshot()
    if step == "switch":
        assert status == 1
        assert [line for line in err if label.split()[0] in line] == [err[0]]
        assert words in err[0] and err[0].startswith("  **Error** the patch of Cloud Router")
        assert out[-1].startswith("switch routers: customised 1 Cloud Router(s) (%s); not "
                                  "customised: 1 (%s); 1 problem(s) logged above; revert "
                                  "information saved to " % (other_label, label))
        # Both routers were patched and each patch's operation waited for.
        assert len(emu.requests_for(PATCH)) == 2 and len(waits(emu)) >= 2
        if "followed" not in words:  # a failed operation changed nothing
            assert changed(original, switched) == [other]
    else:
        assert status == 0, err
        assert changed(original, switched) == [ROUTER_A, ROUTER_B]
    assert waits(emu)[0] == ("tarn-transit", "europe-west1")
    # The revert file holds both routers whatever became of their patches.
    assert set(json.loads(revert.read_text())["cloud_routers"]["tarn-demo::spoke-vpc"]) == {
        RKEY_A, RKEY_B}

    if step == "restore":
        fault(emu)
        status, out, err = cli("--revert", revert, "restore", "routers")
        assert status == 1
        assert words in err[0] and label.split()[0] in err[0]
        assert out[-1].startswith("restore routers: patched back 1 Cloud Router(s) (%s); not "
                                  "patched back: 1 (%s); 1 problem(s) logged above"
                                  % (other_label, label))
        assert changed(original, emu.snapshot()) == [router]
        emu.faults.clear()

    emu.faults.clear()
    status, out, err = cli("--revert", revert, "restore", "routers")
    assert (status, err) == (0, [])
    assert out[-1].startswith("restore routers: patched back 2 Cloud Router(s) (%s, %s)"
                              % (LABEL_A, LABEL_B))
    assert_same(original, emu.snapshot())


def test_the_wait_repeats_until_the_operation_is_done(emu, cli, tmp_path):
    emu.faults.hold_operation(3, PATCH, name="transit-b-cr-usc1")
    status, out, err = cli("--revert", tmp_path / "revert.json", "switch", "routers")
    assert (status, err) == (0, [])
    assert waits(emu) == [("tarn-transit", "europe-west1")] + [("tarn-transit", "us-central1")] * 4
    assert "customised 2 Cloud Router(s)" in out[-1]


def test_a_dry_run_sends_no_patch_and_waits_for_nothing(emu, cli):
    status, out, err = cli("--dry-run", "switch", "routers")
    assert (status, err) == (0, [])
    assert emu.requests_for(PATCH) == [] and waits(emu) == []
    assert "would customise 2 Cloud Router(s)" in out[-1]
