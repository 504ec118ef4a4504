#!/usr/bin/env python3
"""End-to-end scenarios of the Linux program: the real kapirel, the virtual
meter, Xvfb and openbox.  The behaviours it shares with kapirel.exe are in
kapirel_e2e.behaviours; these are the Linux program's own (signals, the
device names, UUCP locks and the console, the display's loss, Wayland, X
session management, FIFOs).

    scenarios.py --kapirel BIN --meter BIN [--xsession STATE.json] [--xsmp-manager BIN] --work DIR NAME...
    scenarios.py --list

Most scenarios share the X session of STATE.json; those whose display dies,
and the Wayland ones, start a display of their own.  Each runs in DIR/NAME,
kept afterwards (meter logs, program output, screenshots).
"""

import contextlib
import functools
import os
import re
import signal
import subprocess
import sys
import time

from kapirel_e2e import runner, xsession
from kapirel_e2e.behaviours import SCENARIOS as SHARED, pulses, unwritable_log
from kapirel_e2e.harness import Session, Tools
from kapirel_e2e.interface import (LINUX, POWER_ON, check, check_count, check_end, check_one_line, check_setup,
                                   finish, unwritable_workdir, wait_until)
from kapirel_e2e.proc import cpu_ticks, rttime_limit, threads
from kapirel_e2e.systembus import SystemBus

USB0 = "/dev/ttyUSB0"
USB1 = "/dev/ttyUSB1"
ACM0 = "/dev/ttyACM0"
# Why a cdc_acm device is never a port.
CTS_BLIND = "/dev/ttyACM0 is a cdc_acm device, whose CTS cannot be read"

# kapirel's exit status after the display went away and the line was logged.
DISPLAY_LOST = 2
# The notice of a line not logged, on standard error where no window shows it.
UNWRITTEN = "MERENI NEBYLO ZAPSANO DO NAMERENO.TXT"


def lock_text(pid):
    """A UUCP lock file's content: the PID in ten ASCII digits and a newline."""
    return b"%10d\n" % pid


def gone_pid():
    """The PID of a process that has ended."""
    done = subprocess.Popen(["true"])
    done.wait()
    return done.pid


# The counting thread's name, and what its priority and idle lock look like.
COUNTING_THREAD = "kapirel-count"
DIRECT_PRIORITY = 10
RTTIME_LIMIT = 200000  # microseconds
IDLE_LOCK = {"what": "idle:sleep", "who": "Orvik KAPIREL", "why": "counting water meter pulses", "mode": "block"}
# Neither root's capabilities nor an RLIMIT_RTPRIO: what an ordinary user has.
# The meter's LD_PRELOAD passes through both to kapirel.
UNPRIVILEGED = ["prlimit", "--rtprio=0", "--", "setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"]


def counting_thread(run):
    named = [tid for tid, (name, _, _) in threads(run.kapirel_pid()).items() if name == COUNTING_THREAD]
    check(len(named) == 1, "%d threads named %s: %s" % (len(named), COUNTING_THREAD, threads(run.kapirel_pid())))
    return named[0]


def real_time_threads(run):
    return {tid: value for tid, value in threads(run.kapirel_pid()).items()
            if value[1] in (os.SCHED_FIFO, os.SCHED_RR)}


def check_counting_at_real_time(run, priority):
    """The counting thread, and no other, runs at SCHED_RR with SCHED_RESET_ON_FORK at `priority`."""
    tid = counting_thread(run)
    real_time = real_time_threads(run)
    check(list(real_time) == [tid], "real-time threads %s; the counting thread is %d" % (real_time, tid))
    check(real_time[tid][1:] == (os.SCHED_RR, priority), "the counting thread runs at %s, expected SCHED_RR %d"
          % (real_time[tid][1:], priority))
    check(os.sched_getscheduler(tid) & os.SCHED_RESET_ON_FORK, "the counting thread lacks SCHED_RESET_ON_FORK")


# --- scenarios ----------------------------------------------------------------

