// Linux: a periodic timerfd on CLOCK_MONOTONIC and an eventfd, waited on
// together with poll().  Both are plain descriptors, so the wake-up is a
// write(), which a signal handler may do.
#include "PollClock.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace counting {

namespace {

[[noreturn]] void Fail(const char *call)
{
    std::perror(("kapirel: " + std::string(call)).c_str());
    std::abort();
}

// Empties a counter descriptor; EAGAIN when there was nothing to take.
bool Take(int fd)
{
    std::uint64_t count = 0;
    return ::read(fd, &count, sizeof count) == sizeof count && count > 0;
}

} // namespace

PollClock::PollClock()
    : timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (timer_ < 0)
        Fail("timerfd_create");
    if (wake_ < 0)
        Fail("eventfd");
}

PollClock::~PollClock()
{
    ::close(timer_);
    ::close(wake_);
}

void PollClock::Arm(int milliseconds)
{
    // A zero period would disarm the timerfd.
    const long nanoseconds = std::max(milliseconds, 1) * 1000000L;
    itimerspec period = {};
    period.it_interval.tv_sec = nanoseconds / 1000000000L;
    period.it_interval.tv_nsec = nanoseconds % 1000000000L;
    period.it_value = period.it_interval;
    if (::timerfd_settime(timer_, 0, &period, nullptr) != 0)
        Fail("timerfd_settime");
}

void PollClock::Disarm()
{
    const itimerspec stopped = {};
    if (::timerfd_settime(timer_, 0, &stopped, nullptr) != 0)
        Fail("timerfd_settime");
    // A period that ran out just before is no tick any more either.
    Take(timer_);
}

void PollClock::Wake()
{
    const int saved = errno;
    const std::uint64_t one = 1;
    // When the counter cannot take more, a wake-up is pending anyway.
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
    errno = saved;
}

PollClock::Woken PollClock::Wait(std::chrono::milliseconds timeout)
{
    pollfd fds[] = {{timer_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int limit = timeout.count() < 0 ? -1 : static_cast<int>(timeout.count());
    if (::poll(fds, 2, limit) < 0 && errno != EINTR)
        Fail("poll");
    if ((fds[1].revents & POLLIN) != 0)
        Take(wake_);
    return {(fds[0].revents & POLLIN) != 0 && Take(timer_)};
}

} // namespace counting
