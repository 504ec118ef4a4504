// The per-OS half of Module1.  One implementation is compiled per platform
// (PortBackend_posix.cpp or PortBackend_win.cpp); everything that holds on
// every OS, such as "is a port open?", stays in Module1.cpp.
#pragma once

#include "Module1.h"

#include <string>

namespace Module1::Backend {

enum class Line { Dtr, Rts, Break };

// The handle value that means "no port".
PortHandleType NoPort();
// Opens the device for a four-character port name; NoPort() on failure.
// lock is what the port holds besides its handle, given back by Close: on
// Linux the path of its UUCP lock file, empty when it took none (Windows
// takes none).  On entry lock is that of a port still open here (callers
// close first, so normally none): this open leaves that lock file alone.
PortHandleType Open(const std::string &name, std::string &lock);
// Releases the port and its lock file, and empties lock.
void Close(PortHandleType handle, std::string &lock);
void Switch(PortHandleType handle, Line line, bool on);
// False when CTS is off or the status cannot be read; the first such failure
// after an Open writes one line to stderr, naming the port.
bool CtsOn(PortHandleType handle);

#ifndef _WIN32
struct Opened
{
    int Fd = -1;        // -1: refused
    std::string Reason; // why, for the line on stderr
};
// The device at path, once the rule has chosen it: the checks of
// PortGuard.h with lock files in lockDirectory, then the open.  lock as for
// Open.  A refusal leaves no descriptor and no lock file of its own behind.
Opened OpenDevice(const std::string &path, const std::string &lockDirectory, std::string &lock);
#endif

} // namespace Module1::Backend
