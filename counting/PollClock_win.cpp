// Windows: a periodic waitable timer and an auto-reset event, waited on
// together with WaitForMultipleObjects.
//
// Not SetTimer: WM_TIMER rounds the period up to the 15.6 ms system tick, so
// a 20 ms timer fires about every 31 ms and loses pulses above about 16 Hz.
// A high-resolution waitable timer (Windows 10 1803 and later) keeps 20 ms
// without touching the system's timer resolution; on older Windows the timer
// is an ordinary one, and timeBeginPeriod(1) gives it millisecond resolution
// for the program's lifetime.  The timer resets itself when a wait takes its
// signal, and it stays signalled however many periods ran out meanwhile.
#include "PollClock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <windows.h>

// After windows.h, whose types it uses.
#include <mmsystem.h>

namespace counting {

namespace {

// mingw-w64's headers lack it; the value is Windows 10 1803's.
constexpr DWORD CreateWaitableTimerHighResolution = 0x00000002;

[[noreturn]] void Fail(const char *call)
{
    // A line that stderr does not take has nowhere else to go.
    (void)std::fprintf(stderr, "kapirel: %s failed (error %lu)\n", call, ::GetLastError());
    std::abort();
}

} // namespace

PollClock::PollClock()
    : timer_(::CreateWaitableTimerExW(nullptr, nullptr, CreateWaitableTimerHighResolution, TIMER_ALL_ACCESS)),
      wake_(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (timer_ == nullptr) {
        // Older Windows refuses the flag (ERROR_INVALID_PARAMETER).
        timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        raisedResolution_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
    }
    if (timer_ == nullptr)
        Fail("CreateWaitableTimerExW");
    if (wake_ == nullptr)
        Fail("CreateEventW");
}

PollClock::~PollClock()
{
    ::CancelWaitableTimer(timer_);
    ::CloseHandle(timer_);
    ::CloseHandle(wake_);
    if (raisedResolution_)
        ::timeEndPeriod(1);
}

void PollClock::Arm(int milliseconds)
{
    // A zero period would make the timer fire only once.
    const LONG period = std::max(milliseconds, 1);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(period) * 10000; // relative, in 100 ns units
    if (!::SetWaitableTimer(timer_, &due, period, nullptr, nullptr, FALSE))
        Fail("SetWaitableTimer");
}

void PollClock::Disarm()
{
    if (!::CancelWaitableTimer(timer_))
        Fail("CancelWaitableTimer");
    // A period that ran out just before leaves the timer signalled; the next
    // wait takes that one signal, and then the timer stays quiet.
}

void PollClock::Wake() { ::SetEvent(wake_); }

PollClock::Woken PollClock::Wait(std::chrono::milliseconds timeout)
{
    const HANDLE handles[] = {timer_, wake_};
    const DWORD limit = timeout.count() < 0 ? INFINITE : static_cast<DWORD>(timeout.count());
    const DWORD woke = ::WaitForMultipleObjects(2, handles, FALSE, limit);
    if (woke == WAIT_FAILED)
        Fail("WaitForMultipleObjects");
    // Both may be signalled; the wait takes only the first.  A wake-up seen
    // first leaves the timer's signal for the next wait, which returns at once.
    return {woke == WAIT_OBJECT_0};
}

} // namespace counting
