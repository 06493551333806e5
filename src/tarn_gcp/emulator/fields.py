"""Reading the fields of request bodies as the API checks them, and the
shape of the resources handed back."""

import copy
import ipaddress
from datetime import datetime

from .errors import invalid
from .paths import NAME_PATTERN, is_name

# Fields the service fills in itself; they are ignored when sent on insert
# or patch (a route fetched with routes.get can be inserted again as it is).
OUTPUT_ONLY = {"kind", "id", "creationTimestamp", "selfLink", "selfLinkWithId",
               "warnings", "fingerprint", "status", "statusMessage"}

KINDS = {"networks": "compute#network", "subnetworks": "compute#subnetwork",
         "instances": "compute#instance", "routes": "compute#route",
         "routers": "compute#router"}


def now_rfc3339():
    return datetime.now().astimezone().isoformat(timespec="milliseconds")


def check_name(value, field="resource.name"):
    if not is_name(value):
        raise invalid(field, value, "Must be a match of regex '(?:%s)'" % NAME_PATTERN)
    return value


def check_region_field(body, region):
    """A body's optional "region" must name the region of the request."""
    given = body.get("region")
    if given is not None and (not isinstance(given, str)
                              or given.rstrip("/").split("/")[-1] != region):
        raise invalid("resource.region", given,
                      "Must be the region of the request, %s." % region)


def read_cidr(value, field, version=None):
    try:
        net = ipaddress.ip_network(value, strict=True)
    except (ValueError, TypeError):
        raise invalid(field, value, "Must be a valid CIDR range with no host bits set.")
    if version and net.version != version:
        raise invalid(field, value, "Must be an IPv%d range." % version)
    return net


def read_ip_address(value, field):
    """The address in its canonical spelling."""
    try:
        return str(ipaddress.ip_address(value))
    except ValueError:
        raise invalid(field, value, "Must be an IP address.") from None


def read_bool(body, key, default, field):
    value = body.get(key, default)
    if not isinstance(value, bool):
        raise invalid(field, value, "Must be a boolean.")
    return value


def read_int(value, field, low, high):
    if isinstance(value, str) and value.isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise invalid(field, value, "Must be an integer between %d and %d." % (low, high))
    return value


def read_text(body, key, field):
    value = body.get(key)
    if value is not None and not isinstance(value, str):
        raise invalid(field, value, "Must be a string.")
    return value


def read_list(body, key, field):
    value = body.get(key) or []
    if not isinstance(value, list):
        raise invalid(field, value, "Must be a list.")
    return value


def merge_patch(target, patch):
    """JSON merge patch: dicts merge, anything else (lists included) replaces,
    None removes the key."""
    if not isinstance(patch, dict):
        return copy.deepcopy(patch)
    result = dict(target) if isinstance(target, dict) else {}
    for key, value in patch.items():
        if value is None:
            result.pop(key, None)
        else:
            result[key] = merge_patch(result.get(key), value)
    return result


def prune_empty(value):
    """Drops empty lists and None values, as the API leaves such fields out."""
    if isinstance(value, dict):
        return {k: prune_empty(v) for k, v in value.items() if v is not None and v != []}
    if isinstance(value, list):
        return [prune_empty(v) for v in value]
    return value
