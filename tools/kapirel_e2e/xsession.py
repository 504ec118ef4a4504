#!/usr/bin/env python3
"""The displays and sessions the e2e scenarios run the program in.

    xsession.py start STATE.json    Xvfb (96 DPI) + openbox, waits until the
                                    manager is up and settled, writes STATE.json
    xsession.py stop STATE.json     ends both and removes STATE.json

The X session is started once for the whole suite: a program under
umockdev's preload was seen to stall for seconds in a modem ioctl while a
freshly started openbox was still busy, so the scenarios only run against a
settled manager.  Beside it: ServerGrab (another client holding the X
server), XsmpManager (the desktop's logout) and Weston (a Wayland compositor
of a scenario's own).
"""

import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

from kapirel_e2e.checks import Failure, wait_until
from kapirel_e2e import proc

# Everything the scenarios use; a missing tool fails the suite at once.
REQUIRED_TOOLS = ["Xvfb", "openbox", "xdotool", "wmctrl", "xprop", "xwininfo", "import"]


class ServerGrab:
    """Another X client holding the whole server (XGrabServer), as window
    managers, screenshot tools and screen lockers do: every other client's
    request that needs an answer waits until the grab ends.

        with ServerGrab(display, seconds) as grab: ...   # held from entry for `seconds`, or until grab.release()

    While it holds, the test itself must not call any X tool."""

    def __init__(self, display, seconds):
        self.display = display
        self.seconds = seconds
        self.held = threading.Event()
        self.released = threading.Event()
        self.released_at = None
        self.thread = threading.Thread(target=self._hold, daemon=True)

    def _hold(self):
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        connection = ctypes.c_void_p(x.XOpenDisplay(self.display.encode()))
        if not connection.value:
            return
        x.XGrabServer(connection)
        x.XSync(connection, 0)
        self.held.set()
        self.released.wait(self.seconds)
        x.XUngrabServer(connection)
        x.XSync(connection, 0)
        self.released_at = time.monotonic()
        x.XCloseDisplay(connection)

    def __enter__(self):
        self.thread.start()
        if not self.held.wait(10):
            raise RuntimeError("could not grab the X server %s" % self.display)
        return self

    def release(self):
        self.released.set()

    def __exit__(self, *exc):
        self.thread.join()
        return False


class XsmpManager:
    """The test's X session manager (tests/e2e/xsmp_manager.cpp) as the desktop's logout: send() its commands,
    wait() for its lines since a mark()."""

    def __init__(self, path, log_dir, socket_dir):
        if not path or not os.access(path, os.X_OK):
            raise Failure("not executable: xsmp-manager %s" % path)
        self.path = path
        # Its socket goes into a short directory of the scenario's own, not
        # into /tmp/.ICE-unix under the manager's PID.
        self.socket = os.path.join(socket_dir, "ice")
        self.log = os.path.join(log_dir, "xsmp-manager.log")
        self.lines = []

    def __enter__(self):
        self.process = subprocess.Popen([self.path, self.socket], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, bufsize=1, start_new_session=True)
        threading.Thread(target=self._read, daemon=True).start()
        listening = self.wait("listening ")
        self.address = listening.split(" ", 1)[1]
        return self

    def _read(self):
        with open(self.log, "w") as log:
            for line in self.process.stdout:
                log.write(line)
                log.flush()
                self.lines.append(line.rstrip("\n"))

    def client_env(self, scratch):
        # An ICE authority file of its own: the manager accepts local clients
        # without authentication, and the user's file stays untouched.
        return {"SESSION_MANAGER": self.address, "ICEAUTHORITY": os.path.join(scratch, "iceauthority")}

    def mark(self):
        return len(self.lines)

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def seen(self, prefix, since=0):
        return next((line for line in self.lines[since:] if line.startswith(prefix)), None)

    def wait(self, prefix, since=0, timeout=20):
        def found():
            if self.process.poll() is not None and not self.seen(prefix, since):
                raise Failure("xsmp-manager ended (status %s); it said: %s" % (self.process.returncode, self.lines))
            return self.seen(prefix, since)
        return wait_until(found, timeout, "the session manager's %r" % prefix)

    def __exit__(self, *exc):
        proc.end(self.process, self.process.stdin.close)
        return False


