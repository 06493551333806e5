"""The migration plan: loading it, checking that it holds what a command
reads in the shape the API accepts (``document``), the annotated example
plan, and where the migration of its VPC stands against the live network
(``status``)."""

from .document import EXAMPLE_PLAN, RULES, Plan, check_value

__all__ = ["EXAMPLE_PLAN", "RULES", "Plan", "check_value"]
