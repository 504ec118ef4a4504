"""Driving kapirel end to end: the shared X session (xsession) and the
scenario harness (harness) that runs the program under the virtual meter.

Imported by tests/e2e/scenarios.py, tests/wine (whose Wine runs only in
the box's private mount namespace) and the benchmarks (tools/bench), all
with tools on PYTHONPATH.
"""
