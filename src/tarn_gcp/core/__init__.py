"""The run context of a migration: the plan the tool was given."""
