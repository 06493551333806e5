"""``tarn_gcp wave switch|restore|status WAVE.yaml``: many spokes migrated
in one run.

Each spoke runs ``switch all`` (or ``restore all``) with its own plan and
revert file, in a worker process of its own (the module's run state is per
process), at most ``parallel`` at once.  What spokes share is changed one
spoke at a time, across workers and machines, through locks kept beside
the revert files (tarn_gcp.revert.shared):

* a peering change, or a route change in a network peered with others,
  holds the locks of its networks until its operation is DONE (the
  transport takes them, see tarn_gcp.cloud.serialise);
* a spoke's router step holds the locks of every router its plan names,
  taken in one order, from before it reads them until its last patch is
  done, and records that it changed them after the spokes before it.

``wave restore`` restores a spoke only after every spoke of the wave that
changed one of its routers after it, so that each restore finds its
routers as its switch left them; spokes that share no router run side by
side.  Re-running a wave carries on where it stopped: each spoke's steps
judge what is left to do.  Ctrl-C or SIGTERM stops every worker at its
next safe point, its revert information saved.
"""

from __future__ import annotations

import dataclasses
import json
import logging
import os
import select
import signal
import sys
import time
from typing import Any, Optional

from tarn_gcp.cloud.compute import api_failure
from tarn_gcp.errors import CliError, RunFailed
from tarn_gcp.plan.status import (DRIFTED, PARTIAL, STATES, compare, plan_router,
                                   switched_bgp)
from tarn_gcp.plan.wave import Wave, plan_routers, restore_order
from tarn_gcp.revert.shared import SharedPlace, router_key_lock, router_lock

from .status import read_revert

HELP = "migrate many spokes at once: switch, restore or show the status of a wave"
EXAMPLES = """\
  tarn_gcp wave switch wave.yaml --yes
  tarn_gcp wave restore wave.yaml --parallel 8
  tarn_gcp wave status wave.yaml --format json
  tarn_gcp --emulator-url http://127.0.0.1:8085/compute/v1/ wave switch plans/wave.yaml"""
ACTION_HELP = {
    "switch": "run switch all for every spoke, at most PARALLEL at once",
    "restore": "run restore all for every spoke, after the spokes that changed its routers "
               "after it",
    "status": "one row per spoke and stage: not started, switched, restored, partial or "
              "drifted",
}
# Seconds between two redraws of the progress table, and between two looks
# at the workers when nothing happens.
_REDRAW = 0.2
_TICK = 0.05


class Member:
    """A spoke's part in the wave, in its worker process: the shared locks
    and router orders, and the events the wave shows."""

    def __init__(self, location, key, events):
        self.place = SharedPlace(location)
        self.key = key
        self.events = events      # a file descriptor the wave reads
        self.http = None

    def event(self, kind, text=""):
        line = json.dumps({"event": kind, "text": text}) + "\n"
        try:
            os.write(self.events, line.encode("utf-8"))
        except OSError:
            pass  # the wave is gone; the run goes on and saves

    def attach(self, run):
        from tarn_gcp.cloud.serialise import NetworkLocks

        http = getattr(run.target, "http", None)
        if http is not None and hasattr(http, "serialise"):
            http.serialise = NetworkLocks(self.place, self.key)
            self.http = http

    def router_locks(self, run):
        return self.place.holding([router_lock(*r) for r in plan_routers(run.plan)])

    def orders(self, rkey):
        return self.place.router_order(router_key_lock(rkey))

    def routers_changing(self, run, action, key, changes):
        """Records, before the patches, that the spoke changes these
        routers after the spokes that changed them before (locks held)."""
        if action != "switch":
            return
        for change in changes:
            if change.kind != "router":
                continue
            project, network, region = change.where.split("/")
            router = run.service.routers().get(project=project, region=region,
                                               router=change.name).execute()
            before = router.get("bgp") or {}
            entry = plan_router(run.plan, "%s::%s::%s::%s" % (project, network, region,
                                                               change.name))
            left = switched_bgp(before, entry or {}) or before
            self.place.record_change(router_lock(project, region, change.name),
                                     "%s/%s/%s" % (project, region, change.name),
                                     key, before, left)

    def finish(self):
        busy = getattr(self.http, "busy", 0) if self.http is not None else 0
        self.event("end", json.dumps({"waited": self.place.waited, "busy": busy}))


