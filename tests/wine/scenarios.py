#!/usr/bin/env python3
"""The Windows program under Wine: kapirel.exe in the Wine box (driver.py), where Wine runs only in the box's private
mount namespace.  The behaviours it shares with the Linux program are in kapirel_e2e.behaviours; these are kapirel.exe's
own (Alt+F4, the end of the Windows session, the window menu, 144 DPI, the installer, the BN_CLICKED that Windows'
radio buttons send on getting the focus), beside the box's own tests: wine.prefix makes the suite's prefix,
wine.box_selftest checks the box's refusals and the chain from a Windows program's port calls through wineserver's
descriptor to libwine-meter.so.

    scenarios.py --exe kapirel.exe --probe window_probe.exe --msi kapirel.msi --version VERSION
                 --prefix DIR --preload LIB --xsession STATE --work DIR NAME...
    scenarios.py --list

Each scenario runs in a box of its own, in DIR/NAME (kept afterwards: the meter's record, Wine's output, screenshots),
against the suite's one prefix; a scenario that changes the prefix gets a copy of it.
"""

import contextlib
import glob
import json
import os
import pwd
import stat
import statistics
import sys
import time
from pathlib import Path

import winebox
from driver import IDS, Scenario, Tools, probe_records
from kapirel_e2e import runner, xsession
from kapirel_e2e.behaviours import SCENARIOS as SHARED
from kapirel_e2e.behaviours import poll_spacing, pulses, spacings
from kapirel_e2e.checks import json_lines
from kapirel_e2e.interface import (MAIN_TITLE, TIOCM_DTR, TIOCM_RTS, WINE, Failure, check, check_count, check_end,
                                   check_one_line, client_at, finish, middle, places_at, wait_until)


# --- scenarios ----------------------------------------------------------------

def end_by_alt_f4(s):
    """Alt+F4: one line, lines off, status 0.  (Under X on Linux, Alt+F4 is the window manager's key, the same close
    as e2e.end_by_wm_close's; on Windows the program's window gets it.)"""
    program = s.start(com1="absent", com2=pulses(1))
    window = program.main_window()
    finish(program, lambda: program.press(window, "alt+F4"), 1, program.count_pulses("COM2", 1))


def end_by_session_end(s):
    """The Windows session ends (wineboot --end-session): the end sequence runs before the process goes; one line."""
    program = s.start(com1="absent", com2=pulses(3))
    program.main_window()
    conn = program.count_pulses("COM2", 3)
    s.box.end_session()
    status = program.wait_exit()
    print("     exit status after the session end: %s" % status)
    check_end(conn)
    check_one_line(program, 3, time.time())


def window_menu_open(s):
    return any(w["class"] == "#32768" for w in s.probe())


THREAD_PRIORITY_TIME_CRITICAL = 15


def counting_in_window_menu(s):
    """The window menu is open (a modal loop of Windows' own) while pulses come at 10 Hz: every pulse is counted,
    and no poll comes late by as much as a pulse's half.  The counting thread, and it alone, runs at
    THREAD_PRIORITY_TIME_CRITICAL; the window's thread stays at normal priority."""
    program = s.start(com1="absent", com2="present,hz=10,duty=50,pulses=10,delay=200,origin=usr1")
    window = program.main_window()
    conn = program.wait_polling("COM2")
    threads = s.probe("threads", MAIN_TITLE)
    critical = [t for t in threads if t["priority"] == THREAD_PRIORITY_TIME_CRITICAL]
    check(len(critical) == 1 and not critical[0]["window"], "threads at TIME_CRITICAL: %s" % threads)
    check([t["priority"] for t in threads if t["window"]] == [0], "the window's thread: %s" % threads)
    s.probe("menu", MAIN_TITLE)
    wait_until(lambda: window_menu_open(s), 10, "the window menu")
    s.tools.x("import", "-window", "root", os.path.join(s.dir, "menu.png"))
    program.trigger(1)
    program.wait_wave_polled(conn)
    check_count(conn, 10)
    check(window_menu_open(s), "the window menu closed before the end of the pulses")
    single, _ = poll_spacing(conn)
    print("     poll spacing with the menu open: median %.3f ms, max %.3f ms" % (statistics.median(single), max(single)))
    check(max(single) < 45, "a %.0f ms gap between polls, near the 50 ms a pulse's half lasts" % max(single))
    program.press(window, "Escape", "Escape")
    finish(program, "Command1", 10)


