"""The Cloud Router stage and its restore from the command line, following
each patch's regional operation: a patch whose operation fails (or cannot
be followed) is a problem of that router, the command exits 1, and the
revert file still puts everything back."""

import json

import pytest

from tarn_gcp.cli import main

from e2e_helpers import MKEY, RKEY_A, RKEY_B, ROUTER_A, ROUTER_B, assert_same, changed

A, B = "transit-a-cr-euw1 in europe-west1", "transit-b-cr-usc1 in us-central1"
PATCH, WAIT = "compute.routers.patch", "compute.regionOperations.wait"


@pytest.fixture
def cli(emu, capsys):
    def run(*args):
        status = main(["--emulator-url", emu.url] + [str(a) for a in args])
        captured = capsys.readouterr()
        return status, captured.out.splitlines(), captured.err.splitlines()
    return run


def waits(emu):
    return [r.params.get("region") for r in emu.requests_for(WAIT)]


# (step hit, (fault, name), the router left undone, its label, the other's, words of the error)
FAULTS = [
    ("switch", ("operation", "transit-a-cr-euw1"), ROUTER_A, A, B, "failed: operation operation-"),
    ("switch", ("wait", "us-central1"), ROUTER_B, B, A,
     "may not have taken effect: its operation could not be followed: Compute API refused a "
     "request (HTTP 404)"),
    ("restore", ("operation", "transit-b-cr-usc1"), ROUTER_B, B, A,
     "ended in error: Injected: the router is busy. (HTTP 412)"),
]


@pytest.mark.parametrize("step,fault,router,label,other,words", FAULTS,
                         ids=["%s, %s of %s" % (c[0], *c[1]) for c in FAULTS])
def test_a_router_patch_that_does_not_take_effect_is_reported_and_restore_still_works(
        emu, cli, tmp_path, step, fault, router, label, other, words):
    def inject():
        kind, name = fault
        if kind == "operation":
            emu.faults.fail_operation(PATCH, 412, "Injected: the router is busy.", name=name)
        else:
            emu.faults.fail_request(WAIT, 404, "Injected: no operation.", name=name, times=None)

    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    if step == "switch":
        inject()
    status, out, err = cli("--revert", revert, "switch", "routers")
    assert waits(emu)[0] == "europe-west1" and len(emu.requests_for(PATCH)) == 2
    # The revert file holds both routers whatever became of their patches.
    assert set(json.loads(revert.read_text())["cloud_routers"][MKEY]) == {RKEY_A, RKEY_B}
    if step == "switch":
        assert status == 1 and len(err) == 1 and label.split()[0] in err[0]
        assert err[0].startswith("  **Error** the patch of Cloud Router") and words in err[0]
        outcome = "not" if fault[0] == "operation" else "perhaps"
        assert out[-1].startswith("switch routers: customised 1 Cloud Router(s) (%s); %s "
                                  "customised 1 Cloud Router(s) (%s); 1 problem(s) logged "
                                  "above; revert information saved to " % (other, outcome, label))
        if fault[0] == "operation":  # a failed operation changed nothing
            assert changed(original, emu.snapshot()) == [r for r in (ROUTER_A, ROUTER_B)
                                                         if r != router]
    else:
        assert status == 0 and changed(original, emu.snapshot()) == [ROUTER_A, ROUTER_B]
        inject()
        status, out, err = cli("--revert", revert, "restore", "routers")
        assert status == 1 and len(err) == 1 and words in err[0] and label.split()[0] in err[0]
        assert out[-1].startswith("restore routers: patched back 1 Cloud Router(s) (%s); not "
                                  "patched back 1 Cloud Router(s) (%s); 1 problem(s)"
                                  % (other, label))
        assert changed(original, emu.snapshot()) == [router]

    emu.faults.clear()
    # the restore puts back the routers still changed, and counts only those
    still = [name for path, name in ((ROUTER_A, A), (ROUTER_B, B))
             if path in changed(original, emu.snapshot())]
    status, out, err = cli("--revert", revert, "restore", "routers")
    assert (status, err) == (0, [])
    assert out[-1].startswith("restore routers: patched back %d Cloud Router(s) (%s)"
                              % (len(still), ", ".join(still)))
    assert_same(original, emu.snapshot())


@pytest.mark.parametrize("dry_run", [False, True])
def test_each_operation_is_waited_for_until_done_and_a_dry_run_waits_for_none(
        emu, cli, tmp_path, dry_run):
    emu.faults.hold_operation(3, PATCH, name="transit-b-cr-usc1")
    options = ["--dry-run"] if dry_run else ["--revert", tmp_path / "revert.json"]
    status, out, err = cli(*options, "switch", "routers")
    assert (status, err) == (0, [])
    assert waits(emu) == ([] if dry_run else ["europe-west1"] + ["us-central1"] * 4)
    assert ("would customise" if dry_run else "customised") + " 2 Cloud Router(s)" in out[-1]
