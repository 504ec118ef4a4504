// The counting logic of the window Form1: start-up, the 20 ms poll with its
// edge count, the end of counting with its log line, and the port switch.
//
// It is plain C++ and never sees a widget.  The window delivers its events
// by calling Load, Tick, Option1Chosen, Option2Chosen and End; the logic
// answers through Form1Operations, and reaches the port through SerialLines
// (Module1 in the program, a fake in the tests).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The window operations the logic uses.
class Form1Operations
{
public:
    // Replaces the whole text of Text1 and shows it from its beginning.
    virtual void SetText1(const std::string &text) = 0;
    // Marks Option1 and delivers its choice at once: returns only after
    // Counting::Option1Chosen has run to its end.
    virtual void MarkOption1() = 0;
    // Shows Option2 marked without delivering its choice, so the operator
    // sees which port counts after a start-up on "COM2".
    virtual void ShowOption2Marked() = 0;
    virtual void SetTimer1Interval(int milliseconds) = 0;
    // A modal notice with one OK button; returns once it is dismissed.
    virtual void ShowNotice(const std::string &text) = 0;

protected:
    ~Form1Operations() = default;
};

// The serial operations the logic uses, with Module1's meaning.
struct SerialLines
{
    std::function<std::int16_t(std::string_view)> OpenPort;
    std::function<void()> ClosePort;
    std::function<void(std::int16_t)> SetDtr;
    std::function<void(std::int16_t)> SetRts;
    std::function<void(std::int16_t)> SetBreak;
    std::function<std::int16_t()> ReadCts;
};

// The real port: Module1's functions.
SerialLines Module1Lines();

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

class Counting
{
public:
    Counting(Form1Operations &form, SerialLines lines, std::function<TimeOfDay()> clock = LocalTimeOfDay,
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
    SerialLines lines_;
    std::function<TimeOfDay()> clock_;
    std::string logPath_;
    bool ended_ = false;
    int exitStatus_ = 0;
};
