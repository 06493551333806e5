"""Where the migration of the plan's VPC stands, from its revert
information and the live network (what ``tarn_gcp status`` shows).

Every stage of the plan (the peerings, each route stage of
"manage_routes" in plan order, the Cloud Routers) is compared item by item
with what the revert information recorded for the plan's VPC:

* peerings: each saved pair is switched when both sides are gone from
  their networks, restored when both are back and ACTIVE with their saved
  settings (a side saved inactive may come back inactive), partial when
  only one side is gone;
* routes: a deleted route is switched when it is absent, restored when a
  route of its name is back with its saved destination, next hop and
  priority; an added route is switched when it is present with the
  marker description of the routes the stage creates (and, when the
  plan's stage still holds its entry, that entry's destination, priority
  and next-hop instance), restored when it is absent;
* Cloud Routers: restored when the router's BGP settings equal the saved
  ones, switched when they equal what the stage makes of the saved ones
  with the plan's router entry (ranges withdrawn, ranges not yet advertised
  added with the description "tessaron-migration-added", groups withdrawn).

Anything else is drifted.  A stage is "not started" without a record,
drifted when one item is, partial when its items are not all switched or
all restored, else switched or restored (a record that holds no change
counts as switched).  Only read requests are sent and the revert file is
only read.
"""

from __future__ import annotations

import hashlib
import ipaddress

from tarn_gcp.cloud.compute import api_failure, execute, network_key
from tarn_gcp.errors import RunFailed

NOT_STARTED, SWITCHED, RESTORED, PARTIAL, DRIFTED = (
    "not started", "switched", "restored", "partial", "drifted")
STATES = (NOT_STARTED, SWITCHED, RESTORED, PARTIAL, DRIFTED)
ROUTER_MARK = "tessaron-migration-added"
ROUTE_MARK = "Tessaron-Created-Resource: Do-Not-Delete-Tessaron-Created-Resource"
# Peering settings the restore sends again from the saved record.
PEERING_SETTINGS = ("exportCustomRoutes", "importCustomRoutes", "exchangeSubnetRoutes",
                    "exportSubnetRoutesWithPublicIp", "importSubnetRoutesWithPublicIp",
                    "stackType")
# What a route's destination and next hop are made of.
ROUTE_FIELDS = ("destRange", "priority", "nextHopInstance", "nextHopIp", "nextHopGateway",
                "nextHopNetwork", "nextHopPeering", "nextHopIlb", "nextHopVpnTunnel")


def _item(kind, name, state, detail):
    return {"kind": kind, "name": name, "state": state, "detail": detail}


def stage_state(items):
    """The state of a stage that has a record, from its items' states."""
    states = {item["state"] for item in items}
    if DRIFTED in states:
        return DRIFTED
    if PARTIAL in states or len(states) > 1:
        return PARTIAL
    return states.pop() if states else SWITCHED


def _not_found(exc, *also):
    """Whether a request failed for want of the resource (404, or one of
    the statuses ``also``)."""
    from googleapiclient.errors import HttpError

    status = getattr(exc.resp, "status", None) if isinstance(exc, HttpError) else None
    return status in (404,) + also


def _resource(answer, what):
    """RunFailed unless ``answer`` (None: not found) reads as a resource: a
    mapping with a name (and, for a router, the network it belongs to)."""
    if answer is None:
        return
    if not isinstance(answer, dict) or not isinstance(answer.get("name"), str) or (
            what.startswith("router") and not isinstance(answer.get("network"), str)):
        kind = what.split()[0]
        raise RunFailed("cannot read the %s: the answer is not %s %s" % (
            what, "an" if kind[0] in "aeiou" else "a", kind))


