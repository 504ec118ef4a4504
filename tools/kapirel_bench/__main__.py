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
import statistics
import sys
import time

from kapirel_e2e import xsession
from kapirel_e2e.harness import Session, Tools
from kapirel_e2e.interface import Failure

from .measure import IDLE_LOOP, PERIOD_MS, POLL_LOOP, STEPS, Bench, CannotMeasure, note, wait_quiet

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
# Goals of the program's CPU, as ratios to the reference loop measured beside it.
FLOOR_RATIO_GOAL = 1.2
COUNTING_RATIO_GOAL = 1.5
COUNTING_RATIO_RATES = (20, 24)


def table(results):
    """Each figure beside its goal and the conditions it was taken in."""
    rows = []

    def row(name, figure, goal, meets, context=""):
        rows.append((name, figure, goal, {True: "yes", False: "NO", None: ""}[meets], context))

    def ratio_row(name, program, loop, goal, context):
        ratio = program / loop if loop > 0 else float("inf")
        row(name, "%.2f" % ratio, "<= %.1f" % goal if goal else "", ratio <= goal if goal else None,
            "%.3f %% / %.3f %%; %s" % (program, loop, context))

    s = results.get("spacing")
    if s:
        ctx = "%d gaps over %.0f s without pulses, %d under 10 ms; %s" % (s["n"], s["seconds"], s["short"],
                                                                           s["context"])
        row("poll spacing min", "%.3f ms" % s["min"], "", None, ctx)
        row("poll spacing median", "%.3f ms" % s["median"], "19.900..20.100 ms",
            19.9 <= s["median"] <= 20.1)
        row("poll spacing median / 20 ms", "%.4f" % (s["median"] / PERIOD_MS), "0.9950..1.0050",
            abs(s["median"] / PERIOD_MS - 1) <= 0.005)
        row("poll spacing mean", "%.3f ms" % s["mean"], "", None)
        row("poll spacing p99", "%.3f ms" % s["p99"], "<= 20.5 ms", s["p99"] <= 20.5)
        row("poll spacing max", "%.3f ms" % s["max"], "", None)
    r = results.get("reference")
    if r:
        row("instrument: reference poller p99", "%.3f ms" % r["p99"], "", None,
            "poll loop alone, 20 ms timerfd under the same meter: min %.3f median %.3f max %.3f ms; CPU %.2f %%"
            % (r["min"], r["median"], r["max"], r["cpu"]["percent"]))
    for c in results.get("capture", []):
        ratio = c["counted"] / c["sent"]
        goal = 0.99 if c["hz"] > 20 else 1.0
        extra = "" if c["seen_by_polls"] == c["counted"] else "; polls saw %d" % c["seen_by_polls"]
        row("capture %g Hz counted/sent" % c["hz"], "%d/%d = %.2f %%" % (c["counted"], c["sent"], 100 * ratio),
            ">= 99 %" if goal < 1 else "100 %", ratio >= goal,
            "gaps p99 %.3f max %.3f ms%s; %s" % (c["spacing"]["p99"], c["spacing"]["max"], extra, c["context"]))
    for key, who in (("loaded_capture", "program as started"), ("loaded_capture_unprivileged",
                                                                 "program unprivileged")):
        c = results.get(key)
        if not c:
            continue
        name = "capture 24 Hz under load, %s: counted, poll loop's" % who
        if "skipped" in c:
            row(name, "not measured", "", None, c["skipped"])
            continue
        runs = c["runs"]
        counted = [r["counted"] for r in runs]
        looped = [r["loop_counted"] for r in runs]
        # As started, the program may raise its counting thread: then it is to lose nothing.  Unprivileged, it
        # is the comparison.
        goal, meets = "", None
        if c["privileged"]:
            goal = "%d each, >= the loop" % c["sent"]
            meets = all(n == c["sent"] and n >= m for n, m in zip(counted, looped))
        raised = sorted({t for r in runs for t in r["program_rt"]})
        program = ("the program's real-time threads: %s (in %d of %d runs)"
                   % (", ".join(raised), sum(1 for r in runs if r["program_rt"]), len(runs)) if raised
                   else "the program at normal priority")
        seen = ["%d" % r["seen_by_polls"] for r in runs]
        extra = "" if seen == ["%d" % n for n in counted] else "; its polls saw %s" % " ".join(seen)

        def each(part, field):
            return "/".join("%.1f" % r[part][field] for r in runs)

        row(name, "%s and %s of %d" % (" ".join(map(str, counted)), " ".join(map(str, looped)), c["sent"]), goal,
            meets,
            "%d runs; meters SCHED_FIFO %d; %s%s; %d busy processes; gaps p99 %s max %s ms, the loop's p99 %s max "
            "%s ms; CPU %s %% / %s %%; %s"
            % (len(runs), c["meter_priority"], program,
               "" if c["privileged"] else " (" + c["unprivileged_by"] + ", no system bus)", c["busy"],
               each("spacing", "p99"), each("spacing", "max"), each("loop_spacing", "p99"),
               each("loop_spacing", "max"), "/".join("%.2f" % r["cpu_percent"] for r in runs),
               "/".join("%.2f" % r["loop"] for r in runs),
               "load %s, machine %s %% busy" % ("/".join("%.2f" % r["load"] for r in runs),
                                                "/".join("%.0f" % r["machine_percent"] for r in runs))) + extra)
    c = results.get("cpu_idle")
    if c:
        row("CPU, port open, no pulses", "%.2f %%" % c["percent"], "", None,
            "%.0f s; %s" % (c["seconds"], c["context"]))
    for c in results.get("capture", []):
        row("CPU, counting %g Hz" % c["hz"], "%.2f %%" % c["cpu_percent"], "", None,
            "%.0f s of pulses" % c["seconds"])
    c = results.get("cpu_floor")
    if c:
        row("CPU floor, no port", "%.2f %%" % c["percent"], "", None, "%.0f s; %s" % (c["seconds"], c["context"]))
    c = results.get("cpu_idle")
    if c:
        ratio_row("CPU ratio: port open, no pulses / poll loop", c["percent"], c["loop"], None,
                  "loop's gaps p99 %.3f ms" % c["loop_spacing"]["p99"])
    for c in results.get("capture", []):
        goal = COUNTING_RATIO_GOAL if c["hz"] in COUNTING_RATIO_RATES else None
        ratio_row("CPU ratio: counting %g Hz / poll loop" % c["hz"], c["cpu_percent"], c["loop"], goal,
                  "loop's gaps p99 %.3f ms" % c["loop_spacing"]["p99"])
    c = results.get("cpu_floor")
    if c:
        ratio_row("CPU ratio: floor, no port / idle loop", c["percent"], c["loop"], FLOOR_RATIO_GOAL,
                  "idle loop without the meter %.3f %%" % c["bare"])
    if results["hwm"]:
        where, kb = max(results["hwm"].items(), key=lambda item: item[1])
        row("peak RSS (VmHWM)", "%.1f MiB" % (kb / 1024.0), "<= 32 MiB", kb <= 32 * 1024,
            "= %.1f MB; largest in the run: %s" % (kb * 1.024e-3, where))
    st = results.get("startup")
    if st:
        n = len(st["mapped_ms"])
        load = "load %.2f..%.2f" % (min(st["loads"]), max(st["loads"]))
        row("start-up: exec -> window mapped", "%.1f ms" % statistics.median(st["mapped_ms"]), "<= 300 ms",
            statistics.median(st["mapped_ms"]) <= 300,
            "median of %d: %s; %s" % (n, " ".join("%.0f" % v for v in st["mapped_ms"]), load))
        row("start-up: exec -> first Timer1 poll", "%.1f ms" % statistics.median(st["first_poll_ms"]), "", None,
            "median of %d: %s" % (n, " ".join("%.0f" % v for v in st["first_poll_ms"])))
    lg = results.get("long")
    if lg:
        growth = lg["rss_last_kb"] - lg["rss_first_kb"]
        row("long %g Hz, %.0f s: counted/sent" % (lg["hz"], lg["seconds"]),
            "%d/%d = %.3f %%" % (lg["counted"], lg["sent"], 100.0 * lg["counted"] / lg["sent"]), "100 %",
            lg["counted"] == lg["sent"],
            "polls saw %d; gaps p99 %.3f max %.3f ms; CPU %.2f %%; %s" % (
                lg["seen_by_polls"], lg["spacing"]["p99"], lg["spacing"]["max"], lg["cpu_percent"], lg["context"]))
        row("long: VmRSS first vs last %.0f s" % lg["span_s"],
            "%.1f -> %.1f MiB (%+d kB)" % (lg["rss_first_kb"] / 1024, lg["rss_last_kb"] / 1024, round(growth)),
            "no growth (<= 64 kB)", growth <= 64,
            "%d samples, min %.1f max %.1f MiB; VmHWM %.1f MiB" % (
                lg["samples"], lg["rss_min_kb"] / 1024, lg["rss_max_kb"] / 1024, lg["hwm_kb"] / 1024))

    header = ("measurement", "figure", "goal", "meets", "conditions")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(5)]
    fmt = "| " + " | ".join("%%-%ds" % w for w in widths) + " |"
    lines = [fmt % header, "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    lines.extend(fmt % r for r in rows)
    return "\n".join(lines)


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
    missing = [program for program in ("kapirel", "virtual-meter", IDLE_LOOP, POLL_LOOP)
               if not os.access(os.path.join(bin_dir, program), os.X_OK)]
    problems = ["%s lacks %s (cmake --preset release && cmake --build --preset release build them; the meter and the "
                "loops only where umockdev is installed: apt-get install libumockdev-dev umockdev)"
                % (bin_dir, ", ".join(missing))] if missing else []
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
