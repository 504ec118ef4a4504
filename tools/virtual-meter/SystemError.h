// The meter's words for a failed system call: "<what>: <strerror(errno)>".
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace vmeter {

// Sets error and returns false, for `return SystemError(...)`.
inline bool SystemError(const std::string &what, std::string &error)
{
    error = what + ": " + std::strerror(errno);
    return false;
}

} // namespace vmeter
