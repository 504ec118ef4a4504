// Timer1: the poll on a thread of its own.
//
// Who owns what:
// - the counting thread (this class) runs the poll, Logic::Tick, at the
//   absolute deadlines of its timer (start + n × interval), and the end
//   sequence when a termination signal asks for it (RequestEnd);
// - the window's thread runs the start-up, the port switches and the ends
//   the window delivers itself; Logic keeps every tick out of those, and a
//   tick that falls due meanwhile runs as soon as the handler is done;
// - the counting thread never waits for the window: it hands the count text
//   over (Form1Operations::SetText1) and goes on polling;
// - once the counting has ended, it stops its timer and sleeps until it is
//   stopped, or wakes once more for the window's deadline (EndGrace).
#pragma once

#include "Counting.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace counting {

class PollClock;

class PollThread
{
public:
    // After an end that the counting thread ran itself, `ended` (when
    // given) gets its result on that thread, for the window to show the
    // notice, if any, and close.
    // Should the window not have closed, nor taken the end over
    // (EndTakenOver), within EndGrace, because its display does not answer,
    // the process ends with that status.
    PollThread(Logic &logic, std::function<void(const EndResult &)> ended);
    ~PollThread();
    PollThread(const PollThread &) = delete;
    PollThread &operator=(const PollThread &) = delete;

    // (Re)starts the period from now; the shortest is 1 ms.  Any thread.
    void SetInterval(int milliseconds);
    int Interval() const { return interval_; }

    // Asks the counting thread to run the end sequence.  Async-signal-safe.
    void RequestEnd();
    // The window is about to show the end's notice, which waits for the
    // operator as long as they take: from now on the process is theirs to
    // end, and EndGrace no longer applies.  A window that closes without a
    // notice does not call it, so a display that stalls while the window
    // shows the line or closes still ends the process in time.
    void EndTakenOver() { takenOver_ = true; }

    static constexpr std::chrono::milliseconds EndGrace{2000};

private:
    void Run();

    Logic &logic_;
    std::function<void(const EndResult &)> ended_;
    std::unique_ptr<PollClock> clock_;
    std::atomic<int> interval_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> endRequested_{false};
    std::atomic<bool> tickOwed_{false};
    std::atomic<bool> takenOver_{false};
    std::thread thread_;
};

} // namespace counting
