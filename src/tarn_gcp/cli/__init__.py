"""The command line of tarn_gcp: ``python -m tarn_gcp`` (or ``tarn_gcp``).

``app`` parses the arguments and maps failures to exit statuses; ``run``
holds what every command works with and binds gcplib's run state;
``discovery`` runs the reading commands, ``stages`` the stages and their
restore, ``status`` compares the revert information with the live network,
``demo`` the whole round trip on an emulator; ``plan`` and ``revert`` check
the plan and keep the revert file (``bucket_store`` in a bucket),
``session`` builds the Compute service (Google Cloud or an emulator) over
the retrying transport of ``transport``, and ``console`` writes the log
lines.
"""

from .app import build_parser, main

__all__ = ["main", "build_parser"]
