"""Revert information kept in a Cloud Storage bucket (``--revert gs://...``),
with the command line in processes of its own against the Compute Engine
emulator and fake-gcs-server; a fault-injecting proxy in front of the
latter stands for a flaky network, a racing writer, or a signal landing at
one exact request.
"""

import glob
import json
import os
import signal
import socket
import threading

import pytest

from tarn_gcp.cli.app import main

from e2e_helpers import MKEY, assert_same, changed
from gcs_helpers import BucketPath, FaultProxy, gcs_server, leftovers  # noqa: F401
from testing.emulators import (QUICK_POLL, QUICK_RETRY, ended, launch, run, settle, start,
                               wait_until)

STAGES = [["peerings"], ["routes", "stage1"], ["routers"]]
# Uploads carry the object's name in their body: the lock's create and the
# first save of a new object are create-only, later saves are not.
CREATE = r"^/upload/.*ifGenerationMatch=0\b"
REPLACE = r"^/upload/.*ifGenerationMatch=[1-9]"
READ = r"^/storage/v1/b/tarn-state/o/[^?]*revert\.json\?"
UNLOCK = r"^/storage/v1/b/tarn-state/o/[^?]*revert\.json\.lock\?"


@pytest.fixture
def proxy(gcs_server):
    running = FaultProxy(gcs_server.url)
    yield running
    running.close()


@pytest.fixture
def revert(gcs_server, tmp_path):
    return BucketPath(gcs_server, tmp_path, "revert.json")


def through(proxy, revert):
    """``revert`` reached through the proxy."""
    revert.run_env = {"STORAGE_EMULATOR_HOST": proxy.url}
    return revert


def local_copies(revert, kind):
    return sorted(glob.glob(os.path.join(revert.run_folder, "revert.%s-*.json" % kind)))


def states(emu, revert):
    """status --format json through the bucket: its exit status and each
    stage's state."""
    status, out, err = run(emu, revert, "status", "--format", "json")
    assert revert.lock_record() is None, err
    return status, {stage["stage"]: stage["state"] for stage in json.loads(out)["stages"]}


def test_a_migration_switched_in_one_process_is_restored_from_another(emu, revert, tmp_path):
    original = emu.snapshot()
    names = [" ".join(stage) for stage in STAGES]
    for done, stage in enumerate(STAGES, 1):
        status, out, err = run(emu, revert, "switch", *stage)
        assert (status, err) == (0, ""), out
        assert out.splitlines()[-1].endswith("revert information saved to %s" % revert)
        assert revert.lock_record() is None
        assert states(emu, revert) == (0, dict(
            (name, "switched" if n < done else "not started") for n, name in enumerate(names)))
    # A change by hand to a customised router reads as drifted.
    emu.service().routers().patch(
        project="tarn-transit", region="europe-west1", router="transit-a-cr-euw1",
        body={"bgp": {"advertisedIpRanges": [{"range": "10.99.0.0/16"}]}}).execute()
    assert states(emu, revert) == (1, dict(zip(names, ["switched", "switched", "drifted"])))
    saved = json.loads(revert.read_text())
    assert saved["vpc"] == MKEY
    assert saved["peerings"][MKEY] and saved["cloud_routers"][MKEY]
    assert saved["manage_routes"]["stage1"][MKEY]["added_route_list"]
    migrated = emu.snapshot()
    assert changed(original, migrated)
    # Another machine: another folder, the same object.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    revert.run_folder = str(elsewhere)
    for stage in reversed(STAGES):
        # the router changed by hand is put back only when forced
        if stage == ["routers"]:
            status, out, err = run(emu, revert, "restore", *stage)
            assert status == 2 and "changed since the switch" in err, (out, err)
        status, out, err = run(emu, revert, "restore", *stage,
                               *(["--force"] if stage == ["routers"] else []))
        assert (status, err) == (0, ""), out
    assert_same(original, emu.snapshot())
    assert states(emu, revert) == (0, dict.fromkeys(names, "restored"))
    assert json.loads(revert.read_text()) == saved
    assert leftovers(revert) == [] and os.listdir(tmp_path) == ["elsewhere"]


@pytest.mark.parametrize("second", [["switch", "routers"], ["restore", "peerings"],
                                    ["--dry-run", "switch", "routes", "stage1"],
                                    ["unlock", "--yes"]],
                         ids=lambda a: "-".join(a).strip("-"))
