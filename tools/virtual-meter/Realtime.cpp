#include "Realtime.h"

#include "Record.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace vmeter {

bool RaiseOtherThreads(int priority, std::vector<RaisedThread> &raised, std::string &error)
{
    DIR *tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        error = std::string("/proc/self/task: ") + std::strerror(errno);
        return false;
    }
    const int self = ::gettid();
    bool ok = true;
    while (const dirent *entry = ::readdir(tasks)) {
        const int tid = std::atoi(entry->d_name);
        if (tid <= 0 || tid == self)
            continue;
        sched_param parameter{};
        parameter.sched_priority = priority;
        // The glibc wrapper takes a thread id as Linux does: one thread only.
        if (::sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) != 0) {
            error = "SCHED_FIFO " + std::to_string(priority) + " for thread " + std::to_string(tid) + ": " +
                    std::strerror(errno) +
                    (errno == EPERM
                         ? " (needs CAP_SYS_NICE, or an RLIMIT_RTPRIO of at least " + std::to_string(priority) + ")"
                         : "");
            ok = false;
            break;
        }
        raised.push_back({tid, CommName("/proc/self/task/" + std::to_string(tid) + "/comm")});
    }
    ::closedir(tasks);
    if (!ok)
        LowerThreads(raised);
    return ok;
}

void LowerThreads(const std::vector<RaisedThread> &threads)
{
    const sched_param normal{};
    for (const RaisedThread &thread : threads)
        ::sched_setscheduler(thread.Tid, SCHED_OTHER, &normal);
}

bool SetRealtimeWatchdog(std::string &error)
{
    const rlimit limit{static_cast<rlim_t>(RealtimeSoftLimitUs), static_cast<rlim_t>(RealtimeHardLimitUs)};
    if (::setrlimit(RLIMIT_RTTIME, &limit) == 0)
        return true;
    error = std::string("RLIMIT_RTTIME: ") + std::strerror(errno);
    return false;
}

} // namespace vmeter
