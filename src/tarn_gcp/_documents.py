"""Reading the documents the tool is given: the plan (YAML) and the saved
revert information (JSON)."""

from __future__ import annotations

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
