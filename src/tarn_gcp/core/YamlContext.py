"""The run context: the migration plan, read from a YAML file.

The plan is loaded once per run with :meth:`YamlContext.load` (or set from a
mapping with :meth:`YamlContext.set`); every ``YamlContext()`` made afterwards
reads that same plan, so callers can make a fresh context each time they need
a value.
"""

from __future__ import annotations

import math
import os
from typing import Any, Mapping, Optional

import yaml
from yaml.constructor import ConstructorError
from yaml.nodes import MappingNode, SequenceNode

from tarn_gcp._documents import read_document

# How many nodes the aliases of a plan may add to it, expanded.  A plan
# names each route and router once; a few aliases for shared settings add
# little, and a chain of aliases of aliases ("billion laughs") adds
# exponentially many.
MAX_ALIAS_NODES = 10_000
_MERGE = "tag:yaml.org,2002:merge"


class PlanError(ValueError):
    """The plan file is missing, unreadable or not a mapping."""


def _children(node):
    if isinstance(node, SequenceNode):
        return node.value
    if isinstance(node, MappingNode):
        return [part for pair in node.value for part in pair]
    return ()


def _alias_growth(root):
    """How many nodes the document's aliases add when expanded (capped
    far above MAX_ALIAS_NODES); None when an alias refers to a collection
    that holds it, which no expansion ends."""
    cap = 100 * MAX_ALIAS_NODES
    sizes = {}
    active = set()
    stack = [(root, False)]
    while stack:
        node, finished = stack.pop()
        key = id(node)
        if finished:
            active.discard(key)
            sizes[key] = min(cap, 1 + sum(sizes[id(child)] for child in _children(node)))
            continue
        if key in sizes:
            continue
        if key in active:
            return None
        active.add(key)
        stack.append((node, True))
        stack.extend((child, False) for child in _children(node))
    return max(0, sizes[id(root)] - len(sizes))


class PlanLoader(yaml.SafeLoader):
    """YAML as a plan may be written: safe_load's, refusing what would
    silently turn into another plan than the one read (a key given twice
    in one mapping, of which the last would win; a number that is not
    finite) and aliases that expand past MAX_ALIAS_NODES."""

    def get_single_data(self):
        node = self.get_single_node()
        if node is None:
            return None
        growth = _alias_growth(node)
        if growth is None or growth > MAX_ALIAS_NODES:
            raise ConstructorError(None, None, "its aliases %s" % (
                "refer to collections that hold them" if growth is None else
                "expand to more than %d further nodes" % MAX_ALIAS_NODES))
        return self.construct_document(node)

    def construct_mapping(self, node, deep=False):
        if isinstance(node, MappingNode):
            seen = set()
            for key_node, _ in node.value:
                if key_node.tag == _MERGE:
                    continue  # keys merged in are overridden, as YAML means
                key = self.construct_object(key_node, deep=deep)
                try:
                    duplicate = key in seen
                    seen.add(key)
                except TypeError:
                    continue  # refused below as an unhashable key
                if duplicate:
                    raise ConstructorError(None, None, "the key %r appears twice in one mapping"
                                           % (key,), key_node.start_mark)
        return super().construct_mapping(node, deep=deep)

    def construct_yaml_float(self, node):
        value = super().construct_yaml_float(node)
        if not math.isfinite(value):
            raise ConstructorError(None, None, "%s is not a finite number"
                                   % self.construct_scalar(node), node.start_mark)
        return value


PlanLoader.add_constructor("tag:yaml.org,2002:float", PlanLoader.construct_yaml_float)


def load_plan_text(stream: Any) -> Any:
    """The plan YAML of ``stream`` (text or a file) as Python values."""
    return yaml.load(stream, Loader=PlanLoader)


class YamlContext:
    _plan: dict = {}
    _path: Optional[str] = None

    @classmethod
    def load(cls, path: str | os.PathLike) -> dict:
        """Reads the plan from the YAML file at `path` and makes it current."""
        plan = read_document(path, "plan", "YAML", load_plan_text, yaml.YAMLError, PlanError)
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
