"""The commands that only read: ``discover`` (a project's networks with
their subnetworks, route tables, peerings and Cloud Routers) and ``cidrs``
(the ranges the migrated VPC advertises in a region)."""

from __future__ import annotations

import logging

from tarn_gcp.cloud.compute import (api_failure, execute, gcplib, get_network, list_networks,
                                    subnet_regions)
from tarn_gcp.cloud.state import run_state
from tarn_gcp.errors import RunFailed

log = logging.getLogger("tarn_gcp.cli")

DISCOVER_HELP = ("list the networks with their subnetworks, route tables, peerings and Cloud "
                 "Routers")
DISCOVER_EXAMPLES = """\
  tarn_gcp discover my-spoke-project
  tarn_gcp --plan plan.yaml discover --format json > topology.json
  tarn_gcp --emulator discover tarn-transit --format dot | dot -Tsvg > peerings.svg"""
CIDRS_HELP = "the ranges the migrated VPC advertises in a region"
CIDRS_EXAMPLES = """\
  tarn_gcp --plan plan.yaml cidrs europe-west1
  tarn_gcp --emulator cidrs us-central1 --format json"""


def discover(run, project):
    """Lists the project's networks with their subnetworks and route
    tables, then for each network its peerings (with their state and
    settings), its routes by name and its Cloud Routers in the regions of
    its subnetworks."""
    from tarn_gcp.cli import formats

    lib = gcplib().GcpLib
    before = run.console.problems
    networks = list_networks(run, project)
    if not networks:
        log.info("")
        log.info("- Discover network(s)")
        log.info("  no network found in %s", project)
        run.document = {"project": project, "networks": []}
        run.console.summary("discover %s: no network%s" % (project, run.problems_note(before)))
        return run.status_since(before)
    gather = formats.Gatherer(run.service, execute)
    entries = []
    try:
        with run_state(run, project):
            lib.listAllNetwork(project)
            routes = gather.routes(project)
            routers = 0
            for network in networks:
                entry = gather.network_entry(project, network, routes)
                entries.append(entry)
                log.info("")
                log.info("= VPC %s: peerings", network["name"])
                lib.listPeering(network)
                _peering_settings(entry["peerings"])
                log.info("= VPC %s: routes", network["name"])
                _route_names(entry["routes"])
                for region in subnet_regions(network):
                    log.info("= VPC %s: Cloud Routers in %s", network["name"], region)
                    lib.listRouterByRegion(run.service, project, network["name"], region)
                    # The module says so itself only when the region has no router at all.
                    if gather.routers(project, region) and not any(
                            r["region"] == region for r in entry["routers"]):
                        log.info("  no Cloud Router found")
                    routers += 1
    except Exception as exc:
        raise RunFailed("discovery of %s failed: %s" % (project, api_failure(exc))) from exc
    subnets = sum(len(n.get("subnetworks", [])) for n in networks)
    peerings = sum(len(n.get("peerings", [])) for n in networks)
    if run.format != "text":
        document = {"project": project, "networks": entries}
        if run.format == "dot":
            document["peer_nodes"] = formats.peer_nodes(run.service, execute, document)
        run.document = document
    run.console.summary("discover %s: %d network(s), %d subnetwork(s), %d peering(s), Cloud "
                        "Routers looked up in %d network region(s)%s"
                        % (project, len(networks), subnets, peerings, routers,
                           run.problems_note(before)))
    return run.status_since(before)


def _table(header, rows):
    """Logs ``rows`` (tuples of texts) under ``header`` in aligned columns,
    between rules as the module draws them."""
    widths = [max(len(str(row[i])) for row in [header] + rows) + 2 for i in range(len(header))]
    rule = "  " + "." * 63
    log.info(rule)
    for row in [header, None] + rows:
        if row is None:
            log.info(rule)
            continue
        log.info("  %s", "".join(str(text).ljust(width)
                                 for text, width in zip(row, widths)).rstrip())


def _flag(value):
    return "true" if value is True else "false"  # absent reads as false, as in the API


def _peering_settings(peerings):
    """Each peering's state and whether it exports and imports custom routes."""
    if peerings:
        _table(("Peering name", "State", "Export custom routes", "Import custom routes"),
               [(p["name"], p["state"] or "?", _flag(p["exportCustomRoutes"]),
                 _flag(p["importCustomRoutes"])) for p in peerings])


def _route_names(routes):
    """Each route by name, with its range, priority and next hop."""
    if not routes:
        log.info("  no route found")
        return
    _table(("Route name", "CIDR", "Priority", "Next-hop"),
           [(r["name"], r["destRange"], "" if r["priority"] is None else r["priority"],
             r["nextHop"] or "?") for r in routes])


def cidrs(run, region, compact=False):
    """Writes the ranges the migrated VPC advertises in ``region``, one a
    line, on standard output (``compact``: as one summary line)."""
    from tarn_gcp.res.Globals import Globals

    lib = gcplib().GcpLib
    command = "cidrs"
    project = run.plan.project(command)
    vpc = run.plan.vpc_name(command)
    run.plan.spoke_settings(command)
    network = get_network(run, project, vpc)
    before = run.console.problems
    module_log = logging.getLogger("tarn_gcp.gcplib")
    try:
        with run_state(run, project, vpc, network):
            try:
                route_info = lib.listRouteTable(project, run.service, network, False)
            finally:
                module_log.propagate = True
            Globals.routeInfo = route_info
            result = lib.composeVpcCidrs(run.service, network, {"region": region})
    except Exception as exc:
        raise RunFailed("cannot compose the ranges of %s::%s in %s: %s"
                        % (project, vpc, region, api_failure(exc))) from exc
    why = "" if result else " (%s)" % _why_nothing(run.plan.data, route_info)
    if compact:
        run.console.summary("cidrs %s: %s::%s advertises %s%s" % (
            region, project, vpc, " ".join(map(str, result)) if result else "nothing", why))
        return run.status_since(before)
    run.document = {"vpc": "%s::%s" % (project, vpc), "region": region,
                    "cidrs": None if result is None else [str(c) for c in result]}
    log.info("- Ranges %s::%s advertises in %s", project, vpc, region)
    if result is None:
        log.info("  none%s", why)
    else:
        for cidr in result:
            run.console.summary(str(cidr))
    return run.status_since(before)


def _why_nothing(plan, route_info):
    """Why the plan has the VPC advertise nothing: a listed
    spoke_advertisement is advertised as it is, and with it null the
    region's subnets go only together with the GKE export ranges (when
    advertise_gke is true and such ranges were found)."""
    gke = ("no GKE export range was found" if plan.get("advertise_gke") is True
           else "advertise_gke is not true")
    if plan.get("spoke_advertisement") is not None:
        return "spoke_advertisement lists no range and %s" % gke
    return ("with spoke_advertisement null the region's subnets are advertised only together "
            "with the GKE export ranges, and %s" % gke)
