#!/usr/bin/env python3
"""The virtual meter on its own, driven by virtual-meter-probe (no X needed).

    selftest.py --meter BIN --probe BIN
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

TIOCM_DTR, TIOCM_RTS, TIOCM_CTS = 0x002, 0x004, 0x020


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(meter, args, timeout=30):
    done = subprocess.run([meter, "--quiet"] + args, capture_output=True, text=True, timeout=timeout)
    steps = [line.split() for line in done.stdout.splitlines()]
    return done.returncode, steps, done.stderr


def events(path):
    with open(path) as log:
        return [json.loads(line) for line in log if line.strip()]


def test_lines_and_pulses(meter, probe, tmp):
    log = os.path.join(tmp, "pulses.jsonl")
    rc, steps, err = run(meter, ["--com2", "present,hz=10,pulses=5,delay=200", "--log", log, "--", probe,
                                 "open", "/dev/ttyS1", "mget", "cbrk", "mbis", "2", "mbic", "4", "mget",
                                 "count", "1200", "close"])
    check(rc == 0, "status %d: %s" % (rc, err))
    check(steps[0] == ["open", "0", "0", "-"] and steps[1][:2] == ["flock", "0"], steps[:2])
    check(int(steps[2][2]) == TIOCM_DTR | TIOCM_RTS, "open raises DTR and RTS: %s" % steps[2])
    check(int(steps[6][2]) == TIOCM_DTR, "after the line settings: %s" % steps[6])
    check(steps[7] == ["count", "0", "5", "-"], "pulses counted: %s" % steps[7])
    recorded = events(log)
    kinds = [e["event"] for e in recorded]
    for kind in ("port", "origin", "start", "spawn", "open", "ioctl", "close", "child-exit", "exit"):
        check(kind in kinds, "no %s event" % kind)
    requests = [e["req"] for e in recorded if e["event"] == "ioctl"][:5]
    check(requests == ["TIOCMGET", "TIOCCBRK", "TIOCMBIS", "TIOCMBIC", "TIOCMGET"], requests)


def test_kinds(meter, probe, tmp):
    rc, steps, err = run(meter, ["--com1", "notserial", "--com2", "held", "--", probe,
                                 "open", "/dev/ttyS1", "close", "open", "/dev/ttyS0", "mget"])
    check(rc == 0, err)
    check(steps[1][:2] == ["flock", "-1"] and steps[1][3] == "EAGAIN", "held port locked: %s" % steps[1])
    check(steps[5][:2] == ["mget", "-1"] and steps[5][3] == "ENOTTY", "not a serial port: %s" % steps[5])
    rc, steps, err = run(meter, ["--com1", "absent", "--com2", "absent", "--", probe,
                                 "open", "/dev/ttyS0", "open", "/dev/ttyS1"])
    check(steps == [["open", "-1", "0", "EISDIR"]] * 2, "absent ports: %s" % steps)


def test_removal(meter, probe, tmp):
    rc, steps, err = run(meter, ["--com2", "present,origin=open,remove=150", "--", probe,
                                 "open", "/dev/ttyS1", "mget", "sleep", "300", "mget", "mbic", "2"])
    check(steps[2][:2] == ["mget", "0"], steps)
    check(steps[3][3] == "EIO" and steps[4][3] == "EIO", "after removal: %s" % steps[3:])


def test_status_and_cleanup(meter, probe, tmp):
    check(run(meter, ["--", "sh", "-c", "exit 7"])[0] == 7, "exit status passed on")
    check(run(meter, ["--", "sh", "-c", "kill -KILL $$"])[0] == 128 + 9, "killed: 128+signal")
    check(run(meter, ["--", "/nonexistent/command"])[0] == 127, "missing command: 127")
    check(run(meter, ["--com1", "present,hz=0", "--", "true"])[0] == 125, "bad port description: 125")
    log = os.path.join(tmp, "leftover.jsonl")
    check(run(meter, ["--log", log, "--", "sh", "-c", "sleep 30 & exit 0"], timeout=15)[0] == 0, "leftover")
    check(any(e["event"] == "waiting-for-users" for e in events(log)), "left-over processes waited for")
    testbed = [e for e in events(log) if e["event"] == "start"][0]["testbed"]
    check(not os.path.exists(testbed), "the testbed directory was left behind")


def test_signals(meter, probe, tmp):
    log = os.path.join(tmp, "signals.jsonl")
    child = subprocess.Popen([meter, "--quiet", "--com2", "present,steps=0:1,origin=usr1", "--log", log, "--",
                              "sh", "-c", "trap 'exit 3' TERM; while :; do sleep 0.05; done"])
    deadline = time.monotonic() + 10
    while not os.path.exists(log) or "spawn" not in open(log).read():
        check(time.monotonic() < deadline, "no spawn")
        time.sleep(0.05)
    child.send_signal(signal.SIGUSR1)
    time.sleep(0.3)
    child.send_signal(signal.SIGTERM)
    check(child.wait(10) == 3, "SIGTERM forwarded, child's status returned")
    recorded = events(log)
    check(any(e["event"] == "origin" and e["dev"] == "/dev/ttyS1" and e["origin_t"] > 0 for e in recorded),
          "SIGUSR1 started the waveform")
    check(any(e["event"] == "signal" and e["signal"] == signal.SIGTERM for e in recorded), "forward logged")


def test_join(meter, probe, tmp):
    log = os.path.join(tmp, "join.jsonl")
    owner = subprocess.Popen([meter, "--quiet", "--log", log, "--", probe, "open", "/dev/ttyS1", "sleep", "1500"],
                             stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        found = [e for e in events(log) if e["event"] == "open"] if os.path.exists(log) else []
        if found:
            break
        check(time.monotonic() < deadline, "owner never opened the port")
        time.sleep(0.05)
    testbed = [e for e in events(log) if e["event"] == "start"][0]["testbed"]
    rc, steps, err = run(meter, ["--join", testbed, "--", probe, "open", "/dev/ttyS1", "open", "/dev/ttyS0", "mget"])
    check(rc == 0, err)
    check(steps[1][:2] == ["flock", "-1"], "the owner's lock holds across meters: %s" % steps[1])
    check(steps[4][:2] == ["mget", "0"], "joined command reaches the emulation: %s" % steps)
    check(owner.wait(10) == 0, "owner status")
    check(run(meter, ["--join", testbed, "--", "true"])[0] == 125, "joining a removed testbed fails")


def test_refuses_outside(meter, probe, tmp):
    done = subprocess.run([probe, "open", "/dev/ttyS1"], capture_output=True, text=True)
    check(done.returncode == 2 and done.stdout == "", "the probe ran outside a testbed")


TESTS = [test_lines_and_pulses, test_kinds, test_removal, test_status_and_cleanup, test_signals, test_join,
         test_refuses_outside]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--meter", required=True)
    parser.add_argument("--probe", required=True)
    args = parser.parse_args()
    passed = failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for test in TESTS:
            try:
                test(args.meter, args.probe, tmp)
                passed += 1
                print("PASS %s" % test.__name__)
            except Exception as problem:
                failed += 1
                print("FAIL %s: %r" % (test.__name__, problem))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
