"""The commands: discovery, the three stages in both directions, the
ranges a VPC advertises.

Each command gets a ``Run``: the parsed options, the console, the plan and
the Compute target.  Bad input is raised as CliError before anything is
changed; failures of the API or of a stage are raised as RunFailed, after
the revert information has been saved.
"""

from __future__ import annotations

import copy
import logging
import sys

from . import interrupts
from .console import tracebacks_to_log
from .errors import CliError, RunFailed, SaveFailed
from .operations import RouterPatches
from .revert import RevertFile, dump, first_missing
from .session import own_service_for_listing

log = logging.getLogger("tarn_gcp.cli")

TARGETS = ("peerings", "routes", "routers")
_ENTRY = {"peerings": "managePeerings", "routes": "manageSwitchRoute",
          "routers": "manageCloudRouterAdvertisedRoute"}


def gcplib():
    from tarn_gcp import gcplib as module

    return module


class Run:
    """What one command works with."""

    def __init__(self, options, console, plan, opener):
        self.options = options
        self.console = console
        self.plan = plan
        self._opener = opener
        self._target = None

    @property
    def uses_emulator(self):
        return bool(getattr(self.options, "emulator", False)
                    or getattr(self.options, "emulator_url", None))

    @property
    def target(self):
        """The Compute target, opened on first use."""
        if self._target is None:
            self._target = self._opener()
        return self._target

    @property
    def service(self):
        return self.target.service

    def close(self):
        if self._target is not None:
            self._target.close()
            self._target = None

    @property
    def dry_run(self):
        return bool(getattr(self.options, "dry_run", False))


def api_failure(exc):
    """One line for an exception raised by a request or a stage."""
    from googleapiclient.errors import HttpError

    if isinstance(exc, HttpError):
        status = getattr(exc.resp, "status", "?")
        reason = exc.reason if isinstance(exc.reason, str) and exc.reason else "no reason given"
        return "Compute API refused a request (HTTP %s): %s" % (status, reason)
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def _execute(request, what):
    try:
        return request.execute()
    except Exception as exc:
        raise RunFailed("%s: %s" % (what, api_failure(exc))) from exc


def get_network(run, project, name):
    return _execute(run.service.networks().get(project=project, network=name),
                    "cannot read the network %s::%s" % (project, name))


def list_networks(run, project):
    networks = []
    request = run.service.networks().list(project=project)
    while request is not None:
        response = _execute(request, "cannot list the networks of %s" % project)
        networks.extend(response.get("items", []))
        request = run.service.networks().list_next(previous_request=request,
                                                   previous_response=response)
    return networks


def subnet_regions(network):
    """The regions of a network's subnetworks, in the order they appear."""
    lib = gcplib().GcpLib
    regions = []
    for url in network.get("subnetworks", []):
        parts = url.split("/")
        if len(parts) > lib.REGION_I and parts[lib.REGION_I] not in regions:
            regions.append(parts[lib.REGION_I])
    return regions


def _problems_note(run, before):
    count = run.console.problems - before
    return "" if count == 0 else "; %d problem(s) logged above" % count


# ------------------------------------------------------------ discover

def discover(run, project):
    """Lists the project's networks with their subnetworks and route
    tables, then each network's peerings and its Cloud Routers in the
    regions of its subnetworks."""
    module = gcplib()
    lib = module.GcpLib
    before = run.console.problems
    networks = list_networks(run, project)
    if not networks:
        log.info("")
        log.info("- Discover network(s)")
        log.info("  no network found in %s", project)
        run.console.summary("discover %s: no network%s" % (project, _problems_note(run, before)))
        return 1 if run.console.problems > before else 0
    try:
        with own_service_for_listing(module, run.target, project):
            lib.listAllNetwork(project)
        routers = 0
        for network in networks:
            log.info("")
            log.info("= VPC %s: peerings", network["name"])
            lib.listPeering(network)
            for region in subnet_regions(network):
                log.info("= VPC %s: Cloud Routers in %s", network["name"], region)
                lib.listRouterByRegion(run.service, project, network["name"], region)
                routers += 1
    except Exception as exc:
        raise RunFailed("discovery of %s failed: %s" % (project, api_failure(exc))) from exc
    subnets = sum(len(n.get("subnetworks", [])) for n in networks)
    peerings = sum(len(n.get("peerings", [])) for n in networks)
    run.console.summary("discover %s: %d network(s), %d subnetwork(s), %d peering(s), Cloud "
                        "Routers looked up in %d network region(s)%s"
                        % (project, len(networks), subnets, peerings, routers,
                           _problems_note(run, before)))
    return 1 if run.console.problems > before else 0


# --------------------------------------------------------------- cidrs

