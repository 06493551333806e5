"""The revert file: what the stages changed, kept between processes.

The file is the JSON that ``Globals.saveRevertInfo`` writes and
``Globals.loadRevertInfo`` reads: the revert information with its
"peerings", "manage_routes" and "cloud_routers" entries, every entry keyed
by the migrated VPC as project::vpc.  The command line adds one key of its
own, "vpc", naming that VPC, so that a file records which VPC it belongs to
even while its entries are still empty.  A file belongs to the plan's VPC
when its "vpc" (if any) and every entry key name that VPC.

Before a stage or a restore the file is read and checked; afterwards the
revert information is written back atomically.  The file is never replaced
by revert information that holds less than it: every entry, record and
value in the file must still be found in what is written (records may be
added, and records may gain keys, nothing may go missing or change).  When
that does not hold, the file is left as it is, the new revert information
is written to a new file beside it, and the refusal is reported.
"""

from __future__ import annotations

import copy
import json
import os
import time

from .errors import CliError

OWNER_KEY = "vpc"
_PAIR_KEYS = ("network", "name", "exportCustomRoutes", "importCustomRoutes",
              "exchangeSubnetRoutes", "exportSubnetRoutesWithPublicIp",
              "importSubnetRoutesWithPublicIp", "stackType")


def first_missing(old, new, path=()):
    """The path of the first thing in ``old`` that ``new`` lacks, or None
    when ``new`` holds all of ``old``.  Mappings must hold every key of the
    old one with a value holding the old value; lists must hold, for each
    old element, an element holding it; other values must be equal."""
    if isinstance(old, dict):
        if not isinstance(new, dict):
            return path
        for key, value in old.items():
            if key not in new:
                return path + (key,)
            missing = first_missing(value, new[key], path + (key,))
            if missing is not None:
                return missing
        return None
    if isinstance(old, list):
        if not isinstance(new, list):
            return path
        for index, item in enumerate(old):
            if not any(first_missing(item, candidate) is None for candidate in new):
                return path + (index,)
        return None
    if isinstance(old, bool) or isinstance(new, bool):
        # true and 1 are equal to Python, not in a record
        return None if type(old) is type(new) and old == new else path
    return None if old == new else path


def describe(path):
    return "/".join(str(part) for part in path) or "the whole file"


def owners(data):
    """The VPCs (project::vpc) a revert information names."""
    found = set()
    if isinstance(data.get(OWNER_KEY), str):
        found.add(data[OWNER_KEY])
    found.update(data.get("peerings", {}))
    for records in data.get("manage_routes", {}).values():
        found.update(records)
    found.update(data.get("cloud_routers", {}))
    return found


def check_shape(data):
    """The first malformed part of a loaded revert information, or None."""
    owner = data.get(OWNER_KEY)
    if owner is not None and (not isinstance(owner, str) or len(owner.split("::")) != 2):
        return '"vpc" must read project::vpc'
    for key, pairs in data["peerings"].items():
        if not isinstance(pairs, list):
            return "peerings/%s must be a list of peering pairs" % key
        for i, pair in enumerate(pairs):
            where = "peerings/%s/%d" % (key, i)
            if not isinstance(pair, dict) or not isinstance(pair.get("localPeeringProperties"),
                                                            dict):
                return where + " must hold localPeeringProperties"
            remote = pair.get("remotePeeringProperties")
            if remote is not None and not isinstance(remote, dict):
                return where + "/remotePeeringProperties must be a peering record or null"
            for side in ("localPeeringProperties", "remotePeeringProperties"):
                record = pair.get(side)
                if record is None:
                    continue
                for field in _PAIR_KEYS:
                    if field not in record:
                        return "%s/%s lacks %s" % (where, side, field)
    for stage, records in data["manage_routes"].items():
        if not isinstance(records, dict):
            return "manage_routes/%s must map VPCs to route records" % stage
        for key, record in records.items():
            where = "manage_routes/%s/%s" % (stage, key)
            if not isinstance(record, dict):
                return where + " must be a route record"
            deleted = record.get("deleted_route_list")
            added = record.get("added_route_list")
            if not isinstance(deleted, list) or not all(isinstance(r, dict) for r in deleted):
                return where + "/deleted_route_list must be a list of routes"
            if not isinstance(added, list) or not all(isinstance(n, str) for n in added):
                return where + "/added_route_list must be a list of route names"
    for key, routers in data["cloud_routers"].items():
        if not isinstance(routers, dict):
            return "cloud_routers/%s must map routers to their saved settings" % key
        for rkey, bgp in routers.items():
            parts = rkey.split("::")
            if len(parts) != 4 or not all(parts):
                return "cloud_routers/%s/%s must read project::network::region::router" % (
                    key, rkey)
            if not isinstance(bgp, dict):
                return "cloud_routers/%s/%s must be saved bgp settings" % (key, rkey)
    return None


