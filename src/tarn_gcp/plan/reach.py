"""What a plan would leave unreachable: the migrated VPC's route table read
from the live network, the same table after each step of the plan, and the
destinations the VPC reached before and would not reach after (or would
reach through another next hop), per region.

The live route table is made of

* the VPC's own subnet ranges (primary and secondary), which no step
  touches;
* its static routes (``routes.list``, those of the VPC without
  ``nextHopPeering``; routes with network tags apply to tagged instances
  only and are left out);
* the routes each ACTIVE peering imports: ``networks.listPeeringRoutes``
  INCOMING, asked in every region of the VPC (dynamic routes differ per
  region), the entries marked imported, together with the peering routes
  ``routes.list`` shows for that peering.  Dynamic routes apply in their
  next hop's region only when the VPC routes regionally.

A packet takes the most specific route; among those, the lowest priority,
then a route of the VPC's own over an imported one; routes still tied
share the traffic.  The default internet gateway delivers public addresses
only, so a private range that only it covers is not reached.

Each destination is judged on the addresses no more specific destination
(before or after) claims: the default route is judged on what is left of
the address space, not on the ranges the other routes take.
"""

from __future__ import annotations

import dataclasses
from typing import Optional

from tarn_gcp.cloud.compute import execute, network_key
from tarn_gcp.errors import RunFailed

from .ranges import network, subtract, texts
from .status import LiveReader, route_name

GATEWAY = "internet gateway"
PRIVATE = [network(r) for r in ("10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16",
                                "100.64.0.0/10")]


@dataclasses.dataclass(frozen=True)
class Entry:
    """One route of the table: its destination, priority, next hop as
    people read it, kind ("subnet", "static", "peering"), the name of the
    subnetwork, route or peering, and the region it applies in (None:
    every region)."""

    dest: object
    priority: int
    hop: str
    kind: str
    name: str
    region: Optional[str] = None


@dataclasses.dataclass
class Table:
    key: str
    regions: list
    entries: set
    peers: dict          # the VPC's peering name -> project::network it peers with


class NetworkReads(LiveReader):
    """The read requests of a draft or a reachability check, each made
    once (besides those of LiveReader: aggregated lists, peering routes)."""

    def __init__(self, service):
        super().__init__(service)
        self._aggregated = {}
        self._exchanged = {}

    def aggregated(self, collection, project):
        """Every item of a regional or zonal ``collection`` of ``project``."""
        if (collection, project) not in self._aggregated:
            what = "cannot list the %s of %s" % (collection, project)
            api = getattr(self.service, collection)()
            found = []
            request = api.aggregatedList(project=project)
            while request is not None:
                response = execute(request, what)
                scopes = response.get("items", {}) if isinstance(response, dict) else None
                if not isinstance(scopes, dict):
                    raise RunFailed("%s: the answer's items are not a mapping of scopes" % what)
                for scope in scopes.values():
                    items = scope.get(collection, []) if isinstance(scope, dict) else None
                    if not isinstance(items, list) or not all(isinstance(i, dict)
                                                              for i in items):
                        raise RunFailed("%s: the answer's items are not a list" % what)
                    found.extend(items)
                request = api.aggregatedList_next(previous_request=request,
                                                  previous_response=response)
            self._aggregated[collection, project] = found
        return self._aggregated[collection, project]

    def subnetworks(self, key):
        project = key.split("::")[0]
        return [s for s in self.aggregated("subnetworks", project)
                if network_key(s.get("network", "")) == key]

    def peering_routes(self, key, peering, region):
        """What ``peering`` of the network ``key`` brings in, as
        listPeeringRoutes INCOMING answers in ``region``."""
        if (key, peering, region) not in self._exchanged:
            project, name = key.split("::")
            what = "cannot list the routes peering %s of %s imports" % (peering, key)
            networks = self.service.networks()
            request = networks.listPeeringRoutes(project=project, network=name,
                                                 peeringName=peering, direction="INCOMING",
                                                 region=region)
            found = []
            while request is not None:
                response = execute(request, what)
                items = response.get("items", []) if isinstance(response, dict) else None
                if not isinstance(items, list) or not all(isinstance(i, dict) for i in items):
                    raise RunFailed("%s: the answer's items are not a list of routes" % what)
                found.extend(items)
                request = networks.listPeeringRoutes_next(previous_request=request,
                                                          previous_response=response)
            self._exchanged[key, peering, region] = found
        return self._exchanged[key, peering, region]

    def network_routes(self, key):
        """The routes of ``routes.list`` that belong to the network ``key``."""
        return [r for r in self.routes(key.split("::")[0]).values()
                if network_key(r.get("network", "")) == key]


