"""Test support shared by the unit tests, the fuzz tests and the benchmarks.

- `testing.model`: the plain-Python twin of `tarn_gcp.gcplib`, the oracle of
  the differential fuzz tests and the `ref` column of the benchmarks.
- `testing.fakes`: stand-ins for what the module talks to: Compute services
  (a scripted recording one for tests, a lean prepared one for timings),
  the run state (`Globals`, `yctx`, `RouteInfo`, `common`), log capture.
- `testing.urls`: Compute self-links.
- `testing.emulators`: the Compute Engine emulator and the command line as
  the tests drive them (processes of their own, operations finished, waits);
  the fixtures that start the emulator are in tests/conftest.py.
- `testing.launcher`: the server that forks the command line's runs from
  one process that has imported it, with faster clocks where asked.

Importable from a checkout: pytest puts the repository root on its path
(`pythonpath` in pyproject.toml) and the benchmarks run as
`python -m benchmarks.run`. Not part of the installed package.
"""
