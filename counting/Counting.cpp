#include "Counting.h"

#include "MeasurementLog.h"

#include <utility>

namespace counting {

std::string CountText(std::int64_t count)
{
    // The blank stands where a sign would; a count never has one.
    std::string text(1, ' ');
    text += std::to_string(count);
    return text;
}

namespace {

std::string TwoDigits(int value)
{
    return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

} // namespace

std::string EndLine(TimeOfDay time, std::int64_t count)
{
    return " konec nacitani : " + TwoDigits(time.Hours) + ":" + TwoDigits(time.Minutes) + ":" +
           TwoDigits(time.Seconds) + "  pocet pulsu =" + CountText(count);
}

// A handler's hold on the logic: the lock, and the count of handlers under
// way that makes a tick wait.
class Logic::Handler
{
public:
    explicit Handler(Logic &logic) : logic_(logic), lock_(logic.mutex_) { ++logic_.handlers_; }
    ~Handler()
    {
        const std::function<void()> tickOwed = --logic_.handlers_ == 0 ? logic_.whenTickOwed_ : nullptr;
        // Let go first: the owed tick only tries the lock.
        lock_.unlock();
        if (tickOwed && logic_.tickOwed_.exchange(false))
            tickOwed();
    }
    Handler(const Handler &) = delete;
    Handler &operator=(const Handler &) = delete;

    // The operator may take any time over a notice; meanwhile the lock is
    // free for an end (a signal, the session's end), though not for a tick.
    void Notice(const std::string &text)
    {
        lock_.unlock();
        logic_.form_.ShowNotice(text);
        lock_.lock();
    }

private:
    Logic &logic_;
    std::unique_lock<std::mutex> lock_;
};

Logic::Logic(Form1Operations &form, SerialLines &lines, std::function<TimeOfDay()> clock, std::string logPath)
    : form_(form), lines_(lines), clock_(std::move(clock)), logPath_(std::move(logPath))
{
}

void Logic::WhenTickOwed(std::function<void()> tickOwed)
{
    const std::lock_guard lock(mutex_);
    whenTickOwed_ = std::move(tickOwed);
}

bool Logic::Ended() const
{
    const std::lock_guard lock(mutex_);
    return phase_ == Phase::Ended;
}

CountState Logic::State() const
{
    const std::lock_guard lock(mutex_);
    return state_;
}

void Logic::Load()
{
    Handler handler(*this);
    // An end that came first (a signal) leaves nothing to start.
    if (phase_ != Phase::NotStarted)
        return;
    std::int16_t opened = lines_.OpenPort("COM2");
    if (opened == 0) {
        opened = lines_.OpenPort("COM1");
        // Marking Option1 is choosing it: the switch to "COM1" runs to its
        // end, its notice included, before the start-up goes on.
        form_.MarkOption1();
        SwitchPort(handler, "COM1", "COM1 OBSAZEN");
    } else {
        form_.MarkOption2();
    }
    // The end can come while a notice waits (a signal, the desktop session
    // ending): then nothing more is shown or switched on.
    if (opened == 0 && phase_ != Phase::Ended)
        handler.Notice("COM NENALEZEN");
    if (phase_ == Phase::Ended)
        return;
    PowerContact();
    state_.PulseCount = 0;
    state_.LastCts = lines_.ReadCts();
    phase_ = Phase::Counting;
    form_.SetTimer1Interval(PollPeriodMs);
}

bool Logic::Tick()
{
    // Held by a handler, or for a moment by the end or a look at the state:
    // the tick is owed, and a handler hands it on when it is done.
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || handlers_ > 0) {
        tickOwed_ = true;
        return true;
    }
    if (phase_ != Phase::Counting)
        return phase_ == Phase::NotStarted;
    const std::int16_t cts = lines_.ReadCts();
    if (cts > state_.LastCts) {
        ++state_.PulseCount;
        // The count text fits the string's own buffer: no allocation.
        form_.SetText1(CountText(state_.PulseCount));
    }
    state_.LastCts = cts;
    return true;
}

void Logic::Option1Chosen()
{
    Handler handler(*this);
    SwitchPort(handler, "COM1", "COM1 OBSAZEN");
}

void Logic::Option2Chosen()
{
    Handler handler(*this);
    SwitchPort(handler, "COM2", "COM2 OBSAZEN");
}

void Logic::SwitchPort(Handler &handler, std::string_view port, const std::string &notice)
{
    // A choice that comes after the end (a click before the window closes)
    // must not take a port again.
    if (phase_ == Phase::Ended)
        return;
    lines_.ClosePort();
    if (lines_.OpenPort(port) == 0)
        handler.Notice(notice);
    if (phase_ != Phase::Ended)
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

EndResult Logic::End()
{
    const std::lock_guard lock(mutex_);
    if (phase_ == Phase::Ended)
        return {exitStatus_, {}};
    phase_ = Phase::Ended;
    const std::string line = EndLine(clock_(), state_.PulseCount);
    form_.SetText1(line);
    const AppendResult logged = AppendDurably(logPath_, line + "\r\n");
    // The lines go off and the port is released before any notice, so that
    // nothing stays powered while the notice waits for the operator.
    SwitchOffAndRelease();
    if (logged.Written)
        return {exitStatus_, {}};
    exitStatus_ = 1;
    // The count must not be lost with the file: the notice carries the line.
    return {exitStatus_,
            "MERENI NEBYLO ZAPSANO DO " + std::string(MeasurementLogName) + "\n(" + logged.Reason + ")\n\n" + line};
}

} // namespace counting
