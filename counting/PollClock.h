// The counting thread's clock, one implementation per OS: a periodic timer
// whose deadlines the kernel keeps (start + n × period, so a late wake-up
// does not push the later ones back), and a wake-up for everything else.
// Periods that ran out while the thread was busy give one tick, not a burst.
#pragma once

#include <chrono>

namespace counting {

class PollClock
{
public:
    // Without its clock the program cannot count at all: a failure here
    // ends the process with the OS's reason on stderr.
    PollClock();
    ~PollClock();
    PollClock(const PollClock &) = delete;
    PollClock &operator=(const PollClock &) = delete;

    // (Re)starts the period from now.
    void Arm(int milliseconds);
    // Stops the period: no more TimerDue, until the next Arm.
    void Disarm();
    // Ends the current or the next Wait.  Async-signal-safe.
    void Wake();

    struct Woken
    {
        bool TimerDue = false;
    };
    // Waits for the timer or a Wake, at most `timeout` (negative: no limit).
    Woken Wait(std::chrono::milliseconds timeout);

private:
#ifdef _WIN32
    using Handle = void *; // kernel32 HANDLEs
    bool raisedResolution_ = false;
#else
    using Handle = int; // a timerfd and an eventfd
#endif
    Handle timer_;
    Handle wake_;
};

} // namespace counting
