"""Preflight: the plan and the revert information checked against the live
network before a stage or a restore sends its first change, and the change
set it will make.

Only read requests are made.  ``keys`` finds the keys the plan format does
not define; ``Preflight`` reads what each step will touch and gathers, per
step, the problems that refuse the run (a transit VPC with no peering to
the migrated VPC, a route to delete that does not exist, a next-hop
instance that is not in the migrated VPC, a router in DEFAULT advertise
mode, ...), warnings, notes, and the changes the step will make, each a
``Change`` written in the demo's ``-``/``+``/``~`` notation.
"""

from __future__ import annotations

import dataclasses
import difflib
import ipaddress

from tarn_gcp.cloud.compute import network_key

from .status import (ROUTE_FIELDS, ROUTE_MARK, LiveReader, _bgp_form, _link, plan_router,
                     _same_route, planned_routes, switched_bgp)

# The keys of the plan format, by where they stand.
TOP_KEYS = ("project_id", "vpc_name", "transit_vpcs", "manage_routes", "spoke_advertisement",
            "advertise_gke")
TRANSIT_KEYS = ("vpc_name", "cloud_routers")
ROUTER_KEYS = ("region", "router_name", "add_advertised_routes", "remove_advertised_routes",
               "remove_advertised_groups")
STAGE_KEYS = ("delete", "add")
ROUTE_KEYS = ("cidr", "zone", "dest_instance", "priority", "name")


def _unknown(mapping, known, where):
    found = []
    if not isinstance(mapping, dict):
        return found
    for key in mapping:
        if key in known:
            continue
        near = difflib.get_close_matches(str(key), known, n=1, cutoff=0.6)
        hint = "; did you mean `%s`?" % near[0] if near else " (known: %s)" % ", ".join(known)
        found.append("unknown key `%s`%s%s" % (key, " in " + where if where else "", hint))
    return found


def keys(data):
    """One text per key, at any level, that the plan format does not define."""
    found = _unknown(data, TOP_KEYS, "")
    if not isinstance(data, dict):
        return found
    for i, entry in enumerate(data.get("transit_vpcs") or []):
        found += _unknown(entry, TRANSIT_KEYS, "transit_vpcs[%d]" % i)
        routers = entry.get("cloud_routers") if isinstance(entry, dict) else None
        for j, router in enumerate(routers if isinstance(routers, list) else []):
            found += _unknown(router, ROUTER_KEYS, "transit_vpcs[%d].cloud_routers[%d]" % (i, j))
    routes = data.get("manage_routes")
    for stage, config in (routes.items() if isinstance(routes, dict) else ()):
        found += _unknown(config, STAGE_KEYS, "manage_routes.%s" % stage)
        adds = config.get("add") if isinstance(config, dict) else None
        for i, spec in enumerate(adds if isinstance(adds, list) else []):
            found += _unknown(spec, ROUTE_KEYS, "manage_routes.%s.add[%d]" % (stage, i))
    return found


@dataclasses.dataclass
class Change:
    """One change of the change set: ``op`` "-" (gone), "+" (new) or "~"
    (changed), the kind of resource, where it is (project/network[/region])
    and its name, and what it is or becomes."""

    op: str
    kind: str
    where: str
    name: str
    detail: str

    def line(self):
        return "%s %s %s/%s%s" % (self.op, self.kind, self.where, self.name,
                                  (" " + self.detail) if self.detail else "")

    def data(self):
        return dataclasses.asdict(self)


@dataclasses.dataclass
class Findings:
    problems: list = dataclasses.field(default_factory=list)
    warnings: list = dataclasses.field(default_factory=list)
    notes: list = dataclasses.field(default_factory=list)
    changes: list = dataclasses.field(default_factory=list)


def _slash(key):
    return key.replace("::", "/")


def _hop(route):
    for field in ROUTE_FIELDS[2:]:
        if field in route:
            value = route[field]
            return value if field == "nextHopIp" else str(value).rsplit("/", 1)[-1]
    return "?"


def route_detail(route):
    return "%s via %s, priority %s" % (route.get("destRange"), _hop(route), route.get("priority"))


def _ranges_change(before, after):
    old = [str(r.get("range")) for r in before.get("advertisedIpRanges") or []]
    new = [str(r.get("range")) for r in after.get("advertisedIpRanges") or []]
    words = ["-" + r for r in old if r not in new] + ["+" + r for r in new if r not in old]
    old_groups = list(before.get("advertisedGroups") or [])
    new_groups = list(after.get("advertisedGroups") or [])
    words += ["-group " + g for g in old_groups if g not in new_groups]
    words += ["+group " + g for g in new_groups if g not in old_groups]
    return " ".join(words)


