"""The migration plan as the commands need it.

The plan is the YAML run context that gcplib reads through
``YamlContext().getContext(key)``.  Loading it here makes it the current
plan; the checks below make sure that a command only starts when the plan
holds, in the right shape, every key the command will read, so that a
missing key is reported as bad input instead of surfacing half-way
through a stage.  Values the Compute API will see are held to the API's
own rules (project IDs, resource names, regions and zones, IPv4 ranges,
route priorities): a value Google Cloud would refuse half-way through a
stage is refused here, before anything is changed.
"""

from __future__ import annotations

import ipaddress
import os
import re

from tarn_gcp.errors import CliError

EXAMPLE_PLAN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                            "emulator", "sample_plan.yaml")

_ROUTER_LISTS = ("add_advertised_routes", "remove_advertised_routes", "remove_advertised_groups")


# The forms the Compute API accepts.
_PROJECT = re.compile(r"[a-z][-a-z0-9]{4,28}[a-z0-9]")
_NAME = re.compile(r"[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?")
_REGION = re.compile(r"[a-z]+(?:-[a-z]+)+[0-9]+")
_ZONE = re.compile(r"[a-z]+(?:-[a-z]+)+[0-9]+-[a-z][a-z0-9]*")
_IPV4_CIDR = re.compile(r"[0-9]{1,3}(?:\.[0-9]{1,3}){3}/[0-9]{1,2}")


def _ipv4_range(value):
    """The IPv4Network of a range written address/prefix length with no
    host bits set, else None."""
    if not isinstance(value, str) or not _IPV4_CIDR.fullmatch(value):
        return None
    try:
        return ipaddress.IPv4Network(value, strict=True)
    except ValueError:
        return None


def _fits(pattern):
    return lambda value: isinstance(value, str) and pattern.fullmatch(value) is not None


def _is_priority(value):
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 65535


# kind: (test, the rule as the error names it)
RULES = {
    "project": (_fits(_PROJECT), "a project ID (6 to 30 characters: lowercase letters, digits "
                                 "and hyphens, starting with a letter, not ending with a hyphen)"),
    "name": (_fits(_NAME), "a resource name (1 to 63 characters: lowercase letters, digits and "
                           "hyphens, starting with a letter, not ending with a hyphen)"),
    "region": (_fits(_REGION), "a region name such as us-central1"),
    "zone": (_fits(_ZONE), "a zone name such as us-central1-a"),
    "cidr": (lambda v: _ipv4_range(v) is not None,
             "an IPv4 range written address/prefix length (0 to 32) with no host bits set, "
             "such as 10.0.0.0/16"),
    "canonical cidr": (lambda v: _ipv4_range(v) is not None and str(_ipv4_range(v)) == v,
                       "an IPv4 range in canonical form (network address/prefix length), "
                       "as the router's ranges are compared in that form"),
    "priority": (_is_priority, "an integer from 0 to 65535"),
}


def check_value(kind, value, where):
    """CliError "WHERE must be RULE, not VALUE" unless ``value`` follows
    the API's rule for ``kind`` (a key of RULES)."""
    test, rule = RULES[kind]
    if not test(value):
        raise CliError("%s must be %s, not %r" % (where, rule, value))
    return value


def _is_text_list(value):
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def _bad_byte(path):
    """Where the file at ``path`` stops being UTF-8, as " (byte 0xNN at
    offset N)", or ""."""
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
        raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        return " (byte 0x%02x at offset %d)" % (raw[exc.start], exc.start)
    except OSError:
        pass
    return ""


