#!/usr/bin/env python3
"""End-to-end scenarios: the real kapirel, the virtual meter, Xvfb and openbox.

    scenarios.py --kapirel BIN --meter BIN [--xsession STATE.json] [--xsmp-manager BIN] --work DIR NAME...
    scenarios.py --list

Most scenarios share the X session of STATE.json; those whose display dies,
and the Wayland ones, start a display of their own.

Each scenario runs in DIR/NAME (kept afterwards: meter logs, program output,
screenshots).  Prints PASS/FAIL per scenario and "N passed, N failed" last.
"""

import contextlib
import json
import os
import re
import signal
import subprocess
import stat
import sys
import time

from kapirel_e2e import xsession

from kapirel_e2e import runner
from kapirel_e2e.harness import (COMMAND1, MAIN_TITLE, NOTICE_TITLE, OPTION1, OPTION2, Failure, Session, Tools, check,
                     check_count, check_end, check_one_line, check_only_modem_requests, check_setup, wait_until)
from kapirel_e2e.wayland import Weston
from kapirel_e2e.xsmp import XsmpManager

COM1 = "/dev/ttyS0"
COM2 = "/dev/ttyS1"
USB0 = "/dev/ttyUSB0"
USB1 = "/dev/ttyUSB1"

# kapirel's exit status after the display went away and the line was logged.
DISPLAY_LOST = 2


def pulses(count, origin="usr1", extra=""):
    """count pulses at 4 Hz (125 ms on, 125 ms off), started by the test's signal."""
    return "present,hz=4,duty=50,pulses=%s,delay=200,origin=%s%s" % (count, origin, extra)


def lock_text(pid):
    """A UUCP lock file's content: the PID in ten ASCII digits and a newline."""
    return b"%10d\n" % pid


def gone_pid():
    """The PID of a process that has ended."""
    done = subprocess.Popen(["true"])
    done.wait()
    return done.pid


def check_reasons(run, expected):
    got = run.reasons()
    check(got == expected, "stderr lines %s, expected %s" % (got, expected))


def first_conn(run, dev, index=0, timeout=20):
    return wait_until(lambda: (lambda c: c[index] if len(c) > index else None)(run.conns(dev)), timeout,
                      "open number %d of %s" % (index + 1, dev))


def count_pulses(run, conn, dev, count, which=1):
    run.wait_polling(conn)
    run.trigger(which)
    run.wait_wave_polled(conn, dev)
    check_count(run, conn, count)


# --- scenarios ----------------------------------------------------------------

def startup_com2_count(s):
    """Start-up on "COM2": line settings, N pulses counted, end by the button, exact line."""
    run = s.start(com1="present", com2=pulses(5))
    conn = first_conn(run, COM2)
    check_setup(run, conn)
    window = run.main_window()
    run.wait_polling(conn)
    run.trigger(1)
    wait_until(lambda: run.edges_polled(conn) >= 3, 20, "three pulses polled")
    run.screenshot(window, os.path.join(s.dir, "window-counting.png"))
    run.wait_wave_polled(conn, COM2)
    check_count(run, conn, 5)
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    ended = time.time()
    check_end(run, conn)
    check_one_line(run, 5, ended)
    check(run.conns(COM1) == [], "COM1 was opened: %s" % run.conns(COM1))
    check(run.conns(COM2) == [conn], "COM2 opened more than once: %s" % run.conns(COM2))
    check_only_modem_requests(run)


def cts_on_at_start(s):
    """CTS already on at start: only an off-to-on change counts.  Ends by SIGHUP."""
    run = s.start(com2="present,idle=1,steps=300:0;550:1;800:0;1050:1,origin=usr1")
    conn = first_conn(run, COM2)
    check_setup(run, conn)
    run.main_window()
    run.wait_polling(conn)
    first_read = [c for c in run.ioctls(conn)[5:] if c["req"] == "TIOCMGET"][0]
    check(first_read["lines"]["cts"] == 1, "CTS was not on when the program started: %s" % first_read)
    run.trigger(1)
    run.wait_wave_polled(conn, COM2)
    check_count(run, conn, 2)
    run.signal_kapirel(signal.SIGHUP)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, conn)
    check_one_line(run, 2, time.time())


