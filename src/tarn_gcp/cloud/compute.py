"""The requests the commands make themselves, and how a failed request
reads: reading networks, listing them, the regions of a network, and the
extension module the stages run in."""

from __future__ import annotations

from tarn_gcp.errors import RunFailed


def gcplib():
    from tarn_gcp import gcplib as module

    return module


def api_failure(exc):
    """One line for an exception raised by a request or a stage."""
    from googleapiclient.errors import HttpError

    from .target import NotComputeAnswer

    if isinstance(exc, NotComputeAnswer):
        return str(exc)
    if isinstance(exc, HttpError):
        status = getattr(exc.resp, "status", "?")
        reason = exc.reason if isinstance(exc.reason, str) and exc.reason else "no reason given"
        return "Compute API refused a request (HTTP %s): %s" % (status, reason)
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def execute(request, what):
    """The response of ``request``; RunFailed saying ``what`` failed."""
    try:
        return request.execute()
    except Exception as exc:
        raise RunFailed("%s: %s" % (what, api_failure(exc))) from exc


def get_network(run, project, name):
    what = "cannot read the network %s::%s" % (project, name)
    network = execute(run.service.networks().get(project=project, network=name), what)
    if not isinstance(network.get("selfLink"), str) or not isinstance(network.get("name"), str):
        raise RunFailed("%s: the answer is not a network (no name or selfLink as text)" % what)
    return network


def list_networks(run, project):
    networks = []
    what = "cannot list the networks of %s" % project
    request = run.service.networks().list(project=project)
    while request is not None:
        response = execute(request, what)
        items = response.get("items", [])
        if not isinstance(items, list) or not all(isinstance(n, dict) for n in items):
            raise RunFailed("%s: the answer's items are not a list of networks" % what)
        networks.extend(items)
        request = run.service.networks().list_next(previous_request=request,
                                                   previous_response=response)
    return networks


def subnet_regions(network):
    """The regions of a network's subnetworks, in the order they appear."""
    lib = gcplib().GcpLib
    regions = []
    for url in network.get("subnetworks", []):
        parts = url.split("/")
        if len(parts) > lib.REGION_I and parts[lib.REGION_I] not in regions:
            regions.append(parts[lib.REGION_I])
    return regions


def network_key(url):
    """project::network of a network URL or partial path; the text itself
    when it names no network."""
    parts = str(url).split("/")
    try:
        project = parts[parts.index("projects") + 1]
        network = parts[parts.index("networks") + 1]
    except (ValueError, IndexError):
        return str(url)
    return "%s::%s" % (project, network)
