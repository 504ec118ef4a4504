#include "Counting.h"

#include <ctime>

namespace counting {

TimeOfDay LocalTimeOfDay()
{
    // localtime_s: the end may run on the counting thread.
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    if (::localtime_s(&local, &now) != 0)
        return {};
    return {local.tm_hour, local.tm_min, local.tm_sec};
}

} // namespace counting
