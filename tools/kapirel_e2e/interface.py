"""What a scenario sees of a program, whichever program it is: the small
interface that the scenarios both programs share (kapirel_e2e.behaviours) are
written against, and the checks of what the ports went through.

Two drivers carry it out, both on an Xvfb with openbox: kapirel_e2e.harness
(the Linux program under the virtual meter) and tests/wine/driver.py
(kapirel.exe in the Wine box, a private mount namespace without the
machine's serial ports).  A driver's setting, one per scenario, has
`platform` (LINUX or WINE), `dir`, `workdir(name)` and
`start(com1=, com2=, cwd=)`, which returns a Program.  A port is "COM1" or
"COM2" (on Linux also a device, "/dev/ttyUSB0"), described in the virtual
meter's syntax ("present", "present,hz=4,...") or "absent".  Both meters
record every modem call as a JSON line with the state of the lines after it;
how a line is switched on the device (Linux: TIOCMBIS, TIOCMBIC; Wine:
TIOCMGET, then TIOCMSET with every line) stays in the drivers.
"""

import os
import re
import subprocess
import time

from kapirel_e2e.checks import Failure, check, wait_until

LINUX = "linux"
WINE = "wine"

TIOCM_DTR = 0x002
TIOCM_RTS = 0x004
TIOCM_CTS = 0x020

MAIN_TITLE = "Orvik KAPIREL "
NOTICE_TITLE = "KAPIREL"

# The window's design in twips (left, top, width, height): the client area
# from the screen's top left, each control from the client area's.  The one
# list of the window's places for every Python test; at a DPI they are
# pixels, halves rounded up (client_at, places_at).
FORM_TWIPS = (2760, 2190, 6555, 4725)
TWIPS = {"Text1": (1440, 480, 3735, 1695), "Command1": (2280, 3240, 1935, 615), "Option2": (5400, 4080, 855, 495),
         "Option1": (240, 4080, 975, 495)}


