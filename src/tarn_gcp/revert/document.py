"""The revert information as stored data: the shape of a revert file and
the checks made on it.

A revert file is the JSON that ``Globals.saveRevertInfo`` writes and
``Globals.loadRevertInfo`` reads: the revert information with its
"peerings", "manage_routes" and "cloud_routers" entries, every entry keyed
by the migrated VPC as project::vpc.  The command line adds one key of its
own, "vpc", naming that VPC, so that a file records which VPC it belongs to
even while its entries are still empty.  A file belongs to the plan's VPC
when its "vpc" (if any) and every entry key name that VPC.
"""

from __future__ import annotations

import copy
import json

from tarn_gcp.res.Globals import REVERT_KEYS, empty_revert_info

OWNER_KEY = "vpc"
FILE_KEYS = (OWNER_KEY,) + REVERT_KEYS


def new_revert_info(vpc_key):
    """The revert information of a VPC that no stage has changed yet."""
    return {OWNER_KEY: vpc_key, **empty_revert_info()}


# Revert records are a few levels deep; anything far deeper is not one (and
# would exhaust the recursion of the JSON encoder and of the comparisons).
MAX_DEPTH = 48
_PAIR_KEYS = ("network", "name", "exportCustomRoutes", "importCustomRoutes",
              "exchangeSubnetRoutes", "exportSubnetRoutesWithPublicIp",
              "importSubnetRoutesWithPublicIp", "stackType")


def first_missing(old, new, path=()):
    """The path of the first thing in ``old`` that ``new`` lacks, or None
    when ``new`` holds all of ``old``.  Mappings must hold every key of the
    old one with a value holding the old value; lists must hold, for each
    old element, an element holding it; other values must be equal.

    Linear in the sizes of ``old`` and ``new`` when the elements of the old
    lists are in the new ones as they were, or with keys added at their top
    (the way records grow): an element is looked up by its hashable form
    (``_frozen``), and only one found neither way is compared with every
    element of the new list."""
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
        if len(new) <= _SCAN:
            held = None
        else:
            held = _Holders(new)
        for index, item in enumerate(old):
            if held is not None and held.find(item):
                continue
            if not any(first_missing(item, candidate) is None for candidate in new):
                return path + (index,)
        return None
    if isinstance(old, bool) or isinstance(new, bool):
        # true and 1 are equal to Python, not in a record
        return None if type(old) is type(new) and old == new else path
    return None if old == new else path


# Lists up to this long are searched element by element.
_SCAN = 8


def _frozen(value):
    """A hashable form of a JSON value: two values have equal forms when
    each holds the other (1 and 1.0 alike, true and 1 not).  TypeError for
    a value that is not JSON."""
    if isinstance(value, dict):
        return ("{", frozenset((key, _frozen(item)) for key, item in value.items()))
    if isinstance(value, list):
        return ("[", tuple(_frozen(item) for item in value))
    if isinstance(value, bool):
        return ("b", value)
    if value is None or isinstance(value, (int, float, str)):
        return ("=", value)
    raise TypeError("not a JSON value")


class _Holders:
    """The elements of a list, found by the hashable form of an element
    they hold: an equal one, or a mapping holding the same keys with equal
    values and more keys besides."""

    def __init__(self, items):
        self.items = items
        self.equal = set()
        for item in items:
            try:
                self.equal.add(_frozen(item))
            except TypeError:
                pass
        self.by_keys = {}  # the old element's keys: the new ones' forms on those keys

    def find(self, item):
        try:
            form = _frozen(item)
            if form in self.equal:
                return True
            if not isinstance(item, dict):
                return False
            keys = frozenset(item)
            forms = self.by_keys.get(keys)
            if forms is None:
                forms = self.by_keys[keys] = set()
                for other in self.items:
                    if isinstance(other, dict) and keys <= other.keys():
                        forms.add(_frozen({key: other[key] for key in keys}))
            return form in forms
        except TypeError:
            return False


def held_in(items):
    """A test of whether an element is held by one of ``items`` (as
    first_missing judges), looked up by form before element by element."""
    holders = _Holders(items) if len(items) > _SCAN else None

    def held(item):
        if holders is not None and holders.find(item):
            return True
        return any(first_missing(item, candidate) is None for candidate in items)

    return held


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


def too_deep(data, limit=MAX_DEPTH):
    """Whether ``data`` nests lists and mappings deeper than ``limit``."""
    level = [data]
    for _ in range(limit + 1):
        inner = []
        for value in level:
            if isinstance(value, dict):
                inner.extend(value.values())
            elif isinstance(value, list):
                inner.extend(value)
        if not inner:
            return False
        level = inner
    return True


def dump(info):
    """The revert information as the JSON text of a revert file."""
    return json.dumps(copy.deepcopy(info), indent=2)


def router_label(rkey):
    parts = rkey.split("::")
    return "%s in %s" % (parts[3], parts[2]) if len(parts) == 4 else rkey