def window_at_144_dpi(s):
    """At 144 DPI the client area and the controls keep their size in twips: 656 x 473 at 276, 219."""
    program = s.start(com1="absent", com2="present", dpi=144)
    window = program.main_window()
    program.wait_polling("COM2")
    check(program.geometry(window) == client_at(144), "client area %s, expected %s" % (program.geometry(window),
                                                                                      client_at(144)))
    places = places_at(144)
    program.check_window(places=places)
    program.screenshot(window, os.path.join(s.dir, "window-144dpi.png"))
    finish(program, lambda: s.tools.click(window, middle(places["Command1"])), 0)


# --- the installer --------------------------------------------------------------

PRODUCT = "Orvik KAPIREL"
PUBLISHER = "Orvik"
PROGRAM_FOLDER = "C:\\Program Files\\Orvik KAPIREL"
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
PRODUCTS_KEY = "Software\\Classes\\Installer\\Products\\"
ICON = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data", "icons", "kapirel.ico")


def user_folder(s, *names):
    return os.path.join(s.box.prefix, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name, *names)


def start_menus(s):
    """The Start menu's Programs: all users' (where Windows puts the shortcuts of a per-machine install) and the
    user's (where Wine's msi puts them all)."""
    programs = os.path.join("Microsoft", "Windows", "Start Menu", "Programs")
    return [os.path.join(s.box.prefix, "drive_c", "ProgramData", programs),
            user_folder(s, "AppData", "Roaming", programs)]


def msiexec(s, action, name):
    """msiexec ACTION kapirel.msi /qn, its log in the scenario's directory; returns once Wine has saved the registry."""
    log = os.path.join(s.dir, name + ".log")
    status = s.box.wine(["msiexec", action, s.box.windows_path(s.tools.msi), "/qn", "/l*v", s.box.windows_path(log)],
                        name).wait(timeout=120)
    s.box.wait_server(timeout=60)
    check(status == 0, "msiexec %s /qn ended with %s (see %s)" % (action, status, log))


def installation(s):
    """What a user finds installed: the program's folder with the files' contents, the Start-menu shortcuts with
    what they start, the uninstall entries and the products' icons."""
    folder = s.box.unix_path(PROGRAM_FOLDER)
    files = {path.name: path.read_bytes() for path in Path(folder).iterdir()} if os.path.isdir(folder) else {}
    shortcuts = {path: shortcut(s, path) for menu in start_menus(s)
                 for path in glob.glob(os.path.join(glob.escape(menu), "**", "*KAPIREL*"), recursive=True)}
    keys = winebox.read_registry(os.path.join(s.box.prefix, "system.reg"))
    # Without InstallDate, the day of the install: the same install again just after midnight changes only that.
    entries = [{name: value for name, value in values.items() if name != "InstallDate"} for key, values in keys.items()
               if key.startswith(UNINSTALL_KEY) and values.get("DisplayName") == PRODUCT]
    icons = [Path(s.box.unix_path(values["ProductIcon"])).read_bytes() for key, values in keys.items()
             if key.startswith(PRODUCTS_KEY) and values.get("ProductName") == PRODUCT and "ProductIcon" in values]
    return {"files": files, "shortcuts": shortcuts, "entries": entries, "icons": icons}


