#include "PollThread.h"

#include "CountingThread.h"
#include "PollClock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace counting {

PollThread::PollThread(Logic &logic, std::function<void(const EndResult &)> ended)
    : logic_(logic), ended_(std::move(ended)), clock_(std::make_unique<PollClock>())
{
    logic_.WhenTickOwed([this] {
        tickOwed_ = true;
        clock_->Wake();
    });
    thread_ = std::thread([this] { Run(); });
}

PollThread::~PollThread()
{
    stop_ = true;
    clock_->Wake();
    thread_.join();
    logic_.WhenTickOwed(nullptr);
}

void PollThread::SetInterval(int milliseconds)
{
    interval_ = milliseconds;
    clock_->Arm(milliseconds);
}

void PollThread::RequestEnd()
{
    endRequested_ = true;
    clock_->Wake();
}

void PollThread::Run()
{
    PrepareCountingThread();
    IdleSleepHold idleSleep;
    using Clock = std::chrono::steady_clock;
    // Set when this thread ran the end: by then the window must have closed
    // or taken the end over.
    std::optional<Clock::time_point> exitBy;
    int status = 0;
    bool counting = true;
    bool timerStopped = false;
    for (;;) {
        // After the end nothing is due but the deadline, and that only once:
        // a deadline that has passed while the window had the end is no
        // reason to wake again.
        auto timeout = std::chrono::milliseconds(-1);
        if (exitBy && !takenOver_)
            timeout = std::max(std::chrono::ceil<std::chrono::milliseconds>(*exitBy - Clock::now()),
                               std::chrono::milliseconds(0));
        const PollClock::Woken woken = clock_->Wait(timeout);
        if (stop_)
            return;
        if (endRequested_.exchange(false) && !exitBy) {
            const Clock::time_point requested = Clock::now();
            const EndResult end = logic_.End();
            status = end.Status;
            counting = false;
            // With nobody to take the end over, there is nothing to wait for.
            if (ended_) {
                exitBy = requested + EndGrace;
                ended_(end);
            }
        }
        // The window's thread is stuck on its display: the line is logged
        // and the port released, so nothing is left that needs the window.
        if (exitBy && !takenOver_ && Clock::now() >= *exitBy) {
            (void)std::fflush(nullptr); // nothing is left to tell of a failure
            std::_Exit(status);
        }
        const bool owed = tickOwed_.exchange(false);
        if (counting && (woken.TimerDue || owed))
            counting = logic_.Tick();
        // However the counting ended: no more ticks, and idle sleep is no
        // longer held off while a notice waits for the operator.
        if (!counting && !timerStopped) {
            clock_->Disarm();
            idleSleep.Release();
            timerStopped = true;
        }
    }
}

} // namespace counting
