#include "Realtime.h"

#include "Record.h"
#include "SystemError.h"

#include <filesystem>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace vmeter {

bool RaiseOtherThreads(int priority, std::vector<RaisedThread> &raised, std::string &error)
{
    std::error_code failure;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", failure)) {
        const int tid = std::stoi(task.path().filename());
        if (tid == ::gettid())
            continue;
        sched_param parameter{};
        parameter.sched_priority = priority;
        // The glibc wrapper takes a thread id as Linux does: one thread only.
        if (::sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) != 0) {
            SystemError("SCHED_FIFO " + std::to_string(priority) + " for thread " + std::to_string(tid), error);
            if (errno == EPERM)
                error += " (needs CAP_SYS_NICE, or an RLIMIT_RTPRIO of at least " + std::to_string(priority) + ")";
            LowerThreads(raised);
            return false;
        }
        raised.push_back({tid, CommName(task.path() / "comm")});
    }
    if (failure)
        error = "/proc/self/task: " + failure.message();
    return !failure;
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
    return ::setrlimit(RLIMIT_RTTIME, &limit) == 0 || SystemError("RLIMIT_RTTIME", error);
}

} // namespace vmeter
