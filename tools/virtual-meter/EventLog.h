// The meter's JSON-lines record: one object per line, each written with a
// single write(2) as soon as it happens, so a test can read the file while
// the meter runs.  Every line carries "t" (seconds since the meter started)
// and "mono" (CLOCK_MONOTONIC seconds, comparable with other processes).
// Beside it, the meter's words for a failed call.
#pragma once

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

namespace vmeter {

// error = "<what>: <strerror(errno)>"; false, for `return SystemError(...)`.
inline bool SystemError(const std::string &what, std::string &error)
{
    error = what + ": " + std::strerror(errno);
    return false;
}

double MonotonicSeconds();

class EventLog
{
public:
    explicit EventLog(double startMono) : startMono_(startMono) {}
    ~EventLog();

    // Appends to the file (created when absent).  Without a file the log is
    // silent.
    bool Open(const std::string &path, std::string &error);
    // fields: further JSON members without braces, e.g. "\"dev\":\"x\"".
    void Write(const std::string &event, const std::string &fields = {});
    // Milliseconds since the meter's start.
    double NowMs() const;

    static std::string Quote(const std::string &text);

private:
    const double startMono_;
    std::mutex mutex_;
    int fd_ = -1;
};

} // namespace vmeter
