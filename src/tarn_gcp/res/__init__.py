"""Run-wide state: the ``Globals`` holder and the ``RouteInfo`` record."""
