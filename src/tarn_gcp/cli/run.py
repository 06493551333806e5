"""What every command works with: the ``Run`` (options, console, plan and
Compute target).

Bad input is raised as CliError before anything is changed; failures of the
API or of a stage are raised as RunFailed, after the revert information has
been saved.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable


@dataclasses.dataclass(eq=False)
class Run:
    """What one command works with: the parsed options, the console, the
    plan and ``opener``, which opens the Compute target on first use."""

    options: Any
    console: Any
    plan: Any
    opener: Callable[[], Any]
    _target: Any = dataclasses.field(default=None, init=False)
    document: Any = dataclasses.field(default=None, init=False)  # what --format json/dot writes
    # the spoke's part in a wave (commands.wave.Member), in a wave's worker
    wave = None

    @property
    def format(self):
        return getattr(self.options, "format", None) or "text"

    @property
    def uses_emulator(self):
        return bool(getattr(self.options, "emulator", False)
                    or getattr(self.options, "emulator_url", None))

    @property
    def target(self):
        """The Compute target, opened on first use."""
        if self._target is None:
            self._target = self.opener()
        return self._target

    @property
    def service(self):
        return self.target.service

    def close(self):
        if self._target is not None:
            self._target.close()
            self._target = None

    @property
    def dry_run(self):
        return bool(getattr(self.options, "dry_run", False))

    def problems_note(self, before):
        """The words the summary adds for problems logged since ``before``."""
        count = self.console.problems - before
        return "" if count == 0 else "; %d problem(s) logged above" % count

    def status_since(self, before):
        """The exit status of a command that logged problems from ``before``."""
        return 1 if self.console.problems > before else 0
