#!/usr/bin/env python3
"""The Windows program under Wine: kapirel.exe in the Wine box (winebox.py),
its ports' modem lines from libwine-meter.so, its window on the suite's Xvfb
and openbox.

    scenarios.py --exe kapirel.exe --probe window_probe.exe --msi kapirel.msi --version VERSION
                 --prefix DIR --preload LIB --xsession STATE --work DIR NAME...
    scenarios.py --list

Each scenario runs in a box of its own, in DIR/NAME (kept afterwards: the
meter's record, Wine's output, screenshots), against the suite's one prefix;
a scenario that installs into the prefix gets a copy of it.
The checks read the meter's record, the X windows (xdotool, xwininfo, xprop)
and, for what X cannot show (the notices' texts, the option buttons' marks,
the focus), window_probe.exe run in the same Wine session.

A COM name that is absent is one that is not mapped at all.  A port held by
another program cannot be had under Wine: wineserver ignores share mode 0.
"""

import contextlib
import glob
import json
import os
import pwd
import re
import shutil
import statistics
import subprocess
import sys
import time

import winebox
from kapirel_e2e import runner
from kapirel_e2e.harness import Failure, check, check_one_line, wait_until

TIOCM_DTR = 0x002
TIOCM_RTS = 0x004
TIOCM_CTS = 0x020

PROCESS = "kapirel.exe"
MAIN_TITLE = "Orvik KAPIREL "
NOTICE_TITLE = "KAPIREL"

# Control ids of window/win32/Form1.cpp, and of the notice's parts in Wine's
# MessageBox (the text, the icon, the OK button).
TEXT1, COMMAND1, OPTION2, OPTION1 = 101, 102, 103, 104
NOTICE_TEXT, NOTICE_ICON, IDOK = 0xFFFF, 0x440, 1

# Client coordinates of the controls at 96 DPI: x, y, width, height.
PLACES = {TEXT1: [96, 32, 249, 113], COMMAND1: [152, 216, 129, 41], OPTION2: [360, 272, 57, 33],
          OPTION1: [16, 272, 65, 33]}


def pulses(count, origin="usr1"):
    """count pulses at 4 Hz (125 ms on, 125 ms off), started by the test's trigger."""
    return "present,hz=4,duty=50,pulses=%s,delay=200,origin=%s" % (count, origin)


def middle(control):
    x, y, width, height = PLACES[control]
    return x + width // 2, y + height // 2


class Connection:
    """The calls kapirel.exe made on one COM port between its open and its close."""

    def __init__(self, com, calls, closed):
        self.com = com
        self.calls = calls
        self.closed = closed

    def switches(self):
        return [c for c in self.calls if c["event"] == "ioctl" and c["req"] != "TIOCMGET"]

    def polls(self):
        """The CTS reads of the poll: every TIOCMGET except those that Wine
        makes to switch DTR or RTS (TIOCMGET, then TIOCMSET)."""
        ioctls = [c for c in self.calls if c["event"] == "ioctl"]
        return [c for c, following in zip(ioctls, ioctls[1:] + [None])
                if c["req"] == "TIOCMGET" and c["result"] == 0 and not (following and following["req"] == "TIOCMSET")]

    def edges(self):
        levels = [1 if c["value"] & TIOCM_CTS else 0 for c in self.polls()]
        return sum(1 for a, b in zip(levels, levels[1:]) if b > a)


