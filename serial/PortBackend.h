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
PortHandleType Open(const std::string &name);
void Close(PortHandleType handle);
void Switch(PortHandleType handle, Line line, bool on);
// False when CTS is off or the status cannot be read.
bool CtsOn(PortHandleType handle);

} // namespace Module1::Backend