class RevertFile:
    """The revert file of one run, for the migrated VPC ``vpc_key``."""

    def __init__(self, path, vpc_key):
        self.path = os.fspath(path)
        self.vpc_key = vpc_key

    def check_writable(self):
        """CliError unless the file can be written where it is asked for."""
        if os.path.isdir(self.path):
            raise CliError("revert file %s is a folder" % self.path)
        folder = os.path.dirname(os.path.abspath(self.path))
        if not os.path.isdir(folder):
            raise CliError("cannot write revert file %s: no folder %s" % (self.path, folder))
        if not os.access(folder, os.W_OK | os.X_OK):
            raise CliError("cannot write revert file %s: folder %s is not writable"
                           % (self.path, folder))

    def load(self, required):
        """Makes the file's revert information the run's own, after checking
        it; a missing file gives empty revert information unless
        ``required``.  Returns the revert information."""
        from tarn_gcp.res.Globals import Globals, RevertFileError

        if not os.path.exists(self.path):
            if required:
                raise CliError("cannot read revert file %s: it does not exist" % self.path)
            info = {OWNER_KEY: self.vpc_key, "peerings": {}, "manage_routes": {},
                    "cloud_routers": {}}
            Globals.setRevertInfo(info)
            return info
        try:
            info = Globals.loadRevertInfo(self.path)
        except RevertFileError as exc:
            Globals.resetRevertInfo()
            raise CliError(str(exc)) from None
        problem = check_shape(info)
        if problem is not None:
            Globals.resetRevertInfo()
            raise CliError("revert file %s is malformed: %s" % (self.path, problem))
        others = sorted(owners(info) - {self.vpc_key})
        if others:
            Globals.resetRevertInfo()
            raise CliError("revert file %s belongs to %s, not to the plan's VPC %s"
                           % (self.path, ", ".join(others), self.vpc_key))
        info.setdefault(OWNER_KEY, self.vpc_key)
        return info

    def _on_disk(self):
        """The file's JSON as it is now; None when there is no file; a
        sentinel string when it cannot be read as JSON."""
        try:
            with open(self.path, encoding="utf-8") as handle:
                return json.load(handle)
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as exc:
            return "unreadable (%s)" % exc

    def _refused_path(self):
        stamp = time.strftime("%Y%m%dT%H%M%S")
        for n in range(1000):
            candidate = "%s.refused-%s%s" % (self.path, stamp, "-%d" % n if n else "")
            try:
                fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            except FileExistsError:
                continue
            os.close(fd)
            return candidate
        raise OSError("no free name beside %s" % self.path)

    def save(self):
        """Writes the run's revert information to the file atomically.

        Returns "saved" or "unchanged".  Raises CliError (after writing
        the revert information to a new file beside it) when the file holds
        something the revert information lacks."""
        from tarn_gcp.res.Globals import Globals

        info = Globals.getRevertInfo()
        info.setdefault(OWNER_KEY, self.vpc_key)
        current = self._on_disk()
        plain = json.loads(json.dumps(info))
        if current is not None:
            missing = ("the file is " + current) if isinstance(current, str) else None
            if missing is None:
                path = first_missing(current, plain)
                if path is not None:
                    missing = "%s would be lost" % describe(path)
            if missing is not None:
                refused = self._refused_path()
                Globals.saveRevertInfo(refused)
                raise CliError("revert file %s not replaced: %s; it is left as it was and the "
                               "new revert information is in %s" % (self.path, missing, refused))
            if current == plain:
                return "unchanged"
        Globals.saveRevertInfo(self.path)
        return "saved"


def dump(info):
    """The revert information as JSON text, for when it cannot be saved."""
    return json.dumps(copy.deepcopy(info), indent=2)
