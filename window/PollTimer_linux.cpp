// Linux: a periodic timerfd on CLOCK_MONOTONIC.  The kernel keeps the
// deadlines, and the descriptor wakes the event loop through a
// QSocketNotifier without the loop's millisecond rounding.
#include "PollTimer.h"

#include <QSocketNotifier>

#include <cstdint>
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
    if (clock_->fd < 0)
        qFatal("timerfd_create failed");
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
    const long nanoseconds = interval_ * 1000000L;
    itimerspec period = {};
    period.it_interval.tv_sec = nanoseconds / 1000000000L;
    period.it_interval.tv_nsec = nanoseconds % 1000000000L;
    period.it_value = period.it_interval;
    // A zero interval would disarm the timer; one nanosecond keeps it running.
    if (interval_ <= 0)
        period.it_value.tv_nsec = period.it_interval.tv_nsec = 1;
    ::timerfd_settime(clock_->fd, 0, &period, nullptr);
}
