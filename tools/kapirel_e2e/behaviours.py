"""The behaviours both programs share, each described once and run against
either: the Linux program (ctest e2e.<name>) and kapirel.exe under Wine
(wine.<name>), which runs only in the private mount namespace of the Wine box
(tests/wine/winebox.py).  A scenario gets a driver's setting
(kapirel_e2e.interface);
where the platforms differ, the scenario says so.

SCENARIOS maps each platform to its ctest names and the scenario each runs.
"""

import os
import re
import stat
import statistics
import time

from kapirel_e2e.interface import (CAPTIONS, CLIENT_96, CONTROLS_96, LINUX, MAIN_TITLE, WINE, check, check_count,
                                   check_end, check_setup, finish, unwritable_workdir, wait_until)

END_LINE = r" konec nacitani : \d\d:\d\d:\d\d  pocet pulsu = \d+"


def pulses(count, origin="usr1", extra="", hz=4):
    """count pulses at hz, half on and half off, from 200 ms after the origin (usr1: the test's trigger)."""
    return "present,hz=%g,duty=50,pulses=%s,delay=200,origin=%s%s" % (hz, count, origin, extra)


def poll_spacing(conn):
    return spacings([step.mono for step in conn.reads()])


def spacings(stamps):
    """Single spacings and spacings over 10 polls, in ms, of the stamps (seconds) without the first and last.
    Under Wine a 20 ms timer wakes alternately about 0.5 ms late and early (wineserver waits in whole
    milliseconds, rounded up): over 10 polls that cancels."""
    stamps = stamps[1:-1]
    single = [(b - a) * 1000 for a, b in zip(stamps, stamps[1:])]
    over_ten = [(b - a) * 100 for a, b in zip(stamps, stamps[10:])]
    return single, over_ten


def startup_com2_count(s):
    """Start-up on "COM2": the line settings, Option2 marked, five pulses counted and shown, the end by the button,
    one line.  Under Wine also the polls' spacing, median over 10 polls within 0.5 % of 20 ms: there the record's
    stamps are taken in the program's process, while under umockdev every call first crosses to the meter, whose
    delays the benchmarks measure beside a reference loop."""
    program = s.start(com1="present", com2=pulses(5))
    conn = program.connection("COM2")
    check_setup(conn)
    window = program.main_window()
    program.wait_polling("COM2")
    program.check_window(marks=(0, 1))
    program.trigger(1)
    wait_until(lambda: conn.edges() >= 3, 20, "three pulses polled")
    program.screenshot(window, os.path.join(s.dir, "window-counting.png"))
    program.wait_wave_polled(conn)
    check_count(conn, 5)
    program.check_window(text=" 5")
    finish(program, "Command1", 5, conn)
    check(program.opens("COM1") == 0, "COM1 was opened")
    check(program.opens("COM2") == 1, "COM2 was opened %d times" % program.opens("COM2"))
    program.check_requests()
    if s.platform == WINE:
        single, over_ten = poll_spacing(conn)
        median = statistics.median(over_ten)
        print("     poll spacing: %d polls; single: median %.3f ms, mean %.3f ms, max %.3f ms; over 10 polls: "
              "median %.3f ms, min %.3f ms, max %.3f ms" % (len(single) + 1, statistics.median(single),
                                                            statistics.mean(single), max(single), median,
                                                            min(over_ten), max(over_ten)))
        check(abs(median - 20.0) <= 0.1, "median poll spacing over 10 polls %.3f ms, not within 0.5 %% of 20 ms"
              % median)


def com2_absent_uses_com1(s):
    """No "COM2": the counting runs on "COM1", with Option1 marked and no notice.  Ends by the window manager's
    close.  The start-up first opens "COM1" only to try it, then marking Option1 opens it again; Linux shows that
    first open in the meter's record, while under Wine an open without a call on the port is not seen."""
    program = s.start(com1=pulses(4), com2="absent")
    program.main_window()
    conn = program.wait_polling("COM1")
    check_setup(conn)
    program.check_probe_open("COM1")
    program.check_window(marks=(1, 0), alone=True)
    program.trigger(1)
    program.wait_wave_polled(conn)
    check_count(conn, 4)
    check(program.opens("COM2") == 0, "the absent COM2 was opened")
    finish(program, "close", 4, conn)
    program.check_requests()


