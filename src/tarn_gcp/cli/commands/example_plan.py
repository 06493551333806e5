"""``tarn_gcp example-plan``: the annotated example plan, to start a plan
of one's own."""

from __future__ import annotations

import sys

from tarn_gcp.plan import EXAMPLE_PLAN

HELP = "print the annotated example plan"
EXAMPLES = """\
  tarn_gcp example-plan > plan.yaml
  tarn_gcp example-plan | less"""


def example_plan():
    with open(EXAMPLE_PLAN, encoding="utf-8") as handle:
        sys.stdout.write(handle.read())
    return 0
