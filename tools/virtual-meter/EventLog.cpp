#include "EventLog.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace vmeter {

// libstdc++'s steady_clock is CLOCK_MONOTONIC.
double MonotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

EventLog::~EventLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool EventLog::Open(const std::string &path, std::string &error)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    return fd_ >= 0 || SystemError(path, error);
}

double EventLog::NowMs() const { return (MonotonicSeconds() - startMono_) * 1000.0; }

void EventLog::Write(const std::string &event, const std::string &fields)
{
    const double mono = MonotonicSeconds();
    std::string line = "{\"t\":" + std::to_string(mono - startMono_) + ",\"mono\":" + std::to_string(mono) +
                       ",\"event\":" + Quote(event);
    if (!fields.empty())
        line += "," + fields;
    line += "}\n";
    // O_APPEND and one write per line: readers never see half a line.  A
    // signal does not cut a write to a file short; a full disk loses lines.
    const std::lock_guard lock(mutex_);
    if (fd_ >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd_, line.data(), line.size());
    }
}

std::string EventLog::Quote(const std::string &text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        // A quote or a backslash behind a backslash, a control character as \u00XX.
        char escaped[8] = {'\\', c, '\0'};
        const bool control = static_cast<unsigned char>(c) < 0x20;
        if (control)
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
        quoted += control || c == '"' || c == '\\' ? escaped : escaped + 1;
    }
    return quoted + "\"";
}

} // namespace vmeter
