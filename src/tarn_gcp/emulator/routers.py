"""Cloud Routers: insert, and patch as a JSON merge patch of the stored
router."""

import copy

from .errors import bad_request, invalid
from .fields import (KINDS, OUTPUT_ONLY, check_name, check_region_field, merge_patch,
                     now_rfc3339, prune_empty, read_cidr, read_int, read_list, read_text)
from .operations import OperationLog, fault_names, mutation
from .paths import link

_ADVERTISE_MODES = ("CUSTOM", "DEFAULT")
_ADVERTISED_GROUPS = ("ALL_SUBNETS",)


def _writable_fields(body):
    """The fields of a request body the caller may set."""
    if not isinstance(body, dict):
        raise bad_request("The request body must be an object.")
    return {k: v for k, v in body.items() if k not in OUTPUT_ONLY}


def _build_bgp(bgp):
    if not isinstance(bgp, dict):
        raise invalid("resource.bgp", bgp, "Must be an object.")
    if "asn" not in bgp:
        raise invalid("resource.bgp.asn", None, "The ASN of the router must be given.")
    out = {"asn": read_int(bgp["asn"], "resource.bgp.asn", 1, 4294967294)}
    mode = bgp.get("advertiseMode", "DEFAULT")
    if mode not in _ADVERTISE_MODES:
        raise invalid("resource.bgp.advertiseMode", mode, "Must be CUSTOM or DEFAULT.")
    out["advertiseMode"] = mode
    groups = read_list(bgp, "advertisedGroups", "resource.bgp.advertisedGroups")
    for i, group in enumerate(groups):
        field = "resource.bgp.advertisedGroups[%d]" % i
        if group not in _ADVERTISED_GROUPS:
            raise invalid(field, group, "Must be one of %s." % ", ".join(_ADVERTISED_GROUPS))
        if group in groups[:i]:
            raise invalid(field, group, "The group is listed twice.")
    ranges = read_list(bgp, "advertisedIpRanges", "resource.bgp.advertisedIpRanges")
    seen, kept = set(), []
    for i, item in enumerate(ranges):
        field = "resource.bgp.advertisedIpRanges[%d]" % i
        if not isinstance(item, dict):
            raise invalid(field, item, "Must be an object.")
        net = read_cidr(item.get("range"), field + ".range")
        if net in seen:
            raise invalid(field + ".range", item.get("range"), "The range is advertised twice.")
        seen.add(net)
        entry = {"range": item["range"]}
        if item.get("description") is not None:
            entry["description"] = read_text(item, "description", field + ".description")
        kept.append(entry)
    if mode == "DEFAULT" and (groups or kept):
        raise invalid("resource.bgp.advertiseMode", mode,
                      "Custom advertised groups and ranges need advertiseMode CUSTOM.")
    out["advertisedGroups"] = list(groups)
    out["advertisedIpRanges"] = kept
    out["keepaliveInterval"] = read_int(bgp.get("keepaliveInterval", 20),
                                        "resource.bgp.keepaliveInterval", 20, 60)
    return out


class Routers(OperationLog):
    """routers.insert and routers.patch; both apply at acceptance."""

    def _build_router(self, project, region, body, existing=None):
        """A router from an insert's body, or from the merged state of
        ``existing`` and a patch."""
        name = check_name(body.get("name"))
        check_region_field(body, region)
        network_path = self._referenced_network(project, body)
        if existing is not None and link(network_path) != existing["network"]:
            raise invalid("resource.network", body.get("network"),
                          "The network of a router cannot be changed.")
        bgp = body.get("bgp")
        if bgp is not None:
            bgp = _build_bgp(bgp)
        path = "projects/%s/regions/%s/routers/%s" % (project, region, name)
        router = {"kind": KINDS["routers"],
                  "id": existing["id"] if existing else self._new_id(),
                  "creationTimestamp": (existing["creationTimestamp"] if existing
                                        else now_rfc3339()),
                  "name": name,
                  "description": read_text(body, "description", "resource.description"),
                  "region": link("projects/%s/regions/%s" % (project, region)),
                  "network": link(network_path), "bgp": bgp}
        for key in ("bgpPeers", "interfaces", "nats"):
            router[key] = copy.deepcopy(read_list(body, key, "resource." + key))
        router["selfLink"] = link(path)
        return path, router

    @mutation
    def insert_router(self, project, region, body, request_id=None):
        def build(project, region, body):
            return self._build_router(project, region, _writable_fields(body))
        return self._insert_at_acceptance(project, ("regions", region), build, body,
                                          "compute.routers.insert", self._put, request_id)

    @mutation
    def patch_router(self, project, region, router, body, request_id=None):
        """routers.patch as a JSON merge patch of the stored router."""
        path = self._resolve(project, "regions/" + region, "routers", router)
        current = self._stored(path)
        self._refuse_if_not_ready(path)
        patch = _writable_fields(body)
        if "name" in patch and patch["name"] != current["name"]:
            raise invalid("resource.name", patch["name"], "A router cannot be renamed.")
        merged = merge_patch(prune_empty(copy.deepcopy(current)), patch)
        merged["name"] = current["name"]
        _, updated = self._build_router(project, region, merged, existing=current)

        def apply():
            self._resources[path] = updated
        return self._start_operation(project, ("regions", region), "patch", path,
                                     current["id"], "compute.routers.patch",
                                     fault_names(current["name"]), apply, request_id)
