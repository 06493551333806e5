"""The failures the command line reports without a traceback."""


class CliError(Exception):
    """Bad input (a plan, an argument, a revert file): one line on standard
    error and exit status 2.  Nothing has been changed when it is raised."""

    status = 2


class PreflightFailed(CliError):
    """The plan or the revert information does not hold against the live
    network: one line per problem, exit status 2, nothing changed."""

    def __init__(self, problems):
        super().__init__("; ".join(problems))
        self.problems = list(problems)


class RunFailed(Exception):
    """The run could not do what was asked (an API failure, a round trip
    that does not verify): one line on standard error and exit status 1."""

    status = 1


class SaveFailed(RunFailed):
    """The revert information could not be saved to the revert file; the
    message names where it went instead."""


def one_line(text):
    """``text`` with its line breaks and runs of blanks folded into single
    blanks."""
    return " ".join(str(text).split())
