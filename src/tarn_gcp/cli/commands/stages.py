"""The stage commands: ``switch`` and ``restore`` of the peerings, of a
route stage and of the Cloud Routers, each saving what it changed (or
would change) to the revert information."""

from __future__ import annotations

import contextlib
import copy
import dataclasses
import logging
import sys
from typing import Any, Optional

from tarn_gcp import interrupts
from tarn_gcp.cli.commands.plan import before_switch, show_reach
from tarn_gcp.cli.console import tracebacks_to_log
from tarn_gcp.cloud.compute import api_failure, gcplib, get_network
from tarn_gcp.cloud.operations import RouterPatches
from tarn_gcp.cloud.state import run_state
from tarn_gcp.errors import CliError, PreflightFailed, RunFailed, SaveFailed
from tarn_gcp.plan.status import PARTIAL, ROUTE_MARK
from tarn_gcp.plan.steps import (get_record, judge, merge_record, narrow_plan, narrow_record,
                                 record_path, set_record)
from tarn_gcp.revert import RevertFile, dump, new_revert_info, router_label
from tarn_gcp.revert.document import held_in
from tarn_gcp.revert.journal import JournalUnwritable

log = logging.getLogger("tarn_gcp.cli")

# (action, target): the help of the command and its examples.
HELP = {
    ("switch", None): "run a migration stage",
    ("restore", None): "put back what a stage changed",
    (None, "peerings"): "%s: the peerings between the VPC and the transit VPCs",
    (None, "routes"): "%s: the static routes of a stage of manage_routes",
    (None, "routers"): "%s: the advertisements of the transit Cloud Routers",
    (None, "all"): "%s: every stage in order (restore: in reverse), after one preflight",
}
EXAMPLES = {
    "switch": """\
  tarn_gcp --plan plan.yaml --revert revert.json switch peerings
  tarn_gcp --plan plan.yaml --revert revert.json switch routes stage1
  tarn_gcp --plan plan.yaml --revert gs://my-bucket/team/revert.json switch routers --dry-run""",
    "restore": """\
  tarn_gcp --plan plan.yaml --revert revert.json restore routers
  tarn_gcp --plan plan.yaml --revert revert.json restore routes stage1
  tarn_gcp --plan plan.yaml --revert revert.json restore peerings""",
}
TARGET_EXAMPLES = {
    "all": """\
  tarn_gcp --plan plan.yaml --revert revert.json %s all --dry-run
  tarn_gcp --plan plan.yaml --revert revert.json %s all --yes""",
    "peerings": """\
  tarn_gcp --plan plan.yaml --revert revert.json %s peerings
  tarn_gcp --emulator-url http://127.0.0.1:8085/compute/v1/ --revert revert.json %s peerings""",
    "routes": """\
  tarn_gcp --plan plan.yaml --revert revert.json %s routes stage1
  tarn_gcp --plan plan.yaml --revert revert.json %s routes stage1 --dry-run""",
    "routers": """\
  tarn_gcp --plan plan.yaml --revert revert.json %s routers
  tarn_gcp --plan plan.yaml --revert gs://my-bucket/team/revert.json %s routers -v""",
}

# The module's entry point of each stage.
_ENTRY = {"peerings": "managePeerings", "routes": "manageSwitchRoute",
          "routers": "manageCloudRouterAdvertisedRoute"}


def check_stage_plan(run, action, target, stage):
    """Checks that the plan holds what ``action`` of ``target`` reads."""
    command = "%s %s" % (action, target)
    plan = run.plan
    plan.vpc_key(command)
    if target == "peerings" and action == "switch":
        plan.transit_vpcs(command)
    elif target == "routers" and action == "switch":
        plan.transit_vpcs(command, with_routers=True)
    elif target == "routes":
        if action == "switch":
            plan.stage_config(stage, command)
        else:
            routes = plan.manage_routes(command)
            if stage not in routes:
                plan.unknown_stage(stage)


