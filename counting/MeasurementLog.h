// Appending to the measurement log, one implementation per OS.
#pragma once

#include <string>

struct AppendResult
{
    bool Written = false;
    // The failing call and the OS's own message, when Written is false.
    std::string Reason;
};

// Appends text to the file (created when absent) in a single write and
// flushes it to the disk before returning.  A write that stops short is
// undone, so the file never holds a torn line.
AppendResult AppendDurably(const std::string &path, const std::string &text);
