"""The run context: the migration plan, read from a YAML file.

The plan is loaded once per run with :meth:`YamlContext.load` (or set from a
mapping with :meth:`YamlContext.set`); every ``YamlContext()`` made afterwards
reads that same plan, so callers can make a fresh context each time they need
a value.
"""

from __future__ import annotations

import os
from typing import Any, Mapping, Optional

import yaml

from tarn_gcp._documents import read_document


class PlanError(ValueError):
    """The plan file is missing, unreadable or not a mapping."""


class YamlContext:
    _plan: dict = {}
    _path: Optional[str] = None

    @classmethod
    def load(cls, path: str | os.PathLike) -> dict:
        """Reads the plan from the YAML file at `path` and makes it current."""
        plan = read_document(path, "plan", "YAML", yaml.safe_load, yaml.YAMLError, PlanError)
        if plan is None:
            plan = {}
        if not isinstance(plan, dict):
            raise PlanError(f"plan {os.fspath(path)} must be a mapping of keys to values")
        cls._plan = plan
        cls._path = os.fspath(path)
        return plan

    @classmethod
    def set(cls, plan: Mapping[str, Any]) -> None:
        """Makes `plan` the current plan."""
        cls._plan = dict(plan)
        cls._path = None

    @classmethod
    def path(cls) -> Optional[str]:
        return cls._path

    def getContext(self, key: str) -> Any:
        """The plan's value for `key`; None for a key the plan does not set."""
        return type(self)._plan.get(key)
