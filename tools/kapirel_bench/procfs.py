"""Sampling /proc: the CPU of the measured processes and of the whole machine,
their memory, and the load average."""

import os
import time

from kapirel_e2e import proc

from . import CannotMeasure, note

CLK_TCK = os.sysconf("SC_CLK_TCK")


def loadavg():
    with open("/proc/loadavg") as f:
        return tuple(float(x) for x in f.read().split()[:3])


def machine_ticks():
    """(busy, total) jiffies of all CPUs from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle + iowait
    total = sum(fields[:8])       # guest time is already inside user
    return total - idle, total


def busy_percent(before, after):
    total = after[1] - before[1]
    return 100.0 * (after[0] - before[0]) / total if total else 0.0


def wait_quiet(limit_percent, max_wait):
    """Waits until the whole machine was less than limit_percent busy over 2 s
    (other people's builds share it); gives up after max_wait seconds."""
    deadline = time.monotonic() + max_wait
    said = False
    while True:
        before = machine_ticks()
        time.sleep(2.0)
        busy = busy_percent(before, machine_ticks())
        if busy < limit_percent:
            return True
        if time.monotonic() >= deadline:
            note("the machine is still %.0f %% busy; measuring anyway" % busy)
            return False
        if not said:
            note("the machine is %.0f %% busy (load %.2f); waiting up to %.0f s for it to calm down"
                 % (busy, loadavg()[0], max_wait))
            said = True


def tasks(pid):
    """The thread ids of a process, as the names in /proc/<pid>/task."""
    try:
        return os.listdir("/proc/%d/task" % pid)
    except OSError:
        raise CannotMeasure("cannot list /proc/%d/task (did the process end?)" % pid)


def runtime_ns(pid):
    """Sum of the on-CPU nanoseconds of the process's threads (/proc/<pid>/task/*/schedstat)."""
    total = 0
    for task in tasks(pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def cpu_ticks(pid):
    """utime + stime of the process in clock ticks (/proc/<pid>/stat)."""
    ticks = proc.cpu_ticks(pid)
    if ticks is None:
        raise CannotMeasure("cannot read /proc/%d/stat (did the process end?)" % pid)
    return ticks


def status_kb(pid, key):
    """A kB figure of /proc/<pid>/status, e.g. VmHWM."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    raise CannotMeasure("no %s in /proc/%d/status" % (key, pid))


class Window:
    """One measurement window over one or more processes measured side by side
    (same seconds, same machine): the CPU of each, the machine's, the load.

    The CPU of a process is the on-CPU time of its threads from the scheduler
    (schedstat, nanoseconds); utime+stime of /proc/<pid>/stat is the same time
    in 10 ms ticks, kept as a cross-check."""

    def __init__(self, pids):
        self.pids = dict(pids)
        self.load = loadavg()[0]
        self.machine0 = machine_ticks()
        self.mono0 = time.monotonic()
        self.start = {name: (runtime_ns(pid), cpu_ticks(pid)) for name, pid in self.pids.items()}

    def close(self):
        end = {name: (runtime_ns(pid), cpu_ticks(pid)) for name, pid in self.pids.items()}
        self.mono1 = time.monotonic()
        self.machine1 = machine_ticks()
        self.seconds = self.mono1 - self.mono0
        self.cpu = {}
        for name in self.pids:
            ns = end[name][0] - self.start[name][0]
            ticks = end[name][1] - self.start[name][1]
            self.cpu[name] = {"percent": 100.0 * ns / 1e9 / self.seconds,
                              "percent_ticks": 100.0 * ticks / CLK_TCK / self.seconds}
        # Busy share of the whole machine (all cores), the benchmark's own processes included.
        self.machine_percent = busy_percent(self.machine0, self.machine1)
        return self

    def percent(self, name="kapirel"):
        return self.cpu[name]["percent"]

    def context(self):
        return "load %.2f, machine %.0f %% busy" % (self.load, self.machine_percent)

    def record(self, name="kapirel"):
        """The figures of one process, for the results."""
        return dict(self.cpu[name], seconds=self.seconds, context=self.context())


POLICY_NAMES = {0: "SCHED_OTHER", 1: "SCHED_FIFO", 2: "SCHED_RR", 3: "SCHED_BATCH", 5: "SCHED_IDLE",
                6: "SCHED_DEADLINE"}


def thread_scheduling(pid):
    """[(tid, name, policy, rt_priority)] of a process's threads."""
    tasks(pid)  # a process that ended cannot be measured
    return [(tid, *thread) for tid, thread in proc.threads(pid).items()]


def realtime_threads(pid):
    """The threads of a process that run at a real-time policy, as "name SCHED_RR 10"."""
    return ["%s %s %d" % (name, POLICY_NAMES.get(policy, policy), priority)
            for _, name, policy, priority in thread_scheduling(pid) if policy in (1, 2, 6)]