def mentions(s):
    """The prefix's files and registry entries whose name or value names the program."""
    found = [os.path.relpath(os.path.join(root, name), s.box.prefix)
             for root, dirs, files in os.walk(s.box.prefix) for name in dirs + files if "kapirel" in name.lower()]
    for hive in ("system.reg", "user.reg"):
        for key, values in winebox.read_registry(os.path.join(s.box.prefix, hive)).items():
            lines = [key] + ["%s: %s=%s" % (key, name, value) for name, value in values.items()]
            found += ["%s %s" % (hive, line) for line in lines if "kapirel" in line.lower()]
    return sorted(found)


def shortcut(s, path):
    """The target, working folder and icon of a shortcut as the shell reads them."""
    records = s.probe("link", s.box.windows_path(path))
    s.box.wait_server()
    check(len(records) == 1, "window_probe.exe could not read %s" % path)
    return records[0]


def installer(s):
    """msiexec /i /qn: kapirel.exe, README.txt and LICENSE.txt in the program files, a Start-menu shortcut, an
    uninstall entry with the version, the publisher and the icon; the same install again changes nothing; the program
    started as the shortcut says counts into Documents; msiexec /x /qn leaves nothing of it but NAMERENO.TXT."""
    before = mentions(s)
    msiexec(s, "/i", "install")
    installed = installation(s)
    check(sorted(installed["files"]) == ["LICENSE.txt", "README.txt", "kapirel.exe"],
          "installed in %s: %s" % (PROGRAM_FOLDER, sorted(installed["files"])))
    check(installed["files"]["kapirel.exe"] == Path(s.tools.exe).read_bytes(),
          "the installed kapirel.exe is not the one built")
    check([os.path.basename(path) for path in installed["shortcuts"]] == [PRODUCT + ".lnk"],
          "Start-menu shortcuts: %s" % sorted(installed["shortcuts"]))
    entries = [{name: values.get(name) for name in ("DisplayVersion", "Publisher")} for values in installed["entries"]]
    check(entries == [{"DisplayVersion": s.tools.version, "Publisher": PUBLISHER}], "uninstall entries: %s" % entries)
    check(installed["icons"] == [Path(ICON).read_bytes()], "the uninstall entry's icon is not kapirel.ico")

    msiexec(s, "/i", "install-again")
    again = installation(s)
    check(again == installed, "the second install of the same version changed its %s"
          % [part for part in installed if again[part] != installed[part]])

    link = next(iter(installed["shortcuts"].values()))
    check(link["target"].lower() == (PROGRAM_FOLDER + "\\kapirel.exe").lower(),
          "the shortcut starts %r" % link["target"])
    documents = s.box.windows_path(user_folder(s, "Documents"))
    check(link["folder"].rstrip("\\").lower() == documents.lower(), "the shortcut starts in %r" % link["folder"])
    check(link["icon"] in ("", link["target"]), "the shortcut shows the icon of %r" % link["icon"])
    program = s.start(com1="absent", com2=pulses(3), cwd=s.box.unix_path(link["folder"]), exe=link["target"])
    program.main_window()
    program.count_pulses("COM2", 3)
    finish(program, "Command1", 3)
    measured = program.measurement_log()

    msiexec(s, "/x", "uninstall")
    remaining = installation(s)
    check(not any(remaining.values()), "the uninstall left its %s" % [part for part in remaining if remaining[part]])
    left = mentions(s)
    check(left == before, "left behind: %s" % sorted(set(left) - set(before)))
    check(program.measurement_log() == measured, "the uninstall changed NAMERENO.TXT")


