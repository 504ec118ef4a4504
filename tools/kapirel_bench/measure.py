"""The runs: the real kapirel under the meter, and the reference loops run
beside it, so that machine noise falls on both figures of a ratio alike."""

import contextlib
import dataclasses
import os
import re
import signal
import statistics
import subprocess
import threading
import time

from kapirel_e2e.harness import Session, Tools
from kapirel_e2e.interface import LOG_LINE, wait_until

from . import CannotMeasure, note
from .meterlog import edges_seen, loop_polls_of, mono_offset, polls_of, spacing, spacing_stats
from .procfs import Window, loadavg, realtime_threads, status_kb, thread_scheduling

SETTLE_S = 1.0
PULSE_DELAY_S = 0.2
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


@dataclasses.dataclass
class Bench:
    """What every run needs: the programs, the X display, where to work, the
    lengths of the runs, and the results so far."""

    tools: Tools
    loops: str
    work: str
    window: float
    pulses: int
    starts: int
    long_seconds: float
    results: dict

    def loop(self, name):
        return os.path.join(self.loops, name)


# --- the program ------------------------------------------------------------------

def end_run(run, status=0):
    """SIGTERM to the meter, which forwards it; returns the logged count."""
    run.signal_meter(signal.SIGTERM)
    got = run.wait_exit(20)
    if got != status:
        raise CannotMeasure("the program exited with %s: %s" % (got, run.output_text()))
    match = LOG_LINE.match(run.measurement_log())
    if match is None:
        raise CannotMeasure("NAMERENO.TXT is not one measurement line: %r" % run.measurement_log())
    return int(match.group(4))


def sleep_until(mono):
    time.sleep(max(0.0, mono - time.monotonic()))  # sleeps at least that long, on CLOCK_MONOTONIC


def square_wave(hz, pulses):
    """COM2 with a square wave that starts at SIGUSR1 (origin=usr1), after PULSE_DELAY_S."""
    return "present,hz=%g,duty=50,pulses=%d,delay=%d,origin=usr1" % (hz, pulses, round(PULSE_DELAY_S * 1000))


def start_pulses(run):
    """Starts the wave: (load average just before, first pulse, end of the last pulse), the times in
    CLOCK_MONOTONIC seconds."""
    load = loadavg()[0]
    origin = run.trigger(1)
    offset = mono_offset(origin)
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
    """A reference loop under its own virtual meter, as kapirel runs under its
    own: the same preload library around every system call.  ports "absent"
    for the idle loop; else what the poll loop's "COM2" does."""

    def __init__(self, session, program, ports, machine=()):
        self.program = os.path.basename(program)
        self.run = session.start(com1="absent" if ports == "absent" else "present", com2=ports, machine=machine)
        self.conn = None
        if ports != "absent":
            self.conn = wait_until(lambda: (self.run.conns("COM2") or [None])[0], 20, "the loop's open of COM2")
            wait_until(lambda: len(self.polls()) >= 3, 20, "the loop's polls")
        self.pid = self.run.kapirel_pid()

    def polls(self):
        return loop_polls_of(self.run, self.conn)

    def stop(self):
        self.run.signal_meter(signal.SIGTERM)
        status = self.run.wait_exit(20)
        if status != 0:
            raise CannotMeasure("%s exited with %s: %s" % (self.program, status, self.run.output_text()))


@contextlib.contextmanager
def loop_beside(bench, name, program, ports, machine=()):
    """Runs a reference loop (ports "present": the poll loop on "COM2";
    "absent": the idle loop) until the block ends."""
    tools = Tools(bench.loop(program), bench.tools.meter, bench.tools.display)
    with Session(tools, bench.work, name) as session:
        loop = Loop(session, program, ports, machine)
        yield loop
        loop.stop()


@contextlib.contextmanager
def bare_loop(program):
    """A reference loop run directly, without the meter; only for the idle
    loop, which opens no port."""
    proc = subprocess.Popen([program], stdin=subprocess.DEVNULL)
    try:
        yield proc
    finally:
        proc.terminate()
        if proc.wait(10) != 0:
            raise CannotMeasure("%s exited with %s" % (program, proc.returncode))


