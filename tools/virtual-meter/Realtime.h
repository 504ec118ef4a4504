// --realtime: the meter's answering threads at a real-time priority, so
// that an emulated port answers as promptly as a kernel driver, whose ioctl
// runs in the caller's own system call and never waits for a busy CPU.
#pragma once

#include <string>
#include <vector>

namespace vmeter {

// SCHED_FIFO at 30: above the 1-20 that rtkit grants desktop programs, so the
// port answers ahead of a program that raised itself, and below the kernel's
// threaded interrupt handlers (50), where a real UART's work happens.
inline constexpr int RealtimePriority = 30;

// The watchdog (RLIMIT_RTTIME): CPU time a real-time thread may take without
// blocking.  An answer takes tens of microseconds; past the soft limit the
// kernel sends SIGXCPU, past the hard one SIGKILL.
inline constexpr long RealtimeSoftLimitUs = 200'000;
inline constexpr long RealtimeHardLimitUs = 1'000'000;

struct RaisedThread
{
    int Tid = 0;
    std::string Name;
};

// Puts every thread of this process but the calling one under SCHED_FIFO at
// `priority`, with SCHED_RESET_ON_FORK: a thread or process they start comes
// up at normal priority.  The calling thread stays as it is; it is the one
// that starts the command.
bool RaiseOtherThreads(int priority, std::vector<RaisedThread> &raised, std::string &error);
// Back to SCHED_OTHER (the watchdog's answer to SIGXCPU).
void LowerThreads(const std::vector<RaisedThread> &threads);
// Sets RLIMIT_RTTIME.  The limits are inherited by processes started after
// this, so it comes after the command's start.
bool SetRealtimeWatchdog(std::string &error);

} // namespace vmeter