@dataclasses.dataclass(eq=False)
class Stage:
    """One stage or restore: prepares Globals and the revert information,
    runs the entry point, saves what it recorded and sums it up.  With
    ``carry`` and no revert file, the revert information of the stages
    before (in memory) goes on."""

    run: Any
    action: str
    target: str
    stage: Optional[str] = None
    revert: Any = None
    carry: bool = False
    force: bool = False       # restore over what changed since the switch
    keep_lock: bool = False   # the revert file stays locked for the steps after

    @property
    def label(self):
        return "%s %s%s" % (self.action, self.target, " " + self.stage if self.stage else "")

    def prepare(self):
        """Checks everything that can be checked before a request is made,
        and takes the revert file for this run; CliError on bad input (the
        revert file is then given back)."""
        check_stage_plan(self.run, self.action, self.target, self.stage)
        self.key = self.run.plan.vpc_key(self.label)
        if self.revert is not None:
            self.revert.vpc_key = self.key
            self.revert.check_writable()
            # Held from before the file is read until after it is saved.
            self.revert.lock()
            try:
                # a restore needs a revert file, or the journal of a run
                # killed before it saved one
                entries = self.revert.journal_entries()
                self.info = self.revert.load(required=self.action == "restore" and not entries)
                self._recover(entries)
                self.judge()
            except BaseException:
                self.revert.unlock()
                raise
        else:
            from tarn_gcp.res.Globals import Globals

            if self.carry:
                # The revert information of the stages before, in memory.
                self.info = Globals.getRevertInfo()
            else:
                self.info = new_revert_info(self.key)
                Globals.setRevertInfo(self.info)
            self.judge()

    def judge(self):
        """Where the step stands and what it will change, from read requests
        only; PreflightFailed (nothing changed) when the plan or the revert
        information does not hold against the live network."""
        try:
            self.judgement = judge(self.run.service, self.run.plan, self.key, self.info,
                                   self.action, self.target, self.stage, self.force,
                                   orders=self.run.wave and self.run.wave.orders)
        except (CliError, RunFailed):
            raise
        except Exception as exc:
            raise RunFailed("cannot read the network before the first change of %s: %s"
                            % (self.label, api_failure(exc))) from exc
        problems = self.judgement.findings.problems
        if problems:
            # the plan's own problems are the same for every step
            raise PreflightFailed([p if p.startswith("plan: ") else "%s: %s" % (self.label, p)
                                   for p in problems])

    def preview(self):
        """Writes the notes, warnings and change set of the step."""
        console, found = self.run.console, self.judgement.findings
        for note in found.notes:
            log.info("  %s", note)
        for warning in found.warnings:
            console.summary("%s: warning: %s" % (self.label, warning))
        if self.judgement.nothing:
            return
        log.info("%s: %s%s", self.label, "%d change(s)" % len(found.changes)
                 if found.changes else "no change to make", ":" if found.changes else "")
        for change in found.changes:
            log.info("  %s", change.line())

    def _recover(self, entries):
        """Takes into the revert information the records of runs that were
        killed before they could save them, from the journal beside the
        revert file (the lock is held: no run that wrote it is alive)."""
        added, whence = self.revert.recover(route_exists(self.run), entries=entries)
        if added:
            self.run.console.summary("recovered %d record(s) of %s from the journal of %s"
                                     % (added, " and ".join(whence), self.revert.path))

    def close(self):
        """Gives the revert file back (after the save)."""
        if self.revert is not None and not self.keep_lock:
            self.revert.unlock()

    def execute(self):
        """Runs the entry point; returns the exit status (0, or 1 when a
        problem was logged).  The revert information is saved on every
        way out, an interrupt included (which is raised again after the
        summary)."""
        try:
            return self._execute()
        finally:
            self.close()

    def _execute(self):
        run = self.run
        project, vpc = self.key.split("::")
        network = get_network(run, project, vpc)
        # The router patches' operations are followed through a wrapper.
        self.patches = RouterPatches(run.service) if self.target == "routers" else None
        service = None if self.patches is None else self.patches.service
        http = getattr(run.target, "http", None)
        if self.revert is not None and not run.dry_run and http is not None:
            # every change is journaled before it leaves
            self.journal = self.revert.journal()
            self.journal.context = {"action": self.action, "target": self.target,
                                    "stage": self.stage, "vpc": self.key}
            http.journal = self.journal
        try:
            with run_state(run, project, vpc, network, service=service):
                return self._run_entry()
        finally:
            if http is not None:
                http.journal = None

    def _run_entry(self):
        from tarn_gcp.res.Globals import Globals

        run = self.run
        module = gcplib()
        lib = module.GcpLib
        info = Globals.getRevertInfo()
        if self.target == "routes" and self.action == "switch":
            info["manage_routes"].setdefault(self.stage, {})
        narrowed = self._narrow(info)
        before = copy.deepcopy(info)
        problems = run.console.problems
        entry = getattr(lib, _ENTRY[self.target])
        if self.patches is not None:
            entry = self.patches.followed(entry)
        forward = self.action == "switch"
        failure = interrupt = None
        try:
            try:
                with tracebacks_to_log(module), _plan_as(narrowed):
                    if self.judgement.nothing:
                        pass
                    elif self.target == "routes":
                        entry(forward, self.stage)
                    else:
                        entry(forward)
            except (Exception, JournalUnwritable) as exc:
                failure = exc
            finally:
                # Whatever comes now waits until the summary is out.
                interrupts.hold()
        except BaseException as exc:  # an interrupt (a signal)
            interrupts.hold()
            interrupt = exc
        try:
            status = self._conclude(before, problems, failure, interrupt)
        except BaseException:
            # The run ends with this error; a signal held back meanwhile
            # adds nothing to it.
            interrupts.release(raise_pending=False)
            raise
        interrupts.release()
        return status

    def _conclude(self, before, problems, failure, interrupt):
        """Saves the revert information and writes the summary; raises the
        interrupt or the failure of the stage, if any."""
        from tarn_gcp.res.Globals import Globals

        run = self.run
        acted = copy.deepcopy(Globals.getRevertInfo())
        self._widen(Globals.getRevertInfo())
        if getattr(self, "journal", None) is not None:
            # what the module did not record itself (it records some stages
            # only at their end) is taken from the journal of this run
            self.revert.recover(route_exists(run), entries=self.journal.entries)
        try:
            saved = self._save()
        except (CliError, RunFailed) as exc:
            if interrupt is not None:
                exc.args = ("%s; %s was %s before" % (exc, self.label,
                                                      interrupts.describe(interrupt)),)
            elif failure is not None:
                exc.args = ("%s; %s failed before: %s" % (exc, self.label, api_failure(failure)),)
            raise
        clean = run.console.problems == problems and failure is None and interrupt is None
        if interrupt is not None:
            # The patches' operations were not followed: the records tell
            # what was tried.
            self.patches = None
        summary = self.judgement.nothing or self._summary(
            before, acted, clean=clean, skipped=run.console.default_mode_routers(problems))
        note = run.problems_note(problems)
        if interrupt is not None:
            run.console.summary("%s: %s, so far %s%s; %s" % (
                self.label, interrupts.describe(interrupt), summary, note, saved))
            raise interrupt
        if failure is not None:
            run.console.summary("%s: stopped by an error, so far %s%s; %s"
                                % (self.label, summary, note, saved))
            raise RunFailed("%s failed: %s" % (self.label, api_failure(failure))) from failure
        run.console.summary("%s: %s%s; %s" % (self.label, summary, note, saved))
        return run.status_since(problems)

    def _narrow(self, info):
        """Makes the step act only on what is left to do; returns the plan
        to run it with (None: the plan as it is)."""
        judgement = self.judgement
        self.path = record_path(self.key, self.target, self.stage)
        self.kept = None
        if judgement.replace:
            # the stage was restored: its record is used up, a new one replaces it
            set_record(info, self.path, None)
            if self.revert is not None:
                self.revert.replaced.append(self.path)
        if judgement.state != PARTIAL or judgement.nothing:
            return None
        self.kept = copy.deepcopy(get_record(info, self.path))
        if self.action == "restore":
            set_record(info, self.path, narrow_record(self.kept, self.target, judgement.skip))
            return None
        return narrow_plan(self.run.plan.data, self.target, self.stage, self.key, judgement.skip)

    def _widen(self, info):
        """After the step: the whole record of a stage completed or
        restored in part."""
        if self.kept is None:
            return
        if self.action == "restore":
            set_record(info, self.path, self.kept)
        else:
            set_record(info, self.path, merge_record(self.kept, get_record(info, self.path),
                                                     self.target))

    def _save(self):
        """Saves the revert information; returns the words for the
        summary.  When the file cannot be written the revert information
        goes to a new file beside it if possible and to standard error
        always, and SaveFailed (exit status 1) names where it is."""
        if self.run.dry_run:
            return "dry run, revert information not saved"
        if self.revert is None:
            return "revert information not saved (no --revert)"
        from tarn_gcp.res.Globals import Globals

        try:
            outcome = self.revert.save()
        except CliError:
            raise
        except Exception as exc:
            text = dump(Globals.getRevertInfo()) + "\n"
            try:
                aside = self.revert.write_aside(text)
            except Exception:
                aside = None
            sys.stdout.flush()
            sys.stderr.write(text)
            sys.stderr.flush()
            where = ("it is in %s and on standard error above" % aside if aside
                     else "it is on standard error above")
            why = (exc.strerror if isinstance(exc, OSError) and exc.strerror
                   else api_failure(exc))
            raise SaveFailed("cannot save the revert information to %s (%s); %s"
                             % (self.revert.path, why, where)) from exc
        journal = getattr(self, "journal", None)
        if journal is None or not journal.unanswered():
            try:
                self.revert.clear_journal()
            except Exception:
                pass  # the next run finds its records in the file already
        if outcome == "unchanged":
            return "revert information in %s unchanged" % self.revert.path
        return "revert information saved to %s" % self.revert.path

    def _summary(self, before, after, clean=True, skipped=()):
        """What the step did, from its records.  ``clean`` is false when
        problems were logged: the records then tell what was attempted.
        ``skipped``: the routers the stage left alone (DEFAULT mode)."""
        mode = 1 if self.run.dry_run else (0 if clean else 2)

        def verb(done):
            return (done, "would " + _BASE.get(done, done), "tried to " + _BASE.get(done, done))[
                mode]

        key = self.key
        if self.target == "peerings":
            if self.action == "switch":
                new = _new_items(before["peerings"].get(key, []), after["peerings"].get(key, []))
                if not new:
                    return "no transit peering of %s to remove" % key
                names = ", ".join(p["localPeeringProperties"].get("name", "?") for p in new)
                return "%s %d transit peering(s) of %s (%s)" % (verb("removed"), len(new), key,
                                                                names)
            pairs = after["peerings"].get(key)
            if pairs is None:
                return "no peering recorded for %s" % key
            return "%s %d recorded peering pair(s) of %s" % (verb("re-created"), len(pairs), key)
        if self.target == "routes":
            old = before["manage_routes"].get(self.stage, {}).get(key, {})
            rec = after["manage_routes"].get(self.stage, {}).get(key)
            if rec is None:
                return "no route recorded for %s in stage %s" % (key, self.stage)
            if self.action == "switch":
                deleted = _new_items(old.get("deleted_route_list", []), rec["deleted_route_list"])
                added = _new_items(old.get("added_route_list", []), rec["added_route_list"])
                # Only inserts that went through are recorded as added.
                return "%s %d route(s) and %s %d in %s" % (
                    verb("deleted"), len(deleted), "would add" if mode == 1 else "added",
                    len(added), key)
            return "%s %d added route(s) and %s %d deleted route(s) in %s" % (
                verb("removed"), len(rec["added_route_list"]), verb("re-inserted"),
                len(rec["deleted_route_list"]), key)
        if mode != 1 and getattr(self, "patches", None) is not None:
            # Outside a dry run only a patch whose operation succeeded counts.
            return self.patches.summary(self.action, before, after, key, skipped)
        routers = after["cloud_routers"].get(key, {})
        if self.action == "switch":
            new = [r for r in routers if r not in before["cloud_routers"].get(key, {})]
            left = ("; not customised %d Cloud Router(s) (%s)" % (
                len(skipped), ", ".join(map(router_label, skipped)))) if skipped else ""
            if not new:
                return "no Cloud Router newly customised for %s%s" % (key, left)
            return "%s %d Cloud Router(s) (%s)%s" % (
                verb("customised"), len(new), ", ".join(router_label(r) for r in new), left)
        if not routers:
            return "no Cloud Router recorded for %s" % key
        return "%s %d Cloud Router(s) (%s)" % (
            verb("patched back"), len(routers), ", ".join(router_label(r) for r in routers))


