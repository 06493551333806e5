"""A plan drafted from the live network of one VPC, with the reason for
every entry (what ``tarn_gcp plan draft`` prints).

Read requests only.  The draft holds:

* ``transit_vpcs``: every network the VPC peers with, but for peerings of
  Google services (recognised by their names and their peers' projects,
  see ``GOOGLE_PEERINGS``), which are kept;
* each transit VPC's ``cloud_routers``: routers in CUSTOM mode that
  advertise ranges of the VPC (its subnet ranges, primary and secondary,
  and the GKE ranges exported into it), listed or carried by ALL_SUBNETS
  over the peering (ALL_SUBNETS takes in peer VPCs' subnets, those of the
  router's region when the transit VPC routes regionally), which trade
  them for their exact summary; a router in DEFAULT mode that carries
  them is a problem, since only a CUSTOM router can be given the summary;
* one route stage adding, for every destination the VPC reaches through
  a transit peering, a static route through the router appliance of each
  region, summarised per priority, with ``delete`` left to the operator;
* ``spoke_advertisement`` null and ``advertise_gke`` true when the VPC
  holds GKE export ranges.

Problems (a DEFAULT router, a region with no single appliance, an
appliance that is not in the VPC) are written in the draft's header and
returned; the draft is still complete in every other respect.
"""

from __future__ import annotations

import dataclasses
import json
import re
import textwrap

from tarn_gcp.cloud.compute import network_key

from .document import EXAMPLE_PLAN
from .ranges import network, summarize, texts
from .reach import NetworkReads, last, read_table

STAGE = "stage1"
# (what the peering's name or its peer's project matches, the service)
GOOGLE_PEERINGS = (
    (re.compile(r"gke-.*-peer"), "the control plane of a private GKE cluster"),
    (re.compile(r"servicenetworking-googleapis-com"), "private services access"),
    (re.compile(r"cloudsql-[a-z0-9-]*googleapis-com"), "Cloud SQL"),
    (re.compile(r"redis-peer-[0-9]+"), "Memorystore for Redis"),
    (re.compile(r"netapp-.*|sn-netapp-.*"), "NetApp Volumes"),
)
GOOGLE_PROJECT = re.compile(r".*-tp")  # the tenant projects of Google's managed services


def google_service(peering_name, peer_key):
    """Why a peering belongs to a Google service, or None."""
    for pattern, service in GOOGLE_PEERINGS:
        if pattern.fullmatch(peering_name):
            return "%s: its name is %s" % (service, peering_name)
    if GOOGLE_PROJECT.fullmatch(peer_key.split("::")[0]):
        return "a Google-managed service: its peer is in the tenant project %s" % (
            peer_key.split("::")[0])
    return None


def is_gke_peering(name):
    """The module's rule for the peering of a GKE cluster's ranges."""
    return name.startswith("gke-") and name.endswith("-peer")


@dataclasses.dataclass
class Draft:
    """The drafted plan (``data``), why each entry is there (``why``, keyed
    by its place: ("transit", i), ("router", i, j), ("add", k), "delete",
    "spoke_advertisement", "advertise_gke", "kept", "transit_vpcs"), and
    the problems the operator must settle."""

    data: dict
    why: dict
    problems: list

    def json(self):
        return json.dumps(self.data, indent=2) + "\n"

    def yaml(self):
        return render(self)


@dataclasses.dataclass
class Options:
    appliances: dict = dataclasses.field(default_factory=dict)   # region -> (zone, instance)
    priorities: dict = dataclasses.field(default_factory=dict)   # region or None -> priority
    summarize: object = None                                     # a prefix length, or None
    gke: object = None   # the GKE export ranges as the module's listing found them, or None


def _by_source(dests, sources):
    """"RANGES from SOURCE" for ``dests``, grouped by what brings them in."""
    grouped = {}
    for dest in dests:
        grouped.setdefault(", ".join(sorted({w for _, w in sources[dest]})), []).append(dest)
    return ["%s from %s" % (", ".join(texts(d)), w) for w, d in grouped.items()]


def _summary_note(summary, added, length):
    if not added:
        return []
    return ["--summarize %d widens the exact summary to %s, adding %s." % (
        length, ", ".join(texts(summary)), ", ".join(texts(added)))]


