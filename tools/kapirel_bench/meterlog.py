"""The meter's record (its JSON lines log): the program's polls, their
spacing, and the edges of CTS the polls saw."""

import math
import statistics

from kapirel_e2e.interface import POWER_ON, TIOCM_CTS, Failure, check_setup

from . import CannotMeasure

PERIOD_MS = 20.0


def polls_of(conn):
    """The program's Timer1 polls on conn (a connection of the e2e harness): the reads of CTS after the
    start-up's own, which is the first after the line settings; found by the meter's stamps, not by their
    place among the calls (docs/benchmarks.md, start-up)."""
    try:
        check_setup(conn, timeout=0)
    except Failure as problem:
        raise CannotMeasure(str(problem))
    steps = conn.steps()
    powered = steps[len(POWER_ON) - 1].mono
    reads = sorted((step for step in steps if step.kind == "read" and step.mono > powered), key=lambda step: step.mono)
    if not reads:
        raise CannotMeasure("no read of CTS on %s after its line settings" % conn)
    return [step.call for step in reads if step.mono > reads[0].mono]


def loop_polls_of(run, conn):
    """The TIOCMGET calls of the reference poll loop, which does nothing else."""
    return [c for c in run.ioctls(conn) if c["req"] == "TIOCMGET"]


def spacing(polls, start, end):
    """Gaps in ms between successive polls with start <= mono <= end."""
    times = [p["mono"] for p in polls if start <= p["mono"] <= end]
    return [(b - a) * 1000.0 for a, b in zip(times, times[1:])]


def percentile(values, p):
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100.0 * len(ordered)) - 1)]


def spacing_stats(gaps):
    if len(gaps) < 10:
        raise CannotMeasure("only %d poll gaps in the window" % len(gaps))
    return {"n": len(gaps), "short": sum(1 for g in gaps if g < PERIOD_MS / 2), "min": min(gaps),
            "median": statistics.median(gaps), "p99": percentile(gaps, 99), "max": max(gaps),
            "mean": statistics.fmean(gaps)}


def edges_seen(polls):
    levels = [1 if p["value"] & TIOCM_CTS else 0 for p in polls if p["result"] == 0]
    return sum(1 for a, b in zip(levels, levels[1:]) if b > a)


def mono_offset(event):
    """Adds to a meter time ("t", seconds) to give CLOCK_MONOTONIC seconds."""
    return event["mono"] - event["t"]
