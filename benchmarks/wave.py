"""A migration wave against the emulator's many-spoke topology, with
operations that take time: wall time with several spokes at once against
one at a time and against the wave's lower bound.

    python -m benchmarks.wave                          # 40 spokes, 0.2 s, 8 and 1 at once
    python -m benchmarks.wave --spokes 10 --parallel 8,4,1

Each measurement starts a fresh emulator (``python -m tarn_gcp.emulator
--spokes N --op-seconds S``) in a process of its own and runs ``wave
switch`` and then ``wave restore`` against it, checking that every spoke is
switched (``wave status``, exit 0) and that the restore brings the topology
back exactly.

The lower bound of a wave is the larger of two:

* peerings: Compute runs one peering operation at a time on a network and
  its peers, and every spoke peers with the same transit networks, so the
  peering operations that involve the busiest transit network run back to
  back.  A spoke's switch removes its peering with each transit network in
  two operations (the transit's side, then its own), both involving that
  transit network; the bound is their count on one transit network times
  the operation time.  The count is checked against the peering operations
  the emulator lists afterwards (4 per spoke: 2 per transit network);
* CPU: the processor time the wave needs (the wave process and its worker
  processes, from getrusage of the reaped children, plus the emulator's,
  from /proc) divided by the machine's cores.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

from tarn_gcp.emulator import fleet


def _cpu_of(pid):
    """User plus system seconds of process ``pid`` so far (Linux)."""
    with open("/proc/%d/stat" % pid, "rb") as handle:
        fields = handle.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Emulator:
    def __init__(self, spokes, op_seconds, folder):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "tarn_gcp.emulator", "--port", "0", "--spokes", str(spokes),
             "--op-seconds", str(op_seconds), "--write-plans", folder],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.url = self.process.stdout.readline().strip()
        self.wave = os.path.join(folder, "wave.yaml")

    def service(self):
        from tarn_gcp.emulator import build_service

        return build_service(self.url)

    def snapshot(self):
        """Every network, route and router of the topology, as the
        emulator's own snapshot compares them (ids, times, fingerprints and
        peering details left out, peerings sorted)."""
        service, out = self.service(), {}
        for project in [fleet.TRANSIT_PROJECT] + [fleet.project(i) for i in
                                                  range(1, self.spokes + 1)]:
            for item in service.networks().list(project=project).execute().get("items", []):
                out[item["selfLink"]] = item
            for item in service.routes().list(project=project).execute().get("items", []):
                out[item["selfLink"]] = item
            for scope in service.routers().aggregatedList(project=project).execute().get(
                    "items", {}).values():
                for item in scope.get("routers", []):
                    out[item["selfLink"]] = item
        for item in out.values():
            for key in ("id", "creationTimestamp", "selfLinkWithId", "fingerprint"):
                item.pop(key, None)
            for peering in item.get("peerings", []):
                peering.pop("stateDetails", None)
            item.get("peerings", []).sort(key=lambda p: p["name"])
        return out

    def peering_operations(self):
        service, count = self.service(), 0
        for project in [fleet.TRANSIT_PROJECT] + [fleet.project(i) for i in
                                                  range(1, self.spokes + 1)]:
            for op in service.globalOperations().list(project=project).execute().get(
                    "items", []):
                count += op.get("operationType") in ("removePeering", "addPeering")
        return count

    def close(self):
        self.process.terminate()
        self.process.wait()


def tarn(emulator, *args):
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-m", "tarn_gcp", "--emulator-url", emulator.url,
                           *args], capture_output=True, text=True)
    return done, time.monotonic() - started


def measure(spokes, op_seconds, parallel):
    with tempfile.TemporaryDirectory(prefix="tarn-wave-bench-") as folder:
        emulator = Emulator(spokes, op_seconds, folder)
        emulator.spokes = spokes
        try:
            before = emulator.snapshot()
            cpu = _children_cpu() + _cpu_of(emulator.process.pid)
            done, seconds = tarn(emulator, "wave", "switch", emulator.wave, "--parallel",
                                 str(parallel), "--format", "json")
            cpu = _children_cpu() + _cpu_of(emulator.process.pid) - cpu
            if done.returncode:
                raise SystemExit("wave switch failed (%d): %s" % (done.returncode,
                                                                  done.stderr[-2000:]))
            report = json.loads(done.stdout)
            status, _ = tarn(emulator, "wave", "status", emulator.wave)
            if status.returncode:
                raise SystemExit("wave status after the switch: %s" % status.stdout[-2000:])
            operations = emulator.peering_operations()
            restore, restore_seconds = tarn(emulator, "wave", "restore", emulator.wave,
                                            "--parallel", str(parallel), "--format", "json")
            if restore.returncode or emulator.snapshot() != before:
                raise SystemExit("wave restore did not bring the topology back: %s"
                                 % restore.stderr[-2000:])
        finally:
            emulator.close()
    per_transit = 2 * spokes
    if operations != per_transit * len(fleet.TRANSITS):
        raise SystemExit("expected %d peering operations, the emulator lists %d"
                         % (per_transit * len(fleet.TRANSITS), operations))
    bound_peering = per_transit * op_seconds
    bound_cpu = cpu / (os.cpu_count() or 1)
    return {"parallel": parallel, "seconds": seconds, "restore": restore_seconds,
            "bound_peering": bound_peering, "bound_cpu": bound_cpu,
            "bound": max(bound_peering, bound_cpu), "cpu": cpu,
            "busy": report["busy"], "waited": report["waited"]}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m benchmarks.wave")
    parser.add_argument("--spokes", type=int, default=40)
    parser.add_argument("--op-seconds", type=float, default=0.2)
    parser.add_argument("--parallel", default="8,1",
                        help="comma-separated numbers of spokes at once; the first is "
                             "compared with the last")
    options = parser.parse_args(argv)
    counts = [int(p) for p in options.parallel.split(",")]
    rows = [measure(options.spokes, options.op_seconds, p) for p in counts]
    print("wave of %d spokes, operations of %g s, %d core(s)"
          % (options.spokes, options.op_seconds, os.cpu_count() or 1))
    print("%8s %9s %9s %10s %9s %9s %8s %10s %9s" % (
        "parallel", "switch s", "restore s", "peering lb", "cpu lb", "cpu s", "x bound",
        "refusals", "lock wait"))
    for row in rows:
        print("%8d %9.1f %9.1f %10.1f %9.1f %9.1f %8.2f %10d %9.1f" % (
            row["parallel"], row["seconds"], row["restore"], row["bound_peering"],
            row["bound_cpu"], row["cpu"], row["seconds"] / row["bound"], row["busy"],
            row["waited"]))
    if len(rows) > 1:
        print("speed-up of %d at once over %d at once: %.1fx" % (
            rows[0]["parallel"], rows[-1]["parallel"], rows[-1]["seconds"] / rows[0]["seconds"]))


if __name__ == "__main__":
    main()
