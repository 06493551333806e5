"""Machine-readable output: ``--format json`` and ``discover --format dot``.

With a format other than text, a command writes one document on standard
output and nothing else there: while it runs, whatever it would write on
standard output (the summaries, the problems; the log lines with -v: the
console is quiet otherwise) goes to standard error.

The JSON documents (keys are stable; new keys may be added):

* discover: {"project", "networks": [{"name", "key" (project::network),
  "selfLink", "subnetworks": [{"name", "region", "ipCidrRange",
  "secondaryIpRanges": [{"rangeName", "ipCidrRange"}]}], "peerings":
  [{"name", "peer" (project::network), "state", "exportCustomRoutes",
  "importCustomRoutes"}], "routes": [{"name", "destRange", "priority",
  "nextHop", "description"}], "routers": [{"name", "region", "asn",
  "advertiseMode", "advertisedGroups", "advertisedIpRanges": [{"range",
  "description"}]}]}]}
* cidrs: {"vpc", "region", "cidrs": [ranges] or null}
* status: {"vpc", "stages": [{"stage", "state", "items": [{"kind",
  "name", "state", "detail"}]}]}

The DOT graph of discover has one node per network of the project and per
network they peer with (named project::network, labelled with its subnet
ranges) and one edge per peering record, from the network holding it to
its peer, labelled with the peering's name and state; an edge whose record
is not ACTIVE is dashed.
"""

from __future__ import annotations

import contextlib
import json
import sys

FORMATS = ("text", "json", "dot")
_HOPS = ("nextHopInstance", "nextHopIp", "nextHopGateway", "nextHopPeering", "nextHopIlb",
         "nextHopNetwork", "nextHopVpnTunnel")


class Output:
    """Where the document of a run goes once the command is done."""

    def __init__(self, fmt, stream):
        self.format = fmt
        self.stream = stream
        self.document = None

    def write(self):
        if self.document is None:
            return
        if self.format == "dot":
            text = dot_graph(self.document)
        else:
            text = json.dumps(self.document, indent=2, sort_keys=False) + "\n"
        self.stream.write(text)
        self.stream.flush()


@contextlib.contextmanager
def diverted(fmt):
    """Runs the block with standard output sent to standard error when
    ``fmt`` is not text; yields the Output whose document is written on the
    real standard output after the block (when it ends normally)."""
    output = Output(fmt, sys.stdout)
    if fmt == "text":
        yield output
        return
    with contextlib.redirect_stdout(sys.stderr):
        yield output
    output.write()


# ------------------------------------------------------------ discover

def _last(url):
    return str(url).rstrip("/").rsplit("/", 1)[-1]


def _key(url):
    from tarn_gcp.cloud.compute import network_key

    return network_key(url)


def _regions(network):
    regions = []
    for url in network.get("subnetworks", []):
        parts = str(url).split("/")
        if "regions" in parts and parts.index("regions") + 1 < len(parts):
            region = parts[parts.index("regions") + 1]
            if region not in regions:
                regions.append(region)
    return regions


