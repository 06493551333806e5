"""Where a step (a stage's switch or restore) stands before it runs, and
what it has left to do, so that running a command twice is safe.

A step is judged as ``status`` judges its stage, against the live network,
the revert information and the plan:

* a switch whose stage is switched, or a restore whose stage is restored
  (or holds nothing to restore), has nothing to do;
* a partial stage is completed, not redone: the switch runs on a plan
  narrowed to what is still to do and keeps the records it made before;
  the restore runs on a record narrowed to what is not back yet and keeps
  the whole record afterwards;
* a switch whose stage was restored starts anew: the old record has been
  used, and the new one replaces it;
* a switch whose stage drifted is refused; so is a restore over something
  changed since the switch, unless forced.
"""

from __future__ import annotations

import copy
import dataclasses

from .preflight import Findings, Preflight, keys
from .status import (DRIFTED, NOT_STARTED, PARTIAL, RESTORED, SWITCHED, route_name,
                     stage_items, stage_state)


@dataclasses.dataclass
class Judgement:
    state: str
    findings: Findings
    skip: set = dataclasses.field(default_factory=set)   # item names already done
    nothing: str = ""      # why there is nothing to do, if so
    replace: bool = False  # the stage's old record is used up


def record_path(key, target, stage):
    """Where the stage's record lies in the revert information."""
    if target == "peerings":
        return ("peerings", key)
    if target == "routes":
        return ("manage_routes", stage, key)
    return ("cloud_routers", key)


def get_record(info, path):
    node = info
    for part in path:
        if not isinstance(node, dict) or part not in node:
            return None
        node = node[part]
    return node


def set_record(info, path, value):
    node = info
    for part in path[:-1]:
        node = node.setdefault(part, {})
    if value is None:
        node.pop(path[-1], None)
    else:
        node[path[-1]] = value


def judge(service, plan, key, info, action, target, stage=None, force=False, orders=None):
    """The Judgement of one step, from read requests only (``orders``: the
    wave's router orders, see LiveReader)."""
    pre = Preflight(service, plan, key)
    pre.live.orders = orders
    found = Findings(problems=["plan: %s" % text for text in keys(plan.data)])
    items = stage_items(pre.live, plan, key, info, target, stage)
    state = NOT_STARTED if items is None else stage_state(items)
    label = "%s%s" % (target, " " + stage if stage else "")
    result = Judgement(state, found)
    if action == "switch":
        if state == SWITCHED:
            result.nothing = "already switched, nothing to do"
            return result
        if state == DRIFTED:
            found.problems += ["%s: %s %s changed since the switch: %s; restore it first"
                               % (label, item["kind"], item["name"], item["detail"])
                               for item in items if item["state"] == DRIFTED]
            return result
        result.replace = state == RESTORED
        if state == PARTIAL:
            result.skip = {item["name"] for item in items if item["state"] == SWITCHED}
        if target == "peerings":
            pre.switch_peerings(found, result.skip, info)
        else:
            getattr(pre, "switch_" + target)(found, *((stage,) if target == "routes" else ()),
                                             skip=result.skip)
        return result
    if state in (RESTORED, NOT_STARTED):
        result.nothing = ("already restored, nothing to do" if state == RESTORED
                          else "nothing recorded to restore")
        return result
    if state == PARTIAL:
        result.skip = {item["name"] for item in items if item["state"] == RESTORED}
    problems = list(found.problems)
    getattr(pre, "restore_" + target)(found, *((stage,) if target == "routes" else ()), info,
                                      skip=result.skip)
    if force:
        # what changed since the switch is put back as it was saved
        found.problems = problems
    return result


def narrow_plan(data, target, stage, key, skip):
    """A copy of the plan without the changes already made (``skip``)."""
    data = copy.deepcopy(data)
    if target == "routes":
        config = (data.get("manage_routes") or {}).get(stage)
        if isinstance(config, dict):
            if isinstance(config.get("delete"), list):
                config["delete"] = [n for n in config["delete"] if n not in skip]
            if isinstance(config.get("add"), list):
                config["add"] = [spec for spec in config["add"]
                                 if _name_of(key, spec) not in skip]
    elif target == "routers":
        for vpc in data.get("transit_vpcs") or []:
            if isinstance(vpc, dict) and isinstance(vpc.get("cloud_routers"), list):
                vpc["cloud_routers"] = [
                    r for r in vpc["cloud_routers"] if not isinstance(r, dict) or "%s::%s::%s" % (
                        vpc.get("vpc_name"), r.get("region"), r.get("router_name")) not in skip]
    return data


def _name_of(key, spec):
    try:
        return route_name(key, spec)
    except (KeyError, TypeError):
        return None


def narrow_record(record, target, skip):
    """A copy of a stage's record without what is back already (``skip``)."""
    record = copy.deepcopy(record)
    if target == "peerings":
        return [p for p in record if p["localPeeringProperties"].get("name") not in skip]
    if target == "routes":
        return {"deleted_route_list": [r for r in record["deleted_route_list"]
                                       if r.get("name") not in skip],
                "added_route_list": [n for n in record["added_route_list"] if n not in skip]}
    return {rkey: bgp for rkey, bgp in record.items() if rkey not in skip}


def merge_record(old, new, target):
    """The record of a completed stage: what it recorded before and what it
    recorded now."""
    if old is None:
        return new
    if new is None:
        return old
    if target == "peerings":
        saved = {p["localPeeringProperties"].get("name"): p for p in old}
        # a pair found again without its transit side keeps the saved one
        new = [saved.get(p["localPeeringProperties"].get("name"), p)
               if p.get("remotePeeringProperties") is None else p for p in new]
        names = {p["localPeeringProperties"].get("name") for p in new}
        return [p for p in old if p["localPeeringProperties"].get("name") not in names] + new
    if target == "routes":
        gone = {r.get("name") for r in new["deleted_route_list"]}
        return {"deleted_route_list": [r for r in old["deleted_route_list"]
                                       if r.get("name") not in gone] + new["deleted_route_list"],
                "added_route_list": [n for n in old["added_route_list"]
                                     if n not in new["added_route_list"]]
                + new["added_route_list"]}
    return {**old, **new}
