"""A process's threads and CPU, as /proc shows them: for the scenarios, the
benchmarks, the X session and the virtual meter's selftest."""

import os


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
