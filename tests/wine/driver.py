"""The Wine driver: kapirel.exe in the Wine box (winebox.py), where Wine runs only in the box's private mount
namespace, behind the interface of kapirel_e2e.interface; its ports' modem lines from libwine-meter.so, its window on
the suite's Xvfb and openbox.  The checks read the meter's record, the X windows (xdotool, xwininfo, xprop) and, for
what X cannot show (the notices' texts, the option buttons' marks, the focus), window_probe.exe run in the same Wine
session.  A COM name that is absent is one that is not mapped at all.  A port held by another program cannot be had
under Wine: wineserver ignores share mode 0.
"""

import dataclasses
import json
import os
import shutil

import winebox
from kapirel_e2e import interface
from kapirel_e2e.checks import json_lines
from kapirel_e2e.harness import LINES, Session
from kapirel_e2e.interface import MAIN_TITLE, NOTICE_TITLE, WINE, Connection, Step, check, wait_until
from kapirel_e2e.xclient import XClient

PROCESS = "kapirel.exe"

# Control ids of window/win32/Form1.cpp, and of the notice's parts in Wine's
# MessageBox (the text, the OK button).
IDS = {"Text1": 101, "Command1": 102, "Option2": 103, "Option1": 104}
NAMES = {number: name for name, number in IDS.items()}
NOTICE_TEXT, IDOK = 0xFFFF, 1


def probe_records(box, name):
    """The JSON records that window_probe.exe, started as `name`, printed."""
    return [json.loads(line) for line in box.said(name).splitlines() if line.startswith("{")]


def switch(read, write):
    """Wine switches DTR or RTS by reading every line (TIOCMGET) and writing
    them all back (TIOCMSET) with the one changed; a line that already was as
    wanted leaves the write equal to the read, and then either may be meant."""
    changed = [name for bit, name in LINES.items() if read is not None and (read["value"] ^ write["value"]) & bit]
    return Step("switch", write, ["+".join(changed)] if changed else LINES.values())


def steps(calls):
    found = []
    for call in calls:
        request = call.get("req")
        if request == "TIOCMSET":
            # The TIOCMGET right before it is the switch's own read.
            read = found.pop().call if found and found[-1].kind == "read" else None
            found.append(switch(read, call))
        elif request == "TIOCMGET":
            found.append(Step("read", call))
        elif request in ("TIOCSBRK", "TIOCCBRK"):
            found.append(Step("switch", call, ["brk"]))
        elif call["event"] == "ioctl":
            found.append(Step(request, call))
    return found


class WineConnection(Connection):
    """The index-th connection to a COM port.  The preload sees a port from
    the first call on it in a process to the close of its last descriptor
    there, so an open that makes no call is not seen at all."""

    def __init__(self, program, port, index):
        self.program = program
        self.port = port
        self.index = index

    def _record(self):
        return self.program.records(self.port)[self.index]

    def calls(self):
        return self._record()[0]

    def closed(self):
        return self._record()[1]

    def steps(self):
        return steps(self.calls())

    def check_opening(self):
        # wineserver opens the device; the program's process makes no call
        # on it before its own.
        pass

    def __str__(self):
        return "connection %d of %s" % (self.index + 1, self.port)


