"""A private system bus for one scenario, with stand-ins for rtkit and logind.

kapirel asks the system bus for real-time priority (rtkit) and for a lock
against idle sleep (logind).  The tests never touch the machine's own bus:
SystemBus runs this file as a program under dbus-run-session, with a
dbus-daemon of its own on a fresh socket under /tmp (a socket's path holds
at most 107 bytes).  It answers as the services asked for and records every
call as a JSON line:

    {"event": "Inhibit", "what": ..., "who": ..., "why": ..., "mode": ..., "pid": ..., "mono": ...}
    {"event": "released", "mono": ...}            the Inhibit lock's descriptor was closed everywhere
    {"event": "Get", "property": ..., "mono": ...}
    {"event": "MakeThreadRealtime", "thread": ..., "priority": ..., "pid": ..., "rttime": [soft, hard], "mono": ...}

The rtkit stand-in does what rtkit does, as the tests run as root: it
refuses a process whose RLIMIT_RTTIME exceeds RTTimeUSecMax or a priority
above MaxRealtimePriority, and sets the thread to SCHED_RR with
SCHED_RESET_ON_FORK.

Its programs come from python3-dbus, python3-gi and dbus-daemon.
"""

import json
import os
import subprocess
import sys
import time

from kapirel_e2e.checks import json_lines
from kapirel_e2e.proc import end, rttime_limit

RTKIT = "org.freedesktop.RealtimeKit1"
LOGIND = "org.freedesktop.login1"
LOGIND_MANAGER = "org.freedesktop.login1.Manager"

# Debian's Python, whose modules python3-dbus and python3-gi are, whatever
# Python runs the scenarios.
STAND_IN_PYTHON = "/usr/bin/python3"

# Anything goes on it, but no service is started on demand.
CONFIG = """<busconfig>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default"><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy>
</busconfig>
"""


class SystemBus:
    """The bus and the stand-ins of `services` ("rtkit", "logind"),
    recording into DIR/system-bus.jsonl; env() gives kapirel its
    DBUS_SYSTEM_BUS_ADDRESS."""

    def __init__(self, directory, services=("rtkit", "logind"), max_priority=5, rttime_max=100000):
        self.record = os.path.join(directory, "system-bus.jsonl")
        self.output = os.path.join(directory, "system-bus.out")
        self.config = os.path.join(directory, "system-bus.conf")
        self.argv = [self.record, str(max_priority), str(rttime_max), *services]

    def __enter__(self):
        with open(self.config, "w") as out:
            out.write(CONFIG)
        open(self.record, "w").close()
        with open(self.output, "wb") as log:
            self.process = subprocess.Popen(["dbus-run-session", "--config-file=" + self.config, "--", STAND_IN_PYTHON,
                                             "-B", os.path.abspath(__file__), *self.argv],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                            start_new_session=True)
        ready = self.process.stdout.readline().split()
        if ready[:1] != [b"ready"]:
            self.__exit__()
            raise RuntimeError("the private system bus did not start; see %s" % self.output)
        self.address = ready[1].decode()
        return self

    def __exit__(self, *exc):
        # The stand-ins end at the end of their input, and dbus-run-session with its dbus-daemon after them.
        end(self.process, self.process.stdin.close)
        self.process.stdout.close()
        return False

    def env(self):
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address}

    def calls(self, event=None):
        return [c for c in json_lines(self.record) if event in (None, c["event"])]


# --- the stand-ins, run as a program on the private bus -------------------------

def serve(record_path, max_priority, rttime_max, services):
    import dbus
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()  # the one of dbus-run-session
    record = open(record_path, "a")

    def note(event, **fields):
        record.write(json.dumps(dict(event=event, mono=time.monotonic(), **fields)) + "\n")
        record.flush()

    def caller_pid(sender):
        return int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "GetConnectionUnixProcessID", "s", [sender]))

    class Rtkit(dbus.service.Object):
        @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            note("Get", property=name)
            values = {"MaxRealtimePriority": dbus.Int32(max_priority), "RTTimeUSecMax": dbus.Int64(rttime_max),
                      "MinNiceLevel": dbus.Int32(-15)}
            if interface != RTKIT or name not in values:
                raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.InvalidArgs")
            return values[name]

        @dbus.service.method(RTKIT, in_signature="tu", out_signature="", sender_keyword="sender")
        def MakeThreadRealtime(self, thread, priority, sender=None):
            pid = caller_pid(sender)
            rttime = rttime_limit(pid)
            note("MakeThreadRealtime", thread=int(thread), priority=int(priority), pid=pid, rttime=rttime)
            if (priority > max_priority or not os.path.exists("/proc/%d/task/%d" % (pid, thread))
                    or rttime[1] is None or rttime[1] > rttime_max):
                raise dbus.exceptions.DBusException("refused", name="org.freedesktop.DBus.Error.AccessDenied")
            os.sched_setscheduler(int(thread), os.SCHED_RR | os.SCHED_RESET_ON_FORK, os.sched_param(int(priority)))

    class Logind(dbus.service.Object):
        @dbus.service.method(LOGIND_MANAGER, in_signature="ssss", out_signature="h", sender_keyword="sender")
        def Inhibit(self, what, who, why, mode, sender=None):
            note("Inhibit", what=str(what), who=str(who), why=str(why), mode=str(mode), pid=caller_pid(sender))
            # As logind: the caller gets one end, and closing it everywhere
            # shows here as the end of the pipe.
            kept, given = os.pipe()

            def released(fd, condition):
                note("released")
                os.close(fd)
                return False

            GLib.unix_fd_add_full(GLib.PRIORITY_HIGH, kept, GLib.IO_HUP | GLib.IO_ERR, released)
            handed = dbus.types.UnixFd(given)  # a duplicate
            os.close(given)
            return handed

    names = []  # held while the stand-ins serve
    for service, name, stand_in in (("rtkit", RTKIT, Rtkit), ("logind", LOGIND, Logind)):
        if service in services:
            names.append(dbus.service.BusName(name, bus))
            stand_in(bus, "/" + name.replace(".", "/"))
    loop = GLib.MainLoop()
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_HUP, lambda *_: loop.quit())
    print("ready", os.environ["DBUS_SESSION_BUS_ADDRESS"], flush=True)
    loop.run()


if __name__ == "__main__":
    serve(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:])
