"""The runs: the real kapirel under the meter, and the reference loops run
beside it, so that machine noise falls on both figures of a ratio alike; what
they read of the meter's record (polls, their spacing, edges) and of /proc."""

import contextlib
import dataclasses
import math
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

from kapirel_e2e import proc
from kapirel_e2e.behaviours import pulses as square_wave
from kapirel_e2e.harness import Session, Tools
from kapirel_e2e.interface import LOG_LINE, POWER_ON, Failure, check_setup, rising_edges, wait_until

SETTLE_S = 1.0
PULSE_DELAY_S = 0.2  # behaviours.pulses's delay
PERIOD_MS = 20.0
IDLE_LOOP = "bench-idle-loop"
POLL_LOOP = "bench-poll-loop"
# The meters of the runs under load answer at real-time priority, as promptly
# as a kernel driver (virtual-meter --realtime: SCHED_FIFO 30).
REALTIME_METER = ("--realtime",)
METER_PRIORITY = 30
LOADED_RUNS = 3
# Neither way to real time open to the program: no CAP_SYS_NICE for
# pthread_setschedparam, RLIMIT_RTPRIO 0, and no system bus to reach rtkit.
NO_SYSTEM_BUS = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/kapirel-bench-no-system-bus"}
CAP_SYS_NICE = 23
REAL_TIME_POLICIES = {os.SCHED_FIFO: "SCHED_FIFO", os.SCHED_RR: "SCHED_RR", 6: "SCHED_DEADLINE"}


class CannotMeasure(Exception):
    pass


def note(text):
    print("bench: " + text, file=sys.stderr, flush=True)


@dataclasses.dataclass
class Bench:
    """What every run needs: the programs, the X display, where to work, the
    lengths of the runs, and the results so far."""

    tools: Tools
    work: str
    window: float
    pulses: int
    starts: int
    long_seconds: float
    results: dict

    def loop_tools(self, program):
        """A reference loop, built beside the meter, in the program's place."""
        return dataclasses.replace(self.tools, kapirel=os.path.join(os.path.dirname(self.tools.meter), program))


# --- /proc ------------------------------------------------------------------------

