"""Driving kapirel under the virtual meter on the shared X server.

A Session owns one scenario's working directory and every process it
starts; leaving the session ends them all, whatever happened, so one
failing scenario cannot leave anything behind for the next.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

TIOCM_DTR = 0x002
TIOCM_RTS = 0x004
TIOCM_CTS = 0x020

MAIN_TITLE = "^Orvik KAPIREL $"
NOTICE_TITLE = "^KAPIREL$"

# Client coordinates of the controls (96 DPI); clicks go to their middle.
COMMAND1 = (152 + 129 // 2, 216 + 41 // 2)
OPTION1 = (16 + 65 // 2, 272 + 33 // 2)
OPTION2 = (360 + 57 // 2, 272 + 33 // 2)

LOG_LINE = re.compile(rb"^ konec nacitani : (\d\d):(\d\d):(\d\d)  pocet pulsu = (\d+)\r\n$")
MODEM_REQUESTS = {"TIOCMGET", "TIOCEXCL", "TIOCCBRK", "TIOCMBIS", "TIOCMBIC"}


class Failure(Exception):
    pass


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


class Tools:
    """The programs under test and the display they run on: an X display, or
    a Wayland socket in the run's XDG_RUNTIME_DIR."""

    def __init__(self, kapirel, meter, display=None, wayland=None, xsmp_manager=None):
        self.kapirel = kapirel
        self.meter = meter
        self.display = display
        self.wayland = wayland
        self.xsmp_manager = xsmp_manager

    def on(self, display=None, wayland=None):
        """The same programs on another display."""
        return Tools(self.kapirel, self.meter, display, wayland, self.xsmp_manager)

    def env(self):
        env = dict(os.environ)
        # Nothing of the desktop the tests are started from: its scaling, its
        # displays, its session manager.
        for variable in ("QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "WAYLAND_DISPLAY", "DISPLAY",
                         "SESSION_MANAGER"):
            env.pop(variable, None)
        env["LC_ALL"] = "C.UTF-8"
        if self.wayland:
            env.update(WAYLAND_DISPLAY=self.wayland, QT_QPA_PLATFORM="wayland")
        elif self.display:
            env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        return env

    def x(self, *argv, check_rc=True):
        done = subprocess.run(list(argv), env=self.env(), capture_output=True, text=True, timeout=30)
        if check_rc and done.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(argv), done.returncode, done.stderr.strip()))
        return done.stdout


