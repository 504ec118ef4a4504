"""The one failure and its checks, for every Python test of the project: the
e2e and Wine scenarios, the Wine box's selftest and the virtual meter's."""

import json
import time


class Failure(Exception):
    """A check that did not hold: the test fails with its message."""


class Skip(Exception):
    """A test that this machine cannot run (no privilege for it)."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(probe, timeout, what, interval=0.05):
    """Polls probe() until it returns something true; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def json_lines(path):
    """The whole lines of a JSON-lines record (the meters write a line at once), [] before it exists."""
    try:
        with open(path, "rb") as log:
            return [json.loads(line) for line in log if line.endswith(b"\n")]
    except FileNotFoundError:
        return []