@dataclasses.dataclass(eq=False)
class Worker:
    spoke: Any
    pid: int = 0
    events: int = -1
    buffer: bytes = b""
    step: str = "starting"
    started: float = 0.0
    status: Optional[int] = None
    error: str = ""
    routers_done: bool = False  # a restore past its router step
    waited: float = 0.0
    busy: int = 0
    log_at: int = 0


def _log_folder(wave):
    if not wave.revert.startswith("gs://"):
        return os.path.join(wave.revert, "logs")
    stem = os.path.splitext(os.path.basename(wave.path))[0]
    return os.path.join(os.path.dirname(os.path.abspath(wave.path)), stem + "-logs")


def _argv(run, spoke, action):
    options = run.options
    argv = []
    if options.emulator_url:
        argv += ["--emulator-url", options.emulator_url]
    if options.dry_run:
        argv.append("--dry-run")
    argv += ["-v"] * (options.verbose or 0)
    argv += ["--plan", spoke.plan.path, "--revert", spoke.revert, action, "all", "--yes"]
    if action == "restore" and getattr(options, "force", False):
        argv.append("--force")
    return argv


def _start(run, wave, worker, action, logs):
    """Forks the worker of one spoke."""
    read, write = os.pipe()
    log_path = os.path.join(logs, worker.spoke.name + ".log")
    try:
        worker.log_at = os.path.getsize(log_path)
    except OSError:
        worker.log_at = 0
    argv = _argv(run, worker.spoke, action)
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the worker
        status = 1
        try:
            os.close(read)
            for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(signum, signal.SIG_DFL)
            fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            os.dup2(fd, 1)
            os.dup2(fd, 2)
            os.close(fd)
            sys.stdout = os.fdopen(1, "w", buffering=1)
            sys.stderr = os.fdopen(2, "w", buffering=1)
            sys.stdout.write("--- %s %s (pid %d)\n" % (
                time.strftime("%Y-%m-%d %H:%M:%S"), " ".join(["tarn_gcp"] + argv), os.getpid()))
            from tarn_gcp.cli.console import ROOT
            from tarn_gcp.cli.run import Run

            # the wave's own console is not this run's
            logging.getLogger(ROOT).handlers.clear()

            member = Member(wave.revert, worker.spoke.key, write)
            Run.wave = member
            status = run.main(argv)
            member.finish()
            sys.stdout.flush()
            sys.stderr.flush()
        finally:
            os._exit(status)
    os.close(write)
    os.set_blocking(read, False)
    worker.pid, worker.events, worker.started = pid, read, time.monotonic()
    worker.step = "starting"


def _read_events(worker):
    try:
        chunk = os.read(worker.events, 65536)
    except BlockingIOError:
        return
    except OSError:
        chunk = b""
    if not chunk:
        os.close(worker.events)
        worker.events = -1
        return
    worker.buffer += chunk
    *lines, worker.buffer = worker.buffer.split(b"\n")
    for line in lines:
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if event.get("event") == "step":
            worker.step = event.get("text", "")
            # restore all puts the routers back first
            worker.routers_done = worker.routers_done or worker.step.startswith(
                ("restore routes", "restore peerings"))
        elif event.get("event") == "end":
            try:
                data = json.loads(event.get("text") or "{}")
                worker.waited, worker.busy = float(data["waited"]), int(data["busy"])
            except (ValueError, KeyError, TypeError):
                pass


