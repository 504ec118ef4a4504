"""A process's threads and CPU, as /proc shows them: for the scenarios, the
benchmarks, the X session and the virtual meter's selftest; and its end."""

import os
import signal
import subprocess


def threads(pid):
    """{tid: (name, policy, real-time priority)} of every thread of pid, from
    fields 2, 41 and 40 of /proc/PID/task/*/stat; a thread that ended meanwhile
    is left out."""
    found = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as stat_file:
                stat = stat_file.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()  # from field 3, the state, on
        found[int(tid)] = (stat[stat.index("(") + 1:stat.rindex(")")], int(fields[38]), int(fields[37]))
    return found


def cpu_ticks(pid):
    """utime + stime of the process in clock ticks, None when it cannot be read."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError, ValueError):
        return None


def rttime_limit(pid):
    """RLIMIT_RTTIME of pid, [soft, hard] in microseconds, None for unlimited."""
    with open("/proc/%d/limits" % pid) as limits:
        line = next(line for line in limits if line.startswith("Max realtime timeout"))
    return [None if value == "unlimited" else int(value) for value in line.split()[3:5]]


def end(process, ask):
    """ask()s a process (a Popen that leads its own process group) to end, and SIGKILLs the group after 5 s."""
    if process.poll() is None:
        ask()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