class LiveReader:
    """The read requests of one status run, each made once."""

    def __init__(self, service, orders=None):
        self.service = service
        # in a wave: the spokes' changes of a router in order (rkey -> list)
        self.orders = orders
        self._networks = {}
        self._routes = {}
        self._routers = {}
        self._instances = {}

    def _get(self, cache, key, request, what, absent=()):
        """The resource ``request`` reads, once per ``key``; None when it does
        not exist (404, or one of the statuses ``absent``)."""
        if key not in cache:
            try:
                cache[key] = request().execute()
            except Exception as exc:
                if not _not_found(exc, *absent):
                    raise RunFailed("cannot read the %s: %s" % (what, api_failure(exc))
                                    ) from exc
                cache[key] = None
            _resource(cache[key], what)
        return cache[key]

    def network(self, key):
        """The network resource of project::network, or None when it does
        not exist."""
        project, name = key.split("::", 1)
        return self._get(self._networks, key, lambda: self.service.networks().get(
            project=project, network=name), "network %s" % key)

    def peering(self, key, name):
        """(network exists, the peering record named ``name`` or None)."""
        network = self.network(key)
        if network is None:
            return False, None
        for record in network.get("peerings", []):
            if record.get("name") == name:
                return True, record
        return True, None

    def routes(self, project):
        """The project's routes by name."""
        if project not in self._routes:
            found = {}
            routes = self.service.routes()
            request = routes.list(project=project)
            while request is not None:
                response = execute(request, "cannot list the routes of %s" % project)
                items = response.get("items", []) if isinstance(response, dict) else None
                if not isinstance(items, list) or not all(isinstance(r, dict) for r in items):
                    raise RunFailed("cannot list the routes of %s: the answer's items are not a "
                                    "list of routes" % project)
                for route in items:
                    found[route.get("name")] = route
                request = routes.list_next(previous_request=request, previous_response=response)
            self._routes[project] = found
        return self._routes[project]

    def instance(self, project, zone, name):
        """The instance resource, or None when it does not exist (an unknown
        zone is refused with 400: no such instance either)."""
        return self._get(self._instances, (project, zone, name),
                         lambda: self.service.instances().get(project=project, zone=zone,
                                                              instance=name),
                         "instance %s in %s::%s" % (name, project, zone), absent=(400,))

    def router(self, project, region, name):
        """The router resource, or None when it does not exist."""
        return self._get(self._routers, (project, region, name),
                         lambda: self.service.routers().get(project=project, region=region,
                                                            router=name),
                         "router %s in %s::%s" % (name, project, region))


# ------------------------------------------------------------ peerings

def _side_text(record, saved):
    """Why a live peering record is not the saved one, or None."""
    if network_key(record.get("network", "")) != network_key(saved.get("network", "")):
        return "peers with %s, was %s" % (network_key(record.get("network", "")),
                                          network_key(saved.get("network", "")))
    changed = [k for k in PEERING_SETTINGS if k in saved and record.get(k) != saved[k]]
    if changed:
        return ", ".join("%s %s, was %s" % (k, record.get(k), saved[k]) for k in changed)
    return None


def peering_item(live, key, pair):
    local = pair["localPeeringProperties"]
    remote = pair.get("remotePeeringProperties")
    name = str(local.get("name"))
    sides = [(key, local)]
    if remote is not None:
        sides.append((network_key(local.get("network", "")), remote))
    present, gone, drift = [], [], []
    for where, saved in sides:
        exists, record = live.peering(where, saved.get("name"))
        label = "%s on %s" % (saved.get("name"), where)
        if record is None:
            gone.append(label + ("" if exists else " (network not found)"))
            continue
        why = _side_text(record, saved)
        if why is not None:
            drift.append("%s %s" % (label, why))
        # A side saved while inactive (its peer gone already) comes back so.
        present.append((label, record.get("state", "?"), saved.get("state", "ACTIVE")))
    if drift:
        return _item("peering", name, DRIFTED, "; ".join(drift))
    if not present:
        return _item("peering", name, SWITCHED, "removed: " + ", ".join(gone))
    if not gone:
        inactive = ["%s is %s" % (label, state) for label, state, was in present
                    if state != "ACTIVE" and was == "ACTIVE"]
        if inactive:
            return _item("peering", name, DRIFTED,
                         "present on every side but " + ", ".join(inactive))
        return _item("peering", name, RESTORED,
                     "back: " + ", ".join("%s (%s)" % p[:2] for p in present))
    return _item("peering", name, PARTIAL, "removed: %s; still present: %s" % (
        ", ".join(gone), ", ".join("%s (%s)" % p[:2] for p in present)))


def peering_stage(live, key, info):
    pairs = info.get("peerings", {}).get(key)
    if pairs is None:
        return None
    return [peering_item(live, key, pair) for pair in pairs]


# -------------------------------------------------------------- routes

