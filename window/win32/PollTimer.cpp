#include "PollTimer.h"

#include <algorithm>
#include <mmsystem.h>

namespace {

// mingw-w64's headers lack it; the value is Windows 10 1803's.
constexpr DWORD CreateWaitableTimerHighResolution = 0x00000002;

} // namespace

PollTimer::PollTimer()
{
    timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, CreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
    highResolution_ = timer_ != nullptr;
    if (timer_ == nullptr) {
        // Older Windows refuses the flag (ERROR_INVALID_PARAMETER).
        timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        raisedResolution_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
    }
}

PollTimer::~PollTimer()
{
    if (timer_ != nullptr) {
        ::CancelWaitableTimer(timer_);
        ::CloseHandle(timer_);
    }
    if (raisedResolution_)
        ::timeEndPeriod(1);
}

void PollTimer::SetInterval(int milliseconds)
{
    // A zero period would make the timer fire only once; the shortest is 1 ms.
    interval_ = std::max(milliseconds, 1);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(interval_) * 10000; // relative, in 100 ns units
    ::SetWaitableTimer(timer_, &due, interval_, nullptr, nullptr, FALSE);
}