def test_a_second_run_is_refused_while_the_first_holds_the_object(emu, revert, second):
    original = emu.snapshot()
    emu.faults.hold_operation(10 ** 6, "compute.*")  # until the second run is done
    first = start(emu, revert, "switch", "peerings", poll_seconds=QUICK_POLL)
    assert wait_until(lambda: revert.lock_record() is not None, first), "never locked"
    status, out, err = run(emu, revert, *second)
    holder = revert.lock_record()
    assert status == 2 and out == ""
    assert err.startswith("tarn_gcp: revert file %s is in use by pid %d since %s on host %s"
                          % (revert, first.pid, holder["since"], holder["host"])), err
    assert "unlock --revert %s --yes" % revert in err
    settle(emu, finish=False)
    out, err = first.communicate(timeout=120)
    assert (first.returncode, err) == (0, ""), out
    touched = changed(original, emu.snapshot())
    assert touched and all("/networks/" in path for path in touched)
    saved = json.loads(revert.read_text())
    assert saved["peerings"][MKEY] and not saved["cloud_routers"] and not saved["manage_routes"]
    assert revert.lock_record() is None and leftovers(revert) == []


@pytest.mark.parametrize("content,why", [
    ('{"vpc": "tarn-demo::other-vpc", "peerings": {}}', "belongs to tarn-demo::other-vpc"),
    ('{"version": 4, "terraform_version": "1.5.7"}', 'is not a revert file: it holds "version"'),
    ("{not json", "is not valid JSON"),
], ids=["other-vpc", "foreign-json", "not-json"])
def test_an_object_that_is_not_this_vpcs_revert_information_is_left_alone(emu, revert, content,
                                                                          why):
    revert.write_text(content)
    before = emu.snapshot()
    status, out, err = run(emu, revert, "switch", "peerings")
    assert status == 2 and why in err and out == "", err
    assert revert.read_text() == content and revert.lock_record() is None
    assert emu.snapshot() == before and leftovers(revert) == []


def _killed_holder(emu, revert):
    emu.faults.hold_operation(5, "compute.*", times=1)
    process = start(emu, revert, "switch", "routers")
    assert wait_until(lambda: revert.lock_record() is not None, process), "never locked"
    process.kill()
    process.communicate(timeout=30)
    settle(emu)
    return "pid %d since" % process.pid, "no process %d runs on this host any more" % process.pid


def _foreign_holder(emu, revert):
    revert.server.write(revert.object_name + ".lock", json.dumps(
        {"who": "ci", "host": "runner-7.example", "pid": 4242, "since": "2026-01-01 00:00:00 UTC",
         "command": "tarn_gcp switch routers"}))
    return "pid 4242 since 2026-01-01 00:00:00 UTC on host runner-7.example (ci,", None


def _reused_holder(emu, revert):
    """A lock of this host whose pid now belongs to a later process."""
    revert.server.write(revert.object_name + ".lock", json.dumps(
        {"who": "ci", "host": socket.gethostname(), "pid": os.getpid(),
         "since": "2020-01-01 00:00:00 UTC", "command": "tarn_gcp switch routers"}))
    return ("pid %d since 2020-01-01 00:00:00 UTC" % os.getpid(),
            "process %d on this host started after the lock was taken" % os.getpid())


def _garbage_holder(emu, revert):
    revert.server.write(revert.object_name + ".lock", "not a lock record")
    return "an unknown run (the lock holds not a lock record)", None


@pytest.mark.parametrize("make_lock", [_killed_holder, _foreign_holder, _reused_holder,
                                       _garbage_holder],
                         ids=["killed-here", "other-host", "pid-reused", "not-json"])
