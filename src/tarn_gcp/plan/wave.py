"""A migration wave: many spokes' plans migrated in one run.

The wave file is YAML with three keys::

    spokes: [plans/spoke-a.yaml, plans/spoke-b.yaml]   # relative to the wave file
    revert: revert/          # a local folder, or gs://BUCKET/PREFIX/
    parallel: 4              # how many spokes at once (default 4)

Each spoke's revert file is ``REVERT/PROJECT.VPC.json``; the locks and
router orders the spokes share are kept beside them.
"""

from __future__ import annotations

import dataclasses
import os
from typing import List

from tarn_gcp.errors import CliError

from .document import Plan, check_value

PARALLEL = 4
MAX_PARALLEL = 64
_KEYS = ("spokes", "revert", "parallel")


@dataclasses.dataclass
class Spoke:
    plan: Plan
    key: str                # project::vpc
    revert: str             # its revert file

    @property
    def name(self):
        return self.key.replace("::", ".")

@dataclasses.dataclass
class Wave:
    path: str
    spokes: List[Spoke]
    revert: str
    parallel: int

    @classmethod
    def load(cls, path, revert=None, parallel=None):
        """Reads the wave file and every plan it lists; CliError (bad
        input) when one of them does not hold."""
        from tarn_gcp.core.YamlContext import PlanError, YamlContext

        try:
            data = YamlContext.load(path)
        except PlanError as exc:
            raise CliError(str(exc).replace("plan ", "wave file ", 1)) from None
        except UnicodeDecodeError:
            raise CliError("wave file %s is not UTF-8 text" % path) from None
        if not isinstance(data, dict):
            raise CliError("wave file %s must be a mapping with 'spokes', 'revert' and "
                           "'parallel'" % path)
        unknown = [k for k in data if k not in _KEYS]
        if unknown:
            raise CliError("wave file %s: unknown key %r (it takes %s)"
                           % (path, unknown[0], ", ".join(_KEYS)))
        plans = data.get("spokes")
        if not isinstance(plans, list) or not plans or not all(
                isinstance(p, str) and p.strip() for p in plans):
            raise CliError("wave file %s: 'spokes' must be a list of plan files" % path)
        where = os.path.dirname(os.path.abspath(path))
        revert = revert if revert is not None else data.get("revert")
        if not isinstance(revert, str) or not revert.strip():
            raise CliError("wave file %s: 'revert' must name a folder or gs://BUCKET/PREFIX/ "
                           "(or give --revert)" % path)
        if not revert.startswith("gs://"):
            revert = os.path.join(where, revert)
        if parallel is None:
            parallel = data.get("parallel", PARALLEL)
        if isinstance(parallel, bool) or not isinstance(parallel, int) \
                or not 1 <= parallel <= MAX_PARALLEL:
            raise CliError("wave file %s: 'parallel' must be a whole number from 1 to %d, not %r"
                           % (path, MAX_PARALLEL, parallel))
        spokes, seen = [], {}
        for plan_path in plans:
            plan = Plan.load(os.path.join(where, plan_path))
            key = plan.vpc_key("wave")
            plan.transit_vpcs("wave", with_routers=True)
            for entry in plan.data["transit_vpcs"]:
                check_value("project", entry["vpc_name"].split("::")[0], "transit VPC")
            if key in seen:
                raise CliError("wave file %s: %s and %s both migrate %s"
                               % (path, seen[key], plan_path, key))
            seen[key] = plan_path
            name = key.replace("::", ".")
            spokes.append(Spoke(plan, key, (revert.rstrip("/") + "/" + name + ".json")
                                if revert.startswith("gs://") else os.path.join(revert,
                                                                               name + ".json")))
        return cls(os.fspath(path), spokes, revert, parallel)


def plan_routers(plan):
    """(project, region, name) of every router a plan names, sorted."""
    found = set()
    for entry in plan.data.get("transit_vpcs") or []:
        project = str(entry.get("vpc_name", "")).split("::")[0]
        for router in entry.get("cloud_routers") or []:
            found.add((project, router.get("region"), router.get("router_name")))
    return sorted(found)


def restore_order(spokes, orders):
    """For each spoke key, the keys of the spokes of the wave whose
    restore must come first: those that changed a router after it.
    ``orders``: router -> the changes of that router in order."""
    keys = {spoke.key for spoke in spokes}
    after = {key: set() for key in keys}
    for changes in orders.values():
        order = [c["spoke"] for c in changes if c["spoke"] in keys]
        for i, key in enumerate(order):
            after[key].update(order[i + 1:])
    return after