def com2_absent_uses_com1(s):
    """No "COM2": counting runs on "COM1" (opened, then switched to).  Ends by a window-manager close."""
    run = s.start(com1=pulses(4), com2="absent")
    window = run.main_window()
    conn = first_conn(run, COM1, index=1)
    startup = first_conn(run, COM1, index=0)
    early = [c["req"] for c in run.ioctls(startup)]
    check(early == ["TIOCMGET", "TIOCEXCL"], "the start-up's own COM1 open did %s" % early)
    check(run.closed(startup), "the start-up's COM1 connection stayed open")
    check_setup(run, conn)
    check(run.windows(NOTICE_TITLE) == [], "a notice appeared")
    count_pulses(run, conn, COM1, 4)
    check(run.conns(COM2) == [], "the absent COM2 got a connection")
    run.close_by_wm(window)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, conn)
    check_one_line(run, 4, time.time())
    check_only_modem_requests(run)


def both_absent_notices(s):
    """Neither port: "COM1 OBSAZEN" then "COM NENALEZEN", dismissed by keys; count 0 logged."""
    run = s.start(com1="absent", com2="absent")
    first = run.wait_window(NOTICE_TITLE)
    check(run.windows(MAIN_TITLE) == [], "the main window showed before the start-up notices")
    first_size = run.geometry(first)[2:]
    run.screenshot(first, os.path.join(s.dir, "notice-1.png"))
    run.press(first, "Return")
    second = run.wait_window(NOTICE_TITLE, exclude=(first,))
    check(first not in run.windows(NOTICE_TITLE), "the first notice is still shown")
    second_size = run.geometry(second)[2:]
    run.screenshot(second, os.path.join(s.dir, "notice-2.png"))
    # "COM NENALEZEN" is the longer text: its box is the wider one.
    check(second_size[0] > first_size[0], "notice sizes %s then %s: not the two different texts in order"
          % (first_size, second_size))
    run.press(second, "space")
    window = run.main_window()
    wait_until(lambda: not run.windows(NOTICE_TITLE), 10, "the second notice to go")
    time.sleep(0.3)
    check(run.windows(NOTICE_TITLE) == [], "a third notice appeared")
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_one_line(run, 0, time.time())
    check(not [e for e in run.events() if e["event"] in ("open", "ioctl")], "an absent port was opened")


def end_by_wm_close(s):
    """The window manager closes the window: one line, lines off."""
    run = s.start(com2=pulses(2))
    conn = first_conn(run, COM2)
    window = run.main_window()
    count_pulses(run, conn, COM2, 2)
    run.close_by_wm(window)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, conn)
    check_one_line(run, 2, time.time())


def end_by_sigterm(s):
    """SIGTERM (to the meter, which forwards it): one line, lines off."""
    run = s.start(com2=pulses(3))
    conn = first_conn(run, COM2)
    run.main_window()
    count_pulses(run, conn, COM2, 3)
    run.signal_meter(signal.SIGTERM)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check(any(e["event"] == "signal" and e["signal"] == signal.SIGTERM for e in run.events()),
          "the meter did not forward SIGTERM")
    check_end(run, conn)
    check_one_line(run, 3, time.time())
    check(run.lock_files_left() == {}, "lock files left: %s" % run.lock_files_left())


def port_removed(s):
    """The adapter is pulled mid-run: no crash, nothing more counted, one line.  Ends by SIGINT."""
    run = s.start(com2=pulses("inf", extra=",remove=1100"))
    conn = first_conn(run, COM2)
    run.main_window()
    run.wait_polling(conn)
    origin = run.trigger(1)
    removed_at = origin["remove_t"]
    wait_until(lambda: any(c["errno"] == 5 and c["t"] > removed_at + 1.0 for c in run.ioctls(conn)), 20,
               "a second of failing polls after the removal")
    check_count(run, conn, 4)  # rising edges at 200, 450, 700 and 950 ms; removed at 1100 ms
    check(run.meter.poll() is None, "the program ended after the removal")
    run.signal_kapirel(signal.SIGINT)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    tail = [(c["req"], c["value"], c["error"]) for c in run.ioctls(conn)[-3:]]
    check(tail == [("TIOCMBIC", 2, "EIO"), ("TIOCMBIC", 4, "EIO"), ("TIOCCBRK", None, "EIO")],
          "end on the removed port: %s" % tail)
    check_one_line(run, 4, time.time())


