"""The commands, one module per command family: ``discovery`` (discover,
cidrs), ``stages`` (switch and restore of each stage), ``status``,
``demo``, ``unlock`` and ``example_plan``.  Each module holds its
commands' help and EXAMPLES, which the parser shows with ``--help``."""
