"""``python -m tarn_gcp`` in processes of its own: a restore in a later
process from the revert file, bad input without a traceback, the demo."""

import os
import subprocess
import sys

import tarn_gcp

from test_cli_support import KEY, _cli_emulator, emu, read_json  # noqa: F401

SRC = os.path.dirname(os.path.dirname(os.path.abspath(tarn_gcp.__file__)))


def tarn(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=SRC)
    return subprocess.run([sys.executable, "-m", "tarn_gcp", *map(str, args)], env=env,
                          cwd=cwd, capture_output=True, text=True, timeout=120)


def test_a_later_process_restores_from_the_revert_file(emu, tmp_path):
    stages = [["peerings"], ["routes", "stage1"], ["routers"]]
    revert = tmp_path / "revert.json"
    original = emu.snapshot()
    for stage in stages:
        done = tarn("--emulator-url", emu.url, "--revert", revert, "switch", *stage)
        assert done.returncode == 0, done.stderr
    assert emu.snapshot() != original
    saved = read_json(revert)
    assert KEY in saved["cloud_routers"] and KEY in saved["manage_routes"]["stage1"]
    for stage in reversed(stages):
        done = tarn("--emulator-url", emu.url, "--revert", revert, "restore", *stage)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines()[-1].startswith("restore " + stage[0])
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
