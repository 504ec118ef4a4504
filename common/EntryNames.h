// The names in a directory, as the OS lists them.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace common {

// Every name but "." and "..", in the order the OS gives them; none when the
// directory cannot be read.  POSIX does not promise that readdir() is
// thread-safe; the standard library promises it of distinct iterators.
inline std::vector<std::string> EntryNames(const std::string &dir)
{
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(dir, error), end; !error && entry != end; entry.increment(error))
        names.push_back(entry->path().filename().string());
    return names;
}

} // namespace common
