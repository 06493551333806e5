"""The command line of tarn_gcp: ``python -m tarn_gcp`` (or ``tarn_gcp``).

``parser`` holds the command tree and its help, ``app`` runs the parsed
command and maps failures to exit statuses, ``console`` writes the log
lines, ``formats`` the JSON and DOT documents, ``run`` is what every
command works with; ``commands`` holds one module per command family.
What the commands stand on lives beside this package: ``tarn_gcp.revert``
(the revert file, locally or in a bucket), ``tarn_gcp.cloud`` (reaching
Compute), ``tarn_gcp.plan`` (the plan, its checks and where its migration
stands).
"""

from .app import main
from .parser import build_parser

__all__ = ["main", "build_parser"]