@contextlib.contextmanager
def busy_processes(count):
    """count processes that spin on the CPU until the block ends."""
    procs = [subprocess.Popen(["sh", "-c", "while :; do :; done"], stdin=subprocess.DEVNULL)
             for _ in range(count)]
    try:
        yield [proc.pid for proc in procs]
    finally:
        for proc in procs:
            proc.kill()
            proc.wait(10)


def loop_spacing(loop, window):
    return spacing_stats(spacing(loop.polls(), window.mono0, window.mono1))


# --- the measurements ---------------------------------------------------------------

def idle_run(bench, session):
    """COM2 open, CTS steady: poll spacing and CPU with nothing to count; the
    poll loop beside it."""
    seconds, results = bench.window, bench.results
    note("idle poll run (%.0f s), the poll loop beside it" % seconds)
    run, conn, pid = start_polling(session)
    with loop_beside(bench, session.name + "-loop", POLL_LOOP, "present") as loop:
        time.sleep(SETTLE_S)
        window = Window({"kapirel": pid, "loop": loop.pid})
        time.sleep(seconds)
        window.close()
    hwm = status_kb(pid, "VmHWM")
    count = end_run(run)
    if count != 0:
        raise CannotMeasure("the idle run counted %d pulses" % count)
    gaps = spacing(polls_of(conn), window.mono0, window.mono1)
    results["spacing"] = dict(spacing_stats(gaps), seconds=window.seconds, context=window.context())
    results["cpu_idle"] = dict(window.record(), loop=window.percent("loop"),
                               loop_spacing=loop_spacing(loop, window))
    results["hwm"]["idle"] = hwm


def reference_run(bench, session):
    """The instrument's own floor: the poll loop alone, with ideal absolute
    20 ms deadlines and nothing else to do, under the same meter.  Its spacing
    is what the umockdev round trip, the meter and the machine add."""
    seconds = bench.window
    note("reference poll loop alone (%.0f s)" % seconds)
    tools = Tools(bench.loop(POLL_LOOP), bench.tools.meter, bench.tools.display)
    session.tools = tools
    loop = Loop(session, POLL_LOOP, "present")
    time.sleep(SETTLE_S)
    window = Window({"loop": loop.pid})
    time.sleep(seconds)
    window.close()
    loop.stop()
    bench.results["reference"] = dict(loop_spacing(loop, window), cpu=window.record("loop"))


def capture_run(bench, session, hz):
    pulses, results = bench.pulses, bench.results
    note("capture at %g Hz, %d pulses (%.0f s), the poll loop beside it" % (hz, pulses, pulses / hz))
    run, conn, pid = start_polling(session, square_wave(hz, pulses))
    with loop_beside(bench, session.name + "-loop", POLL_LOOP, "present") as loop:
        time.sleep(SETTLE_S)
        load, first_pulse, wave_end = start_pulses(run)
        sleep_until(first_pulse)
        window = Window({"kapirel": pid, "loop": loop.pid})
        window.load = load
        sleep_until(wave_end)
        window.close()
    # The last pulse ended at wave_end; one poll after it has seen the idle level.
    wait_until(lambda: any(p["mono"] > wave_end + 0.05 for p in polls_of(conn)[-5:]), 10,
               "a poll after the last pulse")
    hwm = status_kb(pid, "VmHWM")
    counted = end_run(run)
    polls = polls_of(conn)
    gaps = spacing(polls, first_pulse, wave_end)
    results["capture"].append({
        "hz": hz, "sent": pulses, "counted": counted, "seen_by_polls": edges_seen(polls),
        "spacing": spacing_stats(gaps), "seconds": window.seconds, "cpu_percent": window.percent(),
        "cpu_percent_ticks": window.cpu["kapirel"]["percent_ticks"], "loop": window.percent("loop"),
        "loop_spacing": loop_spacing(loop, window), "context": window.context()})
    results["hwm"]["capture %g Hz" % hz] = hwm