def port_removed(s):
    """The adapter is pulled mid-run: no crash, nothing more counted, the loss said once on stderr, one line.
    Ends by SIGINT."""
    run = s.start(com2=pulses("inf", extra=",remove=1100"))
    run.main_window()
    conn = run.wait_polling("COM2")
    origin = run.trigger(1)
    removed_at = origin["remove_t"]
    wait_until(lambda: any(c["errno"] == 5 and c["t"] > removed_at + 1.0 for c in conn.calls()), 20,
               "a second of failing polls after the removal")
    check_count(conn, 4)  # rising edges at 200, 450, 700 and 950 ms; removed at 1100 ms
    check(run.running(), "the program ended after the removal")
    finish(run, functools.partial(run.signal_kapirel, signal.SIGINT), 4)
    tail = [(c["req"], c["value"], c["error"]) for c in conn.calls()[-3:]]
    check(tail == [("TIOCMBIC", 2, "EIO"), ("TIOCMBIC", 4, "EIO"), ("TIOCCBRK", None, "EIO")],
          "end on the removed port: %s" % tail)
    run.check_reasons(["kapirel: COM2 (/dev/ttyS1): lost (TIOCMGET: Input/output error)"])


def counting_thread_real_time(s):
    """As root: the counting thread, and only it, at SCHED_RR, asked for directly (not from rtkit), with
    RLIMIT_RTTIME as a watchdog; logind's idle lock taken once before the first poll, and let go at the end, while
    the notice of a failed log (NAMERENO.TXT is a directory) still waits after SIGTERM, not only at exit."""
    with SystemBus(s.dir) as bus:
        run = s.start(com2=pulses(2), cwd=unwritable_workdir(s), env=bus.env())
        run.main_window()
        conn = run.count_pulses("COM2", 2)
        check_counting_at_real_time(run, DIRECT_PRIORITY)
        rttime = rttime_limit(run.kapirel_pid())
        check(rttime == [RTTIME_LIMIT, RTTIME_LIMIT], "RLIMIT_RTTIME %s" % rttime)
        check(bus.calls("Get") == [] and bus.calls("MakeThreadRealtime") == [], "rtkit was asked: %s" % bus.calls())
        inhibits = bus.calls("Inhibit")
        check([{key: call[key] for key in IDLE_LOCK} for call in inhibits] == [IDLE_LOCK],
              "logind's Inhibit calls: %s" % inhibits)
        check(inhibits[0]["pid"] == run.kapirel_pid(), "Inhibit came from PID %d" % inhibits[0]["pid"])
        check(inhibits[0]["mono"] < conn.reads()[1].mono, "the idle lock was taken after the first poll")
        check(bus.calls("released") == [], "the idle lock was let go while counting")
        run.signal_kapirel(signal.SIGTERM)
        notice = run.wait_notice()
        released = wait_until(lambda: bus.calls("released"), 5, "the idle lock to be let go")
        check(run.running() and run.notices(), "the idle lock was let go only at exit")
        check_end(conn)
        check(len(released) == 1 and released[0]["mono"] > conn.steps()[-1].mono,
              "the idle lock was let go before the end: %s" % released)
        finish(run, lambda: run.press(notice, "Return"), None, status=1)
        run.check_reasons([])


def real_time_from_rtkit(s):
    """Without root's capabilities and with RLIMIT_RTPRIO 0, rtkit grants the priority: MakeThreadRealtime for the
    counting thread at no more than its MaxRealtimePriority, after RLIMIT_RTTIME was lowered to its RTTimeUSecMax."""
    with SystemBus(s.dir, max_priority=5, rttime_max=100000) as bus:
        run = s.start(com2=pulses(2), env=bus.env(), wrap=UNPRIVILEGED)
        run.main_window()
        run.count_pulses("COM2", 2)
        calls = bus.calls("MakeThreadRealtime")
        check([(c["thread"], c["priority"], c["pid"]) for c in calls] == [(counting_thread(run), 5, run.kapirel_pid())],
              "MakeThreadRealtime calls %s; the counting thread is %d" % (calls, counting_thread(run)))
        check(calls[0]["rttime"] == [100000, 100000], "RLIMIT_RTTIME at rtkit's call: %s" % calls[0]["rttime"])
        check_counting_at_real_time(run, 5)
        finish(run, "Command1", 2)
        run.check_reasons([])