def pixels(twips, dpi):
    return tuple((value * dpi + 720) // 1440 for value in twips)


def client_at(dpi):
    return pixels(FORM_TWIPS, dpi)


def places_at(dpi):
    return {name: pixels(place, dpi) for name, place in TWIPS.items()}


CLIENT_96 = client_at(96)
CONTROLS_96 = places_at(96)
CAPTIONS = {"Text1": "", "Command1": "ukončení čítání", "Option2": "COM2", "Option1": "COM1"}

LOG_LINE = re.compile(rb"^ konec nacitani : (\d\d):(\d\d):(\d\d)  pocet pulsu = (\d+)\r\n$")

# What the program does first on a port that opened, in this order: BREAK
# off, DTR on (it feeds the meter's contact), RTS off (it pulls CTS off while
# the contact is open), each line by a call of its own.
POWER_ON = (("brk", 0), ("dtr", 1), ("rts", 0))
# The end: DTR off, RTS off, BREAK off, and nothing after them on the port.
POWER_OFF = (("dtr", 0), ("rts", 0), ("brk", 0))


def rising_edges(reads):
    """Off-to-on changes of CTS in the meter's records of reads that answered."""
    levels = [1 if call["value"] & TIOCM_CTS else 0 for call in reads]
    return sum(1 for a, b in zip(levels, levels[1:]) if b > a)


def middle(place):
    x, y, width, height = place
    return x + width // 2, y + height // 2


class Step:
    """One thing the program did on a port, in device-neutral terms.

    kind   "switch" (lines set), "read" (CTS read), or the device request of
           anything else ("TIOCEXCL")
    may    for a switch, the lines it may have switched: one of "dtr", "rts",
           "brk", or both "dtr" and "rts" where the call does not say which
           (Wine writes every modem line at once, and the one it switched may
           already have been as wanted)
    lines  the meter's record of the lines after the call
    call   the meter's record of the (last) call"""

    def __init__(self, kind, call, may=()):
        self.kind = kind
        self.call = call
        self.may = tuple(may)
        self.lines = call.get("lines", {})
        self.mono = call["mono"]
        self.t = call["t"]
        self.ok = call.get("result") == 0

    def sets(self, line, on):
        """Whether this can be the switch of line to on."""
        return self.kind == "switch" and line in self.may and self.lines.get(line) == on

    def __repr__(self):
        if self.kind == "switch":
            return "|".join(self.may) + "=" + "/".join(str(self.lines.get(line)) for line in self.may)
        return self.kind


class Connection:
    """The calls the program made on one port between an open and its close,
    read afresh from the meter's record at every question.  A driver gives
    port, calls() (the meter's records), closed(), steps() (the calls after
    the open's own, as Steps) and check_opening() (the device-level checks
    the open makes before the program switches anything)."""

    def reads(self):
        """The reads of CTS that answered, the start-up's own among them."""
        return [step for step in self.steps() if step.kind == "read" and step.ok]

    def edges(self):
        """Off-to-on changes of CTS as the program's reads saw them."""
        return rising_edges(step.call for step in self.reads())

    def largest_gap(self):
        times = [step.t for step in self.steps() if step.kind == "read"]
        return max((b - a for a, b in zip(times, times[1:])), default=0.0)

    def __str__(self):
        return "the connection to %s" % self.port


class Program:
    """One run of the program under test.  A driver gives:

    the ports    events() (the meter's record), of_port(event, port), connections(port) (those on which the lines
                 were switched, oldest first), opens(port) (as far as the meter saw them), trigger(which) (starts
                 the origin=usr1/usr2 waveforms), check_requests() and check_probe_open(port) (the start-up's try
                 of a port it then opens again), where the platform shows them
    the windows  x (the X tools, kapirel_e2e.xclient), windows(title), wait_notice(text=None, exclude=()) (checks
                 the text and the one OK button where the platform can read them; returns the X window),
                 check_window(marks=, focus=, text=, alone=, client=, places=, captions=) (as far as readable;
                 alone: no notice); under Wine also notice_text() and control_text(name)
    the end      process (whose end is the program's), cwd, said()"""

    platform = None
    # How long the record of a close may come after the close.
    close_seen_within = 0.0
    process = None
    exit_status = None

    # --- built on them --------------------------------------------------------------

    def port_calls(self, port=None):
        return sum(1 for e in self.events() if e["event"] == "ioctl" and (port is None or self.of_port(e, port)))

    def wave_end(self, port):
        """The meter's "t" at which the port's waveform ends: None before it starts, inf if it never does."""
        origins = [e for e in self.events() if e["event"] == "origin" and self.of_port(e, port)]
        if not origins:
            return None
        end = origins[-1]["wave_end_t"]
        return float("inf") if end is None else end

    def connection(self, port, index=0, timeout=20):
        return wait_until(lambda: (lambda c: c[index] if len(c) > index else None)(self.connections(port)),
                          timeout, "connection %d of %s" % (index + 1, port))

    def wait_polling(self, port, index=0, polls=3, timeout=20):
        """The connection once it has its line settings and the last `polls` calls on it read CTS."""
        def polling():
            found = self.connections(port)
            if len(found) <= index:
                return None
            steps = found[index].steps()
            trailing = next((i for i, step in enumerate(reversed(steps)) if step.kind != "read"), len(steps))
            switched = sum(1 for step in steps if step.kind == "switch")
            return found[index] if switched >= len(POWER_ON) and trailing >= polls else None
        return wait_until(polling, timeout, "%d polls on connection %d of %s" % (polls, index + 1, port))

    def wait_wave_polled(self, conn, timeout=30):
        """Waits until conn read CTS after the end of its port's waveform."""
        end = wait_until(lambda: self.wave_end(conn.port), timeout, "the waveform of %s to start" % conn.port)
        check(end != float("inf"), "the waveform of %s never ends" % conn.port)
        wait_until(lambda: any(step.t > end + 0.1 for step in conn.reads()), timeout,
                   "a poll after the pulses on %s" % conn.port)
        return conn

    def count_pulses(self, port, count, which=1, index=0):
        """Waits until the program polls port, starts its waveform, and checks
        that the polls saw count pulses; returns the connection."""
        conn = self.wait_polling(port, index)
        self.trigger(which)
        self.wait_wave_polled(conn)
        check_count(conn, count)
        return conn

    def wait_closed(self, conn, what=None):
        wait_until(conn.closed, self.close_seen_within, what or "the close of %s" % conn)

    # --- the windows -------------------------------------------------------------

    def wait_window(self, title, timeout=30, exclude=()):
        def found():
            if not self.running():
                raise Failure("the program ended (status %s) while waiting for window %r%s"
                              % (self.process.returncode, title, self.said()))
            return next((w for w in self.windows(title) if w not in exclude), None)
        return wait_until(found, timeout, "window %r" % title, interval=0.1)

    def main_window(self):
        return self.wait_window(MAIN_TITLE)

    def notices(self):
        return self.windows(NOTICE_TITLE)

    def answer_notices(self, count=2):
        """Waits for count notices, one after the other, and answers each with Return."""
        shown = []
        for _ in range(count):
            shown.append(self.wait_notice(exclude=shown))
            self.press(shown[-1], "Return")

    def click(self, wid, control):
        self.x.click(wid, middle(CONTROLS_96[control]))

    def press(self, wid, *keys):
        self.x.press(wid, *keys)

    def close(self, wid):
        self.x.close(wid)

    def geometry(self, wid):
        return self.x.geometry(wid)

    def screenshot(self, wid, path):
        return self.x.screenshot(wid, path)

    # --- the end ---------------------------------------------------------------

    def said(self):
        """What the program said, for a failure's message."""
        return ""

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=20):
        try:
            self.exit_status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within %d s" % timeout)
        return self.exit_status

    def measurement_log(self):
        with open(os.path.join(self.cwd, "NAMERENO.TXT"), "rb") as log:
            return log.read()