def _route_text(route):
    hops = ["%s %s" % (k, str(route[k]).rsplit("/", 1)[-1]) for k in ROUTE_FIELDS
            if k in route and k not in ("destRange", "priority")]
    return "%s via %s, priority %s" % (route.get("destRange"), ", ".join(hops) or "?",
                                       route.get("priority"))


def _link(value):
    """A resource link without its host part, which may come back in
    another form (full URL or path)."""
    return None if value is None else str(value).split("/projects/")[-1]


def _same_route(live, saved):
    if "network" in saved and network_key(live.get("network", "")) != network_key(
            saved["network"]):
        return False
    for field in ROUTE_FIELDS:
        if field not in saved and field not in live:
            continue
        old, new = saved.get(field), live.get(field)
        if field.startswith("nextHop") and field != "nextHopIp":
            old, new = _link(old), _link(new)
        if old != new:
            return False
    return True


def route_name(key, spec):
    """The name the route stage gives the route of an add entry: its own,
    or "tsr-" and the MD5 of what it is made of."""
    project, vpc = key.split("::")
    if spec["name"] is not None:
        return spec["name"]
    text = "%s%s%s%s%s%s" % (project, vpc, spec["cidr"], spec["zone"], spec["dest_instance"],
                             spec["priority"])
    return "tsr-" + hashlib.md5(text.encode("utf-8")).hexdigest()


def planned_routes(plan, key, stage):
    """The routes the plan's ``stage`` adds, by the name the stage gives
    them: (destination, priority, next-hop instance name)."""
    config = (plan.data.get("manage_routes") or {}).get(stage)
    specs = config.get("add") if isinstance(config, dict) else None
    planned = {}
    for spec in specs if isinstance(specs, list) else []:
        try:
            # The first add entry of a name is the one inserted.
            priority = 1000 if spec["priority"] is None else spec["priority"]
            planned.setdefault(route_name(key, spec),
                               (spec["cidr"], priority, spec["dest_instance"]))
        except (KeyError, TypeError):
            continue
    return planned


def route_stage(live, plan, key, stage, info):
    record = info.get("manage_routes", {}).get(stage, {}).get(key)
    if record is None:
        return None
    project = key.split("::")[0]
    routes = live.routes(project)
    planned = planned_routes(plan, key, stage)
    items = []
    for saved in record["deleted_route_list"]:
        name = str(saved.get("name"))
        current = routes.get(saved.get("name"))
        if current is None:
            items.append(_item("route", name, SWITCHED, "deleted"))
        elif _same_route(current, saved):
            items.append(_item("route", name, RESTORED, "back: " + _route_text(current)))
        else:
            items.append(_item("route", name, DRIFTED, "present as %s; was %s" % (
                _route_text(current), _route_text(saved))))
    for name in record["added_route_list"]:
        current = routes.get(name)
        if current is None:
            items.append(_item("route", name, RESTORED, "not present"))
        elif current.get("description") != ROUTE_MARK:
            items.append(_item("route", name, DRIFTED, "present as %s without the marker of "
                               "the routes the stage adds" % _route_text(current)))
        elif name in planned and planned[name] != (
                current.get("destRange"), current.get("priority"),
                _link(current.get("nextHopInstance", "")).rsplit("/", 1)[-1]):
            dest, priority, instance = planned[name]
            items.append(_item("route", name, DRIFTED, "present as %s; the stage adds %s via "
                               "%s, priority %s" % (_route_text(current), dest, instance,
                                                    priority)))
        else:
            items.append(_item("route", name, SWITCHED, "added: " + _route_text(current)))
    return items


# ------------------------------------------------------------- routers

def _canonical(text):
    try:
        return str(ipaddress.IPv4Network(text))
    except ValueError:
        return None


def _ranges(bgp):
    return [(r.get("range"), r.get("description", "")) for r in bgp.get("advertisedIpRanges")
            or [] if isinstance(r, dict)]


def _bgp_form(bgp):
    """What the comparison looks at in BGP settings."""
    rest = {k: v for k, v in bgp.items() if k not in ("advertisedIpRanges", "advertisedGroups")}
    return rest, _ranges(bgp), list(bgp.get("advertisedGroups") or [])