class Weston:
    """weston with its headless backend, its socket in runtime: the XDG_RUNTIME_DIR of the programs that connect
    to it (Session.runtime, short enough for a socket's path)."""

    socket = "kapirel-wayland"

    def __init__(self, runtime, log_dir):
        if shutil.which("weston") is None:
            raise Failure("missing weston (install: weston qt6-wayland)")
        self.runtime = runtime
        self.log = os.path.join(log_dir, "weston.log")

    def __enter__(self):
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)
        for variable in ("DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET"):
            env.pop(variable, None)
        self.process = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--socket=" + self.socket, "--no-config", "--idle-time=0",
             "--log=" + self.log],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)

        # The desktop shell (xdg-shell for the program's window) is loaded
        # after the socket is made; a client must not come before it.
        def ready():
            if self.process.poll() is not None:
                raise Failure("weston exited with %s (see %s)" % (self.process.returncode, self.log))
            try:
                with open(self.log) as log:
                    return "weston-desktop-shell" in log.read() and os.path.exists(
                        os.path.join(self.runtime, self.socket))
            except FileNotFoundError:
                return False
        wait_until(ready, 20, "weston to start")
        return self

    def kill(self):
        """The compositor dies at once, and its helper clients with it."""
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(10)

    def __exit__(self, *exc):
        proc.end(self.process, lambda: os.killpg(self.process.pid, signal.SIGTERM))
        return False


def fail(message):
    print("xsession: FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def wait_quiet(pid, deadline):
    """Waits until the process used no CPU for a few consecutive samples."""
    quiet = 0
    last = proc.cpu_ticks(pid)
    while time.monotonic() < deadline and quiet < 4:
        time.sleep(0.1)
        now = proc.cpu_ticks(pid)
        quiet = quiet + 1 if now == last else 0
        last = now


def start(state_path):
    missing = [tool for tool in REQUIRED_TOOLS if shutil.which(tool) is None]
    if missing:
        fail("missing tools: %s (install: xvfb openbox xdotool wmctrl x11-utils imagemagick)"
             % " ".join(missing))
    if os.path.exists(state_path):
        stop(state_path, quiet=True)
    work = os.path.dirname(os.path.abspath(state_path))
    os.makedirs(work, exist_ok=True)

    read_end, write_end = os.pipe()
    with open(os.path.join(work, "xvfb.log"), "wb") as log:
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-dpi", "96",
             "-nolisten", "tcp", "-noreset"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(write_end,),
            start_new_session=True)
    os.close(write_end)
    # Xvfb writes its display's number there once it listens; if it dies first, the pipe just ends.
    with os.fdopen(read_end, "rb") as displayfd:
        number = displayfd.readline()
    if not number.strip().isdigit():
        xvfb.kill()
        fail("Xvfb did not report its display (see %s/xvfb.log)" % work)
    display = ":" + number.strip().decode()

    env = dict(os.environ, DISPLAY=display)
    with open(os.path.join(work, "openbox.log"), "wb") as log:
        wm = subprocess.Popen(["openbox"], env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                              start_new_session=True)
    state = {"display": display, "xvfb_pid": xvfb.pid, "wm_pid": wm.pid}
    with open(state_path, "w") as out:
        json.dump(state, out)

    def managing():
        if wm.poll() is not None:
            raise Failure("openbox exited with %s (see %s/openbox.log)" % (wm.returncode, work))
        probe = subprocess.run(["wmctrl", "-m"], env=env, capture_output=True, text=True)
        return probe.returncode == 0 and "openbox" in probe.stdout.lower()
    try:
        wait_until(managing, 30, "openbox to manage %s" % display, interval=0.1)
    except Failure as problem:
        stop(state_path, quiet=True)
        fail(str(problem))
    wait_quiet(wm.pid, time.monotonic() + 10)
    print("xsession: %s ready (Xvfb %d, openbox %d)" % (display, xvfb.pid, wm.pid))
    return state


def display_of(state_path):
    """The display of the X session that start(state_path) wrote."""
    with open(state_path) as state:
        return json.load(state)["display"]


def owned(pid, name):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
            return name.encode() in cmdline.read().split(b"\0")[0]
    except OSError:
        return False


def stop(state_path, quiet=False):
    try:
        with open(state_path) as state_file:
            state = json.load(state_file)
    except (OSError, ValueError):
        if not quiet:
            print("xsession: nothing to stop")
        return
    for key, name in (("wm_pid", "openbox"), ("xvfb_pid", "Xvfb")):
        pid = state.get(key)
        if pid and owned(pid, name):
            os.kill(pid, signal.SIGTERM)
            for _ in range(50):
                if not owned(pid, name):
                    break
                time.sleep(0.05)
            else:
                os.kill(pid, signal.SIGKILL)
    os.remove(state_path)
    if not quiet:
        print("xsession: stopped %s" % state.get("display"))


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        return 2
    {"start": start, "stop": stop}[sys.argv[1]](sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
