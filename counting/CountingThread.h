// What the counting thread asks of the OS so that a busy PC loses no pulse:
// real-time priority for itself alone, and no idle sleep while it counts.
// One implementation per OS (CountingThread_posix.cpp, CountingThread_win.cpp).
//
// Both only ask: where the OS says no, counting goes on as before and one
// line on stderr says why, in the style of the port's open failures.
#pragma once

namespace counting {

// On the counting thread itself, once when it starts: names it
// ("kapirel-count") and raises it to real-time priority; where nothing
// grants it, one stderr line, and counting goes on at normal priority.
void PrepareCountingThread();

// Holds off idle sleep from construction until Release() or destruction;
// one stderr line where it cannot.  Taken and released on the counting
// thread (Windows keeps the state per thread).
class IdleSleepHold
{
public:
    IdleSleepHold();
    ~IdleSleepHold();
    IdleSleepHold(const IdleSleepHold &) = delete;
    IdleSleepHold &operator=(const IdleSleepHold &) = delete;

    // Lets idle sleep happen again; later calls do nothing.
    void Release();

private:
#ifdef _WIN32
    bool held_ = false;
#else
    int lock_ = -1; // logind's inhibitor: held while open
#endif
};

} // namespace counting
