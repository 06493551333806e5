"""The run state gcplib reads besides its arguments: bound for one command,
put back afterwards."""

from __future__ import annotations

import contextlib
import types

from .compute import gcplib


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


def reset_globals():
    """Puts the run-wide state back to that of a fresh process."""
    from tarn_gcp.res.Globals import Globals

    Globals.service = None
    Globals.project = None
    Globals.vpc = None
    Globals.networkLink = None
    Globals.routeInfo = None
    Globals.setDryRun(False)
    Globals.resetRevertInfo()
