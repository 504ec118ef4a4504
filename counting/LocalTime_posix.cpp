#include "Counting.h"

#include <ctime>

namespace counting {

TimeOfDay LocalTimeOfDay()
{
    // localtime_r: the end may run on the counting thread.
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    if (::localtime_r(&now, &local) == nullptr)
        return {};
    return {local.tm_hour, local.tm_min, local.tm_sec};
}

} // namespace counting
