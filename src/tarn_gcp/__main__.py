"""Command line of tarn_gcp.

For now it builds nothing of its own: it imports the extension module and
prints the method table of GcpLib with the signatures, a smoke check that
the build is usable.
"""

from __future__ import annotations

import inspect
import sys
import warnings


def main(argv=None) -> int:
    warnings.filterwarnings("ignore", category=FutureWarning)
    from tarn_gcp.gcplib import GcpLib

    print("tarn_gcp.gcplib.GcpLib")
    for name in ("PROJECT_I", "REGION_I", "SUBNET_I", "NETWORK_I"):
        print(f"  {name} = {getattr(GcpLib, name)}")
    for name, value in vars(GcpLib).items():
        if isinstance(value, classmethod):
            print(f"  {name}{inspect.signature(getattr(GcpLib, name))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
