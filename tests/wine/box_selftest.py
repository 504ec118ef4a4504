"""The Wine box's own tests, run by scenarios.py as wine.prefix and wine.box_selftest, each in a box of its own: Wine
runs only in the box's private mount namespace (winebox.py).  The selftest checks the box's refusals, and the chain
from a Windows program's port calls through wineserver's descriptor to libwine-meter.so."""

import json
import os
import shutil
import stat
import statistics

import winebox
from kapirel_e2e.behaviours import spacings
from kapirel_e2e.checks import Failure, check, json_lines
from kapirel_e2e.interface import TIOCM_DTR, TIOCM_RTS


def prefix(s):
    """The suite's prefix, made anew; prints its creation time and size."""
    seconds, size = s.box.create_prefix()
    print(json.dumps({"seconds": round(seconds, 2), "bytes": size}))


def refused_while(plant, undo, *cases):
    """Each case, (action, what), is refused while what plant() made is there."""
    plant()
    try:
        for action, what in cases:
            try:
                action()
            except winebox.BoxError as error:
                print("ok: refused %s (%s)" % (what, error))
                continue
            raise Failure("the box did not refuse %s" % what)
    finally:
        undo()


def refusals(box, probe):
    """Each safety check refuses what it is there for, before Wine starts."""
    box.map_ports()
    started = len(box.processes)

    # A harmless node (the null device) under a serial port's name.
    refused_while(lambda: os.mknod("/dev/ttyS0", stat.S_IFCHR | 0o600, os.makedev(1, 3)),
                  lambda: os.remove("/dev/ttyS0"), (box.check_dev, "a /dev/ttyS0 node"),
                  (lambda: box.wine([probe, "port", "COM2", "1"]), "to start Wine with /dev/ttyS0 present"))
    refused_while(lambda: os.symlink("null", "/dev/console"), lambda: os.remove("/dev/console"),
                  (box.check_dev, "a /dev/console entry"))
    link = os.path.join(box.prefix, "dosdevices", "com3")
    refused_while(lambda: os.symlink("/dev/ttyS0", link), lambda: os.remove(link),
                  (box.check_prefix, "a dosdevices link to /dev/ttyS0"),
                  (lambda: box.wine([probe, "port", "COM3", "1"]), "to start Wine with that link"))

    registry = os.path.join(box.prefix, "system.reg")

    def ports_value():
        shutil.copyfile(registry, registry + ".saved")
        with open(registry) as reg:
            text = reg.read()
        line_end = text.index("\n", text.index(winebox.PORTS_KEY)) + 1
        with open(registry, "w") as reg:
            reg.write(text[:line_end] + '"COM4"="/dev/ttyS0"\n' + text[line_end:])
    refused_while(ports_value, lambda: os.replace(registry + ".saved", registry),
                  (box.check_prefix, "a Ports value naming /dev/ttyS0"))

    check(len(box.processes) == started, "a refused start still started a process")
    box.check_dev()
    box.check_prefix()


def counting_chain(box, probe):
    """COM2 pulses five times; the probe sees five CTS edges, the library saw
    the line switching and polls 20 ms apart."""
    status = box.wine([probe, "port", "COM2", "2"], "chain").wait(timeout=60)
    output = box.said("chain")
    check(status == 0, "window_probe.exe port COM2 ended with %s: %s" % (status, output))
    check("polls 100 edges 5\n" in output, "the probe did not count exactly 5 edges: %s" % output)

    events = json_lines(box.log_path)
    mine = [e for e in events if e.get("com") == "COM2"]
    check(mine and mine[0]["event"] == "open", "the first record of COM2 is not its open: %s" % mine[:1])
    # The process's name in /proc, its first 15 bytes.
    check(all(e.get("proc") == "window_probe.exe"[:15] for e in mine), "calls came from other processes")
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


def box_selftest(s):
    """The refusals, the counting chain, and an unmapped COM name that does not open.  Closing the box then
    checks that the prefix is left without device links."""
    box = s.box
    box.add_port("COM1", "present")
    box.add_port("COM2", "present,hz=10,pulses=5,delay=300,origin=open")
    refusals(box, s.tools.probe)
    counting_chain(box, s.tools.probe)
    status = box.wine([s.tools.probe, "port", "COM3", "1"], "absent").wait(timeout=60)
    output = box.said("absent")
    check(status == 1 and output.startswith("open-failed 2"), "COM3 opened or failed otherwise: %s" % output)
    print("ok: unmapped COM3 does not open")
    box.kill_server()
    box.check_prefix()