def normal_priority_without_rtkit(s):
    """Neither root's capabilities nor rtkit nor logind: one line on stderr for each, and the counting goes on."""
    with SystemBus(s.dir, services=()) as bus:
        run = s.start(com2=pulses(3), env=bus.env(), wrap=UNPRIVILEGED)
        run.main_window()
        run.count_pulses("COM2", 3)
        check(real_time_threads(run) == {}, "real-time threads: %s" % real_time_threads(run))
        counting_thread(run)
        finish(run, "Command1", 3)
        reasons = run.reasons()
        check(len(reasons) == 2
              and re.fullmatch(r"kapirel: counting at normal priority \(SCHED_RR: Operation not permitted; "
                               r"rtkit: .*org\.freedesktop\.RealtimeKit1.*\)", reasons[0])
              and re.fullmatch(r"kapirel: idle sleep not held off \(logind: .*org\.freedesktop\.login1.*\)",
                               reasons[1]), "stderr lines %s" % reasons)


def second_instance(s):
    """A second kapirel while the first holds "COM2": it cannot take it and falls back to "COM1"."""
    first = s.start(com1="present", com2=pulses(3))
    c2 = first.connection("COM2")
    first.main_window()
    first.wait_polling("COM2")
    second = s.join(first, cwd=s.workdir("second"))
    c1 = first.connection("COM1")  # the second one's, in the testbed's one record
    check_setup(c1)
    second.main_window()
    check(second.notices() == [], "the second instance showed a notice")
    # The first one's UUCP lock turned the second away before it opened the port.
    check(first.conns("COM2") == [c2.id], "the second instance opened the held COM2: %s" % first.conns("COM2"))
    second.check_reasons(["kapirel: COM2 (/dev/ttyS1): locked by PID %d" % first.kapirel_pid()])
    check(first.lock_file("ttyS1") == lock_text(first.kapirel_pid()), "COM2's lock: %r" % first.lock_file("ttyS1"))
    first.trigger(1)
    first.wait_wave_polled(c2)
    check_count(c2, 3)
    check_count(c1, 0)
    finish(second, functools.partial(second.signal_meter, signal.SIGTERM), 0, c1)
    finish(first, functools.partial(first.signal_meter, signal.SIGTERM), 3, c2)


def adapters_by_socket(s):
    """Two adapters: the one in the lower socket is COM1 whatever its name, so COM2 is ttyUSB0 here."""
    run = s.start(com1="absent", com2="absent",
                  machine=["--usb0", pulses(2) + ",socket=2", "--usb1", "present,socket=1"])
    c2 = run.connection(USB0)
    check_setup(c2)
    window = run.main_window()
    run.count_pulses(USB0, 2)
    run.click(window, "Option1")
    c1 = run.connection(USB1)
    check_setup(c1)
    wait_until(c2.closed, 5, "ttyUSB0 to close after the switch to COM1")
    run.wait_polling(USB1)
    finish(run, "Command1", 2, c1)
    run.check_reasons([])


def cts_already_on(run):
    first_read = run.wait_polling("COM2").reads()[0]
    check(first_read.lines["cts"] == 1, "CTS was not on when the program started: %s" % first_read.call)


def counts_on(s, port, count, end="Command1", com1="present", com2="absent", machine=(), alone=False, own_lock=None,
              unopened=(), locks_left=None, reasons=(), more=lambda run: None):
    """The start-up on a described machine (machine: more meter options, or a
    callable that gives them) counts on port, whose device lock is own_lock;
    count pulses there, then the end (as finish's, or a signal to the meter,
    which forwards it: that shows in its record), one line.  Nothing opened of unopened
    ("others": any other device), locks_left in /run/lock at the end, the
    stderr lines reasons; more(run): the row's own checks once the window shows."""
    run = s.start(com1=com1, com2=com2, machine=machine() if callable(machine) else machine)
    run.main_window()
    conn = run.connection(port)  # the first open that set the lines: the start-up's try of a port sets none
    check_setup(conn)
    if alone:
        run.check_window(alone=True)
    if own_lock:
        check(run.lock_file(own_lock) == lock_text(run.kapirel_pid()), "the lock: %r" % run.lock_file(own_lock))
    more(run)
    run.count_pulses(port, count)
    finish(run, functools.partial(run.signal_meter, end) if isinstance(end, int) else end, count, conn)
    if isinstance(end, int):
        check(any(e["event"] == "signal" and e["signal"] == end for e in run.events()),
              "the meter did not forward signal %d" % end)
    for other in unopened:
        if other == "others":
            check(not [e for e in run.events() if e["event"] == "open" and e["dev"] != port], "another port opened")
        else:
            check(run.opens(other) == 0, "%s was opened: %s" % (other, run.conns(other)))
    if locks_left is not None:
        check(run.lock_files_left() == locks_left, "lock files left: %s" % run.lock_files_left())
    run.check_reasons(list(reasons))


