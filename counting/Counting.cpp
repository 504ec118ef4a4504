#include "Counting.h"

#include "MeasurementLog.h"
#include "Module1.h"

#include <cstdio>
#include <ctime>

SerialLines Module1Lines()
{
    return {Module1::OpenPort, Module1::ClosePort, Module1::SetDtr,
            Module1::SetRts,   Module1::SetBreak,  Module1::ReadCts};
}

TimeOfDay LocalTimeOfDay()
{
    // std::localtime's shared buffer is safe here: only the UI thread asks.
    const std::time_t now = std::time(nullptr);
    const std::tm *local = std::localtime(&now);
    if (local == nullptr)
        return {};
    return {local->tm_hour, local->tm_min, local->tm_sec};
}

std::string CountText(std::int64_t count)
{
    // The blank stands where a sign would; a count never has one.
    std::string text(1, ' ');
    text += std::to_string(count);
    return text;
}

std::string EndLine(TimeOfDay time, std::int64_t count)
{
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", time.Hours, time.Minutes, time.Seconds);
    return std::string(" konec nacitani : ") + clock + "  pocet pulsu =" + CountText(count);
}

Counting::Counting(Form1Operations &form, SerialLines lines, std::function<TimeOfDay()> clock, std::string logPath)
    : form_(form), lines_(std::move(lines)), clock_(std::move(clock)), logPath_(std::move(logPath))
{
}

void Counting::Load()
{
    std::int16_t opened = lines_.OpenPort("COM2");
    if (opened == 0) {
        opened = lines_.OpenPort("COM1");
        // Runs the switch to "COM1" to its end, notice included.
        form_.MarkOption1();
    } else {
        form_.ShowOption2Marked();
    }
    if (opened == 0)
        form_.ShowNotice("COM NENALEZEN");
    PowerContact();
    PulseCount = 0;
    LastCts = lines_.ReadCts();
    form_.SetTimer1Interval(PollPeriodMs);
}

void Counting::Tick()
{
    const std::int16_t cts = lines_.ReadCts();
    if (cts > LastCts) {
        ++PulseCount;
        form_.SetText1(CountText(PulseCount));
    }
    LastCts = cts;
}

void Counting::Option1Chosen() { SwitchPort("COM1", "COM1 OBSAZEN"); }

void Counting::Option2Chosen() { SwitchPort("COM2", "COM2 OBSAZEN"); }

void Counting::SwitchPort(std::string_view port, const std::string &notice)
{
    lines_.ClosePort();
    if (lines_.OpenPort(port) == 0)
        form_.ShowNotice(notice);
    PowerContact();
}

void Counting::PowerContact()
{
    lines_.SetBreak(0);
    lines_.SetDtr(1);
    lines_.SetRts(0);
}

void Counting::SwitchOffAndRelease()
{
    lines_.SetDtr(0);
    lines_.SetRts(0);
    lines_.SetBreak(0);
    lines_.ClosePort();
}

int Counting::End()
{
    if (ended_)
        return exitStatus_;
    ended_ = true;
    const std::string line = EndLine(clock_(), PulseCount);
    form_.SetText1(line);
    const AppendResult logged = AppendDurably(logPath_, line + "\r\n");
    // The lines go off and the port is released before any notice, so that
    // nothing stays powered while the notice waits for the operator.
    SwitchOffAndRelease();
    if (!logged.Written) {
        exitStatus_ = 1;
        // The count must not be lost with the file: the notice carries the line.
        form_.ShowNotice("MERENI NEBYLO ZAPSANO DO " + std::string(MeasurementLogName) + "\n(" + logged.Reason +
                         ")\n\n" + line);
    }
    return exitStatus_;
}