def test_a_stale_lock_is_reported_and_unlock_clears_it(emu, revert, make_lock):
    named, stale = make_lock(emu, revert)
    before = emu.snapshot()
    saved = revert.server.read(revert.object_name)
    status, out, err = run(emu, revert, "switch", "peerings")
    if make_lock in (_killed_holder, _reused_holder):
        # the holder certainly gone from this machine: its lock is taken over
        assert status == 0 and err.startswith("tarn_gcp: warning: took over the lock of ")
        assert named in err and stale in err and revert.lock_record() is None
        return
    assert status == 2 and named in err and out == "", err
    assert (stale in err) if stale else ("stale" not in err), err
    assert emu.snapshot() == before and revert.server.read(revert.object_name) == saved
    # Shown, left in place without --yes.
    lock = revert.server.read(revert.object_name + ".lock")
    status, out, err = run(emu, revert, "unlock")
    assert status == 2 and "left in place" in err and named in out
    assert revert.server.read(revert.object_name + ".lock") == lock
    status, out, err = run(emu, revert, "unlock", "--yes")
    assert (status, err) == (0, ""), err
    assert named in out and out.endswith("lock %s.lock removed\n" % revert)
    assert revert.lock_record() is None
    status, out, err = run(emu, revert, "unlock", "--yes")
    assert (status, out) == (0, "revert file %s is not locked: there is no %s.lock\n"
                             % (revert, revert)), err
    status, out, err = run(emu, revert, "switch", "peerings")
    assert (status, err) == (0, ""), out


def _extra_record(revert):
    """Another writer adds a record the run does not know of."""
    saved = json.loads(revert.read_text())
    other = "tarn-transit::transit-a::europe-west1::other-cr"
    saved["cloud_routers"][MKEY] = {other: {}}
    revert.write_text(json.dumps(saved))
    return "cloud_routers/%s/%s would be lost" % (MKEY, other)


def _same_content(revert):
    """Another writer rewrites the same content: a new generation."""
    revert.write_text(revert.read_text())
    return "it was changed in the bucket meanwhile"


@pytest.mark.parametrize("hit,race", [(("GET", READ, 1), _extra_record),
                                      (("POST", REPLACE, 0), _same_content)],
                         ids=["before-the-save-reads", "between-read-and-write"])
def test_an_object_changed_behind_the_lock_is_never_overwritten(emu, revert, proxy, hit, race):
    status, _, err = run(emu, revert, "switch", "peerings")
    assert status == 0, err
    before = emu.snapshot()
    why = []
    method, pattern, after = hit  # a read's first hit is the one before the stage
    proxy.before(method, pattern, lambda: why.append(race(revert)), after=after)
    status, out, err = run(emu, through(proxy, revert), "switch", "routers")
    theirs = revert.read_text()
    assert status == 2, (out, err)
    assert why and why[0] in err and "it is left as it was" in err, err
    assert changed(before, emu.snapshot())  # the stage ran: its record must survive
    copies = local_copies(revert, "refused")
    assert len(copies) == 1 and copies[0] in err
    with open(copies[0]) as handle:
        ours = json.load(handle)
    assert ours["cloud_routers"][MKEY] and ours["peerings"][MKEY]
    assert json.dumps(ours, indent=2) in err  # on standard error too
    assert revert.read_text() == theirs and revert.lock_record() is None


@pytest.mark.parametrize("fault", [
    ("fail", "POST", CREATE, 503),      # the lock's create
    ("lose", "POST", CREATE, 503),      # the lock created, its answer lost
    ("fail", "GET", READ, 429),         # the read before the stage
    ("fail", "POST", REPLACE, 502),     # the save
    ("lose", "POST", REPLACE, 504),     # the save done, its answer lost
    ("fail", "DELETE", UNLOCK, 503),    # the lock's removal
], ids=lambda f: "%s-%s-%d" % (f[0], f[1], f[3]))
def test_transient_storage_failures_are_retried(emu, revert, proxy, fault):
    status, _, err = run(emu, revert, "switch", "peerings")
    assert status == 0, err
    kind, method, pattern, code = fault
    getattr(proxy, kind)(method, pattern, code)
    status, out, err = run(emu, through(proxy, revert), "switch", "routers",
                           storage_delay=QUICK_RETRY)
    assert (status, err) == (0, ""), out
    assert [(m, s) for m, _, s, _ in proxy.injected()] == [(method, code)]
    assert out.splitlines()[-1].endswith("revert information saved to %s" % revert)
    saved = json.loads(revert.read_text())
    assert saved["cloud_routers"][MKEY] and saved["peerings"][MKEY]
    assert revert.lock_record() is None and leftovers(revert) == []


def test_a_save_that_fails_leaves_the_revert_information_here(emu, revert, proxy):
    status, _, err = run(emu, revert, "switch", "peerings")
    assert status == 0, err
    before = revert.read_text()
    proxy.fail("POST", REPLACE, 403)
    status, out, err = run(emu, through(proxy, revert), "switch", "routers")
    assert status == 1, (out, err)
    copies = local_copies(revert, "unsaved")
    assert len(copies) == 1
    assert "cannot save the revert information to %s" % revert in err and copies[0] in err
    with open(copies[0]) as handle:
        ours = json.load(handle)
    assert ours["cloud_routers"][MKEY] and ours["peerings"][MKEY]
    assert json.dumps(ours, indent=2) in err
    assert revert.read_text() == before and revert.lock_record() is None