def switch_ports(s):
    """Option1 then Option2: the count carries on across the ports."""
    run = s.start(com1=pulses(4, origin="usr2"), com2=pulses(3))
    c2 = first_conn(run, COM2)
    window = run.main_window()
    count_pulses(run, c2, COM2, 3)
    run.click(window, OPTION1)
    c1 = first_conn(run, COM1)
    wait_until(lambda: run.closed(c2), 5, "COM2 to close after the switch to COM1")
    check_setup(run, c1)
    count_pulses(run, c1, COM1, 4, which=2)
    run.click(window, OPTION2)
    c3 = first_conn(run, COM2, index=1)
    wait_until(lambda: run.closed(c1), 5, "COM1 to close after the switch back")
    check_setup(run, c3)
    run.wait_polling(c3)
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, c3)
    check_one_line(run, 7, time.time())
    check_only_modem_requests(run)


def switch_to_held_port(s):
    """A switch to a port another program holds: notice, nothing counted afterwards."""
    run = s.start(com1="present,held,hz=4", com2=pulses(2))
    c2 = first_conn(run, COM2)
    window = run.main_window()
    count_pulses(run, c2, COM2, 2)
    run.click(window, OPTION1)
    notice = run.wait_window(NOTICE_TITLE)
    c1 = first_conn(run, COM1)
    wait_until(lambda: run.closed(c1), 5, "the refused COM1 connection to close")
    check(run.ioctls(c1) == [], "the held COM1 was used: %s" % run.ioctls(c1))
    wait_until(lambda: run.closed(c2), 5, "COM2 to close")
    run.press(notice, "Return")
    wait_until(lambda: not run.windows(NOTICE_TITLE), 10, "the notice to go")
    calls_before = len([e for e in run.events() if e["event"] == "ioctl"])
    time.sleep(1.5)  # COM1 pulses on at 4 Hz meanwhile
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    calls_after = len([e for e in run.events() if e["event"] == "ioctl"])
    check(calls_after == calls_before, "%d port calls after the failed switch" % (calls_after - calls_before))
    check_one_line(run, 2, time.time())
    check_reasons(run, ["kapirel: COM1 (/dev/ttyS0): in use by another program (flock: Resource temporarily unavailable)"])


def unwritable_log(s):
    """NAMERENO.TXT cannot be written: lines off first, then the notice, then a failure status."""
    workdir = s.workdir()
    os.mkdir(os.path.join(workdir, "NAMERENO.TXT"))
    run = s.start(com2=pulses(1), cwd=workdir)
    conn = first_conn(run, COM2)
    window = run.main_window()
    count_pulses(run, conn, COM2, 1)
    run.click(window, COMMAND1)
    notice = run.wait_window(NOTICE_TITLE)
    seen = time.monotonic()
    run.screenshot(notice, os.path.join(s.dir, "notice-unwritten.png"))
    check_end(run, conn)
    last = run.ioctls(conn)[-1]
    check(last["mono"] < seen, "the lines went off only after the notice showed")
    check(run.meter.poll() is None and run.windows(NOTICE_TITLE), "the notice did not wait for the operator")
    run.press(notice, "Return")
    status = run.wait_exit()
    check(status != 0, "exit status 0 although nothing was logged")
    check(os.path.isdir(os.path.join(workdir, "NAMERENO.TXT")), "NAMERENO.TXT changed")


def second_instance(s):
    """A second kapirel while the first holds "COM2": it cannot take it and falls back to "COM1"."""
    first = s.start(com1="present", com2=pulses(3))
    c2 = first_conn(first, COM2)
    first.main_window()
    first.wait_polling(c2)
    second = s.join(first, cwd=s.workdir("second"))
    c1 = first_conn(first, COM1, index=1)
    check_setup(first, c1)
    second.main_window()
    check(second.windows(NOTICE_TITLE) == [], "the second instance showed a notice")
    # The first one's UUCP lock turned the second away before it opened the port.
    check(first.conns(COM2) == [c2], "the second instance opened the held COM2: %s" % first.conns(COM2))
    check_reasons(second, ["kapirel: COM2 (/dev/ttyS1): locked by PID %d" % first.kapirel_pid()])
    check(first.lock_file("ttyS1") == lock_text(first.kapirel_pid()), "COM2's lock: %r" % first.lock_file("ttyS1"))
    first.trigger(1)
    first.wait_wave_polled(c2, COM2)
    check_count(first, c2, 3)
    check_count(first, c1, 0)
    second.signal_meter(signal.SIGTERM)
    check(second.wait_exit() == 0, "second exit status %s" % second.exit_status)
    check_end(first, c1)
    first.signal_meter(signal.SIGTERM)
    check(first.wait_exit() == 0, "first exit status %s" % first.exit_status)
    check_end(first, c2)
    check_one_line(first, 3, time.time())
    check_one_line(second, 0, time.time())


