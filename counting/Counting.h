// The counting logic of the window Form1: start-up, the 20 ms poll with its
// edge count, the end of counting with its log line, and the port switch.
//
// It is plain C++ and never sees a widget or a device.  The window delivers
// its events by calling Load, Tick, Option1Chosen, Option2Chosen and End; the
// logic answers through Form1Operations and reaches the port through
// SerialLines.  Both are abstract classes that the program fills in: the
// window implements Form1Operations, and main wires Module1 in as the
// SerialLines (the tests use fakes for both).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace counting {

// The window operations the logic uses.  None of them calls back into the
// logic: a window event reaches the logic only through the window's handlers.
class Form1Operations
{
public:
    // Replaces the whole text of Text1 and shows it from its beginning.
    virtual void SetText1(const std::string &text) = 0;
    // Shows Option1 marked and Option2 unmarked; delivers no choice.
    virtual void MarkOption1() = 0;
    // Shows Option2 marked and Option1 unmarked, so that the operator sees
    // which port counts after a start-up on "COM2"; delivers no choice.
    virtual void MarkOption2() = 0;
    virtual void SetTimer1Interval(int milliseconds) = 0;
    // A modal notice with one OK button; returns once it is dismissed.
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

inline constexpr int PollPeriodMs = 20;
inline constexpr const char *MeasurementLogName = "NAMERENO.TXT";

class Logic
{
public:
    Logic(Form1Operations &form, SerialLines &lines, std::function<TimeOfDay()> clock = LocalTimeOfDay,
          std::string logPath = MeasurementLogName);

    std::int64_t PulseCount = 0;
    std::int16_t LastCts = 0;

    void Load();
    void Tick();
    void Option1Chosen();
    void Option2Chosen();
    // The end sequence.  It runs once per program run; a later call (the close
    // that follows a button press, a signal during a notice) does nothing.
    // Returns the exit status: 0, or 1 when the line could not be logged.
    int End();
    bool Ended() const { return ended_; }

private:
    void SwitchPort(std::string_view port, const std::string &notice);
    void PowerContact();
    void SwitchOffAndRelease();

    Form1Operations &form_;
    SerialLines &lines_;
    std::function<TimeOfDay()> clock_;
    std::string logPath_;
    bool ended_ = false;
    int exitStatus_ = 0;
};

} // namespace counting