_BASE = {"removed": "remove", "re-created": "re-create", "deleted": "delete", "added": "add",
         "re-inserted": "re-insert", "customised": "customise", "patched back": "patch back"}


def _new_items(old, new):
    """The elements of ``new`` that ``old`` does not hold."""
    held = held_in(old)
    return [item for item in new if not held(item)]


@contextlib.contextmanager
def _plan_as(data):
    """The module reads ``data`` as the plan for the block (None: the plan as
    it is)."""
    from tarn_gcp.core.YamlContext import YamlContext

    if data is None:
        yield
        return
    saved = YamlContext._plan, YamlContext._path
    YamlContext._plan = data
    try:
        yield
    finally:
        YamlContext._plan, YamlContext._path = saved


def route_exists(run):
    """Whether a route of the stage's marking exists now: for an insert
    whose answer was lost."""

    def exists(project, name):
        from googleapiclient.errors import HttpError

        try:
            route = run.service.routes().get(project=project, route=name).execute()
        except HttpError as exc:
            if getattr(exc.resp, "status", None) == 404:
                return False
            raise
        return route.get("description") == ROUTE_MARK

    return exists


def _steps(run, action, target, stage):
    """The (target, stage) steps of a command: ``all`` is the peerings, each
    route stage in plan order and the routers, restored in reverse."""
    if target != "all":
        return [(target, stage)]
    if stage is not None:
        raise CliError("%s all takes no STAGE" % action)
    steps = [("peerings", None)] + [("routes", s) for s in run.plan.stages()] + [
        ("routers", None)]
    return steps if action == "switch" else list(reversed(steps))