def usb_adapter_counted(s):
    """A PC whose only serial port is a USB adapter: it is "COM1", found and counted with no set-up."""
    run = s.start(com1="absent", com2="absent", machine=["--usb0", pulses(3)])
    window = run.main_window()
    conn = first_conn(run, USB0, index=1)  # the start-up's own open, then the switch that marking COM1 runs
    check_setup(run, conn)
    check(run.windows(NOTICE_TITLE) == [], "a notice appeared")
    check(run.lock_file("ttyUSB0") == lock_text(run.kapirel_pid()), "the lock: %r" % run.lock_file("ttyUSB0"))
    count_pulses(run, conn, USB0, 3)
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, conn)
    check_one_line(run, 3, time.time())
    check(run.lock_files_left() == {}, "lock files left: %s" % run.lock_files_left())
    check_reasons(run, ["kapirel: COM2: no such port (COM1 is /dev/ttyUSB0)"])
    check(not [e for e in run.events() if e["event"] == "open" and e["dev"] not in (USB0,)], "another port opened")


def adapters_by_socket(s):
    """Two adapters: the one in the lower socket is COM1 whatever its name, so COM2 is ttyUSB0 here."""
    run = s.start(com1="absent", com2="absent",
                  machine=["--usb0", pulses(2) + ",socket=2", "--usb1", "present,socket=1"])
    c2 = first_conn(run, USB0)
    check_setup(run, c2)
    window = run.main_window()
    count_pulses(run, c2, USB0, 2)
    run.click(window, OPTION1)
    c1 = first_conn(run, USB1)
    check_setup(run, c1)
    wait_until(lambda: run.closed(c2), 5, "ttyUSB0 to close after the switch to COM1")
    run.wait_polling(c1)
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, c1)
    check_one_line(run, 2, time.time())
    check_reasons(run, [])


def alias_overrides_rule(s):
    """/dev/COM2, an administrator's alias of the second adapter, wins over the rule (which makes COM2 the first)."""
    run = s.start(com1="present", com2="absent",
                  machine=["--usb0", "present", "--usb1", pulses(2), "--alias", "COM2=ttyUSB1"])
    conn = first_conn(run, USB1)
    check_setup(run, conn)
    window = run.main_window()
    # The lock carries the device's own name, which other programs know it by.
    check(run.lock_file("ttyUSB1") == lock_text(run.kapirel_pid()), "the lock: %r" % run.lock_file("ttyUSB1"))
    check(run.lock_file("COM2") is None, "a lock by the alias's name")
    count_pulses(run, conn, USB1, 2)
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, conn)
    check_one_line(run, 2, time.time())
    check(run.conns(USB0) == [] and run.conns(COM1) == [], "another port was opened")
    check(run.lock_files_left() == {}, "lock files left: %s" % run.lock_files_left())
    check_reasons(run, [])


def live_lock_falls_back(s):
    """Another program's live UUCP lock on COM2: COM2 is not opened at all, counting falls back to COM1,
    and the other program's lock stays as it was."""
    other = os.getpid()  # a process that outlives the run
    run = s.start(com1=pulses(3), com2="present", machine=["--lock", "ttyS1=%d" % other])
    window = run.main_window()
    conn = first_conn(run, COM1, index=1)
    check_setup(run, conn)
    check(run.windows(NOTICE_TITLE) == [], "a notice appeared")
    count_pulses(run, conn, COM1, 3)
    check(run.conns(COM2) == [], "the locked COM2 was opened: %s" % run.conns(COM2))
    run.signal_meter(signal.SIGTERM)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, conn)
    check_one_line(run, 3, time.time())
    check(run.lock_files_left() == {"LCK..ttyS1": lock_text(other)},
          "lock files left: %s" % run.lock_files_left())
    check_reasons(run, ["kapirel: COM2 (/dev/ttyS1): locked by PID %d" % other])