def without_port(s, com1, machine, reasons, meanwhile=0.0):
    """Neither port counts on a described machine: both notices, nothing opened (no open or call on any device),
    count 0 logged; stderr names each port and why."""
    run = s.start(com1=com1, com2="absent", machine=machine)
    run.answer_notices(2)
    run.main_window()
    time.sleep(meanwhile)
    finish(run, "Command1", 0)
    check(not [e for e in run.events() if e["event"] in ("open", "ioctl")], "a port was opened")
    run.check_reasons(reasons)


CONSOLE = "kapirel: COM1 (/dev/ttyS0): is the system console"
# The scenarios that differ only in the machine and the end: e2e.<name>, the scenario and its data.
MACHINES = {
    # CTS already on at start: only an off-to-on change counts.  Ends by SIGHUP.
    "cts_on_at_start": functools.partial(
        counts_on, port="COM2", count=2, end=signal.SIGHUP,
        com2="present,idle=1,steps=300:0;550:1;800:0;1050:1,origin=usr1", more=cts_already_on),
    # SIGTERM: one line, lines off, the lock gone.
    "end_by_sigterm": functools.partial(counts_on, port="COM2", count=3, end=signal.SIGTERM, com2=pulses(3),
                                        locks_left={}),
    # A PC whose only serial port is a USB adapter: it is "COM1", found and counted with no set-up.
    "usb_adapter_counted": functools.partial(
        counts_on, port=USB0, count=3, com1="absent", machine=["--usb0", pulses(3)], alone=True, own_lock="ttyUSB0",
        unopened=["others"], locks_left={}, reasons=["kapirel: COM2: no such port (COM1 is /dev/ttyUSB0)"]),
    # /dev/COM2, an administrator's alias of a cdc_acm device, keeps its number but is refused before any open, as
    # it would count nothing: the start-up counts on "COM1", the USB adapter, without a notice; stderr says why.
    "alias_to_acm_refused": functools.partial(
        counts_on, port=USB1, count=2, com1="absent",
        machine=["--usb0", "present,acm", "--usb1", pulses(2), "--alias", "COM2=ttyACM0"], alone=True,
        unopened=[ACM0],
        reasons=["kapirel: COM2 (/dev/COM2 -> /dev/ttyACM0): is a cdc_acm device, whose CTS cannot be read"]),
    # /dev/COM2, an administrator's alias of the second adapter, wins over the rule (which makes COM2 the first).
    # The lock carries the device's own name, which other programs know it by.
    "alias_overrides_rule": functools.partial(
        counts_on, port=USB1, count=2, machine=["--usb0", "present", "--usb1", pulses(2), "--alias", "COM2=ttyUSB1"],
        own_lock="ttyUSB1", unopened=[USB0, "COM1"], locks_left={},
        more=lambda run: check(run.lock_file("COM2") is None, "a lock by the alias's name")),
    # Another program's live UUCP lock on COM2: COM2 is not opened at all, counting falls back to COM1, and the
    # other program's lock stays as it was.  os.getpid(): a process that outlives the run.
    "live_lock_falls_back": functools.partial(
        counts_on, port="COM1", count=3, end=signal.SIGTERM, com1=pulses(3), com2="present",
        machine=["--lock", "ttyS1=%d" % os.getpid()], alone=True, unopened=["COM2"],
        locks_left={"LCK..ttyS1": lock_text(os.getpid())},
        reasons=["kapirel: COM2 (/dev/ttyS1): locked by PID %d" % os.getpid()]),
    # A lock whose process is gone does not keep COM2: kapirel's own lock replaces it and goes at the end.
    "stale_lock_replaced": functools.partial(
        counts_on, port="COM2", count=2, end="close", com2=pulses(2),
        machine=lambda: ["--lock", "ttyS1=%d" % gone_pid()], own_lock="ttyS1", locks_left={}),
    # The PC's only serial device is a cdc_acm one, whose CTS Linux always shows on: it is neither "COM1" nor "COM2".
    "acm_device_left_out": functools.partial(
        without_port, com1="absent", machine=["--usb0", "present,acm"],
        reasons=["kapirel: COM%d: no such port (%s)" % (port, CTS_BLIND) for port in (2, 1, 1)]),
    # COM1 is the system console (as on this machine): never opened, though it pulses meanwhile.
    "console_skipped": functools.partial(
        without_port, com1=pulses(4, origin="start"), machine=["--console", "tty0,ttyS0"], meanwhile=1.0,
        reasons=["kapirel: COM2: no such port (COM1 is /dev/ttyS0)", CONSOLE, CONSOLE]),
}