def confirm(run, changes):
    """Against Google Cloud a change is made only once the operator says so:
    --yes, or an answer at the terminal; without a terminal, bad input."""
    if not changes or run.dry_run or run.uses_emulator or getattr(run.options, "yes", False):
        return
    if not sys.stdin.isatty():
        raise CliError("%d change(s) to Google Cloud need --yes when there is no terminal to "
                       "confirm them" % changes)
    sys.stdout.write("make these %d change(s)? [y/N] " % changes)
    sys.stdout.flush()
    if sys.stdin.readline().strip().lower() not in ("y", "yes"):
        raise CliError("nothing changed: not confirmed")


def stage_command(run, action, target, stage=None):
    if action == "restore" and getattr(run.options, "emulator", False):
        raise CliError("restore --emulator would restore onto a new emulator holding the sample "
                       "topology, not what the switch changed; run the emulator with python -m "
                       "tarn_gcp.emulator and use --emulator-url for both")
    revert_path = getattr(run.options, "revert", None)
    revert = RevertFile(revert_path, None) if revert_path is not None else None
    if revert is None:
        if action == "restore":
            raise CliError("restore needs --revert FILE, the revert information of the switch")
        if not run.dry_run and not run.uses_emulator:
            raise CliError("switch needs --revert FILE to keep what it changes "
                           "(or --dry-run to only show it)")
    force = bool(getattr(run.options, "force", False))
    steps = [Stage(run, action, t, s, revert, carry=bool(i), force=force, keep_lock=True)
             for i, (t, s) in enumerate(_steps(run, action, target, stage))]
    # In a wave, other spokes' runs change the same transit networks and
    # routers: the routers are locked from before a step reads them until
    # its last patch is done.
    wave = run.wave
    routers = contextlib.ExitStack()
    try:
        if wave is not None:
            wave.attach(run)
            wave.event("step", "preflight")
            if steps[0].target == "routers":
                routers.enter_context(wave.router_locks(run))
        # one preflight over every step before the first change
        problems = []
        for step in steps:
            try:
                step.prepare()
            except PreflightFailed as exc:
                problems += [p for p in exc.problems if p not in problems]
        if problems:
            raise PreflightFailed(problems)
        reach = before_switch(run, action, target, steps)
        for step in steps:
            step.preview()
        show_reach(run, reach)
        run.document = {"vpc": steps[0].key, "steps": [
            {"step": step.label, "state": step.judgement.state,
             "changes": [c.data() for c in step.judgement.findings.changes]}
            for step in steps]}
        if reach is not None:
            run.document["reachability"] = reach
        confirm(run, sum(len(step.judgement.findings.changes) for step in steps))
        status = 0
        for i, step in enumerate(steps):
            if wave is not None:
                if i and step.target == "routers":
                    routers.enter_context(wave.router_locks(run))
                wave.event("step", step.label)
            if i:  # read again what the steps before saved
                step.prepare()
            if wave is not None and step.target == "routers" and not run.dry_run:
                wave.routers_changing(run, step.action, step.key,
                                      step.judgement.findings.changes)
            # In a wave a router step is not cut short by a signal: stopped
            # between two patches, it would be completed later, after other
            # spokes changed the routers it had not patched yet, and no one
            # order of restores would then fit every router.
            with (interrupts.deferred() if wave is not None and step.target == "routers"
                  else contextlib.nullcontext()):
                status = max(status, step.execute())
            routers.close()
            if status:
                break
        return status
    finally:
        routers.close()
        if revert is not None:
            revert.unlock()
