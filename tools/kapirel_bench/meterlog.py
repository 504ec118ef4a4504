"""The meter's record (its JSON lines log): the program's polls, their
spacing, and the edges of CTS the polls saw."""

import json
import math
import statistics

from kapirel_e2e.harness import TIOCM_CTS

from . import CannotMeasure

PERIOD_MS = 20.0
# The open's TIOCMGET and TIOCEXCL, BREAK off, DTR on, RTS off, the start-up's CTS read.
SETUP = ["TIOCMGET", "TIOCEXCL", "TIOCCBRK", "TIOCMBIS", "TIOCMBIC", "TIOCMGET"]
FIRST_POLL = len(SETUP)


def ioctls_of(run, conn):
    """The ioctl events on conn, read once from the log."""
    calls = []
    with open(run.log_path, "rb") as log:
        for line in log:
            if b'"ioctl"' not in line or not line.endswith(b"}\n"):
                continue
            event = json.loads(line)
            if event["event"] == "ioctl" and event["conn"] == conn:
                calls.append(event)
    return calls


def polls_of(run, conn):
    """The TIOCMGET calls on conn made by Timer1 (the start-up's ioctls left out)."""
    calls = ioctls_of(run, conn)
    got = [c["req"] for c in calls[:FIRST_POLL]]
    if got != SETUP:
        raise CannotMeasure("start of connection %d was %s, expected %s" % (conn, got, SETUP))
    return [c for c in calls[FIRST_POLL:] if c["req"] == "TIOCMGET"]


def loop_polls_of(run, conn):
    """The TIOCMGET calls of the reference poll loop, which does nothing else."""
    return [c for c in ioctls_of(run, conn) if c["req"] == "TIOCMGET"]


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