class Gatherer:
    """The read requests that gather a discovery document."""

    def __init__(self, service, execute):
        self.service = service
        self.execute = execute
        self._subnets = {}
        self._routers = {}

    def routes(self, project):
        """Every route of ``project``."""
        return self.pages(self.service.routes(), "cannot list the routes of %s" % project,
                          project=project)

    def routers(self, project, region):
        """Every Cloud Router of ``project`` in ``region``, read once."""
        if (project, region) not in self._routers:
            self._routers[project, region] = self.pages(
                self.service.routers(), "cannot list the Cloud Routers of %s in %s"
                % (project, region), project=project, region=region)
        return self._routers[project, region]

    def pages(self, collection, what, **params):
        items = []
        request = collection.list(**params)
        while request is not None:
            response = self.execute(request, what)
            items.extend(response.get("items", []))
            request = collection.list_next(previous_request=request, previous_response=response)
        return items

    def subnetworks(self, project, network):
        found = []
        for region in _regions(network):
            if (project, region) not in self._subnets:
                self._subnets[project, region] = self.pages(
                    self.service.subnetworks(), "cannot list the subnetworks of %s in %s"
                    % (project, region), project=project, region=region)
            found += [s for s in self._subnets[project, region]
                      if _key(s.get("network", "")) == "%s::%s" % (project, network["name"])]
        return [{"name": s.get("name"), "region": _last(s.get("region", "")),
                 "ipCidrRange": s.get("ipCidrRange"),
                 "secondaryIpRanges": [{"rangeName": r.get("rangeName"),
                                        "ipCidrRange": r.get("ipCidrRange")}
                                       for r in s.get("secondaryIpRanges", [])]}
                for s in found]

    def network_entry(self, project, network, routes=(), routers=True):
        key = "%s::%s" % (project, network["name"])
        entry = {"name": network["name"], "key": key, "selfLink": network.get("selfLink"),
                 "subnetworks": self.subnetworks(project, network),
                 "peerings": [{"name": p.get("name"), "peer": _key(p.get("network", "")),
                               "state": p.get("state"),
                               "exportCustomRoutes": p.get("exportCustomRoutes"),
                               "importCustomRoutes": p.get("importCustomRoutes")}
                              for p in network.get("peerings", [])],
                 "routes": [], "routers": []}
        for route in routes:
            if _key(route.get("network", "")) != key:
                continue
            hop = next((k for k in _HOPS if k in route), None)
            entry["routes"].append({
                "name": route.get("name"), "destRange": route.get("destRange"),
                "priority": route.get("priority"),
                "nextHop": None if hop is None else (
                    route[hop] if hop == "nextHopIp" else _last(route[hop])),
                "description": route.get("description", "")})
        if routers:
            for region in _regions(network):
                for router in self.routers(project, region):
                    if _key(router.get("network", "")) != key:
                        continue
                    bgp = router.get("bgp", {})
                    entry["routers"].append({
                        "name": router.get("name"), "region": region, "asn": bgp.get("asn"),
                        "advertiseMode": bgp.get("advertiseMode"),
                        "advertisedGroups": list(bgp.get("advertisedGroups", [])),
                        "advertisedIpRanges": [{"range": r.get("range"),
                                                "description": r.get("description", "")}
                                               for r in bgp.get("advertisedIpRanges", [])]})
        return entry


def peer_nodes(service, execute, document):
    """Nodes (key -> subnet ranges, or None when unreadable) of the
    networks the project's networks peer with, outside the document."""
    from tarn_gcp.errors import RunFailed

    gather = Gatherer(service, execute)
    known = {n["key"] for n in document["networks"]}
    nodes = {}
    for network in document["networks"]:
        for peering in network["peerings"]:
            key = peering["peer"]
            if key in known or key in nodes or "::" not in key:
                continue
            project, name = key.split("::", 1)
            try:
                peer = execute(service.networks().get(project=project, network=name),
                               "cannot read %s" % key)
                nodes[key] = {"ranges": [s["ipCidrRange"] for s in
                                         gather.subnetworks(project, peer)],
                              "peerings": [{"name": p.get("name"), "peer": _key(p.get("network",
                                                                                         "")),
                                            "state": p.get("state")}
                                           for p in peer.get("peerings", [])]}
            except RunFailed:
                nodes[key] = None
    return nodes


# ----------------------------------------------------------------- DOT

def _quote(text):
    return '"%s"' % str(text).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def dot_graph(document):
    """The discover document (with "peer_nodes") as a Graphviz digraph."""
    lines = ["digraph %s {" % _quote(document["project"]),
             "  rankdir=LR;",
             "  node [shape=box, fontname=\"Helvetica\"];",
             "  edge [fontname=\"Helvetica\", fontsize=10];"]
    peers = document.get("peer_nodes", {})
    for network in document["networks"]:
        ranges = [s["ipCidrRange"] for s in network["subnetworks"]]
        lines.append("  %s [label=%s];" % (_quote(network["key"]),
                                           _quote("\n".join([network["key"]] + ranges))))
    for key, node in peers.items():
        label = [key] + (node["ranges"] if node is not None else ["(not readable)"])
        lines.append("  %s [label=%s, style=rounded];" % (_quote(key), _quote("\n".join(label))))
    edges = [(n["key"], p) for n in document["networks"] for p in n["peerings"]]
    edges += [(key, p) for key, node in peers.items() if node is not None
              for p in node["peerings"]]
    shown = {n["key"] for n in document["networks"]} | set(peers)
    for source, peering in edges:
        if peering["peer"] not in shown:
            continue
        style = "" if peering.get("state") == "ACTIVE" else ", style=dashed"
        lines.append("  %s -> %s [label=%s%s];" % (
            _quote(source), _quote(peering["peer"]),
            _quote("%s\n%s" % (peering["name"], peering.get("state") or "?")), style))
    lines.append("}")
    return "\n".join(lines) + "\n"