class Session:
    def __init__(self, tools, workroot, name):
        self.tools = tools
        self.name = name
        self.dir = os.path.join(workroot, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        # The runs' XDG_RUNTIME_DIR, where the sockets go (Wayland's, the
        # session manager's): a socket's path holds at most 107 bytes, so
        # not in the build tree, whose depth is the checkout's.
        self.runtime = tempfile.mkdtemp(prefix="kapirel-", dir="/tmp")
        self.runs = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for run in reversed(self.runs):
            run.kill()
        shutil.rmtree(self.runtime, ignore_errors=True)
        return False

    def workdir(self, name="run"):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def start(self, com1="present", com2="present", cwd=None, machine=(), env=None):
        """kapirel under a new meter.  machine: more meter options (--usb0 PORT,
        --alias COM2=ttyUSB1, --console ttyS0, --lock ttyS1=PID); env adds to the
        program's environment."""
        check(self.tools.display or self.tools.wayland,
              "no display: the e2e.xsession.start fixture starts the shared one")
        cwd = cwd or self.workdir()
        log = os.path.join(self.dir, "meter-%d.jsonl" % len(self.runs))
        argv = [self.tools.meter, "--quiet", "--com1", com1, "--com2", com2] + list(machine) + ["--log", log, "--",
                                                                                               self.tools.kapirel]
        run = Run(self, argv, cwd, log, env=env)
        self.runs.append(run)
        return run

    def join(self, owner, cwd):
        """A second kapirel in the testbed of a running meter."""
        testbed = owner.event("start")["testbed"]
        argv = [self.tools.meter, "--quiet", "--join", testbed, "--", self.tools.kapirel]
        run = Run(self, argv, cwd, owner.log_path, joined=True)
        self.runs.append(run)
        return run


class Run:
    """One virtual-meter process and the kapirel it runs."""

    def __init__(self, session, argv, cwd, log_path, joined=False, env=None):
        self.session = session
        self.tools = session.tools
        self.cwd = cwd
        self.log_path = log_path
        self.joined = joined
        self.exit_status = None
        run_env = self.tools.env()
        run_env["XDG_RUNTIME_DIR"] = session.runtime
        run_env.update(env or {})
        index = len(session.runs)
        self.output = open(os.path.join(session.dir, "kapirel-%d.out" % index), "wb")
        self.meter = subprocess.Popen(argv, cwd=cwd, env=run_env, stdin=subprocess.DEVNULL, stdout=self.output,
                                      stderr=subprocess.STDOUT, start_new_session=True)
        self._kapirel = None

    # --- the meter's record -------------------------------------------------

    def events(self):
        try:
            with open(self.log_path, "rb") as log:
                data = log.read()
        except FileNotFoundError:
            return []
        events = []
        for line in data.split(b"\n"):
            if line.endswith(b"}"):
                events.append(json.loads(line))
        return events

    def event(self, name, timeout=20, where=lambda e: True):
        return wait_until(lambda: next((e for e in self.events() if e["event"] == name and where(e)), None),
                          timeout, "meter event %r" % name)

    def ioctls(self, conn):
        return [e for e in self.events() if e["event"] == "ioctl" and e["conn"] == conn]

    def conns(self, dev):
        """Connection ids of the opens of dev, oldest first."""
        return [e["conn"] for e in self.events() if e["event"] == "open" and e["dev"] == dev]

    def closed(self, conn):
        return any(e["event"] == "close" and e["conn"] == conn for e in self.events())

    def wait_polling(self, conn, polls=3, timeout=20):
        """Waits until the program polls CTS on conn after its line settings."""
        def polled():
            calls = self.ioctls(conn)
            trailing = 0
            for call in reversed(calls):
                if call["req"] != "TIOCMGET":
                    break
                trailing += 1
            return len(calls) >= 5 and trailing >= polls
        wait_until(polled, timeout, "%d polls on connection %d" % (polls, conn))

    def trigger(self, which=1):
        """Starts the waveforms of the origin=usr1 (usr2) ports."""
        sent = time.monotonic()
        os.kill(self.meter.pid, signal.SIGUSR1 if which == 1 else signal.SIGUSR2)
        return self.event("origin", where=lambda e: e["mono"] >= sent)

    def wait_wave_polled(self, conn, dev, timeout=30):
        """Waits until conn polled CTS after the end of dev's waveform."""
        origin = [e for e in self.events() if e["event"] == "origin" and e["dev"] == dev][-1]
        end = origin["wave_end_t"]
        check(end is not None, "the waveform of %s never ends" % dev)
        wait_until(lambda: any(c["req"] == "TIOCMGET" and c["t"] > end + 0.1 for c in self.ioctls(conn)),
                   timeout, "a poll after the pulses on %s" % dev)

    def edges_polled(self, conn):
        """Off-to-on changes of CTS as the program's polls saw them."""
        calls = [c for c in self.ioctls(conn)[5:] if c["req"] == "TIOCMGET" and c["result"] == 0]
        levels = [1 if c["value"] & TIOCM_CTS else 0 for c in calls]
        return sum(1 for a, b in zip(levels, levels[1:]) if b > a)

    def largest_poll_gap(self, conn):
        times = [c["t"] for c in self.ioctls(conn)[5:] if c["req"] == "TIOCMGET"]
        return max((b - a for a, b in zip(times, times[1:])), default=0.0)

    # --- the program's windows -------------------------------------------------

    def kapirel_pid(self):
        if self._kapirel is None:
            if self.joined:
                def child():
                    try:
                        with open("/proc/%d/task/%d/children" % (self.meter.pid, self.meter.pid)) as f:
                            pids = f.read().split()
                    except OSError:
                        return None
                    return int(pids[0]) if pids else None
                self._kapirel = wait_until(child, 20, "the joined kapirel")
            else:
                self._kapirel = self.event("spawn")["child"]
        return self._kapirel

    def windows(self, title):
        out = self.tools.x("xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.kapirel_pid()),
                           "--name", title, check_rc=False)
        return [int(w) for w in out.split()]

    def wait_window(self, title, timeout=30, exclude=()):
        def found():
            if self.meter.poll() is not None:
                raise Failure("the meter ended (status %s) while waiting for window %r; output: %s"
                              % (self.meter.returncode, title, self.output_text()))
            return next((w for w in self.windows(title) if w not in exclude), None)
        return wait_until(found, timeout, "window %r" % title, interval=0.1)

    def main_window(self):
        return self.wait_window(MAIN_TITLE)

    def geometry(self, wid):
        """The client area on the screen: x, y, width, height.  (xdotool's
        getwindowgeometry counts the frame of a reparenting manager twice.)"""
        out = self.tools.x("xwininfo", "-id", str(wid))
        values = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def click(self, wid, point):
        self.tools.x("xdotool", "windowactivate", "--sync", str(wid))
        self.tools.x("xdotool", "mousemove", "--window", str(wid), str(point[0]), str(point[1]), "click", "1")

    def press(self, wid, key):
        self.tools.x("xdotool", "windowactivate", "--sync", str(wid))
        self.tools.x("xdotool", "key", key)

    def close_by_wm(self, wid):
        self.tools.x("wmctrl", "-i", "-c", "0x%x" % wid)

    def screenshot(self, wid, path, with_frame=True):
        x, y, w, h = self.geometry(wid)
        left = right = top = bottom = 0
        if with_frame:
            extents = self.tools.x("xprop", "-id", str(wid), "_NET_FRAME_EXTENTS", check_rc=False)
            numbers = re.findall(r"\d+", extents.split("=", 1)[-1])
            if len(numbers) == 4:
                left, right, top, bottom = map(int, numbers)
        self.tools.x("import", "-window", "root", "-crop",
                     "%dx%d+%d+%d" % (w + left + right, h + top + bottom, x - left, y - top), "+repage", path)
        return path

    # --- the end ----------------------------------------------------------------

    def signal_meter(self, signum):
        os.kill(self.meter.pid, signum)

    def signal_kapirel(self, signum):
        os.kill(self.kapirel_pid(), signum)

    def wait_exit(self, timeout=20):
        try:
            self.exit_status = self.meter.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within %d s" % timeout)
        return self.exit_status

    def output_text(self, whole=False):
        self.output.flush()
        with open(self.output.name, "rb") as out:
            text = out.read().decode(errors="replace")
        return text if whole else text[-2000:]

    def wait_wayland_window(self, timeout=20):
        """Waits until the main window's surface has its title and a drawn
        buffer (the run needs WAYLAND_DEBUG=client: Wayland offers no way to
        list another client's windows)."""
        def shown():
            if self.meter.poll() is not None:
                raise Failure("the meter ended (status %s) before the window showed; output: %s"
                              % (self.meter.returncode, self.output_text()))
            text = self.output_text(whole=True)
            titled = text.find('.set_title("Orvik KAPIREL ")')
            return titled >= 0 and re.search(r"wl_surface@\d+\.attach\(wl_buffer@", text[titled:])
        wait_until(shown, timeout, "the Wayland window", interval=0.1)

    def reasons(self):
        """The program's own lines on stderr: why an open failed."""
        self.output.flush()
        with open(self.output.name, "rb") as out:
            lines = out.read().decode(errors="replace").splitlines()
        return [line for line in lines if line.startswith("kapirel: ")]

    def lock_file(self, name):
        """The text of /run/lock/LCK..name as the program sees it, None when there is none."""
        path = os.path.join(self.event("start")["testbed"], "run", "lock", "LCK.." + name)
        try:
            with open(path, "rb") as lock:
                return lock.read()
        except FileNotFoundError:
            return None

    def lock_files_left(self):
        """What was left in /run/lock when the program had ended: {"LCK..ttyS1": b"      4242\\n"}."""
        files = self.event("lock-files", timeout=10)["files"]
        return {name: text.encode() for name, text in files.items()}

    def measurement_log(self):
        path = os.path.join(self.cwd, "NAMERENO.TXT")
        with open(path, "rb") as log:
            return log.read()

    def kill(self):
        if self.meter.poll() is None:
            pid = self._kapirel
            for target in ([-pid] if pid else []) + [-self.meter.pid]:
                try:
                    os.kill(target, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            try:
                self.meter.wait(8)
            except subprocess.TimeoutExpired:
                for target in ([-pid] if pid else []) + [-self.meter.pid]:
                    try:
                        os.kill(target, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                self.meter.wait(10)
        self.output.close()


# --- checks shared by the scenarios --------------------------------------------

def check_one_line(run, count, ended_at, data=None):
    """NAMERENO.TXT (or data, what a reader got from it) holds exactly one
    line, byte for byte, with this count."""
    if data is None:
        data = run.measurement_log()
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


def check_setup(run, conn):
    """After the open: TIOCMGET (is it a serial port?), TIOCEXCL, BREAK off, DTR on, RTS off."""
    calls = wait_until(lambda: (lambda c: c if len(c) >= 5 else None)(run.ioctls(conn)), 20,
                       "the line settings on connection %d" % conn)
    got = [(c["req"], c["value"]) for c in calls[:5]]
    want = [("TIOCMGET", got[0][1]), ("TIOCEXCL", None), ("TIOCCBRK", None), ("TIOCMBIS", TIOCM_DTR),
            ("TIOCMBIC", TIOCM_RTS)]
    check(got == want, "start of connection %d: %s, expected %s" % (conn, got, want))


def check_end(run, conn):
    """The end: DTR off, RTS off, BREAK off, then the port closes; no poll after it."""
    calls = run.ioctls(conn)
    tail = [(c["req"], c["value"]) for c in calls[-3:]]
    want = [("TIOCMBIC", TIOCM_DTR), ("TIOCMBIC", TIOCM_RTS), ("TIOCCBRK", None)]
    check(tail == want, "end of connection %d: %s, expected %s" % (conn, tail, want))
    wait_until(lambda: run.closed(conn), 5, "the close of connection %d" % conn)


def check_only_modem_requests(run):
    used = {e["req"] for e in run.events() if e["event"] == "ioctl"}
    check(used <= MODEM_REQUESTS, "unexpected requests on the port: %s" % sorted(used - MODEM_REQUESTS))


def check_count(run, conn, expected):
    seen = run.edges_polled(conn)
    gap = run.largest_poll_gap(conn)
    check(seen == expected, "the program's polls saw %d off-to-on changes, expected %d (largest poll gap "
          "%.0f ms: a gap above the pulse length means an overloaded machine)" % (seen, expected, gap * 1000))
