"""The test's X session manager (xsmp-manager) as the desktop's logout.

    with XsmpManager(path, log_dir, socket_dir) as manager:
        env = manager.client_env(scratch_dir)   # for the program
        mark = manager.mark()
        manager.send("logout")                  # or "cancel", "die"
        manager.wait("save-yourself-done 1", since=mark)
"""

import os
import subprocess
import threading

from kapirel_e2e.interface import Failure, wait_until


class XsmpManager:
    def __init__(self, path, log_dir, socket_dir):
        if not path or not os.access(path, os.X_OK):
            raise Failure("not executable: xsmp-manager %s" % path)
        self.path = path
        # Its socket goes into a short directory of the scenario's own, not
        # into /tmp/.ICE-unix under the manager's PID.
        self.socket = os.path.join(socket_dir, "ice")
        self.log = os.path.join(log_dir, "xsmp-manager.log")
        self.lines = []
        self.process = None
        self.address = None

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
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        return False
