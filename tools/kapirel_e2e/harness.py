"""The Linux driver: kapirel under the virtual meter, on the suite's X server
(or a Wayland compositor), behind the interface of kapirel_e2e.interface.

A Session owns one scenario's working directory and every process it
starts; leaving the session ends them all, whatever happened, so one
failing scenario cannot leave anything behind for the next.
"""

import contextlib
import dataclasses
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time

from kapirel_e2e.interface import (LINUX, NOTICE_TITLE, TIOCM_DTR, TIOCM_RTS, Connection, Failure, Program, Step,
                                   check, wait_until)
from kapirel_e2e.checks import json_lines
from kapirel_e2e.xclient import XClient

# "COM1" and "COM2" of the virtual meter's default machine.
DEVICES = {"COM1": "/dev/ttyS0", "COM2": "/dev/ttyS1"}
# What the open itself does on the device before anything is switched: is it
# a serial port (TIOCMGET), then exclusive (TIOCEXCL).
OPENING = ("TIOCMGET", "TIOCEXCL")
MODEM_REQUESTS = {"TIOCMGET", "TIOCEXCL", "TIOCCBRK", "TIOCMBIS", "TIOCMBIC"}
LINES = {TIOCM_DTR: "dtr", TIOCM_RTS: "rts"}
# What every run without a system bus says.
NO_BUS_IDLE_LINE = "kapirel: idle sleep not held off (logind: No such file or directory)"


def device(port):
    return DEVICES.get(port, port)


def step(call):
    """A call on the device as a Step: TIOCMBIS and TIOCMBIC name the line they switch."""
    request = call["req"]
    if request == "TIOCMGET":
        return Step("read", call)
    if request in ("TIOCMBIS", "TIOCMBIC"):
        return Step("switch", call, [LINES.get(call["value"], "0x%x" % call["value"])])
    if request in ("TIOCSBRK", "TIOCCBRK"):
        return Step("switch", call, ["brk"])
    return Step(request, call)


@dataclasses.dataclass
class Tools(XClient):
    """The programs under test and the display they run on: an X display, or
    a Wayland socket in the run's XDG_RUNTIME_DIR."""

    kapirel: str
    meter: str
    display: str = None
    wayland: str = None
    xsmp_manager: str = None

    def on(self, display=None, wayland=None):
        """The same programs on another display."""
        return dataclasses.replace(self, display=display, wayland=wayland)

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

    def x_env(self):
        return self.env()


class Session:
    platform = LINUX

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

    def start(self, com1="present", com2="present", cwd=None, machine=(), env=None, wrap=()):
        """kapirel under a new meter.  machine: more meter options (--usb0 PORT,
        --alias COM2=ttyUSB1, --console ttyS0, --lock ttyS1=PID); env adds to the
        program's environment; wrap: a command that runs kapirel by exec, in the
        same process (prlimit, setpriv)."""
        check(self.tools.display or self.tools.wayland,
              "no display: the e2e.xsession.start fixture starts the shared one")
        cwd = cwd or self.workdir()
        log = os.path.join(self.dir, "meter-%d.jsonl" % len(self.runs))
        argv = [self.tools.meter, "--quiet", "--com1", com1, "--com2", com2, *machine, "--log", log, "--", *wrap,
                self.tools.kapirel]
        return Run(self, argv, cwd, log, env=env)

    def join(self, owner, cwd):
        """A second kapirel in the testbed of a running meter."""
        testbed = owner.event("start")["testbed"]
        argv = [self.tools.meter, "--quiet", "--join", testbed, "--", self.tools.kapirel]
        return Run(self, argv, cwd, owner.log_path, joined=True)


class LinuxConnection(Connection):
    def __init__(self, run, conn, port):
        self.run = run
        self.id = conn
        self.port = port

    def calls(self):
        return self.run.ioctls(self.id)

    def closed(self):
        return self.run.closed(self.id)

    def check_opening(self):
        got = [c["req"] for c in self.calls()[:len(OPENING)]]
        check(got == list(OPENING), "the open of %s made %s, expected %s" % (self.port, got, list(OPENING)))

    def steps(self):
        return [step(call) for call in self.calls()[len(OPENING):]]

    def __str__(self):
        return "connection %d (%s)" % (self.id, self.port)