class Preflight:
    """The checks and change sets of the steps of one command, for the plan's
    VPC ``key``; every read is made once."""

    def __init__(self, service, plan, key):
        self.service = service
        self.plan = plan
        self.key = key
        self.project, self.vpc = key.split("::")
        self.live = LiveReader(service)

    # ------------------------------------------------------------ switch

    def switch_peerings(self, found, skip=(), info=None):
        # transit VPCs whose peering is recorded already (a stage completed)
        done = {network_key(p["localPeeringProperties"].get("network", ""))
                for p in ((info or {}).get("peerings") or {}).get(self.key) or []}
        network = self.live.network(self.key)
        if network is None:
            found.problems.append("the migrated VPC %s does not exist" % self.key)
            return
        transits = [e.get("vpc_name") for e in self.plan.data.get("transit_vpcs") or []
                    if isinstance(e, dict)]
        peers = {}
        for record in network.get("peerings", []):
            peers.setdefault(network_key(record.get("network", "")), []).append(record)
        for transit in transits:
            transit_network = self.live.network(transit)
            if transit_network is None:
                found.problems.append("transit VPC %s does not exist" % transit)
                continue
            if transit not in peers and transit not in done:
                found.problems.append("transit VPC %s holds no peering with %s"
                                      % (transit, self.key))
                continue
            for record in peers.get(transit, []):
                found.changes.append(Change("-", "peering", _slash(self.key), record.get("name"),
                                            "(to %s)" % _slash(transit)))
            for record in transit_network.get("peerings", []):
                if network_key(record.get("network", "")) == self.key:
                    found.changes.append(Change("-", "peering", _slash(transit),
                                                record.get("name"),
                                                "(to %s)" % _slash(self.key)))
        for peer, records in peers.items():
            if peer not in transits:
                for record in records:
                    found.notes.append("peering %s to %s is kept: %s is not a transit VPC of "
                                       "the plan" % (record.get("name"), peer, peer))

    def switch_routes(self, found, stage, skip=()):
        config = (self.plan.data.get("manage_routes") or {}).get(stage) or {}
        routes = self.live.routes(self.project)
        where = _slash(self.key)
        for name in config.get("delete") or []:
            if name in skip:
                continue
            route = routes.get(name)
            if route is None:
                found.problems.append("manage_routes.%s.delete: route %s does not exist in %s"
                                      % (stage, name, self.project))
            elif network_key(route.get("network", "")) != self.key:
                found.problems.append("manage_routes.%s.delete: route %s belongs to %s, not to "
                                      "%s" % (stage, name, network_key(route.get("network", "")),
                                              self.key))
            else:
                found.changes.append(Change("-", "route", where, name, route_detail(route)))
        planned = planned_routes(self.plan, self.key, stage)
        for i, spec in enumerate(config.get("add") or []):
            at = "manage_routes.%s.add[%d]" % (stage, i)
            instance = self.live.instance(self.project, spec.get("zone"),
                                          spec.get("dest_instance"))
            if instance is None:
                found.problems.append("%s: next-hop instance %s does not exist in %s zone %s"
                                      % (at, spec.get("dest_instance"), self.project,
                                         spec.get("zone")))
                continue
            nets = [network_key(n.get("network", "")) for n in
                    instance.get("networkInterfaces", [])]
            if self.key not in nets:
                found.problems.append("%s: next-hop instance %s has no network interface in %s"
                                      % (at, spec.get("dest_instance"), self.key))
                continue
            if not instance.get("canIpForward"):
                found.warnings.append("%s: next-hop instance %s cannot forward IP "
                                      "(canIpForward is false)" % (at, spec.get("dest_instance")))
        for name, (cidr, priority, hop) in planned.items():
            if name in skip:
                continue
            route = routes.get(name)
            if route is not None and not (
                    route.get("destRange") == cidr and route.get("priority") == priority
                    and _link(route.get("nextHopInstance", "")).rsplit("/", 1)[-1] == hop
                    and network_key(route.get("network", "")) == self.key):
                found.problems.append("manage_routes.%s: the name %s of a route to add is taken "
                                      "by another route (%s)" % (stage, name, route_detail(route)))
                continue
            found.changes.append(Change("+", "route", where, name, "%s via %s, priority %s"
                                        % (cidr, hop, priority)))

    def switch_routers(self, found, skip=()):
        for entry in self.plan.data.get("transit_vpcs") or []:
            transit = entry.get("vpc_name")
            for router_entry in entry.get("cloud_routers") or []:
                region, name = router_entry.get("region"), router_entry.get("router_name")
                rkey = "%s::%s::%s" % (transit, region, name)
                if rkey in skip:
                    continue
                project = transit.split("::")[0]
                router = self.live.router(project, region, name)
                label = "router %s in %s %s" % (name, project, region)
                if router is None:
                    found.problems.append("%s does not exist" % label)
                    continue
                if network_key(router.get("network", "")) != transit:
                    found.problems.append("%s belongs to %s, not to the transit VPC %s" % (
                        label, network_key(router.get("network", "")), transit))
                    continue
                bgp = router.get("bgp") or {}
                if bgp.get("advertiseMode") != "CUSTOM":
                    found.problems.append("%s advertises in %s mode: its advertisements can only "
                                          "be customised in CUSTOM mode" % (
                                              label, bgp.get("advertiseMode", "DEFAULT")))
                    continue
                ranges = set()
                for r in bgp.get("advertisedIpRanges") or []:
                    try:
                        ranges.add(str(ipaddress.IPv4Network(r.get("range"))))
                    except (ValueError, TypeError):
                        continue
                for cidr in router_entry.get("remove_advertised_routes") or []:
                    if cidr not in ranges:
                        found.warnings.append("%s does not advertise %s, which the plan removes"
                                              % (label, cidr))
                after = switched_bgp(bgp, router_entry)
                if after is not None and _bgp_form(after) != _bgp_form(bgp):
                    found.changes.append(Change("~", "router", "%s/%s" % (_slash(transit), region),
                                                name, _ranges_change(bgp, after)))

    # ----------------------------------------------------------- restore

    def restore_peerings(self, found, info, skip=()):
        for pair in (info.get("peerings") or {}).get(self.key) or []:
            local = pair["localPeeringProperties"]
            remote = pair.get("remotePeeringProperties")
            if local.get("name") in skip:
                continue
            transit = network_key(local.get("network", ""))
            for here, record, there in ((self.key, local, transit), (transit, remote, self.key)):
                if record is None:
                    continue
                _exists, current = self.live.peering(here, record.get("name"))
                if current is None:
                    found.changes.append(Change("+", "peering", _slash(here), record.get("name"),
                                                "(to %s)" % _slash(there)))

    def restore_routes(self, found, stage, info, skip=()):
        record = ((info.get("manage_routes") or {}).get(stage) or {}).get(self.key)
        if record is None:
            return
        routes = self.live.routes(self.project)
        where = _slash(self.key)
        for name in record["added_route_list"]:
            if name in skip or name not in routes:
                continue
            if routes[name].get("description") != ROUTE_MARK:
                found.problems.append("route %s was re-created since the switch without the "
                                      "mark of the routes the stage adds (%s); the restore would "
                                      "delete it" % (name, route_detail(routes[name])))
                continue
            found.changes.append(Change("-", "route", where, name, route_detail(routes[name])))
        for saved in record["deleted_route_list"]:
            name = saved.get("name")
            if name in skip:
                continue
            current = routes.get(name)
            if current is None:
                found.changes.append(Change("+", "route", where, name, route_detail(saved)))
            elif not _same_route(current, saved):
                found.problems.append("route %s was re-created since the switch as %s; the "
                                      "restore would insert it as %s" % (
                                          name, route_detail(current), route_detail(saved)))

    def restore_routers(self, found, info, skip=()):
        for rkey, saved in ((info.get("cloud_routers") or {}).get(self.key) or {}).items():
            if rkey in skip:
                continue
            project, network, region, name = rkey.split("::")
            router = self.live.router(project, region, name)
            if router is None:
                found.problems.append("router %s in %s %s does not exist" % (name, project,
                                                                             region))
                continue
            bgp = router.get("bgp") or {}
            if _bgp_form(bgp) == _bgp_form(saved):
                continue
            entry = plan_router(self.plan, rkey)
            left = switched_bgp(saved, entry) if entry is not None else None
            if left is None or _bgp_form(left) != _bgp_form(bgp):
                found.problems.append(
                    "router %s in %s %s changed since the switch: it advertises %s, the switch "
                    "left %s; the restore would put back %s" % (
                        name, project, region, _ranges_text(bgp), _ranges_text(left or {}),
                        _ranges_text(saved)))
                continue
            found.changes.append(Change("~", "router", "%s/%s/%s" % (project, network, region),
                                        name, _ranges_change(bgp, saved)))


def _ranges_text(bgp):
    ranges = [str(r.get("range")) for r in bgp.get("advertisedIpRanges") or []]
    groups = list(bgp.get("advertisedGroups") or [])
    return (", ".join(ranges) or "no range") + (" (groups %s)" % ", ".join(groups)
                                                if groups else "")
