// Module1: the one serial port this program drives.
//
// Principles of operation: only the modem-control side of the port is used.
// DTR, RTS and BREAK are outputs that feed the meter's contact; CTS is the
// one input read.  No byte is ever sent or received, and the port's data
// settings (baud rate, framing, termios) are never touched: the port is used
// with whatever settings it already has.
//
// Failures are silent by design: a failed open returns 0 and leaves no usable
// port, the line switches then change nothing and ReadCts reads 0 (CTS off).
// On Linux a failed open also writes one line to stderr saying why; on every
// OS so does the first ReadCts that finds the open port gone, once per open.
// Calls come one at a time, under the counting logic's lock: the switches and
// the opens from the window's thread, ReadCts from the counting thread, and
// the end's calls from either.
#pragma once

#include <cstdint>
#include <string_view>

namespace Module1 {

#ifdef _WIN32
using PortHandleType = void *; // a kernel32 HANDLE
#else
using PortHandleType = int; // a file descriptor
#endif

// The module-wide handle of the open port, or the platform's "no port"
// value (INVALID_HANDLE_VALUE on Windows, -1 elsewhere).
extern PortHandleType PortHandle;

// Opens a port such as "COM1" or "COM2" exclusively; only the first four
// characters of the name count (on Linux PortNames.h gives the device).
// Returns 0 on failure and a nonzero value on success.
// The previous handle is replaced without being closed: callers close first.
std::int16_t OpenPort(std::string_view name);
// Releases the port and forgets the handle; harmless with no port open.
void ClosePort();
// 1 switches the line on; every other value switches it off.
void SetDtr(std::int16_t level);
void SetRts(std::int16_t level);
void SetBreak(std::int16_t level);
// 1 when CTS is on, 0 when it is off or cannot be read.
std::int16_t ReadCts();

} // namespace Module1
