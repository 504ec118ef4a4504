"""Windows programs under Wine, where no real serial port or console can be reached.

Wine's mount manager links every /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* it finds to a COM name, in every prefix,
at every session start.  On the test machines COM1 would be /dev/ttyS0, the machine's own console.  So Wine runs only
inside a box:

- a private mount and pid namespace (unshare; needs root), entered by re-executing the calling script (enter()); when
  the script ends, the kernel ends every process left in the namespace, wineserver included;
- a tmpfs over /dev holding only null, zero, full, random, urandom, shm, a new devpts instance and its ptmx;
- a tmpfs over wineserver's socket directory (/tmp/.wine-UID), so that the server is the box's own; the rest of /tmp
  stays visible, so that a build tree under /tmp works as anywhere else;
- the work directory also at a short path under /tmp, through which Wine's programs are given it, as Wine takes no
  current directory longer than MAX_PATH;
- COM names mapped through HKLM\\Software\\Wine\\Ports to pty slaves that the box opened itself, with every other COM
  link removed from the prefix;
- nothing written to the machine's home: the user folders that wineboot links to $HOME (Documents, Desktop, ...) are
  the prefix's own directories, and winemenubuilder, which copies Start-menu shortcuts into the desktop's menus under
  $HOME, does not run.

Box.wine() refuses to start anything unless check_dev() and check_prefix() pass at that moment.  The modem lines of
the ptys come from libwine-meter.so (tools/wine-meter), preloaded into Wine's processes, which records them.
"""

import contextlib
import glob
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

INSIDE_MARK = "WINEBOX_INSIDE"
OUTER_NS = "WINEBOX_OUTER_MNTNS"

# Where wineserver puts its socket; the box mounts its own over it.
SERVER_DIR = "/tmp/.wine-%d" % os.geteuid()
# name: (major, minor) of the only device nodes the box's /dev holds.
DEV_NODES = {"null": (1, 3), "zero": (1, 5), "full": (1, 7), "random": (1, 8), "urandom": (1, 9)}
PTY_MAJORS = range(136, 144)
PTMX = (5, 2)

PORTS_KEY = "[Software\\\\Wine\\\\Ports]"


class BoxError(Exception):
    """Something that must stop a test before Wine runs."""


def enter():
    """Re-executes the calling script in a fresh box; returns only inside it."""
    if os.environ.get(INSIDE_MARK) == "1":
        return
    if os.geteuid() != 0:
        raise BoxError("the Wine box needs root (unshare -m, mount)")
    env = dict(os.environ, **{INSIDE_MARK: "1", OUTER_NS: str(os.stat("/proc/self/ns/mnt").st_ino)})
    argv = ["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--kill-child", "--mount-proc",
            sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:]
    sys.stdout.flush()
    sys.stderr.flush()
    os.execvpe("unshare", argv, env)


def _run(*argv):
    """mount(8) or umount(8), to set the box up or take it down."""
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise BoxError("%s: %s" % (" ".join(argv), done.stderr.strip()))


def _device(info):
    """(major, minor) of a character device, None for anything else."""
    return (os.major(info.st_rdev), os.minor(info.st_rdev)) if stat.S_ISCHR(info.st_mode) else None


def _mounts():
    """(mount point, fstype, propagation) of this namespace, in order."""
    listed = subprocess.run(["findmnt", "--raw", "--noheadings", "--output", "TARGET,FSTYPE,PROPAGATION"],
                            capture_output=True, text=True, check=True).stdout
    return [line.split() for line in listed.splitlines()]


def _check_namespace():
    if os.environ.get(INSIDE_MARK) != "1" or os.getpid() != 1:
        raise BoxError("not inside the box's pid namespace (call winebox.enter() first)")
    outer = os.environ.get(OUTER_NS)
    if not outer or str(os.stat("/proc/self/ns/mnt").st_ino) == outer:
        raise BoxError("still in the machine's mount namespace")
    for point, _, propagation in _mounts():
        if "shared" in propagation.split(","):
            raise BoxError("mount %s propagates to the machine (shared)" % point)