class Program(interface.Program):
    """One kapirel.exe in its own box."""

    platform = WINE
    # The preload writes the record in the program's own process, at the call.
    close_seen_within = 0.0

    def __init__(self, scenario, ports, cwd=None, dpi=None, exe=None):
        self.scenario = scenario
        self.box = scenario.box
        self.x = scenario.tools
        for com, description in sorted(ports.items()):
            if description != "absent":
                self.box.add_port(com, description)
        self.box.map_ports()
        if dpi is not None:
            scenario.set_dpi(dpi)
        self.cwd = cwd or scenario.workdir("run")
        self.process = self.box.wine([exe or scenario.tools.exe], "kapirel", self.cwd)

    # --- the meter's record -------------------------------------------------

    def events(self):
        return [e for e in json_lines(self.box.log_path) if e.get("proc") == PROCESS]

    def records(self, com):
        """Each connection to com: [its calls, whether it has closed]."""
        found = []
        for event in (e for e in self.events() if e.get("com") == com):
            if event["event"] == "open" and event["first"]:
                found.append([[], False])
            if found and not found[-1][1]:
                found[-1][0].append(event)
                found[-1][1] = event["event"] == "close" and event["last"]
        return found

    def connections(self, port):
        return [WineConnection(self, port, index) for index in range(len(self.records(port)))]

    def opens(self, port):
        return len(self.records(port))

    @staticmethod
    def of_port(event, port):
        return event["com"] == port

    def trigger(self, which=1):
        return self.box.trigger(which)

    def check_requests(self):
        # Wine's serial driver chooses the requests (TIOCMGET and TIOCMSET for
        # one line); what they did is checked as steps.
        pass

    def check_probe_open(self, port):
        # The start-up's try of the port makes no call on it, and an open
        # without a call is not seen by the preload.
        pass

    # --- the windows ----------------------------------------------------------

    def window(self, title):
        """The probe's record of the one visible window with this title, or None."""
        found = [w for w in self.scenario.probe() if w["title"] == title]
        check(len(found) <= 1, "%d windows titled %r" % (len(found), title))
        return found[0] if found else None

    def windows(self, title):
        return self.x.search(title)

    def wait_notice(self, text=None, exclude=(), timeout=30):
        """text: the notice's whole text, or a compiled pattern it matches."""
        wid = self.wait_window(NOTICE_TITLE, timeout, exclude)
        notice = wait_until(lambda: self.window(NOTICE_TITLE), 20, "the notice in the probe")
        shown = [c for c in notice["children"] if c["visible"]]
        message = [c["text"] for c in shown if c["id"] == NOTICE_TEXT]
        check(len(message) == 1, "the notice shows %d texts" % len(message))
        if text is not None:
            matches = text.fullmatch(message[0]) if hasattr(text, "fullmatch") else message[0] == text
            check(matches, "the notice says %r, expected %r" % (message[0], getattr(text, "pattern", text)))
        buttons = [(c["id"], c["text"]) for c in shown if c["class"].lower() == "button"]
        check(buttons == [(IDOK, "OK")], "the notice's buttons: %s" % buttons)
        check(not any(c["icon"] for c in shown), "the notice shows an icon")
        return wid

    def notice_text(self):
        notice = self.window(NOTICE_TITLE)
        check(notice is not None, "no notice")
        return next(c["text"] for c in notice["children"] if c["id"] == NOTICE_TEXT)

    def control_text(self, name):
        return self.control(self.window(MAIN_TITLE), name)["text"]

    @staticmethod
    def control(window, name):
        return next(c for c in window["children"] if c["id"] == IDS[name])

    def check_window(self, marks=None, focus=None, text=None, alone=False, client=None, places=None,
                     captions=None):
        windows = self.scenario.probe()
        if alone:
            check([w["title"] for w in windows] == [MAIN_TITLE], "windows shown: %s" % [w["title"] for w in windows])
        shown = [w for w in windows if w["title"] == MAIN_TITLE]
        check(len(shown) == 1, "%d main windows" % len(shown))
        shown = shown[0]
        if marks is not None:
            got = (self.control(shown, "Option1")["check"], self.control(shown, "Option2")["check"])
            check(got == tuple(marks), "marks COM1 %s, COM2 %s; expected %s, %s" % (got + tuple(marks)))
        if focus is not None:
            check(shown["focus"] == IDS[focus], "the focus is on %s, not %s" % (NAMES.get(shown["focus"]), focus))
        if text is not None:
            got = self.control(shown, "Text1")["text"]
            check(got == text, "Text1 shows %r, expected %r" % (got, text))
        if client is not None:
            check(shown["client"] == list(client), "Windows' client rectangle %s, expected %s"
                  % (shown["client"], list(client)))
        if places is not None:
            got = {NAMES[c["id"]]: tuple(c["rect"]) for c in shown["children"]}
            check(got == places, "controls at %s, expected %s" % (got, places))
        if captions is not None:
            got = {NAMES[c["id"]]: c["text"] for c in shown["children"]}
            check(got == captions, "captions %s, expected %s" % (got, captions))
        return shown


@dataclasses.dataclass
class Tools(XClient):
    exe: str
    probe: str
    msi: str
    version: str
    display: str

    def x_env(self):
        return {key: value for key, value in os.environ.items() if not key.startswith(("WINE", "LD_"))}


class Scenario:
    """One scenario's box, against the suite's prefix or, for one that changes it (own_prefix), a copy of it."""

    platform = WINE

    def __init__(self, tools, args, name, own_prefix=False):
        self.tools = tools
        self.dir = os.path.join(os.path.abspath(args.work), name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.own_prefix = own_prefix
        prefix = os.path.join(self.dir, "prefix") if own_prefix else args.prefix
        if own_prefix:
            shutil.copytree(args.prefix, prefix, symlinks=True)
        self.box = winebox.Box(self.dir, prefix, args.preload, tools.display)

    workdir = Session.workdir

    def start(self, com1="present", com2="present", cwd=None, dpi=None, exe=None):
        return Program(self, {"COM1": com1, "COM2": com2}, cwd, dpi, exe)

    def probe(self, *argv):
        """Runs window_probe.exe argv... to its end; returns the JSON records it printed."""
        name = "probe-%d" % len(self.box.processes)
        status = self.box.wine([self.tools.probe, *argv], name).wait(timeout=30)
        check(status == 0, "window_probe.exe %s ended with %s" % (" ".join(argv), status))
        return probe_records(self.box, name)

    def set_dpi(self, dpi):
        """The screen's DPI for the programs started from now on, in the scenario's own prefix."""
        check(self.own_prefix, "the DPI is set only in a copy of the suite's prefix")
        status = self.box.wine(["reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                                "/d", str(dpi), "/f"], "reg").wait(timeout=30)
        check(status == 0, "reg add LogPixels ended with %s" % status)

    def close(self):
        try:
            self.box.close()
        finally:
            if self.own_prefix:
                shutil.rmtree(self.box.prefix)