def cidrs(run, region, compact=False):
    """Writes the ranges the migrated VPC advertises in ``region``, one a
    line, on standard output (``compact``: as one summary line)."""
    lib = gcplib().GcpLib
    from tarn_gcp.res.Globals import Globals

    command = "cidrs"
    project = run.plan.project(command)
    vpc = run.plan.vpc_name(command)
    run.plan.spoke_settings(command)
    network = get_network(run, project, vpc)
    Globals.service = run.service
    Globals.project = project
    Globals.vpc = {"vpc_name": vpc}
    Globals.networkLink = network["selfLink"]
    before = run.console.problems
    module_log = logging.getLogger("tarn_gcp.gcplib")
    try:
        try:
            route_info = lib.listRouteTable(project, run.service, network, False)
        finally:
            module_log.propagate = True
        Globals.routeInfo = route_info
        result = lib.composeVpcCidrs(run.service, network, {"region": region})
    except Exception as exc:
        raise RunFailed("cannot compose the ranges of %s::%s in %s: %s"
                        % (project, vpc, region, api_failure(exc))) from exc
    if compact:
        run.console.summary("cidrs %s: %s::%s advertises %s" % (
            region, project, vpc, " ".join(map(str, result)) if result else "nothing"))
        return 1 if run.console.problems > before else 0
    log.info("- Ranges %s::%s advertises in %s", project, vpc, region)
    if result is None:
        log.info("  none")
    else:
        for cidr in result:
            run.console.summary(str(cidr))
    return 1 if run.console.problems > before else 0


# -------------------------------------------------------------- stages

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


class Stage:
    """One stage or restore: prepares Globals and the revert information,
    runs the entry point, saves what it recorded and sums it up."""

    def __init__(self, run, action, target, stage=None, revert=None, carry=False):
        self.run = run
        self.carry = carry
        self.action = action
        self.target = target
        self.stage = stage
        self.revert = revert
        self.label = "%s %s%s" % (action, target, " " + stage if stage else "")

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
                self.info = self.revert.load(required=self.action == "restore")
            except BaseException:
                self.close()
                raise
        else:
            from tarn_gcp.res.Globals import Globals

            if self.carry:
                # The revert information of the stages before, in memory.
                self.info = Globals.getRevertInfo()
            else:
                self.info = {"vpc": self.key, "peerings": {}, "manage_routes": {},
                             "cloud_routers": {}}
                Globals.setRevertInfo(self.info)

    def close(self):
        """Gives the revert file back (after the save)."""
        if self.revert is not None:
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
        from tarn_gcp.res.Globals import Globals

        run = self.run
        module = gcplib()
        lib = module.GcpLib
        project, vpc = self.key.split("::")
        network = get_network(run, project, vpc)
        # The router patches' operations are followed through a wrapper.
        self.patches = RouterPatches(run.service) if self.target == "routers" else None
        Globals.service = run.service if self.patches is None else self.patches.service
        Globals.project = project
        Globals.vpc = {"vpc_name": vpc}
        Globals.networkLink = network["selfLink"]
        Globals.setDryRun(run.dry_run)
        info = Globals.getRevertInfo()
        if self.target == "routes" and self.action == "switch":
            info["manage_routes"].setdefault(self.stage, {})
        before = copy.deepcopy(info)
        problems = run.console.problems
        entry = getattr(lib, _ENTRY[self.target])
        if self.patches is not None:
            entry = self.patches.followed(entry)
        forward = self.action == "switch"
        failure = interrupt = None
        try:
            try:
                with tracebacks_to_log(module):
                    if self.target == "routes":
                        entry(forward, self.stage)
                    else:
                        entry(forward)
            except Exception as exc:
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
        summary = self._summary(before, Globals.getRevertInfo(), clean=clean)
        note = _problems_note(run, problems)
        if interrupt is not None:
            run.console.summary("%s: %s, so far %s%s; %s" % (
                self.label, interrupts.describe(interrupt), summary, note, saved))
            raise interrupt
        if failure is not None:
            run.console.summary("%s: stopped by an error, so far %s%s; %s"
                                % (self.label, summary, note, saved))
            raise RunFailed("%s failed: %s" % (self.label, api_failure(failure))) from failure
        run.console.summary("%s: %s%s; %s" % (self.label, summary, note, saved))
        return 1 if run.console.problems > problems else 0

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
        if outcome == "unchanged":
            return "revert information in %s unchanged" % self.revert.path
        return "revert information saved to %s" % self.revert.path

    def _summary(self, before, after, clean=True):
        """What the step did, from its records.  ``clean`` is false when
        problems were logged: the records then tell what was attempted."""
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
            return self.patches.summary(self.action, before, after, key)
        routers = after["cloud_routers"].get(key, {})
        if self.action == "switch":
            new = [r for r in routers if r not in before["cloud_routers"].get(key, {})]
            if not new:
                return "no Cloud Router newly customised for %s" % key
            return "%s %d Cloud Router(s) (%s)" % (
                verb("customised"), len(new), ", ".join(_router_label(r) for r in new))
        if not routers:
            return "no Cloud Router recorded for %s" % key
        return "%s %d Cloud Router(s) (%s)" % (
            verb("patched back"), len(routers), ", ".join(_router_label(r) for r in routers))


_BASE = {"removed": "remove", "re-created": "re-create", "deleted": "delete", "added": "add",
         "re-inserted": "re-insert", "customised": "customise", "patched back": "patch back"}


def _router_label(rkey):
    parts = rkey.split("::")
    return "%s in %s" % (parts[3], parts[2]) if len(parts) == 4 else rkey


def _new_items(old, new):
    """The elements of ``new`` that ``old`` does not hold."""
    return [item for item in new if not any(first_missing(item, o) is None for o in old)]


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
    step = Stage(run, action, target, stage, revert)
    try:
        step.prepare()
        return step.execute()
    finally:
        step.close()
