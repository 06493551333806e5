"""Reading the documents the tool is given: the plan (YAML) and the saved
revert information (JSON)."""

from __future__ import annotations

import json
import math
import os
from typing import Any, Callable, IO, Type


def read_document(path: str | os.PathLike, what: str, syntax: str, parse: Callable[[IO[str]], Any],
                  parse_errors: Any, error: Type[Exception]) -> Any:
    """``parse`` applied to the UTF-8 text file at ``path``.  A file that
    cannot be read, that ``parse`` refuses with one of ``parse_errors``, or
    that is nested too deeply to parse raises ``error`` with one line naming
    the file as ``what``; ``syntax`` names the format it should be in."""
    name = os.fspath(path)
    try:
        with open(path, encoding="utf-8") as f:
            return parse(f)
    except OSError as e:
        raise error(f"cannot read {what} {name}: {e.strerror or e}") from e
    except parse_errors as e:
        raise error(f"{what} {name} is not valid {syntax}: {e}") from e
    except RecursionError:
        raise error(f"{what} {name} is nested too deeply") from None


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number JSON allows")


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text} is out of the range of a number")
    return value


def _unique_keys(pairs: list) -> dict:
    data = dict(pairs)
    if len(data) != len(pairs):
        seen = set()
        for key, _ in pairs:
            if key in seen:
                raise ValueError(f"the key {json.dumps(key)} appears twice in one object")
            seen.add(key)
    return data


def json_loads(text: str) -> Any:
    """The JSON ``text`` as Python values, holding it to what a revert file
    may be: ValueError for NaN, Infinity, numbers out of a float's range and
    an object naming a key twice (which the json module would take, the
    first two as non-numbers, the last by keeping the last value)."""
    return json.loads(text, parse_constant=_refuse_constant, parse_float=_finite,
                      object_pairs_hook=_unique_keys)


def json_load(handle: IO[str]) -> Any:
    return json_loads(handle.read())
