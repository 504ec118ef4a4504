#include "Counting.h"

#include "MeasurementLog.h"

#include <cstdio>
#include <ctime>

namespace counting {

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

Logic::Logic(Form1Operations &form, SerialLines &lines, std::function<TimeOfDay()> clock, std::string logPath)
    : form_(form), lines_(lines), clock_(std::move(clock)), logPath_(std::move(logPath))
{
}

void Logic::Load()
{
    std::int16_t opened = lines_.OpenPort("COM2");
    if (opened == 0) {
        opened = lines_.OpenPort("COM1");
        // Marking Option1 is choosing it: the switch to "COM1" runs to its
        // end, its notice included, before the start-up goes on.
        form_.MarkOption1();
        Option1Chosen();
    } else {
        form_.MarkOption2();
    }
    // The end can come while a notice waits (the desktop session ending):
    // then nothing more is shown or switched on.
    if (opened == 0 && !ended_)
        form_.ShowNotice("COM NENALEZEN");
    if (ended_)
        return;
    PowerContact();
    PulseCount = 0;
    LastCts = lines_.ReadCts();
    form_.SetTimer1Interval(PollPeriodMs);
}

void Logic::Tick()
{
    const std::int16_t cts = lines_.ReadCts();
    if (cts > LastCts) {
        ++PulseCount;
        form_.SetText1(CountText(PulseCount));
    }
    LastCts = cts;
}

void Logic::Option1Chosen() { SwitchPort("COM1", "COM1 OBSAZEN"); }

void Logic::Option2Chosen() { SwitchPort("COM2", "COM2 OBSAZEN"); }

void Logic::SwitchPort(std::string_view port, const std::string &notice)
{
    lines_.ClosePort();
    if (lines_.OpenPort(port) == 0)
        form_.ShowNotice(notice);
    if (!ended_)
        PowerContact();
}

void Logic::PowerContact()
{
    lines_.SetBreak(0);
    lines_.SetDtr(1);
    lines_.SetRts(0);
}

void Logic::SwitchOffAndRelease()
{
    lines_.SetDtr(0);
    lines_.SetRts(0);
    lines_.SetBreak(0);
    lines_.ClosePort();
}

int Logic::End()
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

} // namespace counting
