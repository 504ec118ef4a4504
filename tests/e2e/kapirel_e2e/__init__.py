"""Driving kapirel end to end: the shared X session (xsession) and the
scenario harness (harness) that runs the program under the virtual meter.

Imported by tests/e2e/scenarios.py and by the benchmarks (tools/bench), which
put tests/e2e on PYTHONPATH.
"""