def focus_on_unmarked_option(s):
    """Tab onto the unmarked Option1, whose BN_CLICKED on the focus (Windows' radio buttons send it, Wine's do not,
    so window_probe_hook.dll sends it from inside the button's WM_SETFOCUS) switches nothing: COM2 stays open and
    marked."""
    program = s.start(com1="present", com2="present")
    window = program.main_window()
    program.wait_polling("COM2")
    clicks = s.box.wine([s.tools.probe, "focus-clicks", MAIN_TITLE], "focus-clicks")

    def said():
        return probe_records(s.box, "focus-clicks")
    wait_until(lambda: {"hooked": True} in said() or clicks.poll() is not None, 30, "the focus hooks")
    check(clicks.poll() is None, "window_probe.exe focus-clicks ended with %s" % clicks.returncode)
    program.press(window, "shift+Tab", "Tab")
    wait_until(lambda: {"clicked": IDS["Option1"]} in said(), 10, "a BN_CLICKED from Option1 on getting the focus")
    program.check_window(focus="Option1", marks=(0, 1))
    check(program.opens("COM1") == 0, "the focus opened COM1")
    check(program.opens("COM2") == 1 and not program.connection("COM2").closed(), "the focus closed or reopened COM2")

    finish(program, "Command1", 0)
    check(clicks.wait(timeout=10) == 0, "window_probe.exe focus-clicks ended with %s" % clicks.returncode)


# --- the box's own ---------------------------------------------------------------

def prefix(s):
    """The suite's prefix, made anew; prints its creation time and size."""
    seconds, size = s.box.create_prefix()
    print(json.dumps({"seconds": round(seconds, 2), "bytes": size}))


def refused_while(plant, undo, *cases):
    """Each case, (action, what), is refused while what plant() made is there."""
    plant()
    try:
        for action, what in cases:
            try:
                action()
            except winebox.BoxError as error:
                print("ok: refused %s (%s)" % (what, error))
                continue
            raise Failure("the box did not refuse %s" % what)
    finally:
        undo()


def refusals(box, probe):
    """Each safety check refuses what it is there for, before Wine starts."""
    # The nodes planted below go only into the box's own /dev.
    box.check_dev()
    box.map_ports()
    started = len(box.processes)

    # A harmless node (the null device) under a serial port's name.
    refused_while(lambda: os.mknod("/dev/ttyS0", stat.S_IFCHR | 0o600, os.makedev(1, 3)),
                  lambda: os.remove("/dev/ttyS0"), (box.check_dev, "a /dev/ttyS0 node"),
                  (lambda: box.wine([probe, "port", "COM2", "1"]), "to start Wine with /dev/ttyS0 present"))
    refused_while(lambda: os.symlink("null", "/dev/console"), lambda: os.remove("/dev/console"),
                  (box.check_dev, "a /dev/console entry"))
    link = os.path.join(box.prefix, "dosdevices", "com3")
    refused_while(lambda: os.symlink("/dev/ttyS0", link), lambda: os.remove(link),
                  (box.check_prefix, "a dosdevices link to /dev/ttyS0"),
                  (lambda: box.wine([probe, "port", "COM3", "1"]), "to start Wine with that link"))

    registry = Path(box.prefix, "system.reg")
    text = registry.read_text()
    line_end = text.index("\n", text.index(winebox.PORTS_KEY)) + 1
    refused_while(lambda: registry.write_text(text[:line_end] + '"COM4"="/dev/ttyS0"\n' + text[line_end:]),
                  lambda: registry.write_text(text), (box.check_prefix, "a Ports value naming /dev/ttyS0"))

    check(len(box.processes) == started, "a refused start still started a process")
    box.check_dev()
    box.check_prefix()


