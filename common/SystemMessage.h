// The system's message for a Win32 error code, on Windows.
#pragma once

#include <string>

#include <windows.h>

namespace common {

// FormatMessage's text in the ANSI code page, without the line end that the
// system puts after it; empty when the system has no text for the code.
inline std::string SystemMessage(DWORD error)
{
    char message[512] = {};
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                          message, sizeof message, nullptr);
    std::string text(message, length);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

} // namespace common