def x_server_grabbed(s):
    """Another client holds the X server for 1.2 s mid-count at 5 Hz: all 15 pulses are counted all the same."""
    run = s.start(com2="present,hz=5,duty=50,pulses=15,delay=200,origin=usr1")
    window = run.main_window()
    conn = run.wait_polling("COM2")
    run.trigger(1)
    time.sleep(1.0)
    with xsession.ServerGrab(s.tools.display, 1.2):
        pass
    run.wait_wave_polled(conn)
    check_count(conn, 15)
    run.screenshot(window, os.path.join(s.dir, "after-the-grab.png"))
    finish(run, "Command1", 15)


def sigterm_while_x_server_grabbed(s, log_fails=False):
    """SIGTERM while another client holds the X server for 6 s: within 1 s the line is logged, the lines are off,
    the port and its lock are released; the program is gone 2 s after the signal, with the grab still held."""
    run = s.start(com2=pulses("inf"), cwd=unwritable_workdir(s) if log_fails else s.workdir())
    run.main_window()
    conn = run.wait_polling("COM2")
    run.trigger(1)
    wait_until(lambda: conn.edges() >= 3, 20, "three pulses polled")
    with xsession.ServerGrab(s.tools.display, 6) as grab:
        time.sleep(0.5)  # a repaint of the count meanwhile waits on the server
        run.signal_kapirel(signal.SIGTERM)
        signalled = time.monotonic()
        wait_until(lambda: conn.closed() and os.path.exists(os.path.join(run.cwd, "NAMERENO.TXT")), 1.0,
                   "the line and the port's release within 1 s of SIGTERM")
        check_end(conn)
        check(run.lock_file("ttyS1") is None, "the port's lock outlived the end: %r" % run.lock_file("ttyS1"))
        status = run.wait_exit(timeout=5)
        gone = time.monotonic() - signalled
        check(grab.released_at is None, "the grab ended before the program did")
        grab.release()
    check(gone <= 2.5, "the program ended %.1f s after SIGTERM" % gone)
    if log_fails:
        check(status == 1, "exit status %s, expected 1" % status)
        check(UNWRITTEN in run.output_text(), "no notice on standard error")
        return
    check(status == 0, "exit status %s" % status)
    check_one_line(run, conn.edges(), time.time())


def cpu_share(pid, seconds=2.0):
    """The share of one core that the process used over the next seconds."""
    before, began = cpu_ticks(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_ticks(pid) - before) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - began)


def sigterm_at_log_notice(s):
    """SIGTERM while NAMERENO.TXT cannot be written: the program sleeps between polls and after the end, the
    notice stays open past the 2 s deadline as long as the operator takes, and its OK ends with status 1."""
    run = s.start(com2=pulses(2), cwd=unwritable_workdir(s))
    run.main_window()
    conn = run.count_pulses("COM2", 2)
    pid = run.kapirel_pid()
    counting = cpu_share(pid)
    check(counting < 0.10, "%.0f %% of a core while counting" % (counting * 100))
    run.signal_kapirel(signal.SIGTERM)
    signalled = time.monotonic()
    notice = run.wait_notice()
    check_end(conn)
    time.sleep(max(0.0, signalled + 1 - time.monotonic()))
    ended = cpu_share(pid)  # from 1 s to 3 s after the signal, across the deadline
    check(ended < 0.05, "%.0f %% of a core while the end's notice waits" % (ended * 100))
    check(run.running(), "the program ended %.1f s after SIGTERM, its notice still open"
          % (time.monotonic() - signalled))
    finish(run, lambda: run.press(notice, "Return"), None, status=1)


