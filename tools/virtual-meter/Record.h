// The members of the meter's JSON record that describe a port, shared by the
// umockdev testbed and the Wine preload, so that a test reads both alike.
#pragma once

#include "ModemPort.h"

#include <string>

namespace vmeter {

// "lines":{"dtr":1,"rts":0,"brk":0,"cts":1} without the key: the object.
std::string LinesJson(const LineState &lines);
// "req", "emulated", "value", "result", "errno" and "error" of one ioctl
// and its answer.
std::string IoctlJson(unsigned long request, const IoctlAnswer &answer);
// "origin_t", "wave_end_t", "remove_t" and "now_t" of a port whose waveform
// has just been anchored, in seconds since the meter's start.
std::string OriginJson(const ModemPort &modem, double nowMs);
// A process's or thread's name from its /proc/.../comm file; empty if unread.
std::string CommName(const std::string &path);

} // namespace vmeter
