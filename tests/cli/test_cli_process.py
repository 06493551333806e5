"""``python -m tarn_gcp`` in processes of its own: a restore in a later
process from the revert file (processes forked by testing.launcher), and in
fresh interpreters bad input without a traceback, the demo, and revert
files in places that fail a save or need care (a symbolic link, a
read-only folder, a full disk, the left-overs of a killed run)."""

import http.server
import json
import os
import resource
import threading

import pytest

from tarn_gcp.res.Globals import Globals

from test_cli_support import KEY, read_json
from testing.emulators import ended, launch, run, tarn


def test_a_later_process_restores_from_the_revert_file(emu, tmp_path):
    stages = [["peerings"], ["routes", "stage1"], ["routers"]]
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    for stage in stages:
        status, out, err = run(emu, revert, "switch", *stage)
        assert status == 0, err
    assert emu.snapshot() != original
    saved = read_json(revert)
    assert KEY in saved["cloud_routers"] and KEY in saved["manage_routes"]["stage1"]
    for stage in reversed(stages):
        status, out, err = run(emu, revert, "restore", *stage)
        assert status == 0, err
        assert out.splitlines()[-1].startswith("restore " + stage[0])
    assert emu.snapshot() == original


def test_bad_input_in_a_process_is_one_line_without_traceback(tmp_path):
    plan = tmp_path / "plan.yaml"
    plan.write_text("project_id: tarn-demo\n")
    done = tarn("--emulator", "--plan", plan, "switch", "routes", "stage1")
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.splitlines() == [
        "tarn_gcp: plan %s: lacks 'vpc_name', which switch routes needs" % plan]


def test_help_lists_the_commands():
    done = tarn("--help")
    assert done.returncode == 0
    for command in ("discover", "switch", "restore", "cidrs", "demo", "example-plan"):
        assert command in done.stdout


def test_the_demo_runs_the_round_trip(tmp_path):
    done = tarn("demo", cwd=tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1].startswith("demo: round trip verified: ")
    assert "  - peering spoke-to-transit-a of tarn-demo/spoke-vpc (to tarn-transit/transit-a, " \
           "ACTIVE)" in lines
    assert any(line.startswith("  + route tarn-demo/tsr-") for line in lines)
    assert any(line.startswith("  ~ router tarn-transit/europe-west1/transit-a-cr-euw1 "
                               "advertises 10.10.0.0/16") for line in lines)
    assert os.listdir(tmp_path) == []


def _drop_capabilities():
    """In the child before exec: an empty capability bounding set, so that
    a root process obeys file permissions like any other."""
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    for cap in range(64):
        if libc.prctl(24, cap, 0, 0, 0) != 0:        # PR_CAPBSET_DROP
            break


def _may_drop_capabilities():
    """Whether this process has CAP_SETPCAP (needed to drop the others)."""
    with open("/proc/self/status") as status:
        caps = [line.split()[1] for line in status if line.startswith("CapEff:")]
    return bool(caps and int(caps[0], 16) & (1 << 8))


def _file_limit(size):
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


def _symlink(work):
    (work / "data").mkdir()
    real = work / "data" / "real.json"
    real.write_text(json.dumps(EMPTY))
    real.chmod(0o644)
    (work / "revert.json").symlink_to(os.path.join("data", "real.json"))


def _read_only(work):
    (work / "ro").mkdir()
    (work / "ro").chmod(0o555)


def _leftovers(work):
    (work / "revert.json").write_text(json.dumps(EMPTY))
    for name in (".revert.json.saving-k3j4h5x9.tmp", ".revert.json.ab12cd34.tmp",
                 ".other.json.saving-k3j4h5x9.tmp"):
        (work / name).write_text('{"peerings": ')
    # The lock file of a run that died: no process holds it.
    (work / "revert.json.lock").write_text("pid 999999\nhost elsewhere\nsince 2026-01-01\n")


RKEY_A = "tarn-transit::transit-a::europe-west1::transit-a-cr-euw1"
RKEY_B = "tarn-transit::transit-b::us-central1::transit-b-cr-usc1"
EMPTY = {"vpc": KEY, "peerings": {}, "manage_routes": {}, "cloud_routers": {}}

# (id, set-up of the folder, revert path, child set-up, status, files after, the last
# line of standard error or None)
PLACES = [
    ("symlink", _symlink, "revert.json", None, 0, ["data", "data/real.json", "revert.json"],
     None),
    ("read-only folder", _read_only, "ro/revert.json", _drop_capabilities, 2, ["ro"],
     "is not writable"),
    # a full disk refuses the journal first: nothing is changed
    ("full disk", lambda work: None, "revert.json", _file_limit(256), 1, [],
     "cannot save the revert information to {revert} (File too large); "
     "it is on standard error above; switch routers failed before: JournalUnwritable: cannot "
     "write the journal before a change, so it was not sent: File too large"),
    ("full disk, file kept", lambda work: (work / "revert.json").write_text(json.dumps(EMPTY)),
     "revert.json", _file_limit(256), 1, ["revert.json"], "it is on standard error above; "
     "switch routers failed before: JournalUnwritable: cannot write the journal"),
    ("left-overs of a killed save", _leftovers, "revert.json", None, 0,
     [".other.json.saving-k3j4h5x9.tmp", "revert.json"], None),
]


