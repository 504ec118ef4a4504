"""The X tools that both drivers work a program's windows with: xdotool,
wmctrl, xwininfo, xprop and ImageMagick's import, on one display."""

import re
import subprocess
import time

from kapirel_e2e.interface import Failure


class XClient:
    """A subclass gives display and x_env(), the tools' environment."""

    display = None

    def x(self, *argv, check_rc=True):
        env = dict(self.x_env())
        if self.display:
            env["DISPLAY"] = self.display
        done = subprocess.run(list(argv), env=env, capture_output=True, text=True, timeout=30)
        if check_rc and done.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(argv), done.returncode, done.stderr.strip()))
        return done.stdout

    def search(self, title, pid=None):
        """The visible windows whose whole title is title (of process pid)."""
        argv = ["xdotool", "search", "--all", "--onlyvisible"] + (["--pid", str(pid)] if pid else [])
        out = self.x(*argv, "--name", "^%s$" % re.escape(title), check_rc=False)
        return [int(w) for w in out.split()]

    def geometry(self, wid):
        """The client area on the screen: x, y, width, height.  (xdotool's
        getwindowgeometry counts the frame of a reparenting manager twice.)"""
        values = {}
        for line in self.x("xwininfo", "-id", str(wid)).splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def properties(self, wid, *names):
        """xprop's text of each property, by name and type: {"WM_NAME(STRING)": '"Orvik KAPIREL "'}; a missing
        one is left out."""
        found = {}
        for line in self.x("xprop", "-id", str(wid), *names).splitlines():
            match = re.match(r"^(\w+\([^)]*\)) = (.*)$", line)
            if match:
                found[match.group(1)] = match.group(2)
        return found

    def click(self, wid, point):
        self.x("xdotool", "windowactivate", "--sync", str(wid))
        self.x("xdotool", "mousemove", "--window", str(wid), str(point[0]), str(point[1]), "click", "1")

    def press(self, wid, *keys):
        self.x("xdotool", "windowactivate", "--sync", str(wid))
        for key in keys:
            self.x("xdotool", "key", "--clearmodifiers", key)
            time.sleep(0.15)

    def close(self, wid):
        """The window manager's close (WM_DELETE_WINDOW), as the close button does."""
        self.x("wmctrl", "-i", "-c", "0x%x" % wid)

    def screenshot(self, wid, path):
        """The window with its frame, as PNG at path."""
        x, y, width, height = self.geometry(wid)
        extents = self.x("xprop", "-id", str(wid), "_NET_FRAME_EXTENTS", check_rc=False)
        numbers = re.findall(r"\d+", extents.split("=", 1)[-1])
        left, right, top, bottom = map(int, numbers) if len(numbers) == 4 else (0, 0, 0, 0)
        self.x("import", "-window", "root", "-crop",
               "%dx%d+%d+%d" % (width + left + right, height + top + bottom, x - left, y - top), "+repage", path)
        return path