# --- checks -----------------------------------------------------------------------

def check_setup(conn, timeout=20):
    """The open's own checks (driver), then POWER_ON with nothing else between them."""
    steps = wait_until(lambda: (lambda s: s if len(s) >= len(POWER_ON) else None)(conn.steps()), timeout,
                       "the line settings on %s" % conn)[:len(POWER_ON)]
    conn.check_opening()
    check(all(step.sets(line, on) for step, (line, on) in zip(steps, POWER_ON)),
          "start of %s: %s, expected BREAK off, DTR on, RTS off" % (conn, steps))
    lines = steps[-1].lines
    check((lines["dtr"], lines["rts"], lines["brk"]) == (1, 0, 0), "lines after the settings: %s" % lines)


def check_end(conn, timeout=10):
    """POWER_OFF as the last calls on the port, so no poll after the lines began to go off; then the port closes."""
    wait_until(conn.closed, timeout, "the close of %s" % conn)
    tail = conn.steps()[-len(POWER_OFF):]
    check(len(tail) == len(POWER_OFF) and all(step.sets(line, on) for step, (line, on) in zip(tail, POWER_OFF)),
          "end of %s: %s, expected DTR off, RTS off, BREAK off" % (conn, conn.steps()[-6:]))
    lines = tail[-1].lines
    check((lines["dtr"], lines["rts"], lines["brk"]) == (0, 0, 0), "lines after the end: %s" % lines)


def finish(program, end, count, *conns, status=0, data=None):
    """The end most scenarios share: end (a control of the main window to
    click, "close" for the window manager's close, or a callable), the exit
    with status, the end's calls on each of conns (check_end), and, unless
    count is None, the one line with count.  count and data (as for
    check_one_line) may be callables, asked after the exit."""
    if callable(end):
        end()
    elif end == "close":
        program.close(program.main_window())
    else:
        program.click(program.main_window(), end)
    check(program.wait_exit() == status, "exit status %s, expected %d" % (program.exit_status, status))
    ended = time.time()
    for conn in conns:
        check_end(conn)
    if count is not None:
        check_one_line(program, count() if callable(count) else count, ended, data() if callable(data) else data)


def unwritable_workdir(s, make=os.mkdir):
    """A working directory whose NAMERENO.TXT cannot be written: it is a directory (or what make makes)."""
    workdir = s.workdir()
    make(os.path.join(workdir, "NAMERENO.TXT"))
    return workdir


def check_count(conn, expected):
    seen = conn.edges()
    check(seen == expected, "the polls on %s saw %d off-to-on changes, expected %d (largest poll gap %.0f ms: a gap "
          "above the pulse length means an overloaded machine)" % (conn.port, seen, expected,
                                                                   conn.largest_gap() * 1000))


def check_one_line(program, count, ended_at, data=None):
    """NAMERENO.TXT (or data, what a reader got from it) holds exactly one
    line, byte for byte, with this count, logged at about ended_at."""
    if data is None:
        data = program.measurement_log()
    match = LOG_LINE.match(data)
    check(match is not None, "NAMERENO.TXT is not exactly one measurement line: %r" % data)
    check(int(match.group(4)) == count, "logged count %s, expected %d: %r" % (match.group(4).decode(), count, data))
    check(data == b" konec nacitani : %s:%s:%s  pocet pulsu = %d\r\n" % (match.group(1), match.group(2),
                                                                         match.group(3), count),
          "line format differs: %r" % data)
    logged = int(match.group(1)) * 3600 + int(match.group(2)) * 60 + int(match.group(3))
    local = time.localtime(ended_at)
    now = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec
    drift = min(abs(logged - now), 86400 - abs(logged - now))
    check(drift <= 10, "logged time %s is %d s away from the end time" % (data[18:26].decode(), drift))
