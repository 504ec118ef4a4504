// Windows: the kernel32 serial calls.
//
// CreateFileA with share mode 0 is what makes the port exclusive: the open
// fails while any other program holds it.  No DCB, buffer size, time-out or
// event mask is set, so the port keeps its settings.
//
// The first poll that cannot read the port any more (a USB adapter pulled
// mid-count: GetCommModemStatus fails) writes one line to stderr, once until
// the next open; the poll still reads CTS off.
#include "PortBackend.h"
#include "SystemMessage.h"

#include <cstdio>
#include <utility>
#include <windows.h>

namespace Module1::Backend {

namespace {

// The open port's name for that line, and whether its loss has been said.
std::string PortName;
bool LossSaid = false;

void SayLost(DWORD error)
{
    if (std::exchange(LossSaid, true))
        return;
    // A line that stderr does not take has nowhere else to go.
    (void)std::fprintf(stderr, "kapirel: %s: lost (GetCommModemStatus: %s (error %lu))\n", PortName.c_str(),
                       common::SystemMessage(error).c_str(), error);
}

} // namespace

PortHandleType NoPort() { return INVALID_HANDLE_VALUE; }

// Share mode 0 is all the exclusion there is: lock stays empty.
PortHandleType Open(const std::string &name, std::string & /*lock*/)
{
    // The name is plain ASCII, the same in every ANSI code page.
    // CreateFileA answers INVALID_HANDLE_VALUE (-1) on failure, never NULL.
    const HANDLE handle =
        ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        PortName = name;
        LossSaid = false;
    }
    return handle;
}

void Close(PortHandleType handle, std::string & /*lock*/) { ::CloseHandle(handle); }

void Switch(PortHandleType handle, Line line, bool on)
{
    DWORD code = 0;
    switch (line) {
    case Line::Dtr:
        code = on ? SETDTR : CLRDTR;
        break;
    case Line::Rts:
        code = on ? SETRTS : CLRRTS;
        break;
    case Line::Break:
        code = on ? SETBREAK : CLRBREAK;
        break;
    }
    ::EscapeCommFunction(handle, code);
}

bool CtsOn(PortHandleType handle)
{
    DWORD status = 0;
    if (::GetCommModemStatus(handle, &status) == 0) [[unlikely]] {
        SayLost(::GetLastError());
        return false; // a removed port reads CTS off
    }
    return (status & MS_CTS_ON) != 0;
}

} // namespace Module1::Backend
