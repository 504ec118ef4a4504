#include "PollTimer.h"

void PollTimer::setInterval(int milliseconds)
{
    interval_ = milliseconds;
    if (active_)
        Arm();
}

void PollTimer::start()
{
    active_ = true;
    Arm();
}