class Plan:
    """A loaded plan: its data and where it came from."""

    def __init__(self, data, path):
        self.data = data
        self.path = path

    @classmethod
    def load(cls, path):
        """Reads the plan at ``path`` and makes it the run context."""
        from tarn_gcp.core.YamlContext import PlanError, YamlContext

        try:
            data = YamlContext.load(path)
        except PlanError as exc:
            raise CliError(str(exc)) from None
        except UnicodeDecodeError as exc:
            raise CliError("plan %s is not UTF-8 text%s" % (os.fspath(path), _bad_byte(path)
                                                             or ": " + exc.reason)) from None
        return cls(data, os.fspath(path))

    def _fail(self, text):
        raise CliError("plan %s: %s" % (self.path, text))

    def _check(self, kind, value, where):
        try:
            return check_value(kind, value, where)
        except CliError as exc:
            self._fail(str(exc))

    def _need(self, key, command):
        if key not in self.data or self.data[key] is None:
            self._fail("lacks %r, which %s needs" % (key, command))
        return self.data[key]

    # ------------------------------------------------------------ values

    def project(self, command):
        return self._check("project", self._need("project_id", command), "'project_id'")

    def vpc_name(self, command):
        return self._check("name", self._need("vpc_name", command), "'vpc_name'")

    def vpc_key(self, command):
        """project::vpc of the migrated VPC, as the revert information
        names it."""
        return "%s::%s" % (self.project(command), self.vpc_name(command))

    def transit_vpcs(self, command, with_routers=False):
        entries = self._need("transit_vpcs", command)
        if not isinstance(entries, list):
            self._fail("'transit_vpcs' must be a list of transit VPC entries")
        for i, entry in enumerate(entries):
            where = "transit_vpcs[%d]" % i
            if not isinstance(entry, dict):
                self._fail("%s must be a mapping with 'vpc_name'" % where)
            name = entry.get("vpc_name")
            if name is None:
                self._fail("%s lacks 'vpc_name', which %s needs" % (where, command))
            parts = name.split("::") if isinstance(name, str) else []
            if len(parts) != 2 or not all(parts):
                self._fail("%s.vpc_name must read project::network, not %r" % (where, name))
            self._check("project", parts[0], "the project of %s.vpc_name" % where)
            self._check("name", parts[1], "the network of %s.vpc_name" % where)
            if with_routers and "cloud_routers" in entry:
                self._check_routers(entry["cloud_routers"], where + ".cloud_routers", command)
        return entries

    def _check_routers(self, routers, where, command):
        if not isinstance(routers, list):
            self._fail("%s must be a list of Cloud Router entries" % where)
        for j, router in enumerate(routers):
            at = "%s[%d]" % (where, j)
            if not isinstance(router, dict):
                self._fail("%s must be a mapping" % at)
            for key in ("region", "router_name") + _ROUTER_LISTS:
                if key not in router:
                    self._fail("%s lacks %r, which %s needs" % (at, key, command))
            self._check("region", router["region"], at + ".region")
            self._check("name", router["router_name"], at + ".router_name")
            for key in _ROUTER_LISTS:
                if not _is_text_list(router[key]):
                    self._fail("%s.%s must be a list of texts" % (at, key))
            for key, kind in (("add_advertised_routes", "cidr"),
                              ("remove_advertised_routes", "canonical cidr")):
                for k, cidr in enumerate(router[key]):
                    self._check(kind, cidr, "%s.%s[%d]" % (at, key, k))

    def stages(self):
        """The stage keys of 'manage_routes', in plan order ([] without)."""
        routes = self.data.get("manage_routes")
        return list(routes) if isinstance(routes, dict) else []

    def manage_routes(self, command):
        routes = self._need("manage_routes", command)
        if not isinstance(routes, dict):
            self._fail("'manage_routes' must map stage names to route changes")
        for stage in routes:
            if not isinstance(stage, str):
                self._fail("the stage %r of 'manage_routes' must be written as text (quote it)"
                           % (stage,))
        return routes

    def stage_config(self, stage, command):
        """The route changes of ``stage``; CliError for an unknown stage or a
        malformed entry."""
        routes = self.manage_routes(command)
        if stage not in routes:
            self.unknown_stage(stage)
        config = routes[stage]
        if config is None:
            return None
        where = "manage_routes.%s" % stage
        if not isinstance(config, dict):
            self._fail("%s must be a mapping with 'delete' and 'add'" % where)
        if "delete" in config:
            if not _is_text_list(config["delete"]):
                self._fail("%s.delete must be a list of route names" % where)
            for i, name in enumerate(config["delete"]):
                self._check("name", name, "%s.delete[%d]" % (where, i))
        if "add" in config:
            if not isinstance(config["add"], list):
                self._fail("%s.add must be a list of routes" % where)
            for i, spec in enumerate(config["add"]):
                at = "%s.add[%d]" % (where, i)
                if not isinstance(spec, dict):
                    self._fail("%s must be a mapping" % at)
                for key in ("cidr", "zone", "dest_instance", "priority", "name"):
                    if key not in spec:
                        self._fail("%s lacks %r, which %s needs" % (at, key, command))
                for key, kind in (("cidr", "cidr"), ("zone", "zone"), ("dest_instance", "name"),
                                  ("priority", "priority"), ("name", "name")):
                    # A null priority or name stands for the default.
                    if spec[key] is not None or key in ("cidr", "zone", "dest_instance"):
                        self._check(kind, spec[key], "%s.%s" % (at, key))
        return config

    def unknown_stage(self, stage):
        known = ", ".join(self.stages()) or "none"
        self._fail("unknown stage %r (the stages of 'manage_routes': %s)" % (stage, known))

    def spoke_settings(self, command):
        """Checks 'spoke_advertisement' (null or a list of ranges); an
        absent key counts as null."""
        value = self.data.get("spoke_advertisement")
        if value is not None and not _is_text_list(value):
            self._fail("'spoke_advertisement' must be null or a list of CIDR ranges")
        for i, cidr in enumerate(value or []):
            self._check("cidr", cidr, "spoke_advertisement[%d]" % i)