def machine_ticks():
    """(busy, total) jiffies of all CPUs from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    total = sum(fields[:8])  # guest time is already inside user
    return total - fields[3] - fields[4], total  # less idle and iowait


def busy_percent(before, after):
    total = after[1] - before[1]
    return 100.0 * (after[0] - before[0]) / total if total else 0.0


def wait_quiet(max_wait, limit_percent=20.0):
    """Waits until the whole machine was less than limit_percent busy over 2 s
    (other people's builds share it); gives up after max_wait seconds."""
    deadline = time.monotonic() + max_wait
    said = False
    while True:
        before = machine_ticks()
        time.sleep(2.0)
        busy = busy_percent(before, machine_ticks())
        if busy < limit_percent:
            return
        if time.monotonic() >= deadline:
            return note("the machine is still %.0f %% busy; measuring anyway" % busy)
        if not said:
            note("the machine is %.0f %% busy (load %.2f); waiting up to %.0f s for it to calm down"
                 % (busy, os.getloadavg()[0], max_wait))
            said = True


def cpu_ns(pid):
    """The scheduler's on-CPU nanoseconds of all the process's threads, from its CPU-time clock: the clock id
    that clock_getcpuclockid(3) gives, MAKE_PROCESS_CPUCLOCK(pid, CPUCLOCK_SCHED), which Python's os lacks."""
    try:
        return time.clock_gettime_ns((~pid << 3) | 2)
    except OSError:
        raise CannotMeasure("no CPU clock of process %d (did it end?)" % pid)


def status_kb(pid, key):
    """A kB figure of /proc/<pid>/status, e.g. VmHWM."""
    with contextlib.suppress(OSError), open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise CannotMeasure("no %s in /proc/%d/status" % (key, pid))


def realtime_threads(pid):
    """The threads of a process that run at a real-time policy, as "name SCHED_RR 10"."""
    return ["%s %s %d" % (name, REAL_TIME_POLICIES[policy], priority)
            for name, policy, priority in proc.threads(pid).values() if policy in REAL_TIME_POLICIES]


class Window:
    """One measurement window over one or more processes measured side by side
    (same seconds, same machine): the CPU of each, the machine's, the load
    (by default the 1-minute load average at its start)."""

    def __init__(self, pids, load=None):
        self.pids = dict(pids)
        self.load = os.getloadavg()[0] if load is None else load
        self.machine0 = machine_ticks()
        self.mono0 = time.monotonic()
        self.start = {name: cpu_ns(pid) for name, pid in self.pids.items()}

    def close(self):
        self.cpu_ns = {name: cpu_ns(pid) - self.start[name] for name, pid in self.pids.items()}
        self.mono1 = time.monotonic()
        self.seconds = self.mono1 - self.mono0
        # Busy share of the whole machine (all cores), the benchmark's own processes included.
        self.machine_percent = busy_percent(self.machine0, machine_ticks())

    def percent(self, name="kapirel"):
        return 100.0 * self.cpu_ns[name] / 1e9 / self.seconds

    def context(self):
        return "load %.2f, machine %.0f %% busy" % (self.load, self.machine_percent)

    def record(self, name="kapirel"):
        """The figures of one process, for the results."""
        return {"percent": self.percent(name), "seconds": self.seconds, "context": self.context()}


def steady_window(pids, seconds):
    """pids measured over seconds, once the runs settled."""
    time.sleep(SETTLE_S)
    window = Window(pids)
    time.sleep(seconds)
    window.close()
    return window


# --- the meter's record -----------------------------------------------------------

def polls_of(conn):
    """The program's Timer1 polls on conn (a connection of the e2e harness): the reads of CTS after the
    start-up's own, which is the first after the line settings; found by the meter's stamps, not by their
    place among the calls (docs/benchmarks.md, start-up)."""
    try:
        check_setup(conn, timeout=0)
    except Failure as problem:
        raise CannotMeasure(str(problem))
    steps = conn.steps()
    powered = steps[len(POWER_ON) - 1].mono
    reads = sorted((step for step in steps if step.kind == "read" and step.mono > powered), key=lambda step: step.mono)
    if not reads:
        raise CannotMeasure("no read of CTS on %s after its line settings" % conn)
    return [step.call for step in reads if step.mono > reads[0].mono]


def spacing(polls, start, end):
    """Gaps in ms between successive polls with start <= mono <= end."""
    times = [p["mono"] for p in polls if start <= p["mono"] <= end]
    return [(b - a) * 1000.0 for a, b in zip(times, times[1:])]


def spacing_stats(gaps):
    if len(gaps) < 10:
        raise CannotMeasure("only %d poll gaps in the window" % len(gaps))
    ordered = sorted(gaps)
    return {"n": len(gaps), "short": sum(1 for g in gaps if g < PERIOD_MS / 2), "min": ordered[0],
            "median": statistics.median(gaps), "p99": ordered[math.ceil(0.99 * len(ordered)) - 1],  # nearest rank
            "max": ordered[-1], "mean": statistics.fmean(gaps)}


def edges_seen(polls):
    return rising_edges(p for p in polls if p["result"] == 0)


# --- the program ------------------------------------------------------------------

def stop(run, what="the program"):
    """SIGTERM to the meter, which forwards it; the run is to end with status 0."""
    run.signal_meter(signal.SIGTERM)
    status = run.wait_exit(20)
    if status != 0:
        raise CannotMeasure("%s exited with %s: %s" % (what, status, run.output_text()))


def end_run(run):
    """stop(run); returns the logged count."""
    stop(run)
    match = LOG_LINE.match(run.measurement_log())
    if match is None:
        raise CannotMeasure("NAMERENO.TXT is not one measurement line: %r" % run.measurement_log())
    return int(match.group(4))


def sleep_until(mono):
    time.sleep(max(0.0, mono - time.monotonic()))  # sleeps at least that long, on CLOCK_MONOTONIC


def start_pulses(run):
    """Starts the wave: (load average just before, first pulse, end of the last pulse), the times in
    CLOCK_MONOTONIC seconds."""
    load = os.getloadavg()[0]
    origin = run.trigger(1)
    offset = origin["mono"] - origin["t"]  # from the meter's "t" to CLOCK_MONOTONIC
    return load, origin["origin_t"] + PULSE_DELAY_S + offset, origin["wave_end_t"] + offset


def start_polling(session, com2="present", **start):
    """kapirel with both ports, polling "COM2": (run, conn, pid).  start: more
    of Session.start's arguments."""
    run = session.start(com1="present", com2=com2, **start)
    run.main_window()
    conn = run.wait_polling("COM2")
    return run, conn, run.kapirel_pid()


# --- the reference loops ---------------------------------------------------------

class Loop:
    """A reference loop, the program of session's tools, under its own virtual
    meter, as kapirel runs under its own: the same preload library around
    every system call.  com2 "absent" (both ports absent) for the idle loop;
    else what the poll loop's "COM2" does."""

    def __init__(self, session, com2, machine=()):
        self.run = session.start(com1="absent" if com2 == "absent" else "present", com2=com2, machine=machine)
        self.conn = None
        if com2 != "absent":
            self.conn = wait_until(lambda: (self.run.conns("COM2") or [None])[0], 20, "the loop's open of COM2")
            wait_until(lambda: len(self.polls()) >= 3, 20, "the loop's polls")
        self.pid = self.run.kapirel_pid()

    def polls(self):
        """Its TIOCMGET calls: the poll loop does nothing else."""
        return [c for c in self.run.ioctls(self.conn) if c["req"] == "TIOCMGET"]

    def spacing(self, window):
        return spacing_stats(spacing(self.polls(), window.mono0, window.mono1))

    def stop(self):
        stop(self.run, os.path.basename(self.run.tools.kapirel))


@contextlib.contextmanager
def loop_beside(bench, name, program, com2, machine=()):
    """Runs a reference loop (com2 as for Loop) until the block ends."""
    with Session(bench.loop_tools(program), bench.work, name) as session:
        loop = Loop(session, com2, machine)
        yield loop
        loop.stop()


@contextlib.contextmanager
def spinning(program, count=1):
    """count processes of program (argv) until the block ends: the idle loop
    without the meter (it opens no port), or busy loops on the CPU."""
    procs = [subprocess.Popen(program, stdin=subprocess.DEVNULL) for _ in range(count)]
    try:
        yield procs
        ended = [process.returncode for process in procs if process.poll() is not None]
        if ended:
            raise CannotMeasure("%s ended during the measurement (status %s)" % (program[0], ended[0]))
    finally:
        for process in procs:
            process.kill()
            process.wait(10)


# --- the measurements ---------------------------------------------------------------

def idle_run(bench, session):
    """COM2 open, CTS steady: poll spacing and CPU with nothing to count; the
    poll loop beside it."""
    results = bench.results
    note("idle poll run (%.0f s), the poll loop beside it" % bench.window)
    run, conn, pid = start_polling(session)
    with loop_beside(bench, session.name + "-loop", POLL_LOOP, "present") as loop:
        window = steady_window({"kapirel": pid, "loop": loop.pid}, bench.window)
    hwm = status_kb(pid, "VmHWM")
    count = end_run(run)
    if count != 0:
        raise CannotMeasure("the idle run counted %d pulses" % count)
    gaps = spacing(polls_of(conn), window.mono0, window.mono1)
    results["spacing"] = dict(spacing_stats(gaps), seconds=window.seconds, context=window.context())
    results["cpu_idle"] = dict(window.record(), loop=window.percent("loop"), loop_spacing=loop.spacing(window))
    results["hwm"]["idle"] = hwm


def reference_run(bench, session):
    """The instrument's own floor: the poll loop alone, with ideal absolute
    20 ms deadlines and nothing else to do, under the same meter.  Its spacing
    is what the umockdev round trip, the meter and the machine add."""
    note("reference poll loop alone (%.0f s)" % bench.window)
    session.tools = bench.loop_tools(POLL_LOOP)
    loop = Loop(session, "present")
    window = steady_window({"loop": loop.pid}, bench.window)
    loop.stop()
    bench.results["reference"] = dict(loop.spacing(window), cpu=window.record("loop"))


def capture_run(bench, session, hz):
    pulses, results = bench.pulses, bench.results
    note("capture at %g Hz, %d pulses (%.0f s), the poll loop beside it" % (hz, pulses, pulses / hz))
    run, conn, pid = start_polling(session, square_wave(pulses, hz=hz))
    with loop_beside(bench, session.name + "-loop", POLL_LOOP, "present") as loop:
        time.sleep(SETTLE_S)
        load, first_pulse, wave_end = start_pulses(run)
        sleep_until(first_pulse)
        window = Window({"kapirel": pid, "loop": loop.pid}, load)
        sleep_until(wave_end)
        window.close()
    # The last pulse ended at wave_end; one poll after it has seen the idle level.
    wait_until(lambda: any(p["mono"] > wave_end + 0.05 for p in polls_of(conn)[-5:]), 10,
               "a poll after the last pulse")
    hwm = status_kb(pid, "VmHWM")
    counted = end_run(run)
    polls = polls_of(conn)
    results["capture"].append({
        "hz": hz, "sent": pulses, "counted": counted, "seen_by_polls": edges_seen(polls),
        "spacing": spacing_stats(spacing(polls, first_pulse, wave_end)), "seconds": window.seconds,
        "cpu_percent": window.percent(), "loop": window.percent("loop"), "loop_spacing": loop.spacing(window),
        "context": window.context()})
    results["hwm"]["capture %g Hz" % hz] = hwm


def unprivileged():
    """(wrap, env) that run kapirel with no way to real time: RLIMIT_RTPRIO 0,
    CAP_SYS_NICE dropped from its bounding set (as root; a user has none to
    drop), and no system bus for rtkit.  Checked on chrt, which must fail."""
    wrap = ["prlimit", "--rtprio=0", "--"]
    with open("/proc/self/status") as status:
        effective = next(int(line.split()[1], 16) for line in status if line.startswith("CapEff:"))
    if effective >> CAP_SYS_NICE & 1:
        wrap += ["setpriv", "--inh-caps=-all", "--bounding-set=-sys_nice", "--"]
    probe = subprocess.run(wrap + ["chrt", "--rr", "10", "true"], env=dict(os.environ, **NO_SYSTEM_BUS),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode == 0:
        raise CannotMeasure("%s still lets a program take SCHED_RR" % " ".join(wrap))
    return wrap, NO_SYSTEM_BUS


def realtime_refused():
    """Why the meters cannot run at real-time priority here, or None."""
    probe = subprocess.run(["chrt", "--fifo", str(METER_PRIORITY), "true"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if probe.returncode == 0:
        return None
    return ("the meters may not run at SCHED_FIFO %d (needs CAP_SYS_NICE or RLIMIT_RTPRIO >= %d): %s"
            % (METER_PRIORITY, METER_PRIORITY, probe.stderr.strip()))


def check_meter_realtime(run):
    """The meter's answering threads, as its "realtime" event names them, are at SCHED_FIFO."""
    raised = {thread["tid"] for thread in run.event("realtime")["threads"]}
    now = {tid: policy for tid, (_, policy, _) in proc.threads(run.process.pid).items()}
    if not raised or any(now.get(tid) != os.SCHED_FIFO for tid in raised):
        raise CannotMeasure("the meter's threads %s are not at SCHED_FIFO: %s" % (sorted(raised), now))


def loaded_capture(bench, session, index, hz, busy, wrap, env):
    """One run: the same pulses at the same moment to kapirel and to the poll
    loop, each under its own meter at real-time priority, while `busy`
    processes spin on the cores."""
    wave = square_wave(bench.pulses, hz=hz)
    run, conn, pid = start_polling(session, wave, cwd=session.workdir("run-%d" % index), machine=REALTIME_METER,
                                   wrap=wrap, env=env)
    with loop_beside(bench, "%s-loop-%d" % (session.name, index), POLL_LOOP, wave, REALTIME_METER) as loop, \
            spinning(["sh", "-c", "while :; do :; done"], busy):
        time.sleep(SETTLE_S)
        load, first_pulse, wave_end = start_pulses(run)
        _, loop_first, loop_end = start_pulses(loop.run)
        sleep_until(max(first_pulse, loop_first))
        window = Window({"kapirel": pid, "loop": loop.pid}, load)
        sleep_until(max(wave_end, loop_end) + 0.1)
        window.close()
        program_rt = realtime_threads(pid)
        loop_rt = realtime_threads(loop.pid)
        check_meter_realtime(run)
        check_meter_realtime(loop.run)
    counted = end_run(run)
    polls = polls_of(conn)
    loop_polls = loop.polls()
    return {"counted": counted, "seen_by_polls": edges_seen(polls), "loop_counted": edges_seen(loop_polls),
            "spacing": spacing_stats(spacing(polls, first_pulse, wave_end)),
            "loop_spacing": spacing_stats(spacing(loop_polls, loop_first, loop_end)), "program_rt": program_rt,
            "loop_rt": loop_rt, "cpu_percent": window.percent(), "loop": window.percent("loop"),
            "load": window.load, "machine_percent": window.machine_percent, "context": window.context()}


def loaded_capture_runs(bench, session, privileged, hz=24, busy=4, runs=LOADED_RUNS):
    """LOADED_RUNS runs under load, the meters at real-time priority.
    privileged: kapirel as it is started, free to raise its counting thread;
    else without any way to real time."""
    key = "loaded_capture" if privileged else "loaded_capture_unprivileged"
    refused = realtime_refused()
    if refused:
        note("capture under load not measured: " + refused)
        bench.results[key] = {"skipped": refused, "privileged": privileged}
        return
    wrap, env = ((), None) if privileged else unprivileged()
    note("capture at %g Hz under load, %d runs of %d pulses (%.0f s), %d busy processes, meters at real-time "
         "priority, the program %s; the poll loop under the same pulses"
         % (hz, runs, bench.pulses, bench.pulses / hz, busy, "as started" if privileged else "unprivileged"))
    bench.results[key] = {"hz": hz, "sent": bench.pulses, "busy": busy, "privileged": privileged,
                          "meter_priority": METER_PRIORITY, "unprivileged_by": " ".join(wrap),
                          "runs": [loaded_capture(bench, session, index, hz, busy, wrap, env)
                                   for index in range(runs)]}


def floor_run(bench, session):
    """Both ports absent: the two notices dismissed with Return, then only the
    timer runs; the idle loop beside it under a meter without ports, and once
    more without the meter."""
    note("CPU floor, no port (%.0f s), the idle loop beside it" % bench.window)
    run = session.start(com1="absent", com2="absent")
    run.answer_notices(2)
    run.main_window()
    wait_until(lambda: not run.notices(), 10, "the notices to go")
    pid = run.kapirel_pid()
    with loop_beside(bench, session.name + "-loop", IDLE_LOOP, "absent") as loop, \
            spinning([bench.loop_tools(IDLE_LOOP).kapirel]) as (bare,):
        window = steady_window({"kapirel": pid, "loop": loop.pid, "bare": bare.pid}, bench.window)
    hwm = status_kb(pid, "VmHWM")
    end_run(run)
    if any(e["event"] in ("open", "ioctl") for e in run.events() + loop.run.events()):
        raise CannotMeasure("a port was used in the run without ports")
    bench.results["cpu_floor"] = dict(window.record(), loop=window.percent("loop"), bare=window.percent("bare"))
    bench.results["hwm"]["no port"] = hwm


class RootWatch:
    """xev on the root window; each event stamped with CLOCK_MONOTONIC as it arrives."""

    HEAD = re.compile(r"^(\w+) event, serial \d+, synthetic (YES|NO), window 0x[0-9a-f]+,")

    def __init__(self, tools):
        self.events = []
        self.proc = subprocess.Popen(["xev", "-root", "-event", "substructure"], env=tools.env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        # xev prints nothing until an event comes; give it time to select its events.
        time.sleep(0.3)
        if self.proc.poll() is not None:
            raise CannotMeasure("xev ended at once (status %s)" % self.proc.returncode)

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            line = raw.decode(errors="replace").strip()
            head = self.HEAD.match(line)
            if head:
                self.events.append({"type": head.group(1), "synthetic": head.group(2) == "YES",
                                    "mono": time.monotonic(), "text": line[head.end():]})
            elif self.events and line:
                self.events[-1]["text"] += " " + line

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.thread.join(5)

    @staticmethod
    def field(event, name):
        """A member after the event's head, e.g. "window" of "event 0x50d, window 0x600006"."""
        match = re.search(r"\b%s (0x[0-9a-f]+)" % name, event["text"])
        return int(match.group(1), 16) if match else None

    def mapped(self, wid):
        """When the window became viewable: the MapNotify of the frame a
        reparenting manager put it in, or of the window itself."""
        targets = {wid} | {self.field(e, "parent") for e in self.events
                           if e["type"] == "ReparentNotify" and self.field(e, "window") == wid}
        return next((e["mono"] for e in self.events
                     if e["type"] == "MapNotify" and not e["synthetic"] and self.field(e, "window") in targets), None)


def startup_runs(bench, session):
    repeats = bench.starts
    note("start-up, %d runs" % repeats)
    mapped, polled, loads = [], [], []
    for index in range(repeats):
        loads.append(os.getloadavg()[0])
        watch = RootWatch(bench.tools)
        try:
            run = session.start(com1="present", com2="present", cwd=session.workdir("run-%d" % index))
            wid = run.main_window()
            conn = run.wait_polling("COM2")
            time.sleep(0.3)  # the last events of the mapping reach xev
        finally:
            watch.stop()
        exec_mono = run.event("spawn")["mono"]
        shown = watch.mapped(wid)
        if shown is None:
            raise CannotMeasure("no MapNotify of window 0x%x or its frame" % wid)
        first = polls_of(conn)[0]["mono"]
        mapped.append((shown - exec_mono) * 1000.0)
        polled.append((first - exec_mono) * 1000.0)
        end_run(run)
        time.sleep(0.5)
    bench.results["startup"] = {"mapped_ms": mapped, "first_poll_ms": polled, "loads": loads}


def long_run(bench, session):
    hz = 10
    seconds = bench.long_seconds
    pulses = int(round(hz * seconds))
    note("long run at %d Hz, %d pulses (%.0f s)" % (hz, pulses, seconds))
    run, conn, pid = start_polling(session, square_wave(pulses, hz=hz))
    time.sleep(SETTLE_S)
    load, first_pulse, wave_end = start_pulses(run)
    sleep_until(first_pulse)
    window = Window({"kapirel": pid}, load)
    samples = []
    step = 10.0 if seconds >= 600 else max(1.0, seconds / 60.0)
    for at in [first_pulse + i * step for i in range(int((wave_end - first_pulse) // step) + 1)] + [wave_end]:
        sleep_until(at)
        samples.append((time.monotonic() - first_pulse, status_kb(pid, "VmRSS")))
    window.close()
    time.sleep(0.3)
    hwm = status_kb(pid, "VmHWM")
    counted = end_run(run)
    polls = polls_of(conn)
    gaps = spacing(polls, first_pulse, wave_end)
    span = min(60.0, seconds / 4.0)
    duration = samples[-1][0]
    first = [kb for t, kb in samples if t <= span]
    last = [kb for t, kb in samples if t >= duration - span]
    bench.results["long"] = {
        "hz": hz, "seconds": window.seconds, "sent": pulses, "counted": counted, "seen_by_polls": edges_seen(polls),
        "rss_first_kb": statistics.fmean(first), "rss_last_kb": statistics.fmean(last), "span_s": span,
        "samples": len(samples), "rss_min_kb": min(kb for _, kb in samples),
        "rss_max_kb": max(kb for _, kb in samples), "hwm_kb": hwm, "cpu_percent": window.percent(),
        "spacing": spacing_stats(gaps), "context": window.context()}
    bench.results["hwm"]["long"] = hwm


STEPS = {
    "idle": idle_run,
    "reference": reference_run,
    "capture-10": lambda bench, session: capture_run(bench, session, 10),
    "capture-20": lambda bench, session: capture_run(bench, session, 20),
    "capture-24": lambda bench, session: capture_run(bench, session, 24),
    "capture-24-load": lambda bench, session: loaded_capture_runs(bench, session, privileged=True),
    "capture-24-load-unprivileged": lambda bench, session: loaded_capture_runs(bench, session, privileged=False),
    "floor": floor_run,
    "startup": startup_runs,
    "long": long_run,
}