def last(url):
    return str(url).rstrip("/").rsplit("/", 1)[-1]


def hop_text(route):
    """A route's next hop as people read it."""
    if "nextHopInstance" in route:
        parts = str(route["nextHopInstance"]).split("/")
        zone = parts[parts.index("zones") + 1] if "zones" in parts[:-1] else "?"
        return "instance %s/%s" % (zone, parts[-1])
    if "nextHopGateway" in route:
        name = last(route["nextHopGateway"])
        return GATEWAY if name == "default-internet-gateway" else "gateway " + name
    for field, word in (("nextHopIp", "ip"), ("nextHopPeering", "peering"),
                        ("nextHopIlb", "load balancer"), ("nextHopVpnTunnel", "vpn tunnel"),
                        ("nextHopNetwork", "subnet of")):
        if field in route:
            return "%s %s" % (word, route[field] if field == "nextHopIp" else last(route[field]))
    return "?"


def read_table(reads, key):
    """The live route table of the VPC ``key``."""
    vpc = reads.network(key)
    if vpc is None:
        raise RunFailed("cannot read the route table of %s: the network does not exist" % key)
    regional = (vpc.get("routingConfig") or {}).get("routingMode", "REGIONAL") == "REGIONAL"
    entries, regions = set(), []
    for subnet in reads.subnetworks(key):
        region = last(subnet.get("region", ""))
        if region not in regions:
            regions.append(region)
        for cidr in [subnet.get("ipCidrRange")] + [
                s.get("ipCidrRange") for s in subnet.get("secondaryIpRanges") or []]:
            entries.add(Entry(network(cidr), 0, "subnet " + str(subnet.get("name")), "subnet",
                              str(subnet.get("name"))))
    routes = reads.network_routes(key)
    for route in routes:
        if "nextHopPeering" in route or "nextHopNetwork" in route or route.get("tags"):
            continue
        entries.add(Entry(network(route["destRange"]), int(route.get("priority", 1000)),
                          hop_text(route), "static", str(route.get("name"))))
    peers = {}
    for record in vpc.get("peerings") or []:
        name = str(record.get("name"))
        peers[name] = network_key(record.get("network", ""))
        if record.get("state") != "ACTIVE":
            continue
        hop = "peering " + name
        for region in sorted(regions):
            for item in reads.peering_routes(key, name, region):
                if not item.get("imported"):
                    continue
                dynamic = item.get("type") == "DYNAMIC_PEERING_ROUTE"
                entries.add(Entry(network(item["destRange"]), int(item.get("priority", 0)), hop,
                                  "peering", name,
                                  item.get("nextHopRegion") if dynamic and regional else None))
        for route in routes:
            if route.get("nextHopPeering") == name:
                entries.add(Entry(network(route["destRange"]), int(route.get("priority", 0)),
                                  hop, "peering", name))
    return Table(key, sorted(regions), entries, peers)


# ------------------------------------------------------- the plan's steps

def apply_step(table, plan, target, stage):
    """The route table after ``target`` (and ``stage``) of the plan."""
    entries = set(table.entries)
    if target == "peerings":
        transits = {e.get("vpc_name") for e in plan.data.get("transit_vpcs") or []
                    if isinstance(e, dict)}
        entries = {e for e in entries
                   if not (e.kind == "peering" and table.peers.get(e.name) in transits)}
    elif target == "routes":
        config = (plan.data.get("manage_routes") or {}).get(stage) or {}
        gone = set(config.get("delete") or [])
        added = []
        for spec in config.get("add") or []:
            name = route_name(table.key, spec)
            gone.add(name)
            priority = 1000 if spec.get("priority") is None else spec["priority"]
            added.append(Entry(network(spec["cidr"]), priority, "instance %s/%s" % (
                spec["zone"], spec["dest_instance"]), "static", name))
        entries = {e for e in entries if not (e.kind == "static" and e.name in gone)}
        entries.update(added)
    return Table(table.key, table.regions, entries, table.peers)


