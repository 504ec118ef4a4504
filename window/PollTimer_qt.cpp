// Other platforms: Qt's precise timer, which re-arms from its own deadline.
#include "PollTimer.h"

#include <QTimer>

struct PollTimer::Clock
{
    QTimer timer;
};

PollTimer::PollTimer(QObject *parent) : QObject(parent), clock_(std::make_unique<Clock>())
{
    clock_->timer.setTimerType(Qt::PreciseTimer);
    connect(&clock_->timer, &QTimer::timeout, this, &PollTimer::timeout);
}

PollTimer::~PollTimer() = default;

void PollTimer::Arm() { clock_->timer.start(interval_); }