def count_until_display_dies(run, kill, status_expected=DISPLAY_LOST):
    """Counts endless pulses on "COM2", kills the display mid-count, and
    checks the end that follows: status DISPLAY_LOST, lines off after the
    kill, the line with every pulse the polls saw (or, where the log fails,
    status 1 and the notice with the line on standard error)."""
    conn = run.wait_polling("COM2")
    run.trigger(1)
    wait_until(lambda: conn.edges() >= 3, 20, "three pulses polled")
    killed = time.monotonic()
    kill()
    status = run.wait_exit(timeout=10)
    said = [line for line in run.output_text(whole=True).splitlines() if not line.startswith("[")]
    check(status == status_expected, "exit status %s, expected %d; output: %s" % (status, status_expected, said[-5:]))
    check_end(conn)
    check(conn.steps()[-3].mono > killed, "the lines went off before the display died")
    counted = conn.edges()
    check(counted >= 3, "only %d pulses polled" % counted)
    if status_expected == 1:
        check(UNWRITTEN in said and re.search(r"pocet pulsu = %d$" % counted, "\n".join(said), re.M),
              "no notice with the line on standard error: %s" % said[-5:])
    else:
        check_one_line(run, counted, time.time())
    check(run.lock_files_left() == {}, "the port's lock outlived the display: %s" % run.lock_files_left())


@contextlib.contextmanager
def private_x_server(s):
    """An Xvfb with openbox for this scenario alone (the shared one must
    survive it); the session's programs run there.  Yields the Xvfb's pid."""
    state = os.path.join(s.dir, "xsession.json")
    private = xsession.start(state)
    try:
        s.tools = s.tools.on(display=private["display"])
        yield private["xvfb_pid"]
    finally:
        xsession.stop(state, quiet=True)


def x_server_killed(s, log_fails=False):
    """The X server dies mid-count: the end runs once without the window, status 2; with log_fails, where
    NAMERENO.TXT cannot be written, the notice goes to standard error, status 1."""
    with private_x_server(s) as xvfb:
        run = s.start(com2=pulses("inf"), cwd=unwritable_workdir(s) if log_fails else s.workdir())
        run.main_window()
        count_until_display_dies(run, lambda: os.kill(xvfb, signal.SIGKILL), 1 if log_fails else DISPLAY_LOST)


def x_server_killed_at_log_notice(s):
    """The log failed and its notice waits when the X server dies: the notice's text, with the line, goes to
    standard error, status 1.  Qt's warnings are silenced by the logging rules, as a user may have them."""
    with private_x_server(s) as xvfb:
        run = s.start(com2=pulses(2), cwd=unwritable_workdir(s), env={"QT_LOGGING_RULES": "*.warning=false"})
        window = run.main_window()
        conn = run.count_pulses("COM2", 2)
        run.click(window, "Command1")
        run.wait_notice()
        check_end(conn)
        calls = len(conn.calls())
        os.kill(xvfb, signal.SIGKILL)
        check(run.wait_exit(timeout=10) == 1, "exit status %s, expected 1" % run.exit_status)
        said = run.output_text()
        check("X11 connection broke" not in said, "the silenced warning was shown: %r" % said)
        check(UNWRITTEN in said, "no notice on standard error: %r" % said)
        check(re.search(r"^ konec nacitani : \d\d:\d\d:\d\d  pocet pulsu = 2$", said, re.M),
              "the line is not on standard error: %r" % said)
        check(len(conn.calls()) == calls, "the port was used again after the end")


@contextlib.contextmanager
def on_weston(s, com2):
    """kapirel on a weston of this scenario's own; yields (the run, weston)."""
    with xsession.Weston(s.runtime, s.dir) as weston:
        s.tools = s.tools.on(wayland=weston.socket)
        yield s.start(com2=com2, env={"WAYLAND_DEBUG": "client"}), weston


def wayland_startup_count(s):
    """Under Wayland (weston, headless): start-up on "COM2", pulses counted, end by SIGTERM."""
    with on_weston(s, pulses(4)) as (run, _):
        conn = run.connection("COM2")
        check_setup(conn)
        run.wait_wayland_window()
        run.count_pulses("COM2", 4)
        finish(run, functools.partial(run.signal_meter, signal.SIGTERM), 4, conn)
        run.check_requests()


