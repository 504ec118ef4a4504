"""A Wayland compositor for one scenario: weston with its headless backend.

    with Weston(runtime_dir, log_dir) as weston:
        tools.on(wayland=weston.socket) ...
        weston.kill()      # the compositor dies (SIGKILL)

The socket lives in runtime_dir, which must be the XDG_RUNTIME_DIR of the
programs that connect to it (Session.runtime, short enough for a socket's
path).
"""

import os
import shutil
import signal
import subprocess

from kapirel_e2e.interface import Failure, wait_until

SOCKET = "kapirel-wayland"


class Weston:
    def __init__(self, runtime, log_dir):
        if shutil.which("weston") is None:
            raise Failure("missing weston (install: weston qt6-wayland)")
        self.runtime = runtime
        self.socket = SOCKET
        self.log = os.path.join(log_dir, "weston.log")
        self.process = None

    def __enter__(self):
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)
        for variable in ("DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET"):
            env.pop(variable, None)
        self.process = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--socket=" + SOCKET, "--no-config", "--idle-time=0",
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
                        os.path.join(self.runtime, SOCKET))
            except FileNotFoundError:
                return False
        wait_until(ready, 20, "weston to start")
        return self

    def kill(self):
        """The compositor dies at once, and its helper clients with it."""
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(10)

    def __exit__(self, *exc):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(5)
        return False
