"""The migration plan as the commands need it.

The plan is the YAML run context that gcplib reads through
``YamlContext().getContext(key)``.  Loading it here makes it the current
plan; the checks below make sure that a command only starts when the plan
holds, in the right shape, every key the command will read, so that a
missing key is reported as bad input instead of surfacing half-way
through a stage.
"""

from __future__ import annotations

import os

from .errors import CliError

EXAMPLE_PLAN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                            "emulator", "sample_plan.yaml")

_ROUTER_LISTS = ("add_advertised_routes", "remove_advertised_routes", "remove_advertised_groups")


def _is_text(value):
    return isinstance(value, str) and value != ""


def _is_text_list(value):
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


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
        return cls(data, os.fspath(path))

    def _fail(self, text):
        raise CliError("plan %s: %s" % (self.path, text))

    def _need(self, key, command):
        if key not in self.data or self.data[key] is None:
            self._fail("lacks %r, which %s needs" % (key, command))
        return self.data[key]

    # ------------------------------------------------------------ values

    def project(self, command):
        value = self._need("project_id", command)
        if not _is_text(value) or "::" in value:
            self._fail("'project_id' must be a project id, not %r" % (value,))
        return value

    def vpc_name(self, command):
        value = self._need("vpc_name", command)
        if not _is_text(value) or "::" in value:
            self._fail("'vpc_name' must be a network name, not %r" % (value,))
        return value

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
            for key in ("region", "router_name"):
                if not _is_text(router[key]):
                    self._fail("%s.%s must be a name, not %r" % (at, key, router[key]))
            for key in _ROUTER_LISTS:
                if not _is_text_list(router[key]):
                    self._fail("%s.%s must be a list of texts" % (at, key))

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
        if "delete" in config and not _is_text_list(config["delete"]):
            self._fail("%s.delete must be a list of route names" % where)
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
                for key in ("cidr", "zone", "dest_instance"):
                    if not _is_text(spec[key]):
                        self._fail("%s.%s must be a text, not %r" % (at, key, spec[key]))
                priority = spec["priority"]
                if priority is not None and (isinstance(priority, bool)
                                             or not isinstance(priority, int)):
                    self._fail("%s.priority must be a number or null" % at)
                if spec["name"] is not None and not _is_text(spec["name"]):
                    self._fail("%s.name must be a route name or null" % at)
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