def _last_error(path, offset):
    """The last error line the worker wrote to its log."""
    try:
        with open(path, "rb") as handle:
            handle.seek(offset)
            lines = handle.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return ""
    for line in reversed(lines):
        if line.startswith("tarn_gcp: "):
            return line[len("tarn_gcp: "):]
    return lines[-1] if lines else ""


class Progress:
    """A live table on a terminal, else one line per spoke event."""

    def __init__(self, label, total, live):
        self.label = label
        self.total = total
        self.live = live
        self.drawn = 0
        self.last = 0.0

    def line(self, text):
        self.clear()
        sys.stdout.write("%s: %s\n" % (self.label, text))
        sys.stdout.flush()

    def clear(self):
        if self.live and self.drawn:
            sys.stdout.write("\x1b[%dF\x1b[J" % self.drawn)
            self.drawn = 0

    def table(self, running, done, failed, force=False):
        if not self.live:
            return
        now = time.monotonic()
        if not force and now - self.last < _REDRAW:
            return
        self.last = now
        self.clear()
        rows = ["%s: %d/%d spoke(s) done, %d failed, %d running" % (
            self.label, done, self.total, failed, len(running))]
        width = max([len(w.spoke.name) for w in running] + [5])
        for worker in running:
            rows.append("  %-*s  %-28s %5.1fs" % (width, worker.spoke.name, worker.step,
                                                   now - worker.started))
        sys.stdout.write("\n".join(rows) + "\n")
        sys.stdout.flush()
        self.drawn = len(rows)


class _Stop:
    signum = None


def _handler(workers):
    def handle(signum, frame):
        if _Stop.signum is None:
            _Stop.signum = signum
        for worker in workers:
            if worker.status is None and worker.pid:
                try:
                    os.kill(worker.pid, signum)
                except OSError:
                    pass
    return handle


def _confirm(run, wave, action):
    if run.dry_run or run.uses_emulator or getattr(run.options, "yes", False):
        return
    if not sys.stdin.isatty():
        raise CliError("wave %s against Google Cloud needs --yes when there is no terminal to "
                       "confirm it" % action)
    sys.stdout.write("%s %d spoke(s) in Google Cloud? [y/N] " % (action, len(wave.spokes)))
    sys.stdout.flush()
    if sys.stdin.readline().strip().lower() not in ("y", "yes"):
        raise CliError("nothing changed: not confirmed")


def _orders(place, wave):
    names = {router_lock(*r) for spoke in wave.spokes for r in plan_routers(spoke.plan)}
    return {name: place.router_order(name) for name in sorted(names)}