def switched_bgp(saved, entry):
    """The BGP settings the router stage makes of ``saved`` with the plan's
    router ``entry``; None when a saved range cannot be read as the stage
    reads it."""
    ranges = []
    for r in saved.get("advertisedIpRanges") or []:
        canonical = _canonical(r.get("range"))
        if canonical is None:
            return None
        if canonical not in entry.get("remove_advertised_routes", []):
            ranges.append(r)
    # A range the router keeps advertising, or added once already, is not
    # added again.
    seen = {str(r.get("range")) for r in ranges}
    for r in entry.get("add_advertised_routes", []):
        if str(r) not in seen:
            seen.add(str(r))
            ranges.append({"range": r, "description": ROUTER_MARK})
    result = dict(saved, advertisedIpRanges=ranges)
    if "advertisedGroups" in saved:
        result["advertisedGroups"] = [g for g in saved["advertisedGroups"]
                                      if g not in entry.get("remove_advertised_groups", [])]
    return result


def plan_router(plan, rkey):
    project, network, region, name = rkey.split("::")
    for vpc in plan.data.get("transit_vpcs") or []:
        if not isinstance(vpc, dict) or vpc.get("vpc_name") != "%s::%s" % (project, network):
            continue
        for entry in vpc.get("cloud_routers") or []:
            if isinstance(entry, dict) and (entry.get("region"), entry.get("router_name")) == (
                    region, name):
                return entry
    return None


def _advertises(bgp):
    ranges = ", ".join(r for r, _ in _ranges(bgp)) or "no range"
    groups = list(bgp.get("advertisedGroups") or [])
    return ranges + (" (groups %s)" % ", ".join(groups) if groups else "")


def _after_others(live, key, rkey, now):
    """(state, words) of the router ``rkey`` that the spoke ``key`` changed
    in a wave, when the router is as the wave's later changes left it:
    switched when it is as one of the spoke's own or a later change left
    it, restored when as before one of the spoke's own or an earlier
    change; None when the wave's record does not tell."""
    changes = live.orders(rkey) if live.orders is not None else None
    mine = [i for i, c in enumerate(changes or []) if c["spoke"] == key]
    if not mine:
        return None
    for j in range(len(changes) - 1, -1, -1):
        if _bgp_form(changes[j]["left"]) == now:
            if j >= mine[0]:
                return SWITCHED, ("switched, then changed by %d later spoke(s) of the wave: "
                                  "advertises " % (j - mine[0]) if j > mine[0] else
                                  "advertises as the stage set: ")
            break
    for j in range(len(changes)):
        if _bgp_form(changes[j]["before"]) == now and j <= mine[0]:
            return RESTORED, "restored with the spokes switched after it: advertises "
    return None


def router_item(live, plan, rkey, saved, key=None):
    project, _network, region, name = rkey.split("::")
    router = live.router(project, region, name)
    if router is None:
        return _item("router", rkey, DRIFTED, "the router does not exist")
    current = router.get("bgp") or {}
    now = _bgp_form(current)
    if now == _bgp_form(saved):
        return _item("router", rkey, RESTORED, "advertises as saved: " + _advertises(current))
    entry = plan_router(plan, rkey)
    if entry is None:
        return _item("router", rkey, DRIFTED, "advertises %s, not as saved (%s); the plan names "
                     "no such router" % (_advertises(current), _advertises(saved)))
    target = switched_bgp(saved, entry)
    if target is not None and now == _bgp_form(target):
        return _item("router", rkey, SWITCHED, "advertises as the stage set: "
                     + _advertises(current))
    shared = _after_others(live, key, rkey, now)
    if shared is not None:
        return _item("router", rkey, shared[0], shared[1] + _advertises(current))
    return _item("router", rkey, DRIFTED, "advertises %s; the stage sets %s; saved: %s" % (
        _advertises(current), _advertises(target or {}), _advertises(saved)))


def router_stage(live, plan, key, info):
    routers = info.get("cloud_routers", {}).get(key)
    if routers is None:
        return None
    return [router_item(live, plan, rkey, saved, key) for rkey, saved in routers.items()]


# ---------------------------------------------------------------- all

def stage_names(plan, info, key):
    """The route stages: the plan's in plan order, then those only the
    revert information holds."""
    names = [s for s in plan.stages() if isinstance(s, str)]
    names += [s for s, records in info.get("manage_routes", {}).items()
              if s not in names and key in records]
    return names


