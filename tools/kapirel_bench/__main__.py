"""Benchmarks of the real kapirel under Xvfb + openbox with the virtual meter.

    tools/bench [--build DIR] [--meter PATH] [--loops DIR] [--work DIR]
                [--label TEXT] [--json FILE] [--only LIST] [--long]

Measures one run after the other and prints one table, each figure beside
its goal; the CPU goals are ratios to a reference loop (tools/bench-loops)
run beside the program under its own meter.  What each measurement does, and
why: docs/benchmarks.md.

  idle, reference, capture-10, capture-20, capture-24, capture-24-load,
  capture-24-load-unprivileged, floor, startup, and long (only with --long
  or KAPIREL_BENCH_LONG=1)

A benchmark, not a test: the exit status is 0 whenever it measured, whatever
the figures; non-zero only when it could not measure.

Environment, for checking the script itself (figures taken so are not
comparable): KAPIREL_BENCH_WINDOW (seconds, default 30), KAPIREL_BENCH_PULSES
(default 600), KAPIREL_BENCH_STARTS (default 5), KAPIREL_BENCH_LONG_SECONDS
(default 3600).
"""

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import time

from kapirel_e2e import xsession
from kapirel_e2e.harness import Session, Tools
from kapirel_e2e.interface import Failure

from . import CannotMeasure, note
from .measure import IDLE_LOOP, POLL_LOOP, STEPS, Bench
from .procfs import loadavg, wait_quiet
from .report import table

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def env_number(name, default, kind=float):
    value = os.environ.get(name)
    if not value:
        return default
    try:
        return kind(value)
    except ValueError:
        raise CannotMeasure("%s=%r is not a number" % (name, value))


def parse_args():
    parser = argparse.ArgumentParser(prog="tools/bench", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-release"),
                        help="build directory with bin/kapirel (default: build-release)")
    parser.add_argument("--meter", help="the virtual meter (default: BUILD/bin/virtual-meter)")
    parser.add_argument("--loops", help="directory of the reference loops bench-idle-loop and bench-poll-loop "
                        "(default: the meter's directory)")
    parser.add_argument("--work", help="working files (default: BUILD/bench)")
    parser.add_argument("--label", help="a name for the build in the output")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--quiet-below", type=float, default=20.0, metavar="PERCENT",
                        help="before each measurement, wait for the machine to be less busy than this (default 20)")
    parser.add_argument("--quiet-wait", type=float, default=300.0, metavar="SECONDS",
                        help="longest wait for that, per measurement (default 300; 0: do not wait)")
    parser.add_argument("--only", help="a comma list of the measurements to run: " + ", ".join(STEPS))
    parser.add_argument("--long", action="store_true", default=os.environ.get("KAPIREL_BENCH_LONG", "") not in
                        ("", "0"), help="also the one-hour run (or KAPIREL_BENCH_LONG=1)")
    args = parser.parse_args()
    args.steps = args.only.split(",") if args.only else [step for step in STEPS if step != "long" or args.long]
    unknown = [step for step in args.steps if step not in STEPS]
    if unknown:
        parser.error("unknown measurements %s; known: %s" % (unknown, ", ".join(STEPS)))
    return args


def missing_programs(kapirel, meter, loops):
    """What cannot run, each with how to get it."""
    problems = []
    if not os.access(kapirel, os.X_OK):
        problems.append("%s is missing (build it: cmake --preset release && cmake --build --preset release)"
                        % kapirel)
    if not os.access(meter, os.X_OK):
        problems.append("%s is missing (it needs umockdev: apt-get install libumockdev-dev umockdev, then "
                        "configure and build again)" % meter)
    for loop in (IDLE_LOOP, POLL_LOOP):
        if not os.access(os.path.join(loops, loop), os.X_OK):
            problems.append("%s is missing from %s (built with the meter; or give --loops DIR)" % (loop, loops))
    if shutil.which("xev") is None:
        problems.append("xev is missing (Debian package x11-utils)")
    return problems


def main():
    args = parse_args()
    try:
        window = env_number("KAPIREL_BENCH_WINDOW", 30.0)
        pulses = env_number("KAPIREL_BENCH_PULSES", 600, int)
        starts = env_number("KAPIREL_BENCH_STARTS", 5, int)
        long_seconds = env_number("KAPIREL_BENCH_LONG_SECONDS", 3600.0)
    except CannotMeasure as problem:
        print("bench: cannot measure: %s" % problem, file=sys.stderr)
        return 2
    build = os.path.abspath(args.build)
    kapirel = os.path.join(build, "bin", "kapirel")
    meter = os.path.abspath(args.meter or os.path.join(build, "bin", "virtual-meter"))
    loops = os.path.abspath(args.loops or os.path.dirname(meter))
    work = os.path.abspath(args.work or os.path.join(build, "bench"))
    problems = missing_programs(kapirel, meter, loops)
    if problems:
        for problem in problems:
            print("bench: cannot measure: " + problem, file=sys.stderr)
        return 1
    os.makedirs(work, exist_ok=True)
    state = os.path.join(work, "xsession.json")

    results = {"label": args.label or build, "kapirel": kapirel, "meter": meter, "loops": loops, "hwm": {},
               "capture": [], "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "load_before": loadavg()}
    started = time.monotonic()
    note("%s; load average %.2f %.2f %.2f" % (kapirel, *results["load_before"]))
    status = 0
    try:
        with contextlib.redirect_stdout(sys.stderr):
            xsession.start(state)
        tools = Tools(kapirel, meter, xsession.display_of(state))
        bench = Bench(tools, loops, work, window, pulses, starts, long_seconds, results)
        for name in STEPS:
            if name in args.steps:
                if args.quiet_wait > 0:
                    wait_quiet(args.quiet_below, args.quiet_wait)
                # One measurement at a time; the session ends every process of the run.
                with Session(tools, work, name) as session:
                    STEPS[name](bench, session)
    except (CannotMeasure, Failure, OSError, subprocess.SubprocessError) as problem:
        print("bench: cannot measure: %s (working files: %s)" % (problem, work), file=sys.stderr)
        status = 1
    finally:
        with contextlib.redirect_stdout(sys.stderr):
            xsession.stop(state)
    results["load_after"] = loadavg()
    results["minutes"] = (time.monotonic() - started) / 60.0

    print("kapirel benchmarks: %s" % results["label"])
    print("%s; %d cores; load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %.1f min" % (
        results["date"], os.cpu_count(), *results["load_before"], *results["load_after"], results["minutes"]))
    print(table(results))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=1)
    return status


sys.exit(main())
