// Appending to the measurement log, one implementation per OS.
#pragma once

#include <string>

namespace counting {

struct AppendResult
{
    bool Written = false;
    // The failing call and the OS's own message, when Written is false.
    std::string Reason;
};

// Appends text to the file (created when absent) in a single write and
// flushes it to the disk before returning.  The file never keeps a torn
// line: a write that stops short is cut off again where the OS allows it.
AppendResult AppendDurably(const std::string &path, const std::string &text);

} // namespace counting