@pytest.mark.parametrize("how", ["refusing", "silent", "silent-then-SIGTERM"])
def test_a_store_that_stops_answering_at_the_save_leaves_the_revert_information_here(
        emu, revert, proxy, how):
    status, _, err = run(emu, revert, "switch", "peerings")
    assert status == 0, err
    before = revert.read_text()
    answer = threading.Event()
    box = []
    if how == "refusing":
        proxy.fail("GET", READ, 503, times=10 ** 6, after=1)
    else:
        def hang():
            if how.endswith("SIGTERM") and not answer.is_set():
                box[0].send_signal(signal.SIGTERM)
            answer.wait(120)
        proxy.before("GET", READ, hang, times=10 ** 6, after=1)
    # With a minute to go, only the signal ends the wait.
    seconds = "600" if how.endswith("SIGTERM") else "2"
    box.append(start(emu, through(proxy, revert), "switch", "routers",
                     env={"TARN_GCP_STORAGE_DEADLINE": seconds}))
    try:
        out, err = box[0].communicate(timeout=120)
    finally:
        answer.set()
    assert box[0].returncode == 1, (out, err)
    copies = local_copies(revert, "unsaved")
    assert len(copies) == 1 and local_copies(revert, "refused") == []
    assert "cannot save the revert information to %s" % revert in err and copies[0] in err
    with open(copies[0]) as handle:
        ours = json.load(handle)
    assert ours["cloud_routers"][MKEY] and ours["peerings"][MKEY]
    assert revert.read_text() == before and revert.lock_record() is None


@pytest.mark.parametrize("how,status,words", [
    ("silent", 2, "cannot lock revert file %s: "),
    ("silent-then-SIGINT", 130, "warning: cannot lock revert file %s: no answer 3 s after SIGINT"),
])
def test_a_lock_that_gets_no_answer_ends_the_run_before_anything_changes(
        emu, revert, proxy, how, status, words):
    before = emu.snapshot()
    answer = threading.Event()
    box = []

    def hang():  # and never passed on
        if how.endswith("SIGINT"):
            box[0].send_signal(signal.SIGINT)
        answer.wait(120)
        raise ConnectionResetError("dropped")

    proxy.before("POST", CREATE, hang, times=10 ** 6)
    proxy._httpd.handle_error = lambda *_: None  # the dropped requests are meant
    box.append(start(emu, through(proxy, revert), "switch", "peerings",
                     env={"TARN_GCP_STORAGE_DEADLINE": "600" if how.endswith("SIGINT") else "1"}))
    try:
        out, err = box[0].communicate(timeout=120)
    finally:
        answer.set()
    assert box[0].returncode == status and out == "", err
    assert err.startswith("tarn_gcp: " + words % revert) and "unlock --revert" in err, err
    assert len(err.splitlines()) == (1 if status == 2 else 2), err
    assert emu.snapshot() == before and revert.lock_record() is None
    with pytest.raises(FileNotFoundError):
        revert.read_text()


