#!/usr/bin/env python3
"""The virtual meter on its own, driven by virtual-meter-probe (no X needed).

    selftest.py --meter BIN --probe BIN
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

from kapirel_e2e.checks import Failure, Skip, check, json_lines, wait_until
from kapirel_e2e.proc import threads as scheduling

TIOCM_DTR, TIOCM_RTS = 0x002, 0x004


def run(meter, args, timeout=30):
    done = subprocess.run([meter, "--quiet"] + args, capture_output=True, text=True, timeout=timeout)
    steps = [line.split() for line in done.stdout.splitlines()]
    return done.returncode, steps, done.stderr


def events(path, kind=None):
    return [e for e in json_lines(path) if kind in (None, e["event"])]


def test_lines_and_pulses(meter, probe, tmp):
    log = os.path.join(tmp, "pulses.jsonl")
    rc, steps, err = run(meter, ["--com2", "present,hz=10,pulses=5,delay=200,origin=open", "--log", log, "--", probe,
                                 "open", "/dev/ttyS1", "mget", "cbrk", "mbis", "2", "mbic", "4", "mget",
                                 "count", "1200", "close"])
    check(rc == 0, "status %d: %s" % (rc, err))
    check(steps[0] == ["open", "0", "0", "-"] and steps[1][:2] == ["flock", "0"], steps[:2])
    check(int(steps[2][2]) == TIOCM_DTR | TIOCM_RTS, "open raises DTR and RTS: %s" % steps[2])
    check(int(steps[6][2]) == TIOCM_DTR, "after the line settings: %s" % steps[6])
    check(steps[7] == ["count", "0", "5", "-"], "pulses counted: %s" % steps[7])
    recorded = events(log)
    missing = {"origin", "start", "spawn", "open", "ioctl", "close"} - {e["event"] for e in recorded}
    check(not missing, "no %s events" % missing)
    requests = [e["req"] for e in recorded if e["event"] == "ioctl"][:5]
    check(requests == ["TIOCMGET", "TIOCCBRK", "TIOCMBIS", "TIOCMBIC", "TIOCMGET"], requests)


def test_kinds(meter, probe, tmp):
    rc, steps, err = run(meter, ["--com1", "notserial", "--com2", "held", "--", probe,
                                 "open", "/dev/ttyS1", "close", "open", "/dev/ttyS0", "mget"])
    check(rc == 0, err)
    check(steps[1][:2] == ["flock", "-1"] and steps[1][3] == "EAGAIN", "held port locked: %s" % steps[1])
    check(steps[5][:2] == ["mget", "-1"] and steps[5][3] == "ENOTTY", "not a serial port: %s" % steps[5])


def test_status_and_cleanup(meter, probe, tmp):
    check(run(meter, ["--", "sh", "-c", "exit 7"])[0] == 7, "exit status passed on")
    check(run(meter, ["--", "sh", "-c", "kill -KILL $$"])[0] == 128 + 9, "killed: 128+signal")
    check(run(meter, ["--", "/nonexistent/command"])[0] == 127, "missing command: 127")
    log = os.path.join(tmp, "leftover.jsonl")
    check(run(meter, ["--log", log, "--", "sh", "-c", "sleep 30 & exit 0"], timeout=15)[0] == 0, "leftover")
    check(any(e["event"] == "waiting-for-users" for e in events(log)), "left-over processes waited for")
    testbed = events(log, "start")[0]["testbed"]
    check(not os.path.exists(testbed), "the testbed directory was left behind")


def test_signals(meter, probe, tmp):
    log = os.path.join(tmp, "signals.jsonl")
    child = subprocess.Popen([meter, "--quiet", "--com2", "present,steps=0:1,origin=usr1", "--log", log, "--",
                              "sh", "-c", "trap 'exit 3' TERM; while :; do sleep 0.05; done"])
    wait_until(lambda: events(log, "spawn"), 10, "the spawn")
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
    wait_until(lambda: events(log, "open"), 10, "the owner's open of the port")
    testbed = events(log, "start")[0]["testbed"]
    rc, steps, err = run(meter, ["--join", testbed, "--", probe, "open", "/dev/ttyS1", "open", "/dev/ttyS0", "mget"])
    check(rc == 0, err)
    check(steps[1][:2] == ["flock", "-1"], "the owner's lock holds across meters: %s" % steps[1])
    check(steps[4][:2] == ["mget", "0"], "joined command reaches the emulation: %s" % steps)
    check(owner.wait(10) == 0, "owner status")
    check(run(meter, ["--join", testbed, "--", "true"])[0] == 125, "joining a removed testbed fails")


def test_machine(meter, probe, tmp):
    """UART types, USB adapters by socket, an alias, the console list and a lock file, as the command sees them."""
    log = os.path.join(tmp, "machine.jsonl")
    real_lock = "/run/lock/LCK..ttyS1"
    real_before = os.path.exists(real_lock)
    script = ("for n in 0 1 2 3; do echo type ttyS$n $(cat /sys/class/tty/ttyS$n/type); done; "
              "for l in /dev/serial/by-path/*; do echo link ${l##*/} $(readlink $l); done; "
              "echo alias $(readlink /dev/COM3); echo console $(cat /sys/class/tty/console/active); "
              "echo lock $(cat /run/lock/LCK..ttyS1) $(cat /var/lock/LCK..ttyS1); "
              "echo private $(test -e /run/lock/LCK..ttyS1 && stat -c %i /run/lock) $(stat -c %i \"$TESTBED_LOCKS\")")
    rc, steps, err = run(meter, ["--com1", "absent", "--usb0", "present,socket=3", "--usb1", "present", "--alias",
                                 "COM3=ttyUSB1", "--console", "tty0,ttyS1", "--lock", "ttyS1=4242", "--log", log, "--",
                                 "sh", "-c", 'TESTBED_LOCKS="$UMOCKDEV_DIR/run/lock"; ' + script])
    check(rc == 0, "status %d: %s" % (rc, err))
    lines = [" ".join(words) for words in steps]
    check(lines[:4] == ["type ttyS0 0", "type ttyS1 4", "type ttyS2 0", "type ttyS3 0"], "UART types: %s" % lines)
    check(lines[4:6] == ["link pci-0000:00:14.0-usb-0:2:1.0-port0 ../../ttyUSB1",
                         "link pci-0000:00:14.0-usb-0:3:1.0-port0 ../../ttyUSB0"], "by-path links: %s" % lines)
    check(lines[6:9] == ["alias ttyUSB1", "console tty0 ttyS1", "lock 4242 4242"], "alias, console, lock: %s" % lines)
    private = lines[9].split()
    check(len(private) == 3 and private[1] == private[2], "/run/lock is not the testbed's: %s" % lines[9])
    check(os.path.exists(real_lock) == real_before, "the lock file reached the machine's /run/lock")
    rc, steps, err = run(meter, ["--com1", "absent", "--com2", "absent", "--usb0", "present,hz=10,pulses=3,delay=100,"
                                 "origin=open", "--", probe, "open", "/dev/ttyUSB0", "mget", "count", "700",
                                 "open", "/dev/ttyS0", "open", "/dev/ttyS1"])
    check(rc == 0 and steps[0] == ["open", "0", "0", "-"], "the adapter opens: %s %s" % (steps, err))
    check(steps[3] == ["count", "0", "3", "-"], "the adapter pulses: %s" % steps)
    check(steps[4:] == [["open", "-1", "0", "EISDIR"]] * 2, "absent ports: %s" % steps)
    for bad in (["--alias", "COM0=ttyS0"], ["--alias", "COM2=../ttyS0"], ["--lock", "ttyS1=x"],
                ["--console", "tty0,"], ["--com1", "present,hz=0"]):
        check(run(meter, bad + ["--", "true"])[0] == 125, "accepted %s" % bad)


def test_realtime(meter, probe, tmp):
    """--realtime: the meter's threads but its main one (umockdev's worker answers every call) run at SCHED_FIFO;
    the command it spawned, and what that command starts, at normal priority."""
    log = os.path.join(tmp, "realtime.jsonl")
    proc = subprocess.Popen([meter, "--quiet", "--realtime", "--log", log, "--", "sh", "-c",
                             probe + " open /dev/ttyS1 mget sleep 1500 mget; exit $?"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    def called():
        if proc.poll() is not None:
            err = proc.stderr.read()
            if proc.returncode == 125 and "CAP_SYS_NICE" in err:
                raise Skip("no privilege for real-time priority: " + err.strip())
            raise Failure("the meter ended with %d: %s" % (proc.returncode, err))
        return events(log, "ioctl")
    try:
        wait_until(called, 10, "the probe's call on the port")
        shell = events(log, "spawn")[0]["child"]
        with open("/proc/%d/task/%d/children" % (shell, shell)) as f:
            started = [int(pid) for pid in f.read().split()]
        meter_threads = scheduling(proc.pid)
        answering = {tid: t for tid, t in meter_threads.items() if tid != proc.pid}
        check(answering and all(policy == os.SCHED_FIFO and priority > 0 for _, policy, priority in answering.values()),
              "the meter's answering threads are not SCHED_FIFO: %s" % meter_threads)
        check(started, "the command started no probe")
        for pid in [shell] + started:
            threads = scheduling(pid)
            check(all(policy == 0 for _, policy, _ in threads.values()),
                  "the command's process %d inherited real-time scheduling: %s" % (pid, threads))
        check(meter_threads[proc.pid][1] == 0, "the meter's main thread, which spawns, is real-time: %s"
              % meter_threads)
        out, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    check(proc.returncode == 0 and out.split("\n")[2].startswith("mget 0 "), "status %d: %s %s"
          % (proc.returncode, out, err))


def test_refuses_outside(meter, probe, tmp):
    done = subprocess.run([probe, "open", "/dev/ttyS1"], capture_output=True, text=True)
    check(done.returncode == 2 and done.stdout == "", "the probe ran outside a testbed")


TESTS = [test for name, test in globals().items() if name.startswith("test_")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--meter", required=True)
    parser.add_argument("--probe", required=True)
    args = parser.parse_args()
    passed = failed = skipped = 0
    with tempfile.TemporaryDirectory() as tmp:
        for test in TESTS:
            try:
                test(args.meter, args.probe, tmp)
                passed += 1
                print("PASS %s" % test.__name__)
            except Skip as reason:
                skipped += 1
                print("SKIP %s: %s" % (test.__name__, reason))
            except Exception as problem:
                failed += 1
                print("FAIL %s: %r" % (test.__name__, problem))
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