def wayland_compositor_killed(s):
    """The Wayland compositor dies mid-count: the end runs once without the window, status 2."""
    with on_weston(s, pulses("inf")) as (run, weston):
        run.wait_wayland_window()
        count_until_display_dies(run, weston.kill)


def fifo_log_with_reader(s):
    """NAMERENO.TXT is a FIFO with a reader: the reader gets the line, status 0."""
    workdir = s.workdir()
    fifo = os.path.join(workdir, "NAMERENO.TXT")
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        run = s.start(com2=pulses(3), cwd=workdir)
        run.main_window()
        finish(run, "Command1", 3, run.count_pulses("COM2", 3), data=lambda: os.read(reader, 4096))
    finally:
        os.close(reader)


def session_logout(s):
    """X session management: a cancelled logout changes nothing; one that goes through ends like a close."""
    with xsession.XsmpManager(s.tools.xsmp_manager, s.dir, s.runtime) as manager:
        run = s.start(com2=pulses("inf"), env=manager.client_env(s.dir))
        run.main_window()
        manager.wait("registered")
        conn = run.wait_polling("COM2")
        run.trigger(1)
        wait_until(lambda: conn.edges() >= 2, 20, "two pulses polled")

        mark = manager.mark()
        manager.send("logout")
        manager.wait("save-yourself-done 1", since=mark)
        check(manager.seen("property RestartStyleHint 3", since=mark),
              "kapirel did not ask never to be restarted by the session: %s" % manager.lines[mark:])
        manager.send("cancel")
        edges = conn.edges()
        wait_until(lambda: conn.edges() >= edges + 2, 20, "two more pulses after the cancelled logout")
        check(run.running(), "the program ended at a cancelled logout")
        switched = [step for step in conn.steps()[len(POWER_ON):] if step.kind != "read"]
        check(switched == [], "the lines were switched after the cancelled logout: %s" % switched)
        check(not os.path.exists(os.path.join(run.cwd, "NAMERENO.TXT")), "a line was logged at a cancelled logout")

        mark = manager.mark()
        manager.send("logout")
        manager.wait("save-yourself-done 1", since=mark)
        finish(run, lambda: manager.send("die"), conn.edges, conn)


# The Linux program's own, beside the behaviours both programs share.
SCENARIOS = dict(SHARED[LINUX], **{f.__name__: f for f in (
    port_removed, second_instance, adapters_by_socket, x_server_grabbed, sigterm_while_x_server_grabbed,
    sigterm_at_log_notice, x_server_killed, x_server_killed_at_log_notice, wayland_startup_count,
    wayland_compositor_killed, fifo_log_with_reader, session_logout, counting_thread_real_time, real_time_from_rtkit,
    normal_priority_without_rtkit)}, **MACHINES,
    fifo_log_without_reader=functools.partial(unwritable_log, make=os.mkfifo),
    # The same with NAMERENO.TXT unwritable: the notice's text goes to standard error at once, status 1.
    sigterm_while_x_server_grabbed_log_fails=functools.partial(sigterm_while_x_server_grabbed, log_fails=True),
    x_server_killed_log_fails=functools.partial(x_server_killed, log_fails=True))


def main():
    options = runner.parser()
    for option in ("--kapirel", "--meter", "--xsession", "--xsmp-manager", "--work"):
        options.add_argument(option)
    args = options.parse_args()
    status = runner.chosen(SCENARIOS, args)
    if status is not None:
        return status
    for path in (args.kapirel, args.meter):
        if not path or not os.access(path, os.X_OK):
            print("FAIL: not executable: %s" % path, file=sys.stderr)
            return 1
    try:
        display = xsession.display_of(args.xsession) if args.xsession else None
    except (OSError, ValueError, KeyError, TypeError) as problem:
        print("FAIL: no X session (%s); the e2e.xsession.start fixture starts it" % problem, file=sys.stderr)
        return 1
    tools = Tools(os.path.abspath(args.kapirel), os.path.abspath(args.meter), display,
                  xsmp_manager=args.xsmp_manager and os.path.abspath(args.xsmp_manager))
    work = os.path.abspath(args.work)
    return runner.run(SCENARIOS, args.names, work, lambda name: Session(tools, work, name))


if __name__ == "__main__":
    sys.exit(main())