class Run(Program):
    """One virtual-meter process and the kapirel it runs, of the session's runs."""

    platform = LINUX
    # The meter sees a close when umockdev's socket of the descriptor closes.
    close_seen_within = 5.0

    def __init__(self, session, argv, cwd, log_path, joined=False, env=None):
        self.tools = self.x = session.tools  # the X tools too
        self.cwd = cwd
        self.log_path = log_path
        self.joined = joined
        run_env = self.tools.env()
        run_env["XDG_RUNTIME_DIR"] = session.runtime
        # Never the machine's own system bus (rtkit, logind): a scenario that
        # wants one gives its private bus (kapirel_e2e.systembus), the others
        # get none at all.
        run_env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + os.path.join(session.runtime, "no-system-bus")
        run_env.update(env or {})
        self.without_bus = run_env["DBUS_SYSTEM_BUS_ADDRESS"].endswith("/no-system-bus")
        self.output = open(os.path.join(session.dir, "kapirel-%d.out" % len(session.runs)), "wb")
        self.process = subprocess.Popen(argv, cwd=cwd, env=run_env, stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT, start_new_session=True)
        self._kapirel = None
        session.runs.append(self)

    # --- the meter's record -------------------------------------------------

    def events(self):
        return json_lines(self.log_path)

    def event(self, name, timeout=20, where=lambda e: True):
        return wait_until(lambda: next((e for e in self.events() if e["event"] == name and where(e)), None),
                          timeout, "meter event %r" % name)

    def ioctls(self, conn):
        return [e for e in self.events() if e["event"] == "ioctl" and e["conn"] == conn]

    def conns(self, port):
        """Connection ids of every open of the port's device, oldest first."""
        return [e["conn"] for e in self.events() if e["event"] == "open" and e["dev"] == device(port)]

    def closed(self, conn):
        return any(e["event"] == "close" and e["conn"] == conn for e in self.events())

    def connections(self, port):
        return [LinuxConnection(self, conn, port) for conn in self.conns(port) if len(self.ioctls(conn)) > len(OPENING)]

    def opens(self, port):
        return len(self.conns(port))

    @staticmethod
    def of_port(event, port):
        return event["dev"] == device(port)

    def trigger(self, which=1):
        """Starts the waveforms of the origin=usr1 (usr2) ports; returns the meter's origin event."""
        sent = time.monotonic()
        os.kill(self.process.pid, signal.SIGUSR1 if which == 1 else signal.SIGUSR2)
        return self.event("origin", where=lambda e: e["mono"] >= sent)

    def check_requests(self):
        used = {e["req"] for e in self.events() if e["event"] == "ioctl"}
        check(used <= MODEM_REQUESTS, "unexpected requests on the port: %s" % sorted(used - MODEM_REQUESTS))

    def check_probe_open(self, port):
        first = wait_until(lambda: (self.conns(port) or [None])[0], 20, "the first open of %s" % port)
        early = [c["req"] for c in self.ioctls(first)]
        check(early == list(OPENING), "the start-up's own %s open did %s" % (port, early))
        check(self.closed(first), "the start-up's %s connection stayed open" % port)

    # --- the program's windows -------------------------------------------------

    def kapirel_pid(self):
        if self._kapirel is None:
            if self.joined:  # a meter that joins a testbed logs nothing of its own
                children = pathlib.Path("/proc/%d/task/%d/children" % (self.process.pid, self.process.pid))
                self._kapirel = int(wait_until(lambda: children.read_text().split(), 20, "the joined kapirel")[0])
            else:
                self._kapirel = self.event("spawn")["child"]
        return self._kapirel

    def windows(self, title):
        return self.tools.search(title, pid=self.kapirel_pid())

    def wait_notice(self, text=None, exclude=(), timeout=30):
        # X shows a Qt notice's pixels, not its text: tst_form1 checks the texts.
        return self.wait_window(NOTICE_TITLE, timeout, exclude)

    def check_window(self, alone=False, **unreadable):
        # The marks, the focus and the texts of the Qt window are pixels to X:
        # tst_form1 checks them.
        if alone:
            check(self.notices() == [], "a notice appeared")

    def wait_wayland_window(self, timeout=20):
        """Waits until the main window's surface has its title and a drawn
        buffer (the run needs WAYLAND_DEBUG=client: Wayland offers no way to
        list another client's windows)."""
        def shown():
            if not self.running():
                raise Failure("the meter ended (status %s) before the window showed%s"
                              % (self.process.returncode, self.said()))
            text = self.output_text(whole=True)
            titled = text.find('.set_title("Orvik KAPIREL ")')
            return titled >= 0 and re.search(r"wl_surface@\d+\.attach\(wl_buffer@", text[titled:])
        wait_until(shown, timeout, "the Wayland window", interval=0.1)

    # --- the end ----------------------------------------------------------------

    def signal_meter(self, signum):
        os.kill(self.process.pid, signum)

    def signal_kapirel(self, signum):
        os.kill(self.kapirel_pid(), signum)

    def said(self):
        return "; output: " + self.output_text()

    def output_text(self, whole=False):
        self.output.flush()
        with open(self.output.name, "rb") as out:
            text = out.read().decode(errors="replace")
        return text if whole else text[-2000:]

    def reasons(self):
        """The program's own lines on stderr: why an open failed, why it does
        not count at real-time priority or hold off idle sleep.  Without a
        system bus, the run's line that it cannot hold off idle sleep is
        left out."""
        return [line for line in self.output_text(whole=True).splitlines()
                if line.startswith("kapirel: ") and not (self.without_bus and line == NO_BUS_IDLE_LINE)]

    def check_reasons(self, expected):
        got = self.reasons()
        check(got == expected, "stderr lines %s, expected %s" % (got, expected))

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

    def kill(self):
        """SIGTERM to the process groups of kapirel and the meter; SIGKILL after 8 s."""
        groups = ([-self._kapirel] if self._kapirel else []) + [-self.process.pid]
        for signum, wait in ((signal.SIGTERM, 8), (signal.SIGKILL, 10)):
            if self.process.poll() is not None:
                break
            for group in groups:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(group, signum)
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(wait)
        self.output.close()