def stale_lock_replaced(s):
    """A lock whose process is gone does not keep COM2: kapirel's own lock replaces it and goes at the end."""
    run = s.start(com2=pulses(2), machine=["--lock", "ttyS1=%d" % gone_pid()])
    conn = first_conn(run, COM2)
    check_setup(run, conn)
    window = run.main_window()
    check(run.lock_file("ttyS1") == lock_text(run.kapirel_pid()), "the lock: %r" % run.lock_file("ttyS1"))
    count_pulses(run, conn, COM2, 2)
    run.close_by_wm(window)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_end(run, conn)
    check_one_line(run, 2, time.time())
    check(run.lock_files_left() == {}, "lock files left: %s" % run.lock_files_left())
    check_reasons(run, [])


def console_skipped(s):
    """COM1 is the system console (as on this machine): never opened; both notices, nothing counted."""
    run = s.start(com1=pulses(4, origin="start"), com2="absent", machine=["--console", "tty0,ttyS0"])
    first = run.wait_window(NOTICE_TITLE)
    run.press(first, "Return")
    second = run.wait_window(NOTICE_TITLE, exclude=(first,))
    run.press(second, "Return")
    window = run.main_window()
    time.sleep(1.0)  # COM1's pulses run meanwhile
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_one_line(run, 0, time.time())
    check(not [e for e in run.events() if e["event"] in ("open", "ioctl")], "a port was opened")
    console = "kapirel: COM1 (/dev/ttyS0): is the system console"
    check_reasons(run, ["kapirel: COM2: no such port (COM1 is /dev/ttyS0)", console, console])


def x_server_grabbed(s):
    """Another client holds the X server for 1.2 s mid-count at 5 Hz: all 15 pulses are counted all the same."""
    run = s.start(com2="present,hz=5,duty=50,pulses=15,delay=200,origin=usr1")
    conn = first_conn(run, COM2)
    window = run.main_window()
    run.wait_polling(conn)
    run.trigger(1)
    time.sleep(1.0)
    with xsession.ServerGrab(s.tools.display, 1.2):
        pass
    run.wait_wave_polled(conn, COM2)
    check_count(run, conn, 15)
    run.screenshot(window, os.path.join(s.dir, "after-the-grab.png"))
    run.click(window, COMMAND1)
    check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
    check_one_line(run, 15, time.time())


def sigterm_while_x_server_grabbed(s):
    """SIGTERM while another client holds the X server for 6 s: within 1 s the line is logged, the lines are off,
    the port and its lock are released; the program is gone 2 s after the signal, with the grab still held."""
    run = s.start(com2=pulses("inf"))
    conn = first_conn(run, COM2)
    run.main_window()
    run.wait_polling(conn)
    run.trigger(1)
    wait_until(lambda: run.edges_polled(conn) >= 3, 20, "three pulses polled")
    with xsession.ServerGrab(s.tools.display, 6) as grab:
        time.sleep(0.5)  # a repaint of the count meanwhile waits on the server
        run.signal_kapirel(signal.SIGTERM)
        signalled = time.monotonic()
        wait_until(lambda: run.closed(conn) and os.path.exists(os.path.join(run.cwd, "NAMERENO.TXT")), 1.0,
                   "the line and the port's release within 1 s of SIGTERM")
        check_end(run, conn)
        check(run.lock_file("ttyS1") is None, "the port's lock outlived the end: %r" % run.lock_file("ttyS1"))
        status = run.wait_exit(timeout=5)
        gone = time.monotonic() - signalled
        check(grab.released_at is None, "the grab ended before the program did")
    check(gone <= 2.5, "the program ended %.1f s after SIGTERM" % gone)
    check(status == 0, "exit status %s" % status)
    check_one_line(run, run.edges_polled(conn), time.time())