def both_absent_notices(s):
    """Neither port: "COM1 OBSAZEN", then "COM NENALEZEN", both before the main window, answered by Return and by
    Space; then the window with Option1 marked and focused; count 0 logged, no port touched.  X shows no text of a
    Qt notice, so on Linux the order shows in the boxes' widths: "COM NENALEZEN" is the longer text."""
    program = s.start(com1="absent", com2="absent")
    first = program.wait_notice("COM1 OBSAZEN")
    check(program.windows(MAIN_TITLE) == [], "the main window showed before the start-up's notices")
    program.screenshot(first, os.path.join(s.dir, "notice-1.png"))
    first_width = program.geometry(first)[2]
    program.press(first, "Return")
    second = program.wait_notice("COM NENALEZEN", exclude=(first,))
    check(first not in program.notices(), "the first notice is still shown")
    check(program.windows(MAIN_TITLE) == [], "the main window showed before the second notice was answered")
    program.screenshot(second, os.path.join(s.dir, "notice-2.png"))
    if s.platform == LINUX:
        second_width = program.geometry(second)[2]
        check(second_width > first_width, "notice widths %d then %d: not the two different texts in order"
              % (first_width, second_width))
    program.press(second, "space")
    program.main_window()
    wait_until(lambda: not program.notices(), 10, "the second notice to go")
    time.sleep(0.3)
    program.check_window(marks=(1, 0), focus="Option1", alone=True)
    finish(program, "Command1", 0)
    check(program.opens("COM1") + program.opens("COM2") + program.port_calls() == 0, "an absent port was used")


def end_by_window_close(s):
    """The window manager closes the window (wmctrl -c, the close button's way): one line, lines off, status 0."""
    program = s.start(com2=pulses(2))
    program.main_window()
    finish(program, "close", 2, program.count_pulses("COM2", 2))


def switch_ports(s):
    """"COM2", then Option1, then Option2: the count carries on across the ports, the chosen one marked; choosing the
    marked Option2 again closes "COM2" and opens it anew, and the count stays."""
    program = s.start(com1=pulses(4, origin="usr2"), com2=pulses(3))
    window = program.main_window()
    c2 = program.count_pulses("COM2", 3)

    program.click(window, "Option1")
    c1 = program.wait_polling("COM1")
    wait_until(c2.closed, 5, "COM2 to close after the switch to COM1")
    check_setup(c1)
    program.check_window(marks=(1, 0))
    program.trigger(2)
    program.wait_wave_polled(c1)
    check_count(c1, 4)

    program.click(window, "Option2")
    c3 = program.wait_polling("COM2", index=1)
    wait_until(c1.closed, 5, "COM1 to close after the switch back")
    check_setup(c3)
    program.check_window(marks=(0, 1))

    program.click(window, "Option2")
    c4 = program.wait_polling("COM2", index=2)
    check(c3.closed(), "choosing the marked Option2 did not close COM2 first")
    check_setup(c4)
    program.check_window(marks=(0, 1), text=" 7")
    finish(program, "Command1", 7, c4)
    check(program.opens("COM1") == 1, "COM1 was opened %d times" % program.opens("COM1"))
    program.check_requests()


def switch_to_refused_port(s):
    """A switch to a "COM1" that does not open: "COM2" released, then the notice "COM1 OBSAZEN"; no call on any port
    while none is open; Option1 marked and focused after the notice; choosing "COM2" again takes up the counting
    there.  Linux: another program holds "COM1" (and it pulses meanwhile), which the stderr line names.  Wine: "COM1"
    is not mapped at all, as wineserver ignores the share mode with which another program would hold it."""
    program = s.start(com1="present,held,hz=4" if s.platform == LINUX else "absent", com2=pulses(2))
    window = program.main_window()
    c2 = program.count_pulses("COM2", 2)
    program.click(window, "Option1")
    notice = program.wait_notice("COM1 OBSAZEN")
    program.wait_closed(c2, "COM2's release before the notice")
    if s.platform == LINUX:
        refused = wait_until(lambda: (program.conns("COM1") or [None])[0], 5, "the open of the held COM1")
        wait_until(lambda: program.closed(refused), 5, "the refused COM1 connection to close")
    program.press(notice, "Return")
    wait_until(lambda: not program.notices(), 10, "the notice to go")
    calls = program.port_calls()
    time.sleep(1.5)
    check(program.port_calls() == calls, "%d port calls with no port open" % (program.port_calls() - calls))
    program.check_window(marks=(1, 0), focus="Option1")
    check(program.opens("COM2") == 1, "COM2 was opened again without a choice")

    program.click(window, "Option2")
    conn = program.wait_polling("COM2", index=1)
    check_setup(conn)
    program.check_window(marks=(0, 1))
    finish(program, "Command1", 2, conn)
    check(program.port_calls("COM1") == 0, "the refused COM1 was used")
    if s.platform == LINUX:
        program.check_reasons(["kapirel: COM1 (/dev/ttyS0): in use by another program (flock: Resource temporarily "
                               "unavailable)"])


