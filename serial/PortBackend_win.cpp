// Windows: the kernel32 serial calls.
//
// CreateFileA with share mode 0 is what makes the port exclusive: the open
// fails while any other program holds it.  No DCB, buffer size, time-out or
// event mask is set, so the port keeps its settings.
#include "PortBackend.h"

#include <windows.h>

namespace Module1::Backend {

PortHandleType NoPort() { return INVALID_HANDLE_VALUE; }

// Share mode 0 is all the exclusion there is: lock stays empty.
PortHandleType Open(const std::string &name, std::string & /*lock*/)
{
    // The name is plain ASCII, the same in every ANSI code page.
    // CreateFileA answers INVALID_HANDLE_VALUE (-1) on failure, never NULL.
    return ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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
    DWORD status = 0; // stays 0 when the call fails: a removed port reads CTS off
    ::GetCommModemStatus(handle, &status);
    return (status & MS_CTS_ON) != 0;
}

} // namespace Module1::Backend