def counting_chain(box, probe):
    """COM2 pulses five times; the probe sees five CTS edges, the library saw
    the line switching and polls 20 ms apart."""
    status = box.wine([probe, "port", "COM2", "2"], "chain").wait(timeout=60)
    output = box.said("chain")
    check(status == 0, "window_probe.exe port COM2 ended with %s: %s" % (status, output))
    check("polls 100 edges 5\n" in output, "the probe did not count exactly 5 edges: %s" % output)

    events = json_lines(box.log_path)
    mine = [e for e in events if e.get("com") == "COM2"]
    check(mine and mine[0]["event"] == "open", "the first record of COM2 is not its open: %s" % mine[:1])
    # The process's name in /proc, its first 15 bytes.
    check(all(e.get("proc") == "window_probe.exe"[:15] for e in mine), "calls came from other processes")
    sets = [e["value"] for e in mine if e["event"] == "ioctl" and e["req"] == "TIOCMSET"]
    check(len(sets) >= 2 and sets[1] & TIOCM_DTR and not sets[1] & TIOCM_RTS,
          "SETDTR then CLRRTS did not leave DTR on and RTS off: %s" % sets)
    check(any(e["event"] == "ioctl" and e["req"] == "TIOCCBRK" for e in mine), "CLRBREAK did not clear the break")
    check(not any(e["event"] == "ioctl" and e["req"] in ("TIOCMBIS", "TIOCMBIC") for e in mine),
          "Wine switched a line with TIOCMBIS/TIOCMBIC")
    check(mine[-1]["event"] == "close" and mine[-1]["last"] and mine[-1]["lines"]["dtr"] == 0,
          "the port was not closed with DTR off: %s" % mine[-1])
    # The last TIOCMGET belongs to the closing CLRDTR, right after the last poll.
    spacing, over_ten = spacings([e["mono"] for e in mine if e["event"] == "ioctl" and e["req"] == "TIOCMGET"])
    print("ok: %d polls, spacing median %.3f ms, mean %.3f ms, median over 10 polls %.3f ms"
          % (len(spacing) + 1, statistics.median(spacing), statistics.mean(spacing), statistics.median(over_ten)))
    check(abs(statistics.mean(spacing) - 20.0) < 0.2, "polls are not 20 ms apart on average")
    check(not any(e["com"] == "COM1" for e in events if "com" in e), "COM1 was touched")


def box_selftest(s):
    """The refusals, the counting chain, and an unmapped COM name that does not open.  Closing the box then
    checks that the prefix is left without device links."""
    box = s.box
    box.add_port("COM1", "present")
    box.add_port("COM2", "present,hz=10,pulses=5,delay=300,origin=open")
    refusals(box, s.tools.probe)
    counting_chain(box, s.tools.probe)
    status = box.wine([s.tools.probe, "port", "COM3", "1"], "absent").wait(timeout=60)
    output = box.said("absent")
    check(status == 1 and output.startswith("open-failed 2"), "COM3 opened or failed otherwise: %s" % output)
    print("ok: unmapped COM3 does not open")
    box.wait_server(kill=True)
    box.check_prefix()


# kapirel.exe's own, beside the behaviours both programs share, and the box's own.
SCENARIOS = dict(SHARED[WINE], **{f.__name__: f for f in (
    end_by_alt_f4, end_by_session_end, counting_in_window_menu, window_at_144_dpi, installer,
    focus_on_unmarked_option, prefix, box_selftest)})
# Scenarios that change the prefix (install into it, set its DPI) get a copy of it, so that the others find it as the
# suite made it.
OWN_PREFIX = ("installer", "window_at_144_dpi")


def main():
    options = runner.parser()
    for option in ("--exe", "--probe", "--msi", "--version", "--prefix", "--preload", "--xsession", "--work"):
        options.add_argument(option)
    args = options.parse_args()
    status = runner.chosen(SCENARIOS, args)
    if status is not None:
        return status
    for path in (args.exe, args.probe, args.msi):
        if not path or not os.path.isfile(path):
            print("FAIL: missing: %s" % path, file=sys.stderr)
            return 1
    winebox.enter()
    tools = Tools(os.path.abspath(args.exe), os.path.abspath(args.probe), os.path.abspath(args.msi), args.version,
                  xsession.display_of(args.xsession))
    return runner.run(SCENARIOS, args.names, args.work,
                      lambda name: contextlib.closing(Scenario(tools, args, name, name in OWN_PREFIX)),
                      expected=(Failure, winebox.BoxError))


if __name__ == "__main__":
    sys.exit(main())
