// Linux: a periodic timerfd on CLOCK_MONOTONIC.  The kernel keeps the
// deadlines, and the descriptor wakes the event loop through a
// QSocketNotifier without the loop's millisecond rounding.
#include "PollTimer.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>

struct PollTimer::Clock
{
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
};

PollTimer::PollTimer(QObject *parent) : QObject(parent), clock_(std::make_unique<Clock>())
{
    clock_->fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    // Without its poll the program cannot count at all.
    if (clock_->fd < 0)
        qFatal("timerfd_create failed: %s", std::strerror(errno));
    clock_->notifier = new QSocketNotifier(clock_->fd, QSocketNotifier::Read, this);
    connect(clock_->notifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t expirations = 0;
        if (::read(clock_->fd, &expirations, sizeof expirations) == sizeof expirations && expirations > 0)
            emit timeout();
    });
}

PollTimer::~PollTimer()
{
    delete clock_->notifier;
    ::close(clock_->fd);
}

void PollTimer::Arm()
{
    // A zero period would disarm the timerfd; the shortest is one millisecond.
    const long nanoseconds = std::max(interval_, 1) * 1000000L;
    itimerspec period = {};
    period.it_interval.tv_sec = nanoseconds / 1000000000L;
    period.it_interval.tv_nsec = nanoseconds % 1000000000L;
    period.it_value = period.it_interval;
    ::timerfd_settime(clock_->fd, 0, &period, nullptr);
}