@pytest.mark.parametrize("setup,where,child,status,files,error", [p[1:] for p in PLACES],
                         ids=[p[0] for p in PLACES])
def test_where_the_revert_file_lives(emu, tmp_path, setup, where, child, status, files, error):
    if child is _drop_capabilities and os.geteuid() == 0 and not _may_drop_capabilities():
        pytest.skip("root here cannot give up its capabilities, and writes anywhere")
    work = tmp_path / "work"
    work.mkdir()
    setup(work)
    before = {p: p.read_bytes() for p in work.rglob("*") if p.is_file()}
    original = emu.snapshot()
    revert = work / where
    done = tarn("--emulator-url", emu.url, "--revert", revert, "switch", "routers",
                env={"PYTHONDONTWRITEBYTECODE": "1"}, preexec_fn=child)
    assert done.returncode == status, done.stderr
    assert sorted(str(p.relative_to(work)) for p in work.rglob("*")) == files
    assert (emu.snapshot() == original) == (status == 2 or "journal" in (error or ""))
    if status == 0:
        saved = Globals.loadRevertInfo(revert.resolve())
        assert set(saved["cloud_routers"][KEY]) == {RKEY_A, RKEY_B}
        assert revert.is_symlink() == (setup is _symlink)
        if setup is _symlink:
            assert os.readlink(revert) == os.path.join("data", "real.json")
            assert (work / "data" / "real.json").stat().st_mode & 0o777 == 0o644
        return
    last = done.stderr.splitlines()[-1]
    assert last.startswith("tarn_gcp: ") and error.format(revert=revert) in last
    assert {p: p.read_bytes() for p in work.rglob("*") if p.is_file()} == before
    if status == 1:
        # The revert information that could not be saved, on standard error.
        shown = json.loads(done.stderr[:done.stderr.rindex("\ntarn_gcp: ")])
        # the stage stopped at its first patch, the router recorded before it
        assert set(shown["cloud_routers"][KEY]) == {RKEY_A}


def _broken_stdout():
    """In the child before exec: standard output a pipe nobody reads."""
    read, write = os.pipe()
    os.dup2(write, 1)
    os.close(read)
    os.close(write)


@pytest.mark.parametrize("args", [["discover"], ["switch", "routers"]], ids=lambda a: a[0])
def test_a_reader_that_went_away_costs_one_line_and_status_1(emu, tmp_path, args):
    revert = tmp_path / "revert.json"
    extra = ["--revert", revert] if args[0] == "switch" else []
    done = tarn("--emulator-url", emu.url, *extra, *args, preexec_fn=_broken_stdout)
    assert done.returncode == 1
    assert done.stderr.splitlines() == ["tarn_gcp: standard output was closed before the run "
                                        "ended; what it wrote after that was dropped"]
    if extra:  # the stage went on and saved what it changed
        assert set(read_json(revert)["cloud_routers"][KEY]) == {RKEY_A, RKEY_B}


# (answer to every request, command): no JSON object, or one with no network in it
GARBAGE = [(body, args) for body in (b"[]", b"null", b"{not json")
           for args in (["discover"], ["cidrs", "europe-west1"], ["switch", "routers"],
                        ["status"])] + [
    (b'{"items": 5}', args) for args in (["discover"], ["cidrs", "europe-west1"],
                                         ["switch", "routers"])]


@pytest.mark.parametrize("body,args", GARBAGE, ids=["%s-%s" % (a[0], b.decode())
                                                    for b, a in GARBAGE])
def test_an_emulator_url_answering_garbage_ends_in_one_line_and_status_1(tmp_path, body, args):
    class Garbage(http.server.BaseHTTPRequestHandler):
        def log_message(self, *_):
            pass

        def do_GET(self):
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        do_HEAD = do_POST = do_PATCH = do_DELETE = do_GET

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Garbage)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    revert = tmp_path / "revert.json"
    if args[0] == "status":
        revert.write_text(json.dumps(dict(EMPTY, cloud_routers={KEY: {RKEY_A: {}}})))
    extra = ["--revert", revert] if args[0] in ("switch", "status") else []
    try:
        status, _, err = ended(launch(
            "--emulator-url", "http://127.0.0.1:%d/compute/v1/" % server.server_port,
            *extra, *args))
    finally:
        server.shutdown()
        server.server_close()
    assert status == 1, err
    assert len(err.splitlines()) == 1 and err.startswith("tarn_gcp: cannot ")
    assert "Error" not in err, err
    assert os.listdir(tmp_path) == (["revert.json"] if args[0] == "status" else [])
