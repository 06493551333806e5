"""Discovery and migration of Google Cloud VPC networking.

The work is done by the extension module :mod:`tarn_gcp.gcplib` (class
``GcpLib``); ``core``, ``res`` and ``commonlib`` hold the run context, the
run-wide state and the logging helpers it relies on.  The command line
(``cli``) stands on ``revert`` (the revert information, locally or in a
bucket), ``cloud`` (reaching Compute) and ``plan`` (the plan and where its
migration stands); ``emulator`` is a Compute Engine emulator.
"""

__version__ = "0.1.0"