class Box:
    """The inside of the namespace: /dev, the server directory, ptys, the prefix and Wine's processes."""

    def __init__(self, work, prefix, preload, display=None):
        self.work = os.path.abspath(work)
        self.prefix = os.path.abspath(prefix)
        self.preload = os.path.abspath(preload)
        self.dosdevices = os.path.join(self.prefix, "dosdevices")
        self.display = display
        self.ptys = {}  # COM name -> (master fd, slave fd, slave path)
        self.ports = {}  # COM name -> meter description for the preload
        self.log_path = os.path.join(self.work, "meter.jsonl")
        self.triggers = os.path.join(self.work, "triggers")
        self.start_mono = time.monotonic()
        self.processes = []
        _check_namespace()
        for path in (self.work, self.prefix, self.preload):
            for hidden in (SERVER_DIR, "/dev"):
                if path == hidden or path.startswith(hidden + "/"):
                    raise BoxError("%s would be hidden by the box's own %s" % (path, hidden))
        self._make_dev()
        # wineserver insists on a directory of its user's, mode 0700; made on
        # the machine's /tmp when missing, it stays empty there.
        os.makedirs(SERVER_DIR, mode=0o700, exist_ok=True)
        _run("mount", "-t", "tmpfs", "-o", "nosuid,nodev,mode=0700", "tmpfs", SERVER_DIR)
        shutil.rmtree(self.triggers, ignore_errors=True)
        os.makedirs(self.triggers)  # and the work directory
        Path(self.log_path).unlink(missing_ok=True)
        # Wine takes no current directory longer than MAX_PATH, which one in a
        # deep checkout is: Wine's programs see the work directory through a
        # short path of the box's own.
        self.short_work = tempfile.mkdtemp(prefix="kapirel-wine-", dir="/tmp")
        _run("mount", "--bind", self.work, self.short_work)
        if not os.path.isfile(self.preload):
            raise BoxError("preload library %s is missing" % self.preload)
        self.check_dev()

    # --- /dev ---------------------------------------------------------------

    def _make_dev(self):
        _run("mount", "-t", "tmpfs", "-o", "nosuid,noexec,mode=0755,size=1m", "tmpfs", "/dev")
        for name, (major, minor) in DEV_NODES.items():
            os.mknod("/dev/" + name, stat.S_IFCHR | 0o666, os.makedev(major, minor))
            os.chmod("/dev/" + name, 0o666)
        os.mkdir("/dev/pts")
        _run("mount", "-t", "devpts", "-o", "nosuid,noexec,newinstance,ptmxmode=0666,mode=0620", "devpts", "/dev/pts")
        os.symlink("pts/ptmx", "/dev/ptmx")
        os.mkdir("/dev/shm")
        _run("mount", "-t", "tmpfs", "-o", "nosuid,mode=1777", "tmpfs", "/dev/shm")

    def check_dev(self):
        """Fails unless /dev holds exactly what the box made, and no descriptor of
        this process reaches a tty outside the box."""
        _check_namespace()
        mounts = {point: fstype for point, fstype, _ in _mounts()}
        if mounts.get("/dev") != "tmpfs" or mounts.get("/dev/pts") != "devpts" or mounts.get(SERVER_DIR) != "tmpfs":
            raise BoxError("/dev, /dev/pts or %s is not the box's own mount: %s" % (SERVER_DIR, mounts))
        own_ptys = {os.path.basename(path) for _, _, path in self.ptys.values()}
        pts_dev = os.stat("/dev/pts").st_dev
        for root, dirs, files in os.walk("/dev"):
            for name in dirs + files:
                path = os.path.join(root, name)
                info = os.lstat(path)
                relative = os.path.relpath(path, "/dev")
                if name.startswith(("tty", "console")):
                    raise BoxError("%s is visible in the box" % path)
                node = _device(info)
                if not (relative in ("pts", "shm") and stat.S_ISDIR(info.st_mode) or root == "/dev/shm"
                        or relative == "ptmx" and stat.S_ISLNK(info.st_mode) and os.readlink(path) == "pts/ptmx"
                        or node is not None and node == DEV_NODES.get(relative)
                        or relative == "pts/ptmx" and node == PTMX
                        or root == "/dev/pts" and name in own_ptys and node is not None and node[0] in PTY_MAJORS
                        and info.st_dev == pts_dev):
                    raise BoxError("%s is not something the box made" % path)
        for entry in os.listdir("/proc/self/fd"):
            with contextlib.suppress(OSError):
                info = os.stat("/proc/self/fd/" + entry)
                node = _device(info)
                if node is not None and info.st_dev != pts_dev and node not in DEV_NODES.values():
                    raise BoxError("descriptor %s reaches device %d:%d outside the box" % (entry, *node))

    # --- ports --------------------------------------------------------------

    def add_port(self, com, description="present"):
        """A pty slave behind COM1/COM2, its modem lines from the meter's
        description (virtual-meter --com1/--com2 syntax, present or notserial).
        A COM name never added is absent: not mapped at all."""
        if com not in ("COM1", "COM2"):
            raise BoxError("only COM1 and COM2 are emulated, not %s" % com)
        if com in self.ptys:
            raise BoxError("%s added twice" % com)
        master, slave = os.openpty()
        os.set_blocking(master, False)
        path = os.ttyname(slave)
        if not path.startswith("/dev/pts/"):
            raise BoxError("pty slave %s is not in the box's devpts" % path)
        self.ptys[com] = (master, slave, path)
        self.ports[com] = description
        return path

    def trigger(self, which=1):
        """Starts the waveforms of origin=usr1 (usr2) ports now; returns the time."""
        now = time.monotonic()
        temporary = Path(self.triggers, ".usr%d" % which)
        temporary.write_text("%.6f\n" % now)
        temporary.rename(os.path.join(self.triggers, "usr%d" % which))
        return now

    # --- prefix -------------------------------------------------------------

    def map_ports(self):
        """Writes the COM mapping into the prefix and removes every other link;
        the prefix must not be in use."""
        self._require_prefix()
        if self._server_running():
            raise BoxError("a wineserver runs for %s; the mapping must be written before" % self.prefix)
        for name in os.listdir(self.dosdevices):
            if name not in ("c:", "z:"):
                os.remove(os.path.join(self.dosdevices, name))
        registry, written = Path(self.prefix, "system.reg"), Path(self.prefix, "system.reg.new")
        text = registry.read_text(encoding="utf-8", errors="surrogateescape")
        # Every Ports key, from its header to the blank line after its values, goes; the box's own comes last.
        text = re.sub(r"^%s.*\n(?:.+\n)*\n?" % re.escape(PORTS_KEY), "", text, flags=re.M).rstrip("\n")
        text += "\n\n%s %d\n" % (PORTS_KEY, int(time.time()))
        text += "".join('"%s"="%s"\n' % (com, pty) for com, (_, _, pty) in sorted(self.ptys.items())) + "\n"
        written.write_text(text, encoding="utf-8", errors="surrogateescape")
        written.rename(registry)
        self.check_prefix()

    def check_prefix(self):
        """Fails unless dosdevices and the Ports key name only what the box made."""
        wanted = {com: path for com, (_, _, path) in self.ptys.items()}
        expected = dict({"c:": "../drive_c", "z:": "/"}, **{com.lower(): path for com, path in wanted.items()})
        for name in os.listdir(self.dosdevices):
            link = os.path.join(self.dosdevices, name)
            target = os.readlink(link) if os.path.islink(link) else None
            if name not in expected or target != expected[name]:
                raise BoxError("dosdevices/%s -> %s was not made by the box" % (name, target))
        values = read_registry(os.path.join(self.prefix, "system.reg")).get("Software\\Wine\\Ports", {})
        found = {name.upper(): value for name, value in values.items()}
        if found != wanted:
            raise BoxError("HKLM\\Software\\Wine\\Ports holds %s, not %s" % (found, wanted))

    def unix_path(self, windows):
        """Where a path on the prefix's drive C: or on Z: (the machine's root) is."""
        roots = {"C:": os.path.join(self.prefix, "drive_c"), "Z:": "/"}
        drive = windows[:2].upper()
        if drive not in roots:
            raise BoxError("%s is on neither C: nor Z:" % windows)
        return os.path.normpath(roots[drive] + "/" + windows[2:].replace("\\", "/"))

    def windows_path(self, unix):
        """A path as Wine's programs name it: on C: inside the prefix's drive, else on Z:."""
        unix = os.path.abspath(unix)
        drive_c = os.path.join(self.prefix, "drive_c")
        if unix == drive_c or unix.startswith(drive_c + "/"):
            return "C:\\" + os.path.relpath(unix, drive_c).replace("/", "\\")
        return "Z:" + self._seen_by_wine(unix).replace("/", "\\")

    def _seen_by_wine(self, unix):
        """unix, through the short path where it lies in the work directory."""
        if unix == self.work or unix.startswith(self.work + "/"):
            return self.short_work + unix[len(self.work):]
        return unix

    def _require_prefix(self):
        if not os.path.isfile(os.path.join(self.prefix, "system.reg")):
            raise BoxError("no Wine prefix at %s (create it first)" % self.prefix)

    @staticmethod
    def _server_running():
        # By argv[0] in the box's /proc: a wineserver that has ended, a zombie until this script (the box's init)
        # reaps it, has none.
        for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
            with contextlib.suppress(OSError), open(cmdline, "rb") as argv:
                if b"wineserver" in argv.read().split(b"\0")[0]:
                    return True
        return False

    def create_prefix(self):
        """A new prefix (wineboot --init); returns (seconds, bytes)."""
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        started = time.monotonic()
        self._spawn(["wineboot", "--init"], "wineboot-init").wait(timeout=180)
        self.wait_server(timeout=120)
        seconds = time.monotonic() - started
        self._own_user_folders()
        size = sum(os.lstat(os.path.join(root, name)).st_size for root, _, files in os.walk(self.prefix)
                   for name in files if not os.path.islink(os.path.join(root, name)))
        self.check_prefix()
        return seconds, size

    def _own_user_folders(self):
        for path in glob.glob(os.path.join(glob.escape(self.prefix), "drive_c", "users", "*", "*")):
            if os.path.islink(path) and os.path.isabs(os.readlink(path)):
                os.remove(path)
                os.mkdir(path)

    # --- Wine's processes ---------------------------------------------------

    def env(self):
        # WINE takes the box's own marks (WINEBOX_*) too.
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("WINE", "LD_", "QT_", "WAYLAND"))}
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                   LD_PRELOAD=self.preload, WINE_METER_LOG=self.log_path,
                   WINE_METER_START="%.6f" % self.start_mono, WINE_METER_TRIGGERS=self.triggers,
                   LC_ALL="C.UTF-8")
        env.pop("DISPLAY", None)
        if self.display:
            env["DISPLAY"] = self.display
        for com, (_, _, path) in self.ptys.items():
            env["WINE_METER_%s_DEVICE" % com] = path
            env["WINE_METER_%s" % com] = self.ports[com]
        return env

    def _spawn(self, argv, name, cwd=None):
        self.check_dev()
        out = open(os.path.join(self.work, name + ".out"), "ab")
        cwd = self._seen_by_wine(os.path.abspath(cwd or self.work))
        process = subprocess.Popen(argv, env=self.env(), cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT, start_new_session=True, close_fds=True)
        out.close()
        self.processes.append(process)
        return process

    def said(self, name):
        """What the process started as `name` wrote, standard output and error."""
        return Path(self.work, name + ".out").read_text(encoding="utf-8", errors="replace")

    def wine(self, argv, name="wine", cwd=None):
        """Starts `wine argv...` once the box and the prefix check out."""
        self._require_prefix()
        self.check_prefix()
        return self._spawn(["wine"] + list(argv), name, cwd)

    def end_session(self, timeout=30):
        """The session-end messages (WM_QUERYENDSESSION/WM_ENDSESSION) to every window."""
        self._spawn(["wine", "wineboot", "--end-session"], "end-session").wait(timeout=timeout)

    def wait_server(self, timeout=30, kill=False):
        """Waits until the prefix's wineserver has ended (it saves the registry then); kill: ends it first."""
        for option in ("-k", "-w") if kill else ("-w",):
            subprocess.run(["wineserver", option], env=self.env(), stdin=subprocess.DEVNULL, timeout=timeout,
                           check=False)

    def close(self):
        """Ends Wine, checks that the session left the prefix clean, and leaves it without any device link or Ports
        value, so that it names no pty of a box that is gone (map_ports checks that too)."""
        mapped = list(self.ptys.values())
        try:
            if self.processes:
                self.wait_server(kill=True)
            for process in self.processes:
                if process.poll() is None:
                    process.kill()
                    process.wait()
            if os.path.isfile(os.path.join(self.prefix, "system.reg")):
                self.check_prefix()
                self.ptys = {}
                self.map_ports()
        finally:
            for master, slave, _ in mapped:
                os.close(master)
                os.close(slave)
            _run("umount", "--lazy", self.short_work)
            os.rmdir(self.short_work)


def read_registry(path):
    """A registry file of the prefix (system.reg, user.reg) as {key: {name: value}}: the keys without the root
    key's name, strings unquoted, other values as written ("dword:00000001")."""
    keys = {}
    values = None
    for line in Path(path).read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith("["):
            values = keys.setdefault(_unescape(line[1:line.rindex("]")]), {})
            continue
        match = re.match(r'^("(?:[^"\\]|\\.)*"|@)=(?:str\(\d\):)?(.*)$', line)
        if values is not None and match:
            name, value = match.groups()
            quoted = re.fullmatch(r'"((?:[^"\\]|\\.)*)"', value)
            values[_unescape(name.strip('"'))] = _unescape(quoted.group(1)) if quoted else value
    return keys


def _unescape(text):
    return re.sub(r"\\(.)", r"\1", text)

