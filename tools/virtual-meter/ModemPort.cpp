#include "ModemPort.h"

#include <cerrno>
#include <cstdio>
#include <sys/ioctl.h>
#include <termios.h>
#include <utility>

namespace vmeter {

namespace {

const std::pair<unsigned long, const char *> KnownRequests[] = {
    {TIOCMGET, "TIOCMGET"},       {TIOCMBIS, "TIOCMBIS"},     {TIOCMBIC, "TIOCMBIC"},
    {TIOCMSET, "TIOCMSET"},       {TIOCSBRK, "TIOCSBRK"},     {TIOCCBRK, "TIOCCBRK"},
    {TIOCEXCL, "TIOCEXCL"},       {TIOCNXCL, "TIOCNXCL"},     {TIOCMIWAIT, "TIOCMIWAIT"},
    {TIOCGICOUNT, "TIOCGICOUNT"}, {TCGETS, "TCGETS"},         {TCSETS, "TCSETS"},
    {TCSETSW, "TCSETSW"},         {TCSETSF, "TCSETSF"},       {TCGETA, "TCGETA"},
    {TCSETA, "TCSETA"},           {TCSETAW, "TCSETAW"},       {TCSETAF, "TCSETAF"},
    {TCSBRK, "TCSBRK"},           {TCSBRKP, "TCSBRKP"},       {TCXONC, "TCXONC"},
    {TCFLSH, "TCFLSH"},           {TIOCOUTQ, "TIOCOUTQ"},     {FIONREAD, "FIONREAD"},
    {TIOCGWINSZ, "TIOCGWINSZ"},   {TIOCSWINSZ, "TIOCSWINSZ"}, {TIOCGSERIAL, "TIOCGSERIAL"},
    {TIOCSSERIAL, "TIOCSSERIAL"}, {TIOCSCTTY, "TIOCSCTTY"},   {TIOCGPGRP, "TIOCGPGRP"},
    {FIONBIO, "FIONBIO"},         {FIOCLEX, "FIOCLEX"},
};

} // namespace

RequestKind ClassifyRequest(unsigned long request)
{
    if (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET ||
        request == TIOCSBRK || request == TIOCCBRK || request == TIOCMIWAIT || request == TIOCGICOUNT)
        return RequestKind::Modem;
    if (_IOC_TYPE(request) != 'T') // the tty requests' own type
        return RequestKind::Other;
    // By number, termios2 included, since <termios.h> and <asm/termbits.h>
    // cannot be included together: TCGETS..TCFLSH (0x01-0x0B), TCSBRKP
    // (0x25), TCGETS2..TCSETSF2 (0x2A-0x2D); TIOCOUTQ (0x11), TIOCGWINSZ and
    // TIOCSWINSZ (0x13, 0x14), FIONREAD (0x1B).
    const unsigned number = _IOC_NR(request);
    if ((number >= 0x01 && number <= 0x0B) || number == 0x25 || (number >= 0x2A && number <= 0x2D))
        return RequestKind::Termios;
    if (number == 0x11 || number == 0x13 || number == 0x14 || number == 0x1B)
        return RequestKind::Queue;
    return RequestKind::Other;
}

std::string RequestName(unsigned long request)
{
    for (const auto &[known, name] : KnownRequests) {
        if (known == request)
            return name;
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%lX", request);
    return hex;
}

bool ReadsIntArgument(unsigned long request)
{
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
}

ModemPort::ModemPort(std::string device, PortConfig config) : device_(std::move(device)), config_(std::move(config))
{
    if (config_.TimeOrigin == Origin::Start)
        originMs_ = 0.0;
}

bool ModemPort::Opened(double nowMs)
{
    const std::lock_guard lock(mutex_);
    const bool anchored = AnchorAt(Origin::Open, nowMs);
    // Linux raises DTR and RTS when a tty opens with a nonzero baud rate,
    // O_NONBLOCK or not; the program switches them as it wants afterwards.
    if (config_.Kind == PortKind::Present && openers_++ == 0 && !RemovedAt(nowMs))
        lines_.Dtr = lines_.Rts = true;
    return anchored;
}

bool ModemPort::Triggered(Origin signal, double nowMs)
{
    const std::lock_guard lock(mutex_);
    return AnchorAt(signal, nowMs);
}

bool ModemPort::AnchorAt(Origin origin, double nowMs)
{
    if (originMs_ || config_.TimeOrigin != origin)
        return false;
    originMs_ = nowMs;
    return true;
}

void ModemPort::Closed(double nowMs)
{
    const std::lock_guard lock(mutex_);
    if (config_.Kind != PortKind::Present || openers_ == 0)
        return;
    // The last close hangs up (HUPCL is on by default) and the 8250 driver's
    // shutdown clears a held break.
    if (--openers_ == 0 && !RemovedAt(nowMs))
        lines_ = LineState{};
}

bool ModemPort::RemovedAt(double nowMs) const
{
    return config_.RemoveMs && originMs_ && nowMs - *originMs_ >= *config_.RemoveMs;
}

void ModemPort::SetHook(Hook hook)
{
    const std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::optional<double> ModemPort::OriginMs() const
{
    const std::lock_guard lock(mutex_);
    return originMs_;
}

int ModemPort::CtsAt(double nowMs) const
{
    if (config_.Acm)
        return 1; // cdc_acm reports no CTS and sets the bit always
    if (!originMs_)
        return config_.Cts.Idle;
    return config_.Cts.LevelAt(nowMs - *originMs_);
}

LineState ModemPort::Lines(double nowMs) const
{
    const std::lock_guard lock(mutex_);
    LineState lines = lines_;
    lines.Cts = config_.Kind == PortKind::Present ? CtsAt(nowMs) : 0;
    return lines;
}

IoctlAnswer ModemPort::Ioctl(unsigned long request, int argument, double nowMs)
{
    const std::lock_guard lock(mutex_);
    const std::optional<int> passed = ReadsIntArgument(request) ? std::optional<int>(argument) : std::optional<int>();
    if (hook_) {
        if (std::optional<IoctlAnswer> answer = hook_(request, argument))
            return *answer;
    }
    if (RemovedAt(nowMs))
        return IoctlAnswer::Failure(EIO, passed);

    if (config_.Kind == PortKind::NotSerial) {
        if (ClassifyRequest(request) == RequestKind::Modem)
            return IoctlAnswer::Failure(ENOTTY, passed);
        return {.Emulated = false};
    }

    IoctlAnswer answer;
    answer.Value = passed;
    switch (request) {
    case TIOCMGET:
        answer.Value =
            (lines_.Dtr ? TIOCM_DTR : 0) | (lines_.Rts ? TIOCM_RTS : 0) | (CtsAt(nowMs) != 0 ? TIOCM_CTS : 0);
        answer.WriteBack = true;
        return answer;
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET: {
        const bool on = request != TIOCMBIC;
        if (request == TIOCMSET || (argument & TIOCM_DTR) != 0)
            lines_.Dtr = request == TIOCMSET ? (argument & TIOCM_DTR) != 0 : on;
        if (request == TIOCMSET || (argument & TIOCM_RTS) != 0)
            lines_.Rts = request == TIOCMSET ? (argument & TIOCM_RTS) != 0 : on;
        return answer;
    }
    case TIOCSBRK:
    case TIOCCBRK:
        lines_.Break = request == TIOCSBRK;
        return answer;
    case TIOCEXCL:
    case TIOCNXCL:
        // Kept away from the pty itself: its exclusive flag would also shut
        // out the meter's own opens.  Nothing else here depends on it.
        return answer;
    default:
        break;
    }
    // A pty carries out termios and queue requests the way a UART driver does.
    if (const RequestKind kind = ClassifyRequest(request); kind == RequestKind::Termios || kind == RequestKind::Queue)
        return {.Emulated = false};
    return IoctlAnswer::Failure(ENOTTY, passed);
}

} // namespace vmeter