# ---------------------------------------------- what the plan asked for

def _with_missing(items, missing):
    """A stage's items and the changes the plan asks for that its record
    lacks: these count while the stage is switched (or holds no change),
    and no longer once it is restored."""
    if items is None or not missing:
        return items
    if items and all(item["state"] == RESTORED for item in items):
        return items
    return items + missing


def missing_peerings(live, plan, key, pairs):
    """The migrated VPC's peerings towards the plan's transit VPCs that are
    still there and not recorded."""
    recorded = {pair["localPeeringProperties"].get("name") for pair in pairs}
    network = live.network(key)
    transits = {e.get("vpc_name") for e in plan.data.get("transit_vpcs") or []
                if isinstance(e, dict)}
    return [_item("peering", str(record.get("name")), PARTIAL,
                  "not removed: it peers with the transit VPC %s"
                  % network_key(record.get("network", "")))
            for record in (network or {}).get("peerings", [])
            if network_key(record.get("network", "")) in transits
            and record.get("name") not in recorded]


def missing_routes(live, plan, key, stage, record):
    config = (plan.data.get("manage_routes") or {}).get(stage)
    if not isinstance(config, dict):
        return []
    routes = live.routes(key.split("::")[0])
    deleted = {r.get("name") for r in record["deleted_route_list"]}
    items = [_item("route", name, PARTIAL, "not deleted: still present as " +
                   _route_text(routes[name]))
             for name in config.get("delete") or []
             if isinstance(name, str) and name not in deleted and name in routes]
    items += [_item("route", name, PARTIAL, "not added: %s via %s, priority %s" % spec)
              for name, spec in planned_routes(plan, key, stage).items()
              if name not in record["added_route_list"] and name not in routes]
    return items


def missing_routers(live, plan, key, recorded):
    items = []
    for vpc in plan.data.get("transit_vpcs") or []:
        for entry in (vpc.get("cloud_routers") or []) if isinstance(vpc, dict) else []:
            if not isinstance(entry, dict):
                continue
            rkey = "%s::%s::%s" % (vpc.get("vpc_name"), entry.get("region"),
                                   entry.get("router_name"))
            if rkey in recorded or len(rkey.split("::")) != 4:
                continue
            project = rkey.split("::")[0]
            router = live.router(project, entry.get("region"), entry.get("router_name"))
            if router is None:
                continue
            bgp = router.get("bgp") or {}
            if bgp.get("advertiseMode") != "CUSTOM":
                items.append(_item("router", rkey, PARTIAL, "not customised: it advertises in "
                                   "%s mode" % bgp.get("advertiseMode", "DEFAULT")))
                continue
            target = switched_bgp(bgp, entry)
            if target is not None and _bgp_form(target) != _bgp_form(bgp):
                items.append(_item("router", rkey, PARTIAL, "not customised: advertises %s"
                                   % _advertises(bgp)))
    return items


def stage_items(live, plan, key, info, target, stage=None):
    """The items of one stage (None when nothing is recorded), judged
    against the live network, the revert information and the plan."""
    if target == "peerings":
        items = peering_stage(live, key, info)
        return _with_missing(items, items is not None and missing_peerings(
            live, plan, key, info["peerings"][key]))
    if target == "routes":
        items = route_stage(live, plan, key, stage, info)
        record = info.get("manage_routes", {}).get(stage, {}).get(key)
        return _with_missing(items, items is not None and missing_routes(live, plan, key, stage,
                                                                         record))
    items = router_stage(live, plan, key, info)
    recorded = info.get("cloud_routers", {}).get(key) or {}
    return _with_missing(items, items is not None and missing_routers(live, plan, key, recorded))


def compare(service, plan, key, info, orders=None):
    """The status document of the plan's VPC ``key`` with the revert
    information ``info`` (``orders``: see LiveReader)."""
    live = LiveReader(service, orders)
    stages = [("peerings", stage_items(live, plan, key, info, "peerings"))]
    for stage in stage_names(plan, info, key):
        stages.append(("routes " + stage, stage_items(live, plan, key, info, "routes", stage)))
    stages.append(("routers", stage_items(live, plan, key, info, "routers")))
    return {"vpc": key, "stages": [
        {"stage": name, "state": NOT_STARTED if items is None else stage_state(items),
         "items": items or []} for name, items in stages]}
