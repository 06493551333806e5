"""Signals and concurrent runs against the emulator, with the command line
in processes of its own (``python -m tarn_gcp --emulator-url ...``, forked
by testing.launcher; their pauses between polls are short).

Kill and restore: every stage of the sample migration is stopped at a
random moment (operations are held by the emulator's fault injection, so
that the signal lands inside the stage) by SIGINT, SIGTERM or SIGHUP, which
the run handles, or by SIGKILL or SIGQUIT, which end it where it stands and
leave its changes to the journal; the operations the process left are then
finished as the cloud would finish them; the restores, run in the reverse
order (some of them stopped half way too and run again), must bring back
the topology of the snapshot taken before.  Each seed stops the stages one
by one with the signals handled, one by one with the hard ones, or all at
once (switch all, restore all) with the hard ones; with a bucket store the
storage server goes down with some of the killed runs, and comes back.
TARN_INTERRUPT_TRIALS=30 runs 30 seeds in a row (default 3);
TARN_INTERRUPT_SEED picks the first seed; TARN_INTERRUPT_MODE (soft, hard,
all) runs every seed in one mode.
"""

import json
import os
import random
import signal
import time

import pytest

from e2e_helpers import assert_same, changed
from gcs_helpers import gcs_server, leftovers, revert_store  # noqa: F401 (fixtures)
from testing.emulators import QUICK_POLL, ended, mutations, settle, start, wait_until

STAGES = [["peerings"], ["routes", "stage1"], ["routers"]]
TRIALS = int(os.environ.get("TARN_INTERRUPT_TRIALS", "3"))
FIRST_SEED = int(os.environ.get("TARN_INTERRUPT_SEED", "1"))
MODE = os.environ.get("TARN_INTERRUPT_MODE")
MODES = ("soft", "hard", "all")
SOFT = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
HARD = (signal.SIGKILL, signal.SIGQUIT)
STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143, signal.SIGHUP: 129,
          signal.SIGKILL: -signal.SIGKILL, signal.SIGQUIT: -signal.SIGQUIT}


def stopped_run(emu, revert, rng, trail, signals, *args):
    """Runs the command with some operations held (each for one or two of
    the module's pauses between polls, which last QUICK_POLL here), sends
    one of ``signals`` once it has made 1 to 3 changes and a random pause
    more (up to one and a half of those pauses), and lets the cloud finish
    what it left."""
    emu.faults.hold_operation(rng.randint(1, 2), "compute.*", times=rng.randint(1, 4))
    emu.clear_requests()
    signum = rng.choice(signals)
    process = start(emu, revert, *args, poll_seconds=QUICK_POLL)
    wanted = rng.randint(1, 3)
    wait_until(lambda: len(mutations(emu)) >= wanted, process)
    pause = rng.uniform(0.0, 1.5) * QUICK_POLL
    # now and then the storage server goes down with a killed run
    server = getattr(revert, "server", None) if signum in HARD and rng.random() < 0.3 else None
    time.sleep(pause)
    if process.poll() is None:
        if server is not None:
            server.kill_and_restart()
        process.send_signal(signum)
    status, out, err = ended(process)
    trail.append("%s: %s%s after %.2fs -> %d" % (" ".join(args), signum.name,
                                                 " and the storage server" if server else "",
                                                 pause, status))
    # Done before the signal (0), stopped by it, or (a restore) done with
    # alerts for what was already back.
    assert status in (0, STATUS[signum]) + ((1,) if args[0] == "restore" else ()), (trail,
                                                                                    out, err)
    if status >= 0:  # it ended as it ought, with its (last step's) summary
        assert "Traceback" not in err and (out.splitlines() or [""])[-1].startswith(
            " ".join(args[:2] if args[1] != "all" else args[:1])), (trail, out, err)
    settle(emu)


def kill_and_restore(emu, tmp_path, seed, revert_store=lambda folder, name: folder / name):
    rng = random.Random(seed)
    mode = MODE or MODES[seed % len(MODES)]
    signals = SOFT if mode == "soft" else HARD
    stages = [["all"]] if mode == "all" else STAGES
    revert = revert_store(tmp_path, "revert-%d.json" % seed)
    original = emu.snapshot()
    trail = [mode]
    for stage in stages:
        stopped_run(emu, revert, rng, trail, signals, "switch", *stage)
    assert emu.snapshot() != original or mode == "all", trail
    for stage in reversed(stages):
        if rng.random() < 0.5:   # a restore stopped half way is run again
            stopped_run(emu, revert, rng, trail, signals, "restore", *stage)
        status, out, err = ended(start(emu, revert, "restore", *stage))
        trail.append("restore %s -> %d" % (" ".join(stage), status))
        assert status in (0, 1), (trail, out, err)
        settle(emu)
    assert changed(original, emu.snapshot()) == [], trail
    assert_same(original, emu.snapshot())
    # status, through the same store, sees every stage put back
    status, out, err = ended(start(emu, revert, "status", "--format", "json"))
    states = {stage["stage"]: (stage["state"], stage["items"])
              for stage in json.loads(out)["stages"]}
    # (a stage that a killed switch all never reached has not started)
    assert status == 0 and all(state in ("restored", "not started") or (
        state == "switched" and not items) for state, items in states.values()), (
        trail, states, err)


@pytest.mark.parametrize("seed", range(FIRST_SEED, FIRST_SEED + TRIALS))
def test_a_migration_stopped_by_signals_is_restored_exactly(emu, tmp_path, seed, revert_store):
    kill_and_restore(emu, tmp_path, seed, revert_store)


KIND = {"peerings": "/networks/", "routes": "/routes/", "routers": "/routers/"}
RECORDS = {"peerings": lambda saved: saved["peerings"],
           "routes": lambda saved: saved["manage_routes"].get("stage1"),
           "routers": lambda saved: saved["cloud_routers"]}


@pytest.mark.parametrize("pair", [(0, 2), (0, 1), (1, 2)], ids=lambda p: "%s+%s" % (
    STAGES[p[0]][0], STAGES[p[1]][0]))
def test_two_switches_on_one_revert_file_never_lose_a_change(emu, tmp_path, pair, revert_store):
    """Started together: one is refused at once having changed nothing, or
    both ran one after the other and both are saved."""
    from tarn_gcp.res.Globals import Globals

    revert = revert_store(tmp_path, "revert.json")
    original = emu.snapshot()
    emu.faults.hold_operation(1, "compute.*", times=2)
    stages = [STAGES[i] for i in pair]
    processes = [start(emu, revert, "switch", *stage, poll_seconds=QUICK_POLL)
                 for stage in stages]
    results = [ended(p) for p in processes]
    statuses = sorted(status for status, _, _ in results)
    assert statuses in ([0, 0], [0, 2]), results
    saved = json.loads(revert.read_text())
    touched = changed(original, emu.snapshot())
    for stage, process, (status, out, err) in zip(stages, processes, results):
        kind = stage[0]
        if status == 2:
            others = [p.pid for p in processes if p is not process]
            assert err == "tarn_gcp: revert file %s is in use by pid %d since %s\n" % (
                revert, others[0], err.split(" since ", 1)[-1].strip()), err
            assert out == ""
            assert not [path for path in touched if KIND[kind] in path]
            assert not RECORDS[kind](saved)
        else:
            assert [path for path in touched if KIND[kind] in path], kind
            assert RECORDS[kind](saved), kind
    assert leftovers(revert) == []
