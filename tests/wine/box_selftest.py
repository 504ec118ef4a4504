#!/usr/bin/env python3
"""Checks the Wine box itself: its refusals, and the chain from a Windows
program's port calls through wineserver's descriptor to libwine-meter.so.

    box_selftest.py --prefix DIR --preload LIB --probe port_probe.exe --work DIR --xsession STATE
"""

import argparse
import os
import shutil
import stat
import statistics
import sys

import winebox
from kapirel_e2e import xsession
from kapirel_e2e.behaviours import spacings
from kapirel_e2e.checks import Failure, check, json_lines
from kapirel_e2e.interface import TIOCM_DTR, TIOCM_RTS


def refuses(action, what):
    try:
        action()
    except winebox.BoxError as error:
        print("ok: refused %s (%s)" % (what, error))
        return
    raise Failure("the box did not refuse %s" % what)


def refusals(box, probe):
    """Each safety check refuses what it is there for, before Wine starts."""
    box.map_ports()
    started = len(box.processes)

    # A harmless node (the null device) under a serial port's name.
    os.mknod("/dev/ttyS0", stat.S_IFCHR | 0o600, os.makedev(1, 3))
    try:
        refuses(box.check_dev, "a /dev/ttyS0 node")
        refuses(lambda: box.wine([probe, "COM2", "sleep", "1"]), "to start Wine with /dev/ttyS0 present")
    finally:
        os.remove("/dev/ttyS0")
    os.symlink("null", "/dev/console")
    try:
        refuses(box.check_dev, "a /dev/console entry")
    finally:
        os.remove("/dev/console")

    link = os.path.join(box.prefix, "dosdevices", "com3")
    os.symlink("/dev/ttyS0", link)
    try:
        refuses(box.check_prefix, "a dosdevices link to /dev/ttyS0")
        refuses(lambda: box.wine([probe, "COM3", "sleep", "1"]), "to start Wine with that link")
    finally:
        os.remove(link)

    registry = os.path.join(box.prefix, "system.reg")
    shutil.copyfile(registry, registry + ".saved")
    try:
        with open(registry) as reg:
            text = reg.read()
        header = text.index(winebox.PORTS_KEY)
        line_end = text.index("\n", header) + 1
        with open(registry, "w") as reg:
            reg.write(text[:line_end] + '"COM4"="/dev/ttyS0"\n' + text[line_end:])
        refuses(box.check_prefix, "a Ports value naming /dev/ttyS0")
    finally:
        os.replace(registry + ".saved", registry)

    check(len(box.processes) == started, "a refused start still started a process")
    box.check_dev()
    box.check_prefix()


def counting_chain(box, probe):
    """COM2 pulses five times; the probe sees five CTS edges, the library saw
    the line switching and polls 20 ms apart."""
    program = box.wine([probe, "COM2", "timer", "2"], "chain")
    status = program.wait(timeout=60)
    output = box.said("chain")
    check(status == 0, "port_probe.exe COM2 ended with %s: %s" % (status, output))
    check("polls 100 edges 5\n" in output, "the probe did not count exactly 5 edges: %s" % output)

    events = json_lines(box.log_path)
    mine = [e for e in events if e.get("com") == "COM2"]
    check(mine and mine[0]["event"] == "open", "the first record of COM2 is not its open: %s" % mine[:1])
    check(all(e.get("proc") == "port_probe.exe" for e in mine), "calls came from other processes")
    sets = [e["value"] for e in mine if e["event"] == "ioctl" and e["req"] == "TIOCMSET"]
    check(len(sets) >= 2 and sets[1] & TIOCM_DTR and not sets[1] & TIOCM_RTS,
          "SETDTR then CLRRTS did not leave DTR on and RTS off: %s" % sets)
    check(any(e["event"] == "ioctl" and e["req"] == "TIOCCBRK" for e in mine), "CLRBREAK did not clear the break")
    check(not any(e["event"] == "ioctl" and e["req"] in ("TIOCMBIS", "TIOCMBIC") for e in mine),
          "Wine switched a line with TIOCMBIS/TIOCMBIC")
    check(mine[-1]["event"] == "close" and mine[-1]["last"] and mine[-1]["lines"]["dtr"] == 0,
          "the port was not closed with DTR off: %s" % mine[-1])
    # The last TIOCMGET belongs to the closing CLRDTR, right after the last poll.
    spacing, over_ten = spacings([e["mono"] for e in mine if e["event"] == "ioctl" and e["req"] == "TIOCMGET"])
    print("ok: %d polls, spacing median %.3f ms, mean %.3f ms, median over 10 polls %.3f ms"
          % (len(spacing) + 1, statistics.median(spacing), statistics.mean(spacing), statistics.median(over_ten)))
    check(abs(statistics.mean(spacing) - 20.0) < 0.2, "polls are not 20 ms apart on average")
    check(not any(e["com"] == "COM1" for e in events if "com" in e), "COM1 was touched")


def absent_port(box, probe):
    """A COM name that is not mapped does not open."""
    program = box.wine([probe, "COM3", "sleep", "1"], "absent")
    status = program.wait(timeout=60)
    output = box.said("absent")
    check(status == 1 and output.startswith("open-failed 2"), "COM3 opened or failed otherwise: %s" % output)
    print("ok: unmapped COM3 does not open")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--prefix", "--preload", "--probe", "--work", "--xsession"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    winebox.enter()

    shutil.rmtree(args.work, ignore_errors=True)
    box = winebox.Box(args.work, args.prefix, args.preload, xsession.display_of(args.xsession))
    try:
        box.add_port("COM1", "present")
        box.add_port("COM2", "present,hz=10,pulses=5,delay=300,origin=open")
        refusals(box, args.probe)
        counting_chain(box, args.probe)
        absent_port(box, args.probe)
        box.kill_server()
        box.check_prefix()
    finally:
        box.close()
    box.check_prefix_links_only()
    print("ok: the prefix is left without device links")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (Failure, winebox.BoxError) as error:
        print("FAIL: %s" % error, file=sys.stderr)
        sys.exit(1)