class Program:
    """One kapirel.exe in its own box."""

    def __init__(self, scenario, ports, cwd=None, dpi=None, exe=None):
        self.scenario = scenario
        self.box = scenario.box
        for com, description in sorted(ports.items()):
            self.box.add_port(com, description)
        self.box.map_ports()
        if dpi is not None:
            scenario.set_dpi(dpi)
        self.cwd = cwd or scenario.workdir("run")
        self.started = time.monotonic()
        self.process = self.box.wine([exe or scenario.tools.exe], "kapirel", self.cwd)
        self.exit_status = None
        self._probes = 0

    # --- the meter's record -------------------------------------------------

    def events(self):
        return [e for e in winebox.read_log(self.box.log_path) if e.get("proc") == PROCESS]

    def connections(self, com):
        found = []
        current = None
        for event in self.events():
            if event.get("com") != com:
                continue
            if event["event"] == "open" and event["first"]:
                current = Connection(com, [], False)
                found.append(current)
            if current is None:
                continue
            current.calls.append(event)
            if event["event"] == "close" and event["last"]:
                current.closed = True
                current = None
        return found

    def connection(self, com, index=0, timeout=20):
        return wait_until(lambda: (lambda c: c[index] if len(c) > index else None)(self.connections(com)),
                          timeout, "connection %d of %s" % (index + 1, com))

    def refresh(self, connection, index):
        return self.connections(connection.com)[index]

    def wait_polling(self, com, index=0, polls=3, timeout=20):
        def polling():
            connections = self.connections(com)
            if len(connections) <= index:
                return None
            current = connections[index]
            return current if len(current.switches()) >= 3 and len(current.polls()) >= polls else None
        return wait_until(polling, timeout, "%d polls on connection %d of %s" % (polls, index + 1, com))

    def wait_wave_polled(self, com, index=0, timeout=30):
        """The connection once it has polled CTS after the end of the port's waveform."""
        origins = wait_until(lambda: [e for e in self.events() if e["event"] == "origin" and e["com"] == com],
                             timeout, "the waveform of %s to start" % com)
        end = origins[-1]["wave_end_t"]
        check(end is not None, "the waveform of %s never ends" % com)

        def polled():
            current = self.connections(com)[index]
            return current if any(c["t"] > end + 0.1 for c in current.polls()) else None
        return wait_until(polled, timeout, "a poll after the pulses on %s" % com)

    # --- the windows ----------------------------------------------------------

    def probe(self):
        """The visible top-level windows of kapirel.exe as Windows sees them."""
        self._probes += 1
        name = "probe-%d" % self._probes
        status = self.box.wine([self.scenario.tools.probe], name).wait(timeout=30)
        with open(os.path.join(self.box.work, name + ".out"), encoding="utf-8", errors="replace") as out:
            lines = [line for line in out.read().splitlines() if line.startswith("{")]
        check(status == 0, "window_probe.exe ended with %s" % status)
        return [json.loads(line) for line in lines]

    def window(self, title):
        """The probe's record of the one visible window with this title, or None."""
        found = [w for w in self.probe() if w["title"] == title]
        check(len(found) <= 1, "%d windows titled %r" % (len(found), title))
        return found[0] if found else None

    def x_windows(self, title):
        out = self.scenario.tools.x("xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title),
                                    check_rc=False)
        return [int(w) for w in out.split()]

    def wait_x_window(self, title, timeout=30, exclude=()):
        def found():
            if self.process.poll() is not None:
                raise Failure("kapirel.exe ended (status %s) while waiting for window %r"
                              % (self.process.returncode, title))
            return next((w for w in self.x_windows(title) if w not in exclude), None)
        return wait_until(found, timeout, "window %r" % title, interval=0.1)

    def main_window(self):
        return self.wait_x_window(MAIN_TITLE)

    def geometry(self, wid):
        """The client area on the screen: x, y, width, height."""
        values = {}
        for line in self.scenario.tools.x("xwininfo", "-id", str(wid)).splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def click(self, wid, control):
        x, y = middle(control)
        self.scenario.tools.x("xdotool", "windowactivate", "--sync", str(wid))
        self.scenario.tools.x("xdotool", "mousemove", "--window", str(wid), str(x), str(y), "click", "1")

    def press(self, wid, *keys):
        self.scenario.tools.x("xdotool", "windowactivate", "--sync", str(wid))
        for key in keys:
            self.scenario.tools.x("xdotool", "key", "--clearmodifiers", key)
            time.sleep(0.15)

    def screenshot(self, wid, path):
        x, y, width, height = self.geometry(wid)
        extents = self.scenario.tools.x("xprop", "-id", str(wid), "_NET_FRAME_EXTENTS", check_rc=False)
        numbers = re.findall(r"\d+", extents.split("=", 1)[-1])
        left, right, top, bottom = map(int, numbers) if len(numbers) == 4 else (0, 0, 0, 0)
        self.scenario.tools.x("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (
            width + left + right, height + top + bottom, x - left, y - top), "+repage", path)
        return path

    # --- the end ----------------------------------------------------------------

    def wait_exit(self, timeout=20):
        try:
            self.exit_status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("kapirel.exe did not end within %d s" % timeout)
        return self.exit_status

    def measurement_log(self):
        with open(os.path.join(self.cwd, "NAMERENO.TXT"), "rb") as log:
            return log.read()


class Tools:
    def __init__(self, exe, probe, msi, version, display):
        self.exe = exe
        self.probe = probe
        self.msi = msi
        self.version = version
        self.display = display

    def x(self, *argv, check_rc=True):
        env = {key: value for key, value in os.environ.items() if not key.startswith(("WINE", "LD_"))}
        env["DISPLAY"] = self.display
        done = subprocess.run(list(argv), env=env, capture_output=True, text=True, timeout=30)
        if check_rc and done.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(argv), done.returncode, done.stderr.strip()))
        return done.stdout


