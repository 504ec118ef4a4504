// The reference loops' clock: a periodic timerfd on CLOCK_MONOTONIC with
// absolute deadlines every 20 ms, like the program's Timer1 on Linux, but
// read with a blocking read() and no event loop around it.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

namespace benchloop {

inline constexpr long PeriodNs = 20'000'000;

inline volatile std::sig_atomic_t stopped = 0;

// SIGTERM ends the loop: without SA_RESTART it interrupts the blocked read.
inline void StopOnSigterm()
{
    struct sigaction action = {};
    action.sa_handler = [](int) { stopped = 1; };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
}

// Returns the timerfd, or -1 with a message on stderr.
inline int StartTicks(const char *name)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "%s: timerfd_create: %s\n", name, std::strerror(errno));
        return -1;
    }
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    itimerspec period = {};
    period.it_interval.tv_nsec = PeriodNs;
    period.it_value.tv_sec = now.tv_sec + (now.tv_nsec + PeriodNs) / 1'000'000'000L;
    period.it_value.tv_nsec = (now.tv_nsec + PeriodNs) % 1'000'000'000L;
    if (::timerfd_settime(fd, TFD_TIMER_ABSTIME, &period, nullptr) != 0) {
        std::fprintf(stderr, "%s: timerfd_settime: %s\n", name, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

// Waits for the next deadline; false once SIGTERM came.
inline bool NextTick(int fd)
{
    std::uint64_t expirations = 0;
    while (!stopped) {
        if (::read(fd, &expirations, sizeof expirations) == sizeof expirations)
            return true;
        if (errno != EINTR)
            return false;
    }
    return false;
}

} // namespace benchloop