class _Drafter:
    def __init__(self, service, project, vpc, options):
        self.reads = NetworkReads(service)
        self.key = "%s::%s" % (project, vpc)
        self.project = project
        self.options = options
        self.why = {}
        self.problems = []

    def run(self):
        table = self.table = read_table(self.reads, self.key)
        subnets = self.reads.subnetworks(self.key)
        self.own = [e.dest for e in table.entries if e.kind == "subnet"]
        routes = self.reads.network_routes(self.key)
        gke = sorted({network(r["destRange"]) for r in routes
                      if is_gke_peering(str(r.get("nextHopPeering", "")))}
                     if self.options.gke is None else {network(r) for r in self.options.gke})
        self.spoke_ranges = self.own + gke
        self.primary = [(last(s.get("region", "")), network(s["ipCidrRange"])) for s in subnets]
        transits, kept = [], []
        for record in self.reads.network(self.key).get("peerings") or []:
            name, peer = str(record.get("name")), network_key(record.get("network", ""))
            why = google_service(name, peer)
            if why is not None:
                kept.append("%s to %s (%s)" % (name, peer, why))
            elif peer not in [t for t, _ in transits]:
                transits.append((peer, record))
        self.why["kept"] = kept
        data = {"project_id": self.project, "vpc_name": self.key.split("::")[1],
                "transit_vpcs": [self.transit(i, peer, record)
                                 for i, (peer, record) in enumerate(transits)],
                "spoke_advertisement": None, "advertise_gke": bool(gke),
                "manage_routes": {STAGE: self.stage([t for t, _ in transits])}}
        self.why["spoke_advertisement"] = [
            "null: in each region the region's subnet ranges, together with the GKE ranges."]
        self.why["advertise_gke"] = [
            "GKE clusters export %s into the VPC." % ", ".join(texts(gke)) if gke else
            "No GKE cluster exports ranges into the VPC: with spoke_advertisement null the "
            "VPC then advertises nothing; list ranges there if the appliances should."]
        return Draft(data, self.why, self.problems)

    # ------------------------------------------------------------ transits

    def transit(self, i, peer, record):
        imported = sorted({e.dest for e in self.table.entries
                           if e.kind == "peering" and e.name == record.get("name")})
        self.why["transit", i] = ["Peering %s (%s) joins the VPC with it; the peering stage "
                                  "removes it on both sides.  It brings in %s." % (
                                      record.get("name"), record.get("state", "?"),
                                      ", ".join(texts(imported)) or "no route")]
        routers = []
        transit = self.reads.network(peer)
        if transit is None:
            self.problems.append("transit VPC %s cannot be read: its Cloud Routers are not "
                                 "drafted" % peer)
            return {"vpc_name": peer, "cloud_routers": routers}
        regional = (transit.get("routingConfig") or {}).get("routingMode",
                                                             "REGIONAL") == "REGIONAL"
        found = [r for r in self.reads.aggregated("routers", peer.split("::")[0])
                 if network_key(r.get("network", "")) == peer]
        for router in sorted(found, key=lambda r: (last(r.get("region", "")), r.get("name"))):
            entry = self.router(i, len(routers), peer, router, regional)
            if entry is not None:
                routers.append(entry)
        return {"vpc_name": peer, "cloud_routers": routers}

    def router(self, i, j, peer, router, regional):
        region, name = last(router.get("region", "")), str(router.get("name"))
        bgp = router.get("bgp") or {}
        mode = bgp.get("advertiseMode", "DEFAULT")
        takes_subnets = mode != "CUSTOM" or "ALL_SUBNETS" in (bgp.get("advertisedGroups") or [])
        carried = [cidr for where, cidr in self.primary
                   if takes_subnets and (not regional or where == region)]
        if mode != "CUSTOM":
            if carried:
                self.problems.append(
                    "router %s of %s in %s advertises in %s mode, which takes in the VPC's "
                    "subnets %s over the peering and loses them with it; only a router in "
                    "CUSTOM mode can be given their summary: not drafted"
                    % (name, peer, region, mode, ", ".join(texts(carried))))
            return None
        listed = []
        for item in bgp.get("advertisedIpRanges") or []:
            try:
                cidr = network(item.get("range"))
            except (ValueError, TypeError):
                continue
            if any(cidr.subnet_of(r) for r in self.spoke_ranges) and str(cidr) not in listed:
                listed.append(str(cidr))
        if not listed and not carried:
            return None
        summary, added = summarize(listed + carried, self.options.summarize)
        why = []
        if listed:
            why.append("Advertises the VPC's %s." % ", ".join(listed))
        if carried:
            why.append("ALL_SUBNETS takes in the VPC's %s over the peering, until it goes."
                       % ", ".join(texts(carried)))
        if texts(summary) == sorted(listed, key=network):
            why.append("Their summary is %s itself: the router keeps advertising it, as a "
                       "range the migration added, and the restore gives it back its own "
                       "entry." % ", ".join(listed))
        else:
            why.append("They give way to their summary %s." % ", ".join(texts(summary)))
        self.why["router", i, j] = why + _summary_note(summary, added, self.options.summarize)
        return {"region": region, "router_name": name, "add_advertised_routes": texts(summary),
                "remove_advertised_routes": listed, "remove_advertised_groups": []}

    # -------------------------------------------------------------- routes

    def appliance(self, region):
        """(zone, instance) of the region's router appliance, or None."""
        instances = [i for i in self.reads.aggregated("instances", self.project)
                     if any(network_key(n.get("network", "")) == self.key
                            for n in i.get("networkInterfaces") or [])]
        given = self.options.appliances.get(region)
        if given is not None:
            zone, name = given
            if not any(last(i.get("zone", "")) == zone and i.get("name") == name
                       for i in instances):
                self.problems.append("--appliance %s=%s/%s: no instance %s in zone %s has an "
                                     "interface in %s" % (region, zone, name, name, zone,
                                                          self.key))
            return given, "the router appliance named by --appliance"
        able = sorted((last(i.get("zone", "")), str(i.get("name"))) for i in instances
                      if i.get("canIpForward") and last(i.get("zone", "")).startswith(
                          region + "-"))
        if len(able) == 1:
            return able[0], "the one instance of the VPC in %s that can forward IP" % region
        self.problems.append(
            "%s: %s of the VPC can forward IP (%s): name the router appliance with --appliance "
            "%s=ZONE/INSTANCE; no route through %s is drafted"
            % (region, "no instance" if not able else "%d instances" % len(able),
               ", ".join("%s/%s" % a for a in able) or "canIpForward", region, region))
        return None, None

    def stage(self, transits):
        sources = {}   # destination -> [(priority, what brings it in)]
        for entry in self.table.entries:
            peer = self.table.peers.get(entry.name)
            if entry.kind == "peering" and peer in transits:
                sources.setdefault(entry.dest, []).append(
                    (entry.priority, "%s over %s" % (peer, entry.name)))
        regions = list(self.table.regions)
        regions += sorted(r for r in self.options.appliances if r not in regions)
        add = []
        drafted = []
        for region in regions:
            chosen, how = self.appliance(region)
            if chosen is None:
                continue
            priority = self.options.priorities.get(region, self.options.priorities.get(None))
            groups = {}
            for dest, found in sources.items():
                own = min(p for p, _ in found)
                groups.setdefault(own if priority is None else priority, []).append(dest)
            for value in sorted(groups):
                summary, added = summarize(groups[value], self.options.summarize)
                for cidr in summary:
                    covered = sorted(d for d in groups[value] if d.subnet_of(cidr))
                    self.why["add", len(add)] = [
                        "%s through %s, %s, priority %s (%s)." % (
                            cidr, "%s/%s" % chosen, how, value,
                            "given by --priority" if priority is not None else
                            "the priority of the route it replaces"),
                        "Replaces " + "; ".join(_by_source(covered, sources)) + "."]
                    self.why["add", len(add)] += _summary_note(
                        [cidr], [a for a in added if a.subnet_of(cidr)], self.options.summarize)
                    add.append({"cidr": str(cidr), "zone": chosen[0],
                                "dest_instance": chosen[1], "priority": value, "name": None})
                    drafted.append(cidr)
        candidates = sorted((e for e in self.table.entries if e.kind == "static"
                             and any(e.dest.subnet_of(d) for d in drafted)),
                            key=lambda e: (e.dest, e.name))
        self.why["delete"] = ["Left empty.  The VPC's static routes towards the same "
                              "destinations, candidates to delete:" if candidates else
                              "Left empty: no static route of the VPC leads to the same "
                              "destinations."] + [
            "  - %s  (%s via %s, priority %s)" % (e.name, e.dest, e.hop, e.priority)
            for e in candidates]
        return {"delete": [], "add": add}