def unwritable_log(s, make=os.mkdir):
    """NAMERENO.TXT cannot be written (a directory; on Linux also a FIFO nobody reads, make=os.mkfifo, whose open
    must not wait for a reader: the notice within 5 s): the lines go off first, then the notice, which gives the
    system's reason and the whole line, then status 1.  The texts are read under Wine, where the reason is that of
    CreateFileA; X shows none of the Qt notice's (tst_form1 and tst_measurement_log check them)."""
    workdir = unwritable_workdir(s, make)
    log = os.path.join(workdir, "NAMERENO.TXT")
    kind = stat.S_IFMT(os.stat(log).st_mode)
    program = s.start(com2=pulses(1), cwd=workdir)
    window = program.main_window()
    conn = program.count_pulses("COM2", 1)
    program.click(window, "Command1")
    notice = program.wait_notice(re.compile(r"MERENI NEBYLO ZAPSANO DO NAMERENO\.TXT\n\(CreateFileA: .*\)\n\n"
                                            + END_LINE, re.S), timeout=5 if make is os.mkfifo else 30)
    seen = time.monotonic()
    program.screenshot(notice, os.path.join(s.dir, "notice-unwritten.png"))
    check_end(conn)
    check(conn.steps()[-1].mono < seen, "the lines went off only after the notice showed")
    if s.platform == WINE:
        line = program.control_text("Text1")
        check(re.fullmatch(END_LINE.replace(r"\d+", "1"), line), "Text1 shows %r" % line)
        check(program.notice_text().endswith("\n\n" + line), "the notice's line is not Text1's %r" % line)
    check(program.running() and program.notices(), "the notice did not wait for the operator")
    finish(program, lambda: program.press(notice, "Return"), None, status=1)
    check(stat.S_IFMT(os.stat(log).st_mode) == kind, "NAMERENO.TXT changed")


# Where Tab takes the focus from Option1, round to it.  Qt's Tab leaves a group
# of option buttons at once; kapirel.exe keeps both in the tab order.
TAB_ORDER = {LINUX: ("Command1", "Text1", "Option1"), WINE: ("Option2", "Command1", "Text1", "Option1")}


def window_shape(s):
    """The client area 437 x 315 at its design place, the caption and the icon; under Wine also the controls'
    places, captions, marks and the focus, which X does not show of the Qt window (tst_form1 checks them there).
    Enter and Esc do nothing wherever the focus is, and Tab never marks or switches: Tab goes round from Option1
    (TAB_ORDER), so Shift+Tab twice reaches Command1, and Space on it ends the program."""
    program = s.start(com1="present", com2="present")
    window = program.main_window()
    program.wait_polling("COM2")
    check(program.geometry(window) == CLIENT_96, "client area %s, expected %s" % (program.geometry(window), CLIENT_96))
    names = program.x.properties(window, "WM_NAME", "_NET_WM_NAME")
    check(names == {"WM_NAME(STRING)": '"%s"' % MAIN_TITLE, "_NET_WM_NAME(UTF8_STRING)": '"%s"' % MAIN_TITLE},
          "caption: %s" % names)
    icon = program.x.x("xprop", "-id", str(window), "_NET_WM_ICON")
    check("Icon (32 x 32):" in icon and "Icon (16 x 16):" in icon, "the window icon: %s" % icon[:200])
    program.check_window(client=CLIENT_96, places=CONTROLS_96, captions=CAPTIONS, focus="Option1", marks=(0, 1))

    def inert_keys(where):
        program.press(window, "Return", "KP_Enter", "Escape")
        time.sleep(0.3)
        check(program.windows(MAIN_TITLE) == [window], "Enter or Esc on %s closed the window" % where)
        check(not os.path.exists(os.path.join(program.cwd, "NAMERENO.TXT")), "Enter or Esc on %s wrote a line" % where)
        check(not program.connection("COM2").closed(), "Enter or Esc on %s released COM2" % where)

    inert_keys("Option1")
    for focus in TAB_ORDER[s.platform]:
        program.press(window, "Tab")
        program.check_window(focus=focus, marks=(0, 1))
        inert_keys(focus)
    program.press(window, "shift+Tab")
    program.check_window(focus="Text1", marks=(0, 1))
    check(program.opens("COM1") == 0, "the focus opened COM1")
    check(program.opens("COM2") == 1, "the focus reopened COM2")
    program.press(window, "shift+Tab")
    program.check_window(focus="Command1")
    finish(program, lambda: program.press(window, "space"), 0)


# Each behaviour and its ctest names: e2e.<linux>, wine.<wine>.
BOTH = [
    (startup_com2_count, "startup_com2_count", "startup_com2_count"),
    (com2_absent_uses_com1, "com2_absent_uses_com1", "com2_absent_uses_com1"),
    (both_absent_notices, "both_absent_notices", "both_absent_notices"),
    (end_by_window_close, "end_by_wm_close", "end_by_window_close"),
    (switch_ports, "switch_ports", "switch_ports"),
    (switch_to_refused_port, "switch_to_held_port", "switch_to_absent_port"),
    (unwritable_log, "unwritable_log", "unwritable_log"),
    (window_shape, "window_shape", "window_shape"),
]

SCENARIOS = {platform: {names[column]: scenario for scenario, *names in BOTH}
             for column, platform in enumerate((LINUX, WINE))}