@pytest.mark.parametrize("where,ran", [
    (("POST", CREATE), False),               # while the lock is being created
    (("GET", READ), False),                  # while the object is read before the stage
    (("POST", REPLACE), True),               # while the save is written
    (("DELETE", UNLOCK), True),              # while the lock is removed
], ids=["lock", "read", "save", "unlock"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=lambda s: s.name)
def test_a_signal_at_any_storage_request_leaves_no_lock_and_loses_nothing(
        emu, revert, proxy, where, ran, signum):
    status, _, err = run(emu, revert, "switch", "peerings")
    assert status == 0, err
    before, saved = emu.snapshot(), json.loads(revert.read_text())
    box = []
    proxy.before(*where, lambda: box[0].send_signal(signum))
    box.append(start(emu, through(proxy, revert), "switch", "routers"))
    out, err = box[0].communicate(timeout=120)
    assert box[0].returncode == 128 + signum, (out, err)
    assert "Traceback" not in err and revert.lock_record() is None
    now = json.loads(revert.read_text())
    if ran:
        assert changed(before, emu.snapshot()) and now["cloud_routers"][MKEY]
    else:
        assert emu.snapshot() == before and now == saved and out == ""
    assert leftovers(revert) == []


def test_sigterm_during_a_stage_saves_to_the_bucket_and_restores(emu, revert):
    original = emu.snapshot()
    # Held for seconds: the signal lands in the stage even on a busy machine.
    emu.faults.hold_operation(5, "compute.*", times=2)
    process = start(emu, revert, "switch", "routers")
    assert wait_until(lambda: any(r.http_method == "PATCH" for r in emu.requests), process), \
        "no patch sent"
    process.send_signal(signal.SIGTERM)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 143, (out, err)
    assert out.splitlines()[-1].startswith("switch routers: terminated (SIGTERM), so far")
    assert out.splitlines()[-1].endswith("revert information saved to %s" % revert)
    assert json.loads(revert.read_text())["cloud_routers"][MKEY]
    assert revert.lock_record() is None
    settle(emu)
    status, out, err = run(emu, revert, "restore", "routers")
    assert (status, err) == (0, ""), out
    assert_same(original, emu.snapshot())


def test_the_demo_keeps_its_revert_information_on_the_storage_emulator(gcs_server, tmp_path):
    revert = BucketPath(gcs_server, tmp_path, "demo.json")

    def demo(*args, env):
        return ended(launch("demo", "-q", "--revert", revert, *args, env=env, cwd=tmp_path))

    status, out, err = demo(env=revert.run_env)
    assert (status, err) == (0, ""), out
    assert out.splitlines()[-1].startswith("demo: round trip verified")
    assert json.loads(revert.read_text())["vpc"] == MKEY and revert.lock_record() is None
    status, out, err = demo(env=revert.run_env)
    assert (status, out, err) == (2, "", "tarn_gcp: demo writes a new revert file, and %s "
                                         "exists\n" % revert)
    status, out, err = demo(env={"STORAGE_EMULATOR_HOST": ""})
    assert status == 2 and out == "" and "STORAGE_EMULATOR_HOST" in err


@pytest.mark.parametrize("value,why", [
    ("gs://", "is not a Cloud Storage bucket name"),
    ("gs://ab/revert.json", "is not a Cloud Storage bucket name"),
    ("gs://Tarn-State/revert.json", "is not a Cloud Storage bucket name"),
    ("gs://-tarn/revert.json", "is not a Cloud Storage bucket name"),
    ("gs://tarn-state", "must name an object"),
    ("gs://tarn-state/", "must name an object"),
    ("gs://tarn-state/team/", "must name an object"),
    ("gs://tarn-state/a\nb.json", "holds no control characters"),
    ("gs://tarn-state/team/..", "is not an object name"),
    ("gs://tarn-state/" + "x" * 1020, "is longer than 1019 bytes"),
    ("gs://tarn-state/revert.json", "no Application Default Credentials"),
])
@pytest.mark.parametrize("command", [["switch", "peerings"], ["restore", "routes", "stage1"],
                                     ["unlock", "--yes"]], ids=lambda c: c[0])
def test_a_revert_url_that_is_not_one_is_refused(capsys, monkeypatch, value, why, command):
    monkeypatch.delenv("STORAGE_EMULATOR_HOST", raising=False)
    monkeypatch.setenv("GOOGLE_APPLICATION_CREDENTIALS", "/nonexistent/adc.json")
    status = main(["--emulator-url", "http://127.0.0.1:9", "--revert", value, *command]
                  if command[0] != "unlock" else ["--revert", value, *command])
    captured = capsys.readouterr()
    assert status == 2 and captured.out == ""
    assert captured.err.startswith("tarn_gcp: ") and why in captured.err
    assert captured.err.count("\n") == 1


def test_unlock_of_a_local_revert_file_says_its_lock_ends_with_its_run(capsys, tmp_path):
    from tarn_gcp.revert import LocalRevertStore

    path = str(tmp_path / "revert.json")
    assert main(["--revert", path, "unlock", "--yes"]) == 0
    assert "is not in use" in capsys.readouterr().out and os.listdir(tmp_path) == []
    holder = LocalRevertStore(path)
    holder.lock()  # flock is per open file: this process's second open is refused
    try:
        assert main(["--revert", path, "unlock", "--yes"]) == 2
        assert "is in use by pid %d" % os.getpid() in capsys.readouterr().err
    finally:
        holder.unlock()