def has_capability(number):
    """Whether this process has the capability in its effective set."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("CapEff:"):
                return bool(int(line.split()[1], 16) >> number & 1)
    return False


def unprivileged():
    """(wrap, env) that run kapirel with no way to real time: RLIMIT_RTPRIO 0,
    CAP_SYS_NICE dropped from its bounding set (as root; a user has none to
    drop), and no system bus for rtkit.  Checked on chrt, which must fail."""
    wrap = ["prlimit", "--rtprio=0", "--"]
    if has_capability(CAP_SYS_NICE):
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
    now = {tid: policy for tid, _, policy, _ in thread_scheduling(run.process.pid)}
    if not raised or any(now.get(tid) != 1 for tid in raised):
        raise CannotMeasure("the meter's threads %s are not at SCHED_FIFO: %s" % (sorted(raised), now))


def loaded_capture(bench, session, index, hz, busy, wrap, env):
    """One run: the same pulses at the same moment to kapirel and to the poll
    loop, each under its own meter at real-time priority, while `busy`
    processes spin on the cores."""
    pulses = bench.pulses
    run, conn, pid = start_polling(session, square_wave(hz, pulses), cwd=session.workdir("run-%d" % index),
                                   machine=REALTIME_METER, wrap=wrap, env=env)
    with loop_beside(bench, "%s-loop-%d" % (session.name, index), POLL_LOOP, square_wave(hz, pulses),
                     REALTIME_METER) as loop, busy_processes(busy):
        time.sleep(SETTLE_S)
        load, first_pulse, wave_end = start_pulses(run)
        _, loop_first, loop_end = start_pulses(loop.run)
        sleep_until(max(first_pulse, loop_first))
        window = Window({"kapirel": pid, "loop": loop.pid})
        window.load = load
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
    seconds, results = bench.window, bench.results
    note("CPU floor, no port (%.0f s), the idle loop beside it" % seconds)
    run = session.start(com1="absent", com2="absent")
    run.answer_notices(2)
    run.main_window()
    wait_until(lambda: not run.notices(), 10, "the notices to go")
    pid = run.kapirel_pid()
    with loop_beside(bench, session.name + "-loop", IDLE_LOOP, "absent") as loop, \
            bare_loop(bench.loop(IDLE_LOOP)) as bare:
        time.sleep(SETTLE_S)
        window = Window({"kapirel": pid, "loop": loop.pid, "bare": bare.pid})
        time.sleep(seconds)
        window.close()
    hwm = status_kb(pid, "VmHWM")
    end_run(run)
    if any(e["event"] in ("open", "ioctl") for e in run.events() + loop.run.events()):
        raise CannotMeasure("a port was used in the run without ports")
    results["cpu_floor"] = dict(window.record(), loop=window.percent("loop"), bare=window.percent("bare"))
    results["hwm"]["no port"] = hwm


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
        pending = b""
        current = None
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return
            stamp = time.monotonic()
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode(errors="replace")
                head = self.HEAD.match(line)
                if head:
                    current = {"type": head.group(1), "synthetic": head.group(2) == "YES", "mono": stamp,
                               "text": line[head.end():]}
                    self.events.append(current)
                elif current is not None and line.strip():
                    current["text"] += " " + line.strip()

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
        frames = [self.field(e, "parent") for e in self.events
                  if e["type"] == "ReparentNotify" and self.field(e, "window") == wid]
        targets = {wid, *frames}
        for e in self.events:
            if e["type"] == "MapNotify" and not e["synthetic"] and self.field(e, "window") in targets:
                return e["mono"]
        return None


def startup_runs(bench, session):
    repeats = bench.starts
    note("start-up, %d runs" % repeats)
    mapped, polled, loads = [], [], []
    for index in range(repeats):
        loads.append(loadavg()[0])
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
    run, conn, pid = start_polling(session, square_wave(hz, pulses))
    time.sleep(SETTLE_S)
    load, first_pulse, wave_end = start_pulses(run)
    sleep_until(first_pulse)
    window = Window({"kapirel": pid})
    window.load = load
    samples = []
    step = 10.0 if seconds >= 600 else max(1.0, seconds / 60.0)
    next_at = first_pulse
    while True:
        samples.append((time.monotonic() - first_pulse, status_kb(pid, "VmRSS")))
        next_at += step
        if next_at > wave_end:
            break
        sleep_until(next_at)
    sleep_until(wave_end)
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
