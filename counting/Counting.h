// The counting logic of the window Form1: start-up, the 20 ms poll with its
// edge count, the end of counting with its log line, and the port switch.
//
// It is plain C++ and never sees a widget or a device.  The window delivers
// its events by calling Load, Option1Chosen, Option2Chosen and End, the
// counting thread (PollThread.h) calls Tick and, for a signal, End.  The
// logic answers through Form1Operations, which the window implements, and
// reaches the port through SerialLines, Module1 in the program (the tests
// use fakes for both).
//
// One lock keeps the handlers' sequences whole: a tick never runs inside the
// start-up, a switch or the end, and one that falls due meanwhile is owed
// until the handler is done.  The lock is let go only while a notice waits
// for the operator, so that an end can still come then.  The tick only tries
// the lock: the counting thread runs at real-time priority, and the window's
// thread may be preempted while it holds the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace counting {

// The window operations the logic uses.  None of them calls back into the
// logic: a window event reaches the logic only through the window's handlers.
// SetText1 is also called on the counting thread, and there it must not wait
// for the window.
class Form1Operations
{
public:
    // Replaces the whole text of Text1 and shows it from its beginning; from
    // the counting thread it is handed over, and the latest text wins.
    virtual void SetText1(const std::string &text) = 0;
    // Shows Option1 marked and Option2 unmarked; delivers no choice.
    virtual void MarkOption1() = 0;
    // Shows Option2 marked and Option1 unmarked, so that the operator sees
    // which port counts after a start-up on "COM2"; delivers no choice.
    virtual void MarkOption2() = 0;
    virtual void SetTimer1Interval(int milliseconds) = 0;
    // A modal notice with one OK button; returns once it is dismissed.  Only
    // the start-up's and the switches' notices, on the window's thread.
    virtual void ShowNotice(const std::string &text) = 0;

protected:
    ~Form1Operations() = default;
};

// The serial operations the logic uses, with Module1's meaning: a failed
// open returns 0, and with no port the switches do nothing and ReadCts is 0.
class SerialLines
{
public:
    virtual std::int16_t OpenPort(std::string_view name) = 0;
    virtual void ClosePort() = 0;
    // 1 switches the line on; every other value switches it off.
    virtual void SetDtr(std::int16_t level) = 0;
    virtual void SetRts(std::int16_t level) = 0;
    virtual void SetBreak(std::int16_t level) = 0;
    virtual std::int16_t ReadCts() = 0;

protected:
    ~SerialLines() = default;
};

struct TimeOfDay
{
    int Hours = 0;
    int Minutes = 0;
    int Seconds = 0;
};

TimeOfDay LocalTimeOfDay();

// A count as it is shown and logged: one blank, then the decimal digits.
std::string CountText(std::int64_t count);
// The measurement line without its CR LF.
std::string EndLine(TimeOfDay time, std::int64_t count);

// What an end leaves to whoever ran it.
struct EndResult
{
    int Status = 0; // the exit status: 1 when the line could not be logged
    // When the line could not be logged, the notice that says so and carries
    // the line, for the window's thread to show; else, and later, empty.
    std::string Notice;
};

inline constexpr int PollPeriodMs = 20;
inline constexpr const char *MeasurementLogName = "NAMERENO.TXT";

struct CountState
{
    std::int64_t PulseCount = 0;
    // The CTS level the last poll read, or the start-up before the first poll.
    std::int16_t LastCts = 0;
};

class Logic
{
public:
    Logic(Form1Operations &form, SerialLines &lines, std::function<TimeOfDay()> clock = LocalTimeOfDay,
          std::string logPath = MeasurementLogName);

    void Load();
    // The poll.  Before the start-up has run and after the end it does
    // nothing; inside a handler it is owed, and `tickOwed` (WhenTickOwed)
    // says when the handler is done.  False once the counting has ended:
    // there is nothing more to poll.
    bool Tick();
    void Option1Chosen();
    void Option2Chosen();
    // The end sequence, from any thread.  It runs once per program run; a
    // later call (the close that follows a button press, a signal during
    // the end's notice) does nothing but return the first one's status.
    EndResult End();
    bool Ended() const;
    CountState State() const;

    // Called, on the handler's thread, when a tick owed during a handler may
    // run.  Set it before any tick or handler runs.
    void WhenTickOwed(std::function<void()> tickOwed);

private:
    class Handler;
    void SwitchPort(Handler &handler, std::string_view port, const std::string &notice);
    void PowerContact();
    void SwitchOffAndRelease();

    Form1Operations &form_;
    SerialLines &lines_;
    std::function<TimeOfDay()> clock_;
    std::string logPath_;

    mutable std::mutex mutex_;
    // Everything below is guarded by mutex_.
    CountState state_;
    enum class Phase { NotStarted, Counting, Ended } phase_ = Phase::NotStarted;
    // Handlers under way; more than one when one runs inside another's notice.
    int handlers_ = 0;
    // Set by a tick that found the lock taken, so outside it.
    std::atomic<bool> tickOwed_{false};
    std::function<void()> whenTickOwed_;
    int exitStatus_ = 0;
};

} // namespace counting
