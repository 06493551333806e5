"""``python -m tarn_gcp``: the command line (see :mod:`tarn_gcp.cli`)."""

import sys

from tarn_gcp.cli import main

if __name__ == "__main__":
    sys.exit(main())
