"""Resource names, relative resource paths and the self-links made from them."""

import re

from .errors import invalid

API_ROOT = "https://www.googleapis.com/compute/v1/"

NAME_PATTERN = r"[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?"
PROJECT_PATTERN = (r"(?:(?:[-a-z0-9]{1,63}\.)*(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?):)?"
                   r"(?:[0-9]{1,19}|(?:[a-z0-9](?:[-a-z0-9]{0,61}[a-z0-9])?))")
_NAME_RE = re.compile(NAME_PATTERN)
_PROJECT_RE = re.compile(PROJECT_PATTERN)

# Where each collection lives: "global", "regions" or "zones".
SCOPES = {"networks": "global", "routes": "global", "gateways": "global",
          "subnetworks": "regions", "routers": "regions", "forwardingRules": "regions",
          "vpnTunnels": "regions", "instances": "zones", "machineTypes": "zones"}

_URL_PREFIX = re.compile(r"^(?:[a-z]+://[^/]+)?/*(?:compute/(?:v1|beta|alpha)/)?")


def link(path):
    """The self-link of a relative resource path."""
    return API_ROOT + path


def path_of(self_link):
    """The relative resource path of a self-link made by ``link``."""
    return self_link[len(API_ROOT):]


def is_name(value):
    return isinstance(value, str) and _NAME_RE.fullmatch(value) is not None


def is_project(value):
    return isinstance(value, str) and _PROJECT_RE.fullmatch(value) is not None


def collection_of(path):
    """"routes" for "projects/P/global/routes/R"."""
    return path.split("/")[-2]


def region_of_zone(zone):
    return zone.rsplit("-", 1)[0]


def ref_path(value, project, collection, field, scope=None):
    """Canonical relative path of a reference given as a full or partial URL.

    Accepted: full URLs of any host ending in compute/v1/..., project paths
    ("projects/P/global/networks/N"), project-relative paths
    ("global/networks/N", "zones/Z/instances/I") and, for global collections
    or when ``scope`` gives the region/zone, a bare name.
    """
    if not isinstance(value, str) or not value:
        raise invalid(field, value, "The URL is malformed.")
    parts = _URL_PREFIX.sub("", value, count=1).split("/")
    if parts[0] == "projects" and len(parts) >= 2:
        project, parts = parts[1], parts[2:]
    kind = SCOPES[collection]
    if kind == "global":
        if len(parts) == 3 and parts[0] == "global" and parts[1] == collection:
            parts = parts[2:]
        ok = len(parts) == 1 and is_name(parts[0])
        where = "global"
    else:
        if len(parts) == 1 and scope:
            parts = [kind, scope, collection, parts[0]]
        ok = (len(parts) == 4 and parts[0] == kind and parts[2] == collection
              and is_name(parts[1]) and is_name(parts[3]))
        where = "/".join(parts[:2])
        parts = parts[3:]
    if not ok or not is_project(project):
        raise invalid(field, value, "The URL is malformed.")
    return "projects/%s/%s/%s/%s" % (project, where, collection, parts[0])