def count_until_display_dies(run, conn, kill):
    """Counts endless pulses, kills the display mid-count, and checks the end
    that follows: status DISPLAY_LOST, lines off after the kill, the line
    with every pulse the polls saw."""
    run.wait_polling(conn)
    run.trigger(1)
    wait_until(lambda: run.edges_polled(conn) >= 3, 20, "three pulses polled")
    killed = time.monotonic()
    kill()
    status = run.wait_exit(timeout=10)
    said = [line for line in run.output_text(whole=True).splitlines() if not line.startswith("[")]
    check(status == DISPLAY_LOST, "exit status %s, expected %d; output: %s" % (status, DISPLAY_LOST, said[-5:]))
    check_end(run, conn)
    check(run.ioctls(conn)[-3]["mono"] > killed, "the lines went off before the display died")
    counted = run.edges_polled(conn)
    check(counted >= 3, "only %d pulses polled" % counted)
    check_one_line(run, counted, time.time())
    check(run.lock_files_left() == {}, "the port's lock outlived the display: %s" % run.lock_files_left())


@contextlib.contextmanager
def private_x_server(s):
    """An Xvfb with openbox for this scenario alone (the shared one must
    survive it); the session's programs run there.  Yields the Xvfb's pid."""
    state = os.path.join(s.dir, "xsession.json")
    xsession.start(state)
    try:
        with open(state) as state_file:
            private = json.load(state_file)
        s.tools = s.tools.on(display=private["display"])
        yield private["xvfb_pid"]
    finally:
        xsession.stop(state, quiet=True)


def x_server_killed(s):
    """The X server dies mid-count: the end runs once without the window, status 2."""
    with private_x_server(s) as xvfb:
        run = s.start(com2=pulses("inf"))
        conn = first_conn(run, COM2)
        run.main_window()
        count_until_display_dies(run, conn, lambda: os.kill(xvfb, signal.SIGKILL))


def x_server_killed_at_log_notice(s):
    """The log failed and its notice waits when the X server dies: the notice's text, with the line, goes to
    standard error, status 1.  Qt's warnings are silenced by the logging rules, as a user may have them."""
    with private_x_server(s) as xvfb:
        workdir = s.workdir()
        os.mkdir(os.path.join(workdir, "NAMERENO.TXT"))
        run = s.start(com2=pulses(2), cwd=workdir, env={"QT_LOGGING_RULES": "*.warning=false"})
        conn = first_conn(run, COM2)
        window = run.main_window()
        count_pulses(run, conn, COM2, 2)
        run.click(window, COMMAND1)
        run.wait_window(NOTICE_TITLE)
        check_end(run, conn)
        calls = len(run.ioctls(conn))
        os.kill(xvfb, signal.SIGKILL)
        check(run.wait_exit(timeout=10) == 1, "exit status %s, expected 1" % run.exit_status)
        said = run.output_text()
        check("X11 connection broke" not in said, "the silenced warning was shown: %r" % said)
        check("MERENI NEBYLO ZAPSANO DO NAMERENO.TXT" in said, "no notice on standard error: %r" % said)
        check(re.search(r"^ konec nacitani : \d\d:\d\d:\d\d  pocet pulsu = 2$", said, re.M),
              "the line is not on standard error: %r" % said)
        check(len(run.ioctls(conn)) == calls, "the port was used again after the end")


def wayland_startup_count(s):
    """Under Wayland (weston, headless): start-up on "COM2", pulses counted, end by SIGTERM."""
    with Weston(s.runtime, s.dir) as weston:
        s.tools = s.tools.on(wayland=weston.socket)
        run = s.start(com2=pulses(4), env={"WAYLAND_DEBUG": "client"})
        conn = first_conn(run, COM2)
        check_setup(run, conn)
        run.wait_wayland_window()
        count_pulses(run, conn, COM2, 4)
        run.signal_meter(signal.SIGTERM)
        check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
        check_end(run, conn)
        check_one_line(run, 4, time.time())
        check_only_modem_requests(run)


def wayland_compositor_killed(s):
    """The Wayland compositor dies mid-count: the end runs once without the window, status 2."""
    with Weston(s.runtime, s.dir) as weston:
        s.tools = s.tools.on(wayland=weston.socket)
        run = s.start(com2=pulses("inf"), env={"WAYLAND_DEBUG": "client"})
        conn = first_conn(run, COM2)
        run.wait_wayland_window()
        count_until_display_dies(run, conn, weston.kill)