def draft(service, project, vpc, options=None):
    """The Draft of the plan for ``project::vpc``."""
    return _Drafter(service, project, vpc, options or Options()).run()


# ------------------------------------------------------------ as YAML

def _comment(lines, indent, width=79):
    out = []
    for line in lines:
        lead = len(line) - len(line.lstrip())
        out += textwrap.wrap(line, width - indent - 2, initial_indent="",
                             subsequent_indent=" " * (lead + 2),
                             break_on_hyphens=False) or [""]
    return [("%s# %s" % (" " * indent, line)).rstrip() for line in out]


def _flow(values):
    return "[%s]" % ", ".join('"%s"' % v for v in values)


def _keys_help():
    """The key descriptions of the example plan's header."""
    with open(EXAMPLE_PLAN, encoding="utf-8") as handle:
        header = []
        for line in handle:
            if not line.startswith("#"):
                break
            header.append(line.rstrip("\n"))
    start = next((n for n, line in enumerate(header) if line.startswith("# Keys:")), None)
    return header[start:] if start is not None else []


def render(draft):
    data, why = draft.data, draft.why
    key = "%s::%s" % (data["project_id"], data["vpc_name"])
    lines = _comment([
        "Migration plan of %s, drafted by tarn_gcp plan draft from the live network.  "
        "Review every entry; tarn_gcp plan check --plan FILE shows what it would leave "
        "unreachable." % key], 0)
    if draft.problems:
        lines += ["#"] + _comment(["Problems to settle before a switch:"] + [
            "  - " + p for p in draft.problems], 0)
    lines += ["#"] + _keys_help() + ["", "project_id: %s" % data["project_id"],
                                     "vpc_name: %s" % data["vpc_name"], ""]
    lines += _comment(["Every network the VPC peers with, but Google services' peerings."]
                      + (["Kept: " + "; ".join(why["kept"]) + "."] if why["kept"] else []), 0)
    lines.append("transit_vpcs:" + ("" if data["transit_vpcs"] else " []"))
    for i, transit in enumerate(data["transit_vpcs"]):
        lines += _comment(why["transit", i], 2)
        lines.append('  - vpc_name: "%s"' % transit["vpc_name"])
        if not transit["cloud_routers"]:
            lines += _comment(["No Cloud Router of it advertises the VPC's ranges."], 4)
        lines.append("    cloud_routers:" + ("" if transit["cloud_routers"] else " []"))
        for j, router in enumerate(transit["cloud_routers"]):
            lines += _comment(why["router", i, j], 6)
            lines.append("      - region: %s" % router["region"])
            lines.append("        router_name: %s" % router["router_name"])
            for name in ("add_advertised_routes", "remove_advertised_routes",
                         "remove_advertised_groups"):
                lines.append("        %s: %s" % (name, _flow(router[name])))
    lines += [""] + _comment(why["spoke_advertisement"], 0) + ["spoke_advertisement: null"]
    lines += _comment(why["advertise_gke"], 0)
    lines += ["advertise_gke: %s" % ("true" if data["advertise_gke"] else "false"), ""]
    stage = data["manage_routes"][STAGE]
    lines += ["manage_routes:", "  %s:" % STAGE]
    lines += _comment(why["delete"], 4) + ["    delete: []"]
    lines.append("    add:" + ("" if stage["add"] else " []"))
    for k, spec in enumerate(stage["add"]):
        lines += _comment(why["add", k], 6)
        lines.append("      - cidr: %s" % spec["cidr"])
        for name in ("zone", "dest_instance", "priority", "name"):
            value = spec[name]
            lines.append("        %s: %s" % (name, "null" if value is None else value))
    return "\n".join(lines) + "\n"
