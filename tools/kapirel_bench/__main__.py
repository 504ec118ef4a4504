"""Benchmarks of the real kapirel under Xvfb + openbox with the virtual meter.

    tools/bench [--build DIR] [--only LIST] [--long]

Measures one run after the other and prints one table, each figure beside
its goal; the CPU goals are ratios to a reference loop (tools/bench-loops,
built beside the meter in DIR/bin) run beside the program under its own
meter.  What each measurement does, and why: docs/benchmarks.md.

A benchmark, not a test: the exit status is 0 whenever it measured, whatever
the figures; non-zero only when it could not measure.

Environment, for checking the script itself (figures taken so are not
comparable): KAPIREL_BENCH_WINDOW (seconds, default 30), KAPIREL_BENCH_PULSES
(default 600), KAPIREL_BENCH_STARTS (default 5), KAPIREL_BENCH_LONG_SECONDS
(default 3600).
"""

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import time

from kapirel_e2e import xsession
from kapirel_e2e.harness import Session, Tools
from kapirel_e2e.interface import Failure

from . import CannotMeasure, note
from .measure import IDLE_LOOP, POLL_LOOP, STEPS, Bench, wait_quiet
from .report import table

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def parse_args():
    parser = argparse.ArgumentParser(prog="tools/bench", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-release"),
                        help="build directory with bin/kapirel, the meter and the loops (default: build-release)")
    parser.add_argument("--only", help="a comma list of the measurements to run: " + ", ".join(STEPS))
    parser.add_argument("--long", action="store_true", help="also the one-hour run")
    args = parser.parse_args()
    args.steps = args.only.split(",") if args.only else [step for step in STEPS if step != "long" or args.long]
    unknown = [step for step in args.steps if step not in STEPS]
    if unknown:
        parser.error("unknown measurements %s; known: %s" % (unknown, ", ".join(STEPS)))
    return args


def missing_programs(bin_dir):
    """What cannot run, each with how to get it."""
    problems = []
    if not os.access(os.path.join(bin_dir, "kapirel"), os.X_OK):
        problems.append("%s/kapirel is missing (build it: cmake --preset release && cmake --build --preset release)"
                        % bin_dir)
    for program in ("virtual-meter", IDLE_LOOP, POLL_LOOP):
        if not os.access(os.path.join(bin_dir, program), os.X_OK):
            problems.append("%s/%s is missing (built with the meter, which needs umockdev: apt-get install "
                            "libumockdev-dev umockdev, then configure and build again)" % (bin_dir, program))
    if shutil.which("xev") is None:
        problems.append("xev is missing (Debian package x11-utils)")
    return problems


def main():
    args = parse_args()
    build = os.path.abspath(args.build)
    bin_dir = os.path.join(build, "bin")
    problems = missing_programs(bin_dir)
    if problems:
        for problem in problems:
            print("bench: cannot measure: " + problem, file=sys.stderr)
        return 1
    work = os.path.join(build, "bench")
    os.makedirs(work, exist_ok=True)
    state = os.path.join(work, "xsession.json")

    kapirel = os.path.join(bin_dir, "kapirel")
    results = {"hwm": {}, "capture": [], "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
               "load_before": os.getloadavg()}
    started = time.monotonic()
    note("%s; load average %.2f %.2f %.2f" % (kapirel, *results["load_before"]))
    status = 0
    try:
        with contextlib.redirect_stdout(sys.stderr):
            xsession.start(state)
        tools = Tools(kapirel, os.path.join(bin_dir, "virtual-meter"), xsession.display_of(state))
        bench = Bench(tools, work, float(os.environ.get("KAPIREL_BENCH_WINDOW") or 30),
                      int(os.environ.get("KAPIREL_BENCH_PULSES") or 600),
                      int(os.environ.get("KAPIREL_BENCH_STARTS") or 5),
                      float(os.environ.get("KAPIREL_BENCH_LONG_SECONDS") or 3600), results)
        for name in STEPS:
            if name in args.steps:
                wait_quiet(10 * bench.window)
                # One measurement at a time; the session ends every process of the run.
                with Session(tools, work, name) as session:
                    STEPS[name](bench, session)
    except (CannotMeasure, Failure, OSError, subprocess.SubprocessError) as problem:
        print("bench: cannot measure: %s (working files: %s)" % (problem, work), file=sys.stderr)
        status = 1
    finally:
        with contextlib.redirect_stdout(sys.stderr):
            xsession.stop(state)
    load_after = os.getloadavg()

    print("kapirel benchmarks: %s" % build)
    print("%s; %d cores; load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %.1f min" % (
        results["date"], os.cpu_count(), *results["load_before"], *load_after, (time.monotonic() - started) / 60))
    print(table(results))
    return status


sys.exit(main())