def fifo_log_without_reader(s):
    """NAMERENO.TXT is a FIFO nobody reads: no wait, lines off, then the notice, status 1."""
    workdir = s.workdir()
    fifo = os.path.join(workdir, "NAMERENO.TXT")
    os.mkfifo(fifo)
    run = s.start(com2=pulses(2), cwd=workdir)
    conn = first_conn(run, COM2)
    window = run.main_window()
    count_pulses(run, conn, COM2, 2)
    run.click(window, COMMAND1)
    notice = run.wait_window(NOTICE_TITLE, timeout=5)
    seen = time.monotonic()
    check_end(run, conn)
    check(run.ioctls(conn)[-1]["mono"] < seen, "the lines went off only after the notice showed")
    run.press(notice, "Return")
    check(run.wait_exit() == 1, "exit status %s, expected 1" % run.exit_status)
    check(stat.S_ISFIFO(os.stat(fifo).st_mode), "NAMERENO.TXT is no longer a FIFO")


def fifo_log_with_reader(s):
    """NAMERENO.TXT is a FIFO with a reader: the reader gets the line, status 0."""
    workdir = s.workdir()
    fifo = os.path.join(workdir, "NAMERENO.TXT")
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        run = s.start(com2=pulses(3), cwd=workdir)
        conn = first_conn(run, COM2)
        window = run.main_window()
        count_pulses(run, conn, COM2, 3)
        run.click(window, COMMAND1)
        check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
        check_end(run, conn)
        check_one_line(run, 3, time.time(), data=os.read(reader, 4096))
    finally:
        os.close(reader)


def session_logout(s):
    """X session management: a cancelled logout changes nothing; one that goes through ends like a close."""
    with XsmpManager(s.tools.xsmp_manager, s.dir, s.runtime) as manager:
        run = s.start(com2=pulses("inf"), env=manager.client_env(s.dir))
        conn = first_conn(run, COM2)
        run.main_window()
        manager.wait("registered")
        run.wait_polling(conn)
        run.trigger(1)
        wait_until(lambda: run.edges_polled(conn) >= 2, 20, "two pulses polled")

        mark = manager.mark()
        manager.send("logout")
        manager.wait("save-yourself-done 1", since=mark)
        check(manager.seen("property RestartStyleHint 3", since=mark),
              "kapirel did not ask never to be restarted by the session: %s" % manager.lines[mark:])
        manager.send("cancel")
        edges = run.edges_polled(conn)
        wait_until(lambda: run.edges_polled(conn) >= edges + 2, 20, "two more pulses after the cancelled logout")
        check(run.meter.poll() is None, "the program ended at a cancelled logout")
        switched = [c["req"] for c in run.ioctls(conn)[5:] if c["req"] != "TIOCMGET"]
        check(switched == [], "the lines were switched after the cancelled logout: %s" % switched)
        check(not os.path.exists(os.path.join(run.cwd, "NAMERENO.TXT")), "a line was logged at a cancelled logout")

        mark = manager.mark()
        manager.send("logout")
        manager.wait("save-yourself-done 1", since=mark)
        manager.send("die")
        check(run.wait_exit() == 0, "exit status %s" % run.exit_status)
        check_end(run, conn)
        check_one_line(run, run.edges_polled(conn), time.time())


SCENARIOS = {f.__name__: f for f in (
    startup_com2_count, cts_on_at_start, com2_absent_uses_com1, both_absent_notices, end_by_wm_close,
    end_by_sigterm, port_removed, switch_ports, switch_to_held_port, unwritable_log, second_instance,
    usb_adapter_counted, adapters_by_socket, alias_overrides_rule, live_lock_falls_back, stale_lock_replaced, console_skipped,
    x_server_grabbed, sigterm_while_x_server_grabbed,
    x_server_killed, x_server_killed_at_log_notice, wayland_startup_count, wayland_compositor_killed,
    fifo_log_without_reader, fifo_log_with_reader, session_logout)}


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
    display = None
    if args.xsession:
        try:
            with open(args.xsession) as state:
                display = json.load(state)["display"]
        except (OSError, ValueError, KeyError, TypeError) as problem:
            print("FAIL: no X session (%s); the e2e.xsession.start fixture starts it" % problem, file=sys.stderr)
            return 1

    xsmp_manager = os.path.abspath(args.xsmp_manager) if args.xsmp_manager else None
    tools = Tools(os.path.abspath(args.kapirel), os.path.abspath(args.meter), display, xsmp_manager=xsmp_manager)
    work = os.path.abspath(args.work)
    return runner.run(SCENARIOS, args.names, work, lambda name: Session(tools, work, name))


if __name__ == "__main__":
    sys.exit(main())