def run_wave(run, wave, action):
    """Runs ``action`` (switch, restore) for every spoke; returns the exit
    status."""
    if run.options.emulator:
        raise CliError("wave needs an emulator its workers can share: run python -m "
                       "tarn_gcp.emulator and use --emulator-url")
    place = SharedPlace(wave.revert)
    if place.local:
        try:
            os.makedirs(wave.revert, exist_ok=True)
        except OSError as exc:
            raise CliError("cannot use revert folder %s: %s" % (wave.revert,
                                                                exc.strerror or exc)) from None
    logs = _log_folder(wave)
    try:
        os.makedirs(logs, exist_ok=True)
    except OSError as exc:
        raise CliError("cannot write the logs to %s: %s" % (logs, exc.strerror or exc)) from None
    waits = {}
    if action == "restore":
        waits = restore_order(wave.spokes, _orders(place, wave))
    _confirm(run, wave, action)
    _warm(run)
    label = "wave %s" % action
    workers = [Worker(spoke) for spoke in wave.spokes]
    if action == "restore":
        for worker in workers:
            if _nothing_recorded(worker.spoke):
                worker.status, worker.routers_done = 0, True
                worker.error = "nothing to restore: no revert information"
    by_key = {w.spoke.key: w for w in workers}
    progress = Progress(label, len(workers),
                        sys.stdout.isatty() and run.format == "text" and not run.options.quiet)
    started = time.monotonic()
    _Stop.signum = None
    previous = {s: signal.signal(s, _handler(workers))
                for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    try:
        _loop(run, wave, action, workers, by_key, waits, logs, progress)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        progress.clear()
    return _conclude(run, label, workers, time.monotonic() - started, logs)


def _nothing_recorded(spoke):
    """Whether a spoke has no revert file and no journal (never switched)."""
    from tarn_gcp.revert import open_store

    store = open_store(spoke.revert)
    try:
        return store.read() is None and not store.journal_read()
    except (OSError, CliError):
        return False  # its run says why


def _warm(run):
    """Loads in this process what every worker needs, once."""
    if run.options.emulator_url:
        from tarn_gcp.emulator import build_service

        build_service(run.options.emulator_url)  # parses Compute's discovery document


def _loop(run, wave, action, workers, by_key, waits, logs, progress):
    pending = [w for w in workers if w.status is None]
    running = []
    done = failed = 0
    while pending or running:
        if _Stop.signum is None:
            for worker in list(pending):
                if len(running) >= wave.parallel:
                    break
                # the spokes that changed its routers after it must have
                # put them back first
                before = [by_key[k] for k in waits.get(worker.spoke.key, ())
                          if not by_key[k].routers_done]
                stuck = [b for b in before if b.status is not None]
                if stuck:
                    pending.remove(worker)
                    worker.status = 1
                    worker.error = ("not started: its routers must first be restored for %s, "
                                    "which failed" % ", ".join(b.spoke.name for b in stuck))
                    failed += 1
                    progress.line("%s: %s" % (worker.spoke.name, worker.error))
                    continue
                if before:
                    continue
                pending.remove(worker)
                _start(run, wave, worker, action, logs)
                running.append(worker)
                if not progress.live:
                    progress.line("%s: started" % worker.spoke.name)
        elif pending:
            for worker in pending:
                worker.error = "not started: the wave was stopped"
            pending = []
        if pending and not running:
            # each waits for another: their routers were changed in
            # different orders (a spoke switched again in part)
            for worker in pending:
                worker.status = 1
                worker.error = ("not started: it and %s changed shared routers in different "
                                "orders (a router step failed half-way and was completed "
                                "later); restore them one at a time, forcing what is "
                                "refused" % ", ".join(
                                    w.spoke.name for w in pending if w is not worker))
                failed += 1
                progress.line("%s: %s" % (worker.spoke.name, worker.error))
            pending = []
        fds = [w.events for w in running if w.events >= 0]
        try:
            ready, _, _ = select.select(fds, [], [], _TICK) if fds else ([], [], [])
            if not fds:
                time.sleep(_TICK)
        except InterruptedError:
            ready = []
        for worker in running:
            if worker.events in ready:
                step = worker.step
                _read_events(worker)
                if worker.step != step and not progress.live:
                    progress.line("%s: %s" % (worker.spoke.name, worker.step))
        for worker in list(running):
            try:
                pid, code = os.waitpid(worker.pid, os.WNOHANG)
            except ChildProcessError:
                pid, code = worker.pid, 1 << 8
            if pid == 0:
                continue
            while worker.events >= 0:
                _read_events(worker)
            running.remove(worker)
            worker.status = os.waitstatus_to_exitcode(code)
            if worker.status < 0:
                worker.status = 128 - worker.status
            log_path = os.path.join(logs, worker.spoke.name + ".log")
            if worker.status == 0:
                worker.routers_done = True
                done += 1
                progress.line("%s: done in %.1fs" % (worker.spoke.name,
                                                     time.monotonic() - worker.started))
            else:
                failed += 1
                worker.error = _last_error(log_path, worker.log_at)
                progress.line("%s: failed (exit %d): %s; log %s" % (
                    worker.spoke.name, worker.status, worker.error, log_path))
        progress.table(running, done, failed)


def _conclude(run, label, workers, seconds, logs):
    ok = [w for w in workers if w.status == 0]
    bad = [w for w in workers if w.status not in (None, 0)]
    left = [w for w in workers if w.status is None]
    for worker in bad:
        run.console.summary("%s: %s failed (exit %d): %s" % (
            label, worker.spoke.name, worker.status, worker.error))
    for worker in ok:
        if worker.error:
            run.console.summary("%s: %s: %s" % (label, worker.spoke.name, worker.error))
    for worker in left:
        run.console.summary("%s: %s %s" % (label, worker.spoke.name, worker.error))
    waited = sum(w.waited for w in workers)
    busy = sum(w.busy for w in workers)
    run.document = {"spokes": [{"vpc": w.spoke.key, "revert": w.spoke.revert,
                                "status": w.status, "error": w.error or None,
                                "waited": round(w.waited, 3), "busy": w.busy}
                               for w in workers],
                    "seconds": round(seconds, 3), "waited": round(waited, 3), "busy": busy}
    run.console.summary(
        "%s: %d of %d spoke(s) done, %d failed, %d not started in %.1fs; %.1fs waiting for "
        "locks, %d \"in progress\" refusal(s) met; logs in %s" % (
            label, len(ok), len(workers), len(bad), len(left), seconds, waited, busy, logs))
    if _Stop.signum is not None:
        from tarn_gcp import interrupts

        raise interrupts.stop_for(_Stop.signum)
    return 1 if bad else 0


# ------------------------------------------------------------ status

def wave_status(run, wave):
    """One row per spoke and stage; exit status 1 when a stage is partial
    or drifted (or a spoke cannot be read)."""
    place = SharedPlace(wave.revert)
    orders = _orders(place, wave)

    def order_of(rkey):
        return orders.get(router_key_lock(rkey))

    documents, status = [], 0
    for spoke in wave.spokes:
        run.plan = spoke.plan
        try:
            run.options.revert = spoke.revert
            info = read_revert(run, spoke.key)
            document = compare(run.service, spoke.plan, spoke.key, info, orders=order_of)
        except (CliError, RunFailed) as exc:
            document = {"vpc": spoke.key, "error": str(exc), "stages": []}
            status = 1
        except Exception as exc:
            document = {"vpc": spoke.key, "error": api_failure(exc), "stages": []}
            status = 1
        document["revert"] = spoke.revert
        documents.append(document)
        if {s["state"] for s in document["stages"]} & {PARTIAL, DRIFTED}:
            status = 1
    run.document = {"spokes": documents}
    if run.format == "text":
        width = max(len(s.name) for s in wave.spokes)
        counts = {}
        for document in documents:
            name = document["vpc"].replace("::", ".")
            if document.get("error"):
                run.console.summary("%-*s  cannot tell: %s" % (width, name, document["error"]))
            for stage in document["stages"]:
                counts[stage["state"]] = counts.get(stage["state"], 0) + 1
                bad = [i for i in stage["items"] if i["state"] in (PARTIAL, DRIFTED)]
                run.console.summary("%-*s  %-16s %s%s" % (
                    width, name, stage["stage"], stage["state"],
                    "".join("\n    %s %s: %s: %s" % (i["kind"], i["name"], i["state"],
                                                    i["detail"]) for i in bad)))
        run.console.summary("wave status: %d spoke(s): %s" % (len(documents), ", ".join(
            "%d %s" % (counts[s], s) for s in STATES if s in counts) or "no stage"))
    return status


def wave_command(run, options, main):
    """``main``: the command line's entry point, which runs each spoke."""
    run.main = main
    wave = Wave.load(options.wave, options.revert, options.parallel)
    if options.action == "status":
        return wave_status(run, wave)
    return run_wave(run, wave, options.action)
