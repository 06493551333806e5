"""What every command works with: the ``Run`` (options, console, plan and
Compute target), the reads the command line makes itself, how a failed
request reads, and the run state handed to gcplib.

Bad input is raised as CliError before anything is changed; failures of the
API or of a stage are raised as RunFailed, after the revert information has
been saved.
"""

from __future__ import annotations

import contextlib
import dataclasses
import types
from typing import Any, Callable

from .errors import RunFailed


def gcplib():
    from tarn_gcp import gcplib as module

    return module


@dataclasses.dataclass(eq=False)
class Run:
    """What one command works with: the parsed options, the console, the
    plan and ``opener``, which opens the Compute target on first use."""

    options: Any
    console: Any
    plan: Any
    opener: Callable[[], Any]
    _target: Any = dataclasses.field(default=None, init=False)
    document: Any = dataclasses.field(default=None, init=False)  # what --format json/dot writes

    @property
    def format(self):
        return getattr(self.options, "format", None) or "text"

    @property
    def uses_emulator(self):
        return bool(getattr(self.options, "emulator", False)
                    or getattr(self.options, "emulator_url", None))

    @property
    def target(self):
        """The Compute target, opened on first use."""
        if self._target is None:
            self._target = self.opener()
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

    def problems_note(self, before):
        """The words the summary adds for problems logged since ``before``."""
        count = self.console.problems - before
        return "" if count == 0 else "; %d problem(s) logged above" % count

    def status_since(self, before):
        """The exit status of a command that logged problems from ``before``."""
        return 1 if self.console.problems > before else 0


# What gcplib reads from Globals, put back after each command.
_GLOBALS = ("service", "project", "vpc", "networkLink", "routeInfo")


@contextlib.contextmanager
def run_state(run, project, vpc=None, network=None, service=None):
    """Binds for one command what gcplib reads besides its arguments, and
    puts it back afterwards:

    * ``Globals.service`` (``service``, else the run's), ``Globals.project``,
      ``Globals.vpc`` (the VPC named ``vpc``), ``Globals.networkLink`` (the
      self-link of ``network``, that VPC's record) and the dry-run switch;
    * the module's ``google`` and ``discovery`` names, through which
      ``GcpLib.listAllNetwork`` builds its own Compute service from the
      default credentials: here they give the run's credentials, ``project``
      and the run's service.
    """
    from tarn_gcp.res.Globals import Globals

    module = gcplib()
    target = run.target

    def default(*args, **kwargs):
        return target.credentials, project

    def build(*args, **kwargs):
        return target.service

    saved = ([getattr(Globals, name) for name in _GLOBALS], Globals.getDryRun(),
             module.google, module.discovery)
    Globals.service = run.service if service is None else service
    Globals.project = project
    Globals.vpc = None if vpc is None else {"vpc_name": vpc}
    Globals.networkLink = None if network is None else network["selfLink"]
    Globals.setDryRun(run.dry_run)
    module.google = types.SimpleNamespace(auth=types.SimpleNamespace(default=default))
    module.discovery = types.SimpleNamespace(build=build)
    try:
        yield
    finally:
        values, dry_run, module.google, module.discovery = saved
        for name, value in zip(_GLOBALS, values):
            setattr(Globals, name, value)
        Globals.setDryRun(dry_run)


def api_failure(exc):
    """One line for an exception raised by a request or a stage."""
    from googleapiclient.errors import HttpError

    if isinstance(exc, HttpError):
        status = getattr(exc.resp, "status", "?")
        reason = exc.reason if isinstance(exc.reason, str) and exc.reason else "no reason given"
        return "Compute API refused a request (HTTP %s): %s" % (status, reason)
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def execute(request, what):
    """The response of ``request``; RunFailed saying ``what`` failed."""
    try:
        return request.execute()
    except Exception as exc:
        raise RunFailed("%s: %s" % (what, api_failure(exc))) from exc


def get_network(run, project, name):
    return execute(run.service.networks().get(project=project, network=name),
                   "cannot read the network %s::%s" % (project, name))


def list_networks(run, project):
    networks = []
    request = run.service.networks().list(project=project)
    while request is not None:
        response = execute(request, "cannot list the networks of %s" % project)
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