def _rank(entry):
    return (entry.priority, entry.kind == "peering")


def _pieces(dest, entries):
    """[(range, next hops)] covering ``dest``: where the most specific
    routes differ, the range is cut in halves until they do not."""
    entries = [e for e in entries if e.dest.overlaps(dest)]
    inner = [e.dest for e in entries if e.dest != dest and e.dest.subnet_of(dest)]
    inner += [b for b in PRIVATE if b != dest and b.subnet_of(dest)]
    if inner and dest.prefixlen < 32:
        low, high = dest.subnets(1)
        return _pieces(low, entries) + _pieces(high, entries)
    covering = [e for e in entries if dest.subnet_of(e.dest)]
    if not covering:
        return [(dest, frozenset())]
    longest = max(e.dest.prefixlen for e in covering)
    best = [e for e in covering if e.dest.prefixlen == longest]
    top = min(_rank(e) for e in best)
    return [(dest, frozenset(e.hop for e in best if _rank(e) == top))]


def _delivered(piece, hops):
    if not hops:
        return False
    return hops != {GATEWAY} or not any(piece.subnet_of(b) for b in PRIVATE)


def _reached(ranges, entries):
    """(the addresses of ``ranges`` a route delivers, their next hops)."""
    reached, hops = [], set()
    for piece_range in ranges:
        for piece, winners in _pieces(piece_range, entries):
            if _delivered(piece, winners):
                reached.append(piece)
                hops |= winners
    return reached, hops


def compare(before, after):
    """(unreachable, next_hop_changed): per region, each destination of
    ``before`` (a subnet of the VPC's own aside) whose addresses the VPC
    reached and would not reach with ``after``, with the ranges lost, and
    each whose next hops change."""
    unreachable, changed = [], []
    for region in before.regions:
        old = [e for e in before.entries if e.region in (None, region)]
        new = [e for e in after.entries if e.region in (None, region)]
        every = {e.dest for e in old + new}
        for dest in sorted({e.dest for e in old if e.kind != "subnet"}):
            own = subtract([dest], [d for d in every if d != dest and d.subnet_of(dest)])
            was, hops_before = _reached(own, old)
            if not was:
                continue
            now, hops_after = _reached(own, new)
            lost = subtract(was, now)
            if lost:
                unreachable.append({"region": region, "range": str(dest), "lost": texts(lost),
                                    "before": sorted(hops_before)})
            elif hops_before != hops_after:
                changed.append({"region": region, "range": str(dest),
                                "before": sorted(hops_before), "after": sorted(hops_after)})
    return unreachable, changed


def reachability(service, plan, key, steps):
    """The reachability document of the plan's ``steps`` ([(target, stage)],
    in order) for the VPC ``key``, from read requests only: each step's
    findings (from the live table to the table after it and the steps
    before it) and the findings of the whole."""
    table = read_table(NetworkReads(service), key)
    document = {"vpc": key, "regions": table.regions, "steps": []}
    current = table
    for target, stage in steps:
        current = apply_step(current, plan, target, stage)
        unreachable, changed = compare(table, current)
        document["steps"].append({"step": "switch %s%s" % (target, " " + stage if stage else ""),
                                  "unreachable": unreachable, "next_hop_changed": changed})
    document["unreachable"], document["next_hop_changed"] = compare(table, current)
    return document


def unreachable_ranges(document, allowed=()):
    """{range: [regions]} of the destinations the document finds
    unreachable at the end, but for those within an ``allowed`` range."""
    found = {}
    allowed = [network(a) for a in allowed]
    for item in document["unreachable"]:
        if any(network(item["range"]).subnet_of(a) for a in allowed):
            continue
        found.setdefault(item["range"], []).append(item["region"])
    return found
