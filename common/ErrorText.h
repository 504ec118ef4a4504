// The OS's message for an errno value, on POSIX systems.
#pragma once

#include <cstring>
#include <string>

namespace common {

// The same text as std::strerror, in the same language, but without its one
// buffer shared by all threads.  g++ and clang++ on glibc always define
// _GNU_SOURCE, so this is GNU's strerror_r: it returns the text, and writes
// it into the buffer only when it has to make one up ("Unknown error 1234").
inline std::string ErrorText(int error)
{
    char buffer[64];
    return ::strerror_r(error, buffer, sizeof buffer);
}

} // namespace common
