"""Peering and route changes of several runs on shared networks, one at a
time.

Compute refuses a peering operation while another peering operation, or a
route insertion or deletion, runs on either of its two networks, and a
route change while a peering operation runs on its network or on a network
peered with it.  When several spokes peered with the same transit networks
migrate at once, each change therefore holds the locks of the networks it
works on (see tarn_gcp.revert.shared) from before it is sent until its
operation is DONE:

* ``networks.addPeering`` / ``removePeering`` on N: N and the peer network;
* ``routes.insert`` / ``routes.delete`` in N: N and every network N was
  last read to be peered with.

The transport tells ``NetworkLocks`` what it reads (``seen``), from which
the peers of a network and the network of a route are known, and asks it
for the ``guard`` of each change.
"""

from __future__ import annotations

import json
import re

from tarn_gcp.revert.shared import network_lock

_NETWORK = re.compile(r"projects/([^/]+)/global/networks/([^/]+)")
_PEERING = re.compile(r"projects/([^/]+)/global/networks/([^/]+)/(addPeering|removePeering)")
_ROUTES = re.compile(r"projects/([^/]+)/global/routes(?:/([^/]+))?")


def _key(link):
    """project::network of a network's URL or path, else None."""
    found = _NETWORK.search(link) if isinstance(link, str) else None
    return "%s::%s" % found.groups() if found else None


def _json(content):
    try:
        data = json.loads(content)
    except (TypeError, ValueError, UnicodeDecodeError):
        return None
    return data if isinstance(data, dict) else None


class NetworkLocks:
    """The network locks of the changes of one run, taken in ``place`` (a
    SharedPlace); ``home`` is the run's own network (project::network),
    the network of a route whose network was not read."""

    def __init__(self, place, home):
        self.place = place
        self.home = home
        self.peers = {}        # network key: {peering name: peer network key}
        self.route_network = {}

    def seen(self, path, content):
        """Takes note of a successful read of ``path``."""
        if _NETWORK.fullmatch(path):
            network = _json(content)
            if network is not None:
                self.peers[_key(path)] = {
                    p.get("name"): _key(p.get("network"))
                    for p in network.get("peerings") or [] if isinstance(p, dict)}
            return
        found = _ROUTES.fullmatch(path)
        if found:
            data = _json(content)
            if data is None:
                return
            for route in data.get("items", [data]) if found.group(2) is None else [data]:
                if isinstance(route, dict) and isinstance(route.get("name"), str):
                    self.route_network[found.group(1), route["name"]] = _key(
                        route.get("network"))

    def networks(self, method, path, body):
        """The networks a change works on (empty: none that is shared)."""
        found = _PEERING.fullmatch(path)
        data = _json(body) if body else {}
        data = data or {}
        if found:
            network = "%s::%s" % found.group(1, 2)
            if found.group(3) == "addPeering":
                spec = data.get("networkPeering") or {}
                peer = _key(spec.get("network") or data.get("peerNetwork"))
            else:
                peer = self.peers.get(network, {}).get(data.get("name"))
            return {network, peer} - {None}
        found = _ROUTES.fullmatch(path)
        if not found or method not in ("POST", "DELETE"):
            return set()
        if method == "POST" and found.group(2) is None:
            network = _key(data.get("network"))
        elif method == "DELETE" and found.group(2) is not None:
            network = self.route_network.get((found.group(1), found.group(2)))
        else:
            return set()
        network = network or self.home
        return {network} | set(self.peers.get(network, {}).values()) - {None}

    def guard(self, method, path, body):
        """The locks a change holds until its operation is DONE (None: no
        lock)."""
        networks = self.networks(method.upper(), path, body)
        if not networks:
            return None
        return self.place.holding([network_lock(n) for n in networks])
