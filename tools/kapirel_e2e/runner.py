"""Running scenarios by name: what every scenario script shares.

A script defines its scenarios as functions, adds its own options to the
parser from parser(), and hands the names to run() with a context manager
that sets up and tears down what one scenario gets as its argument.
"""

import argparse
import os
import sys
import time
import traceback

from kapirel_e2e.interface import Failure


def parser():
    """An argument parser with --list and the scenario names."""
    options = argparse.ArgumentParser()
    options.add_argument("--list", action="store_true")
    options.add_argument("names", nargs="*")
    return options


def chosen(scenarios, args):
    """None when args names known scenarios; else the exit status to end with
    (0 after --list, 2 for unknown names)."""
    if args.list:
        print("\n".join(scenarios))
        return 0
    unknown = [name for name in args.names if name not in scenarios]
    if unknown or not args.names:
        print("unknown scenarios: %s; known: %s" % (unknown, ", ".join(scenarios)), file=sys.stderr)
        return 2
    return None


def run(scenarios, names, work, setting_for, expected=(Failure,)):
    """Runs each named scenario with `setting_for(name)`, a context manager,
    and prints PASS/FAIL per scenario and "N passed, N failed" last.  A
    scenario's failure does not stop the others.  Returns the exit status."""
    passed = failed = 0
    for name in names:
        started = time.monotonic()
        try:
            with setting_for(name) as setting:
                scenarios[name](setting)
            passed += 1
            print("PASS %s (%.1f s)" % (name, time.monotonic() - started))
        except Exception as problem:  # a scenario's failure must not stop the others
            failed += 1
            print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - started, problem))
            if not isinstance(problem, expected):
                traceback.print_exc()
            print("     artifacts: %s" % os.path.join(os.path.abspath(work), name))
        sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1
