"""Compute self-links, as the API writes them."""

BASE = "https://www.googleapis.com/compute/v1"
PROJECTS = BASE + "/projects/"


def network_url(project: str, network: str) -> str:
    return f"{PROJECTS}{project}/global/networks/{network}"


def subnet_url(project: str, region: str, name: str) -> str:
    return f"{PROJECTS}{project}/regions/{region}/subnetworks/{name}"


def region_url(project: str, region: str) -> str:
    return f"{PROJECTS}{project}/regions/{region}"


def instance_url(project: str, zone: str, name: str) -> str:
    return f"{PROJECTS}{project}/zones/{zone}/instances/{name}"
