"""Benchmarks of the real kapirel under Xvfb + openbox with the virtual meter,
beside reference loops that show what the machine itself costs.

    __main__   the command line (tools/bench runs it) and the order of the runs
    measure    the runs: the program, and the reference loops beside it
    meterlog   the meter's record: the polls, their spacing, the edges seen
    procfs     sampling /proc: CPU of processes and of the machine, memory, load
    report     the table, each figure beside its goal

tools/bench puts tools (with the harness package kapirel_e2e) on PYTHONPATH
and runs `python3 -B -m kapirel_bench`.
"""

import sys


class CannotMeasure(Exception):
    pass


def note(text):
    print("bench: " + text, file=sys.stderr, flush=True)
