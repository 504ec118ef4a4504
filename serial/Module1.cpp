#include "Module1.h"

#include "PortBackend.h"

namespace Module1 {

PortHandleType PortHandle = Backend::NoPort();

namespace {

// What the open port holds besides PortHandle (Linux: its lock file); the
// two are given back together.
std::string PortLock;

bool PortOpen() { return PortHandle != Backend::NoPort(); }

void SwitchLine(Backend::Line line, std::int16_t level)
{
    if (PortOpen())
        Backend::Switch(PortHandle, line, level == 1);
}

} // namespace

std::int16_t OpenPort(std::string_view name)
{
    PortHandle = Backend::Open(std::string(name.substr(0, 4)), PortLock);
    // The handle itself may not fit 16 bits; callers only compare with 0.
    return PortOpen() ? 1 : 0;
}

void ClosePort()
{
    if (PortOpen())
        Backend::Close(PortHandle, PortLock);
    // Forget the handle: a second ClosePort must not close a descriptor that
    // the system has since handed out again (to the log file, say).
    PortHandle = Backend::NoPort();
}

void SetDtr(std::int16_t level) { SwitchLine(Backend::Line::Dtr, level); }
void SetRts(std::int16_t level) { SwitchLine(Backend::Line::Rts, level); }
void SetBreak(std::int16_t level) { SwitchLine(Backend::Line::Break, level); }

std::int16_t ReadCts() { return PortOpen() && Backend::CtsOn(PortHandle) ? 1 : 0; }

} // namespace Module1