class Scenario:
    def __init__(self, tools, args, name):
        self.tools = tools
        self.dir = os.path.join(os.path.abspath(args.work), name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.own_prefix = name in OWN_PREFIX
        prefix = args.prefix
        if self.own_prefix:
            prefix = os.path.join(self.dir, "prefix")
            shutil.copytree(args.prefix, prefix, symlinks=True)
        self.box = winebox.Box(self.dir, prefix, args.preload, tools.display)
        # The user registry as it was before a scenario changed the DPI; put
        # back here too, in case that scenario was killed before it could.
        self.user_registry = os.path.join(self.box.prefix, "user.reg")
        self.saved_registry = os.path.join(os.path.dirname(self.box.prefix), "user.reg.saved")
        self.restore_registry()

    def workdir(self, name="run"):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def start(self, cwd=None, dpi=None, exe=None, **ports):
        return Program(self, ports, cwd, dpi, exe)

    def set_dpi(self, dpi):
        """The screen's DPI for the programs started from now on, until the scenario ends."""
        shutil.copyfile(self.user_registry, self.saved_registry)
        status = self.box.wine(["reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                                "/d", str(dpi), "/f"], "reg").wait(timeout=30)
        check(status == 0, "reg add LogPixels ended with %s" % status)

    def restore_registry(self):
        if os.path.exists(self.saved_registry):
            os.replace(self.saved_registry, self.user_registry)

    def close(self):
        try:
            self.box.close()
        finally:
            self.restore_registry()
            if self.own_prefix:
                shutil.rmtree(self.box.prefix)


# --- the installer --------------------------------------------------------------

PRODUCT = "Orvik KAPIREL"
PUBLISHER = "Orvik"
PROGRAM_FOLDER = "C:\\Program Files\\Orvik KAPIREL"
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
PRODUCTS_KEY = "Software\\Classes\\Installer\\Products\\"
ICON = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data", "icons", "kapirel.ico")
# Scenarios that install into the prefix get a copy of it, so that the others find it as the suite made it.
OWN_PREFIX = ("installer",)


def read(path):
    with open(path, "rb") as data:
        return data.read()


def user_folder(s, *names):
    return os.path.join(s.box.prefix, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name, *names)


def start_menus(s):
    """The Start menu's Programs: all users' (where Windows puts the shortcuts of a per-machine install) and the
    user's (where Wine's msi puts them all)."""
    programs = os.path.join("Microsoft", "Windows", "Start Menu", "Programs")
    return [os.path.join(s.box.prefix, "drive_c", "ProgramData", programs),
            user_folder(s, "AppData", "Roaming", programs)]


def msiexec(s, action, name):
    """msiexec ACTION kapirel.msi /qn, its log in the scenario's directory; returns once Wine has saved the registry."""
    log = os.path.join(s.dir, name + ".log")
    status = s.box.wine(["msiexec", action, s.box.windows_path(s.tools.msi), "/qn", "/l*v", s.box.windows_path(log)],
                        name).wait(timeout=120)
    s.box.wait_server(timeout=60)
    check(status == 0, "msiexec %s /qn ended with %s (see %s)" % (action, status, log))


def installation(s):
    """What a user finds installed: the program's folder with the files' contents, the Start-menu shortcuts with
    what they start, the uninstall entries and the products' icons."""
    folder = s.box.unix_path(PROGRAM_FOLDER)
    files = {name: read(os.path.join(folder, name)) for name in os.listdir(folder)} if os.path.isdir(folder) else {}
    shortcuts = {path: shortcut(s, path) for menu in start_menus(s)
                 for path in glob.glob(os.path.join(glob.escape(menu), "**", "*KAPIREL*"), recursive=True)}
    keys = winebox.read_registry(os.path.join(s.box.prefix, "system.reg"))
    entries = [values for key, values in keys.items()
               if key.startswith(UNINSTALL_KEY) and values.get("DisplayName") == PRODUCT]
    icons = [read(s.box.unix_path(values["ProductIcon"])) for key, values in keys.items()
             if key.startswith(PRODUCTS_KEY) and values.get("ProductName") == PRODUCT and "ProductIcon" in values]
    return {"files": files, "shortcuts": shortcuts, "entries": entries, "icons": icons}


def mentions(s):
    """The prefix's files and registry entries whose name or value names the program."""
    found = [os.path.relpath(os.path.join(root, name), s.box.prefix)
             for root, dirs, files in os.walk(s.box.prefix) for name in dirs + files if "kapirel" in name.lower()]
    for hive in ("system.reg", "user.reg"):
        for key, values in winebox.read_registry(os.path.join(s.box.prefix, hive)).items():
            lines = [key] + ["%s: %s=%s" % (key, name, value) for name, value in values.items()]
            found += ["%s %s" % (hive, line) for line in lines if "kapirel" in line.lower()]
    return sorted(found)


def shortcut(s, path):
    """The target, working folder and icon of a shortcut as the shell reads them."""
    name = "link-%d" % len(s.box.processes)
    status = s.box.wine([s.tools.probe, "link", s.box.windows_path(path)], name).wait(timeout=30)
    s.box.wait_server()
    with open(os.path.join(s.box.work, name + ".out"), encoding="utf-8", errors="replace") as out:
        lines = [line for line in out.read().splitlines() if line.startswith("{")]
    check(status == 0 and len(lines) == 1, "window_probe.exe could not read %s" % path)
    return json.loads(lines[0])


# --- checks -------------------------------------------------------------------

def bits(call):
    return {"dtr": int(bool(call["value"] & TIOCM_DTR)), "rts": int(bool(call["value"] & TIOCM_RTS))}


def check_setup(connection):
    """BREAK off, DTR on, RTS off, in that order, before the first poll.  Wine switches
    DTR and RTS by reading the lines (TIOCMGET) and setting them all (TIOCMSET)."""
    calls = connection.switches()[:3]
    check([c["req"] for c in calls] == ["TIOCCBRK", "TIOCMSET", "TIOCMSET"],
          "line settings on %s: %s" % (connection.com, [c["req"] for c in connection.switches()]))
    check(bits(calls[1])["dtr"] == 1, "the second switch on %s did not raise DTR: %s" % (connection.com, calls[1]))
    check(bits(calls[2]) == {"dtr": 1, "rts": 0}, "the third switch on %s left %s" % (connection.com, bits(calls[2])))
    lines = calls[2]["lines"]
    check((lines["dtr"], lines["rts"], lines["brk"]) == (1, 0, 0), "lines after the settings: %s" % lines)


def check_end(program, connection, index):
    """DTR off, RTS off, BREAK off, in that order, no poll after them, then the port closes."""
    connection = wait_until(lambda: (lambda c: c if c.closed else None)(program.refresh(connection, index)), 10,
                            "%s to close" % connection.com)
    calls = connection.switches()[-3:]
    check([c["req"] for c in calls] == ["TIOCMSET", "TIOCMSET", "TIOCCBRK"],
          "end on %s: %s" % (connection.com, [c["req"] for c in connection.switches()]))
    check(bits(calls[0])["dtr"] == 0, "the end on %s did not begin with DTR off: %s" % (connection.com, calls[0]))
    check(bits(calls[1]) == {"dtr": 0, "rts": 0}, "the end's second switch on %s left %s"
          % (connection.com, bits(calls[1])))
    after = connection.calls[connection.calls.index(calls[0]):]
    reads = [c for c in after if c["event"] == "ioctl" and c["req"] == "TIOCMGET"]
    # The one read is Wine's, for switching RTS.
    check(len(reads) <= 1, "CTS polled after the lines began to go off: %d reads" % len(reads))
    last = connection.calls[-1]
    check(last["event"] == "close" and (last["lines"]["dtr"], last["lines"]["rts"], last["lines"]["brk"]) == (0, 0, 0),
          "the port closed with lines %s" % last["lines"])
    return connection


def check_count(connection, expected):
    seen = connection.edges()
    stamps = [c["t"] for c in connection.polls()]
    gap = max((b - a for a, b in zip(stamps, stamps[1:])), default=0.0)
    check(seen == expected, "the polls on %s saw %d off-to-on changes, expected %d (largest gap %.0f ms)"
          % (connection.com, seen, expected, gap * 1000))


def check_marks(window, option1, option2):
    checks = {c["id"]: c["check"] for c in window["children"]}
    check((checks[OPTION1], checks[OPTION2]) == (option1, option2),
          "marks COM1 %s, COM2 %s; expected %s, %s" % (checks[OPTION1], checks[OPTION2], option1, option2))


def control(window, control_id):
    return next(c for c in window["children"] if c["id"] == control_id)


def check_notice(program, text):
    """A notice titled KAPIREL with this text, no icon and one OK button."""
    notice = wait_until(lambda: program.window(NOTICE_TITLE), 20, "the notice %r" % text)
    shown = [c for c in notice["children"] if c["visible"]]
    message = [c["text"] for c in shown if c["id"] == NOTICE_TEXT]
    check(message == [text], "the notice says %s, expected %r" % (message, text))
    buttons = [(c["id"], c["text"]) for c in shown if c["class"].lower() == "button"]
    check(buttons == [(IDOK, "OK")], "the notice's buttons: %s" % buttons)
    check(not any(c["icon"] for c in shown), "the notice shows an icon")
    return notice


def poll_spacing(connection):
    """Single spacings and spacings over 10 polls, in ms, without the first and last poll."""
    stamps = [c["mono"] for c in connection.polls()][1:-1]
    single = [(b - a) * 1000 for a, b in zip(stamps, stamps[1:])]
    over_ten = [(b - a) * 100 for a, b in zip(stamps, stamps[10:])]
    return single, over_ten


# --- scenarios ----------------------------------------------------------------

def startup_com2_count(s):
    """Start-up on "COM2": line settings, five pulses counted and shown, end by the button, one line; polls 20 ms apart."""
    program = s.start(COM1="present", COM2=pulses(5))
    window = program.main_window()
    program.wait_polling("COM2")
    check_setup(program.connection("COM2"))
    check_marks(program.window(MAIN_TITLE), 0, 1)
    s.box.trigger(1)
    wait_until(lambda: program.connection("COM2").edges() >= 3, 20, "three pulses polled")
    program.screenshot(window, os.path.join(s.dir, "window-counting.png"))
    connection = program.wait_wave_polled("COM2")
    check_count(connection, 5)
    shown = control(program.window(MAIN_TITLE), TEXT1)["text"]
    check(shown == " 5", "Text1 shows %r" % shown)
    program.click(window, COMMAND1)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    ended = time.time()
    connection = check_end(program, connection, 0)
    check_one_line(program, 5, ended)
    check(program.connections("COM1") == [], "COM1 was used")
    check(len(program.connections("COM2")) == 1, "COM2 was opened more than once")

    single, over_ten = poll_spacing(connection)
    median = statistics.median(over_ten)
    print("     poll spacing: %d polls; single: median %.3f ms, mean %.3f ms, max %.3f ms; over 10 polls: "
          "median %.3f ms, min %.3f ms, max %.3f ms" % (len(single) + 1, statistics.median(single),
                                                        statistics.mean(single), max(single), median, min(over_ten),
                                                        max(over_ten)))
    check(abs(median - 20.0) <= 0.1, "median poll spacing over 10 polls %.3f ms, not within 0.5 %% of 20 ms" % median)


def com2_absent_uses_com1(s):
    """No "COM2": counting runs on "COM1" with Option1 marked and no notice.  Ends by the window manager's close."""
    program = s.start(COM1=pulses(4))
    window = program.main_window()
    program.wait_polling("COM1")
    check_setup(program.connection("COM1"))
    windows = program.probe()
    check([w["title"] for w in windows] == [MAIN_TITLE], "windows shown: %s" % [w["title"] for w in windows])
    check_marks(windows[0], 1, 0)
    s.box.trigger(1)
    connection = program.wait_wave_polled("COM1")
    check_count(connection, 4)
    program.scenario.tools.x("wmctrl", "-i", "-c", "0x%x" % window)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_end(program, connection, 0)
    check_one_line(program, 4, time.time())
    check(program.connections("COM2") == [], "the unmapped COM2 was used")


def both_absent_notices(s):
    """Neither port: "COM1 OBSAZEN", then "COM NENALEZEN", before the main window; count 0 logged."""
    program = s.start()
    first = program.wait_x_window(NOTICE_TITLE)
    check(program.x_windows(MAIN_TITLE) == [], "the main window showed before the start-up's notices")
    check_notice(program, "COM1 OBSAZEN")
    program.press(first, "Return")
    second = program.wait_x_window(NOTICE_TITLE, exclude=(first,))
    check_notice(program, "COM NENALEZEN")
    check(program.x_windows(MAIN_TITLE) == [], "the main window showed before the second notice was answered")
    program.press(second, "Return")
    window = program.main_window()
    wait_until(lambda: not program.x_windows(NOTICE_TITLE), 10, "the second notice to go")
    time.sleep(0.3)
    windows = program.probe()
    check([w["title"] for w in windows] == [MAIN_TITLE], "windows after the notices: %s"
          % [w["title"] for w in windows])
    check_marks(windows[0], 1, 0)
    check(windows[0]["focus"] == OPTION1, "the focus starts on control %s" % windows[0]["focus"])
    program.click(window, COMMAND1)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_one_line(program, 0, time.time())
    check(not [e for e in program.events() if e["event"] in ("open", "ioctl")], "a port was used")


def end_by_window_close(s):
    """The close button's way (wmctrl -c): one line, lines off, status 0."""
    program = s.start(COM2=pulses(2))
    window = program.main_window()
    program.wait_polling("COM2")
    s.box.trigger(1)
    connection = program.wait_wave_polled("COM2")
    check_count(connection, 2)
    s.tools.x("wmctrl", "-i", "-c", "0x%x" % window)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_end(program, connection, 0)
    check_one_line(program, 2, time.time())


def end_by_alt_f4(s):
    """Alt+F4: one line, lines off, status 0."""
    program = s.start(COM2=pulses(1))
    window = program.main_window()
    program.wait_polling("COM2")
    s.box.trigger(1)
    connection = program.wait_wave_polled("COM2")
    program.press(window, "alt+F4")
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_end(program, connection, 0)
    check_one_line(program, 1, time.time())


def end_by_session_end(s):
    """The Windows session ends (wineboot --end-session): the end sequence runs before the process goes; one line."""
    program = s.start(COM2=pulses(3))
    program.main_window()
    program.wait_polling("COM2")
    s.box.trigger(1)
    connection = program.wait_wave_polled("COM2")
    check_count(connection, 3)
    s.box.end_session()
    status = program.wait_exit()
    print("     exit status after the session end: %s" % status)
    check_end(program, connection, 0)
    check_one_line(program, 3, time.time())


def counting_in_window_menu(s):
    """The window menu is open (a modal loop of Windows' own) while pulses come at 10 Hz: every pulse is counted,
    and no poll comes late by as much as a pulse's half."""
    program = s.start(COM2="present,hz=10,duty=50,pulses=10,delay=200,origin=usr1")
    window = program.main_window()
    program.wait_polling("COM2")
    status = s.box.wine([s.tools.probe, "menu", MAIN_TITLE], "menu").wait(timeout=30)
    check(status == 0, "window_probe.exe could not open the window menu")
    wait_until(lambda: any(w["class"] == "#32768" for w in program.probe()), 10, "the window menu")
    s.tools.x("import", "-window", "root", os.path.join(s.dir, "menu.png"))
    s.box.trigger(1)
    connection = program.wait_wave_polled("COM2")
    check_count(connection, 10)
    check(any(w["class"] == "#32768" for w in program.probe()), "the window menu closed before the end of the pulses")
    single, _ = poll_spacing(connection)
    print("     poll spacing with the menu open: median %.3f ms, max %.3f ms" % (statistics.median(single), max(single)))
    check(max(single) < 45, "a %.0f ms gap between polls, near the 50 ms a pulse's half lasts" % max(single))
    program.press(window, "Escape", "Escape")
    program.click(window, COMMAND1)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_one_line(program, 10, time.time())


def switch_ports(s):
    """COM2, then Option1, then Option2: the count carries on; choosing the marked Option2 again reopens "COM2"."""
    program = s.start(COM1=pulses(4, origin="usr2"), COM2=pulses(3))
    window = program.main_window()
    program.wait_polling("COM2")
    s.box.trigger(1)
    check_count(program.wait_wave_polled("COM2"), 3)

    program.click(window, OPTION1)
    program.wait_polling("COM1")
    wait_until(lambda: program.connections("COM2")[0].closed, 5, "COM2 to close after the switch to COM1")
    check_setup(program.connection("COM1"))
    check_marks(program.window(MAIN_TITLE), 1, 0)
    s.box.trigger(2)
    check_count(program.wait_wave_polled("COM1"), 4)

    program.click(window, OPTION2)
    program.wait_polling("COM2", index=1)
    wait_until(lambda: program.connections("COM1")[0].closed, 5, "COM1 to close after the switch back")
    check_setup(program.connection("COM2", index=1))
    check_marks(program.window(MAIN_TITLE), 0, 1)

    program.click(window, OPTION2)
    program.wait_polling("COM2", index=2)
    check(program.connections("COM2")[1].closed, "choosing the marked Option2 did not close COM2 first")
    connection = program.connection("COM2", index=2)
    check_setup(connection)
    check_marks(program.window(MAIN_TITLE), 0, 1)
    shown = control(program.window(MAIN_TITLE), TEXT1)["text"]
    check(shown == " 7", "Text1 shows %r" % shown)

    program.click(window, COMMAND1)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_end(program, connection, 2)
    check_one_line(program, 7, time.time())
    check(len(program.connections("COM1")) == 1, "COM1 was opened more than once")


def switch_to_absent_port(s):
    """A switch to an unmapped "COM1": notice "COM1 OBSAZEN" with no port open, nothing counted after it;
    choosing "COM2" again takes up counting there."""
    program = s.start(COM2=pulses(2))
    window = program.main_window()
    program.wait_polling("COM2")
    s.box.trigger(1)
    check_count(program.wait_wave_polled("COM2"), 2)
    program.click(window, OPTION1)
    notice = program.wait_x_window(NOTICE_TITLE)
    check_notice(program, "COM1 OBSAZEN")
    check(program.connections("COM2")[0].closed, "COM2 stayed open behind the notice")
    program.press(notice, "Return")
    wait_until(lambda: not program.x_windows(NOTICE_TITLE), 10, "the notice to go")
    shown = program.window(MAIN_TITLE)
    check_marks(shown, 1, 0)
    check(shown["focus"] == OPTION1, "after the notice the focus is on control %s, not Option1" % shown["focus"])
    check(len(program.connections("COM2")) == 1, "COM2 was opened again without a choice")

    program.click(window, OPTION2)
    connection = program.wait_polling("COM2", index=1)
    check_setup(connection)
    check_marks(program.window(MAIN_TITLE), 0, 1)
    program.click(window, COMMAND1)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_end(program, connection, 1)
    check_one_line(program, 2, time.time())
    check(program.connections("COM1") == [], "the unmapped COM1 was used")


def unwritable_log(s):
    """NAMERENO.TXT is a directory: lines off first, then the notice with the line, then status 1."""
    workdir = s.workdir()
    os.mkdir(os.path.join(workdir, "NAMERENO.TXT"))
    program = s.start(cwd=workdir, COM2=pulses(1))
    window = program.main_window()
    program.wait_polling("COM2")
    s.box.trigger(1)
    connection = program.wait_wave_polled("COM2")
    check_count(connection, 1)
    program.click(window, COMMAND1)
    notice_window = program.wait_x_window(NOTICE_TITLE)
    seen = time.monotonic()
    program.screenshot(notice_window, os.path.join(s.dir, "notice-unwritten.png"))
    connection = check_end(program, connection, 0)
    check(connection.calls[-1]["mono"] < seen, "the lines went off only after the notice showed")

    windows = {w["title"]: w for w in program.probe()}
    notice = windows.get(NOTICE_TITLE)
    check(notice is not None, "no notice")
    line = control(windows[MAIN_TITLE], TEXT1)["text"]
    check(re.fullmatch(r" konec nacitani : \d\d:\d\d:\d\d  pocet pulsu = 1", line), "Text1 shows %r" % line)
    message = [c["text"] for c in notice["children"] if c["id"] == NOTICE_TEXT]
    check(len(message) == 1 and message[0].startswith("MERENI NEBYLO ZAPSANO DO NAMERENO.TXT\n(CreateFileA: ")
          and message[0].endswith(")\n\n" + line), "the notice says %s" % message)
    buttons = [(c["id"], c["text"]) for c in notice["children"] if c["visible"] and c["class"].lower() == "button"]
    check(buttons == [(IDOK, "OK")], "the notice's buttons: %s" % buttons)
    check(program.process.poll() is None, "the program did not wait for the notice")

    program.press(notice_window, "Return")
    check(program.wait_exit() == 1, "exit status %s, expected 1" % program.exit_status)
    check(os.path.isdir(os.path.join(workdir, "NAMERENO.TXT")), "NAMERENO.TXT changed")


def window_shape(s):
    """Client 437 x 315 at its design place, caption, icon, controls; Tab goes Option1, Option2, Command1,
    Text1 and never marks; Enter and Esc do nothing wherever the focus is.  Ends by Space on Command1."""
    program = s.start(COM1="present", COM2="present")
    window = program.main_window()
    program.wait_polling("COM2")
    check(program.geometry(window) == (184, 146, 437, 315), "client area %s, expected 437 x 315 at 184, 146"
          % (program.geometry(window),))
    names = s.tools.x("xprop", "-id", str(window), "WM_NAME", "_NET_WM_NAME")
    check('WM_NAME(STRING) = "Orvik KAPIREL "' in names and '_NET_WM_NAME(UTF8_STRING) = "Orvik KAPIREL "' in names,
          "caption: %s" % names)
    icon = s.tools.x("xprop", "-id", str(window), "_NET_WM_ICON")
    check("Icon (32 x 32):" in icon and "Icon (16 x 16):" in icon, "the window icon: %s" % icon[:200])

    shown = program.window(MAIN_TITLE)
    check(shown["client"] == [184, 146, 437, 315], "Windows' client rectangle %s" % shown["client"])
    places = {c["id"]: c["rect"] for c in shown["children"]}
    check(places == PLACES, "controls at %s, expected %s" % (places, PLACES))
    texts = {c["id"]: c["text"] for c in shown["children"]}
    check(texts == {TEXT1: "", COMMAND1: "ukončení čítání", OPTION2: "COM2", OPTION1: "COM1"}, "texts %s" % texts)
    check(shown["focus"] == OPTION1, "the focus starts on control %s" % shown["focus"])
    check_marks(shown, 0, 1)

    def inert_keys(where):
        program.press(window, "Return", "KP_Enter", "Escape")
        time.sleep(0.3)
        check(program.x_windows(MAIN_TITLE) == [window], "Enter or Esc on %s closed the window" % where)
        check(not os.path.exists(os.path.join(program.cwd, "NAMERENO.TXT")), "Enter or Esc on %s wrote a line" % where)
        check(not program.connections("COM2")[0].closed, "Enter or Esc on %s released COM2" % where)

    inert_keys("Option1")
    order = []
    for _ in range(4):
        program.press(window, "Tab")
        shown = program.window(MAIN_TITLE)
        order.append(shown["focus"])
        check_marks(shown, 0, 1)
        inert_keys("control %s" % shown["focus"])
    check(order == [OPTION2, COMMAND1, TEXT1, OPTION1], "Tab moved the focus through %s" % order)
    program.press(window, "shift+Tab")
    shown = program.window(MAIN_TITLE)
    check(shown["focus"] == TEXT1, "Shift+Tab went to control %s" % shown["focus"])
    check_marks(shown, 0, 1)
    check(program.connections("COM1") == [], "the focus opened COM1")
    check(len(program.connections("COM2")) == 1, "the focus reopened COM2")

    # Space presses the focused Command1.
    program.press(window, "shift+Tab")
    check(program.window(MAIN_TITLE)["focus"] == COMMAND1, "Shift+Tab did not reach Command1")
    program.press(window, "space")
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_one_line(program, 0, time.time())


def window_at_144_dpi(s):
    """At 144 DPI the client area and the controls keep their size in twips: 656 x 473 at 276, 219."""
    program = s.start(COM2="present", dpi=144)
    window = program.main_window()
    program.wait_polling("COM2")
    check(program.geometry(window) == (276, 219, 656, 473), "client area %s, expected 656 x 473 at 276, 219"
          % (program.geometry(window),))
    shown = program.window(MAIN_TITLE)
    places = {c["id"]: c["rect"] for c in shown["children"]}
    # Twips at 144 DPI, halves rounded up.
    want = {TEXT1: [144, 48, 374, 170], COMMAND1: [228, 324, 194, 62], OPTION2: [540, 408, 86, 50],
            OPTION1: [24, 408, 98, 50]}
    check(places == want, "controls at %s, expected %s" % (places, want))
    program.screenshot(window, os.path.join(s.dir, "window-144dpi.png"))
    x, y, width, height = want[COMMAND1]
    s.tools.x("xdotool", "windowactivate", "--sync", str(window))
    s.tools.x("xdotool", "mousemove", "--window", str(window), str(x + width // 2), str(y + height // 2), "click", "1")
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_one_line(program, 0, time.time())


def installer(s):
    """msiexec /i /qn: kapirel.exe, README.txt and LICENSE.txt in the program files, a Start-menu shortcut, an
    uninstall entry with the version, the publisher and the icon; the same install again changes nothing; the program
    started as the shortcut says counts into Documents; msiexec /x /qn leaves nothing of it but NAMERENO.TXT."""
    before = mentions(s)
    msiexec(s, "/i", "install")
    installed = installation(s)
    check(sorted(installed["files"]) == ["LICENSE.txt", "README.txt", "kapirel.exe"],
          "installed in %s: %s" % (PROGRAM_FOLDER, sorted(installed["files"])))
    check(installed["files"]["kapirel.exe"] == read(s.tools.exe), "the installed kapirel.exe is not the one built")
    check([os.path.basename(path) for path in installed["shortcuts"]] == [PRODUCT + ".lnk"],
          "Start-menu shortcuts: %s" % sorted(installed["shortcuts"]))
    entries = [{name: values.get(name) for name in ("DisplayVersion", "Publisher")} for values in installed["entries"]]
    check(entries == [{"DisplayVersion": s.tools.version, "Publisher": PUBLISHER}], "uninstall entries: %s" % entries)
    check(installed["icons"] == [read(ICON)], "the uninstall entry's icon is not kapirel.ico")

    msiexec(s, "/i", "install-again")
    again = installation(s)
    check(again == installed, "the second install of the same version changed its %s"
          % [part for part in installed if again[part] != installed[part]])

    link = next(iter(installed["shortcuts"].values()))
    check(link["target"].lower() == (PROGRAM_FOLDER + "\\kapirel.exe").lower(),
          "the shortcut starts %r" % link["target"])
    documents = s.box.windows_path(user_folder(s, "Documents"))
    check(link["folder"].rstrip("\\").lower() == documents.lower(), "the shortcut starts in %r" % link["folder"])
    check(link["icon"] in ("", link["target"]), "the shortcut shows the icon of %r" % link["icon"])
    program = s.start(cwd=s.box.unix_path(link["folder"]), exe=link["target"], COM2=pulses(3))
    window = program.main_window()
    program.wait_polling("COM2")
    s.box.trigger(1)
    check_count(program.wait_wave_polled("COM2"), 3)
    program.click(window, COMMAND1)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check_one_line(program, 3, time.time())
    measured = program.measurement_log()

    msiexec(s, "/x", "uninstall")
    remaining = installation(s)
    check(not any(remaining.values()), "the uninstall left its %s" % [part for part in remaining if remaining[part]])
    left = mentions(s)
    check(left == before, "left behind: %s" % sorted(set(left) - set(before)))
    check(program.measurement_log() == measured, "the uninstall changed NAMERENO.TXT")


SCENARIOS = {f.__name__: f for f in (
    startup_com2_count, com2_absent_uses_com1, both_absent_notices, end_by_window_close, end_by_alt_f4,
    end_by_session_end, counting_in_window_menu, switch_ports, switch_to_absent_port, unwritable_log, window_shape, window_at_144_dpi,
    installer)}


def focus_on_unmarked_option(s):
    """Tab onto the unmarked Option1, whose BN_CLICKED on the focus (Windows' radio buttons send it, Wine's do not,
    so window_probe_hook.dll sends it from inside the button's WM_SETFOCUS) switches nothing: COM2 stays open and
    marked."""
    program = s.start(COM1="present", COM2="present")
    window = program.main_window()
    program.wait_polling("COM2")
    clicks = s.box.wine([s.tools.probe, "focus-clicks", MAIN_TITLE], "focus-clicks")
    output = os.path.join(s.box.work, "focus-clicks.out")

    def said():
        with open(output, encoding="utf-8", errors="replace") as out:
            return [json.loads(line) for line in out.read().splitlines() if line.startswith("{")]
    wait_until(lambda: {"hooked": True} in said() or clicks.poll() is not None, 30, "the focus hooks")
    check(clicks.poll() is None, "window_probe.exe focus-clicks ended with %s" % clicks.returncode)
    program.press(window, "shift+Tab", "Tab")
    wait_until(lambda: {"clicked": OPTION1} in said(), 10, "a BN_CLICKED from Option1 on getting the focus")
    shown = program.window(MAIN_TITLE)
    check(shown["focus"] == OPTION1, "the focus is on control %s, not Option1" % shown["focus"])
    check_marks(shown, 0, 1)
    check(program.connections("COM1") == [], "the focus opened COM1")
    check(len(program.connections("COM2")) == 1 and not program.connections("COM2")[0].closed,
          "the focus closed or reopened COM2")

    program.click(window, COMMAND1)
    check(program.wait_exit() == 0, "exit status %s" % program.exit_status)
    check(clicks.wait(timeout=10) == 0, "window_probe.exe focus-clicks ended with %s" % clicks.returncode)
    check_one_line(program, 0, time.time())


SCENARIOS[focus_on_unmarked_option.__name__] = focus_on_unmarked_option


def main():
    options = runner.parser()
    for option in ("--exe", "--probe", "--msi", "--version", "--prefix", "--preload", "--xsession", "--work"):
        options.add_argument(option)
    args = options.parse_args()
    status = runner.chosen(SCENARIOS, args)
    if status is not None:
        return status
    for path in (args.exe, args.probe, args.msi):
        if not path or not os.path.isfile(path):
            print("FAIL: missing: %s" % path, file=sys.stderr)
            return 1
    if len(args.names) > 1:
        # A box per scenario: the box refuses to start Wine while a descriptor
        # of an earlier box's ports is still open, so each runs in a process.
        options = [item for option in ("exe", "probe", "msi", "version", "prefix", "preload", "xsession", "work")
                   for item in ("--" + option, getattr(args, option))]
        statuses = [subprocess.run([sys.executable, "-B", os.path.abspath(__file__)] + options + [name]).returncode
                    for name in args.names]
        return 0 if not any(statuses) else 1
    winebox.enter()
    tools = Tools(os.path.abspath(args.exe), os.path.abspath(args.probe), os.path.abspath(args.msi), args.version,
                  winebox.display_from(args.xsession))
    return runner.run(SCENARIOS, args.names, args.work,
                      lambda name: contextlib.closing(Scenario(tools, args, name)),
                      expected=(Failure, winebox.BoxError))


if __name__ == "__main__":
    sys.exit(main())
