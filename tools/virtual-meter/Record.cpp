#include "Record.h"

#include "EventLog.h"

#include <cstring>
#include <fstream>
#include <optional>

namespace vmeter {

namespace {

// std::to_string writes a double as %f: to the microsecond.
std::string Seconds(std::optional<double> ms) { return ms ? std::to_string(*ms / 1000.0) : "null"; }

std::string ErrorName(int error)
{
    const char *name = error != 0 ? strerrorname_np(error) : "";
    return EventLog::Quote(name != nullptr ? name : std::to_string(error));
}

} // namespace

std::string LinesJson(const LineState &lines)
{
    return std::string("{\"dtr\":") + (lines.Dtr ? "1" : "0") + ",\"rts\":" + (lines.Rts ? "1" : "0") +
           ",\"brk\":" + (lines.Break ? "1" : "0") + ",\"cts\":" + std::to_string(lines.Cts) + "}";
}

std::string IoctlJson(unsigned long request, const IoctlAnswer &answer)
{
    // A failed TIOCMGET hands nothing back.
    const bool handed = answer.Value && !(answer.WriteBack && answer.Result != 0);
    return "\"req\":" + EventLog::Quote(RequestName(request)) +
           ",\"emulated\":" + (answer.Emulated ? "true" : "false") +
           ",\"value\":" + (handed ? std::to_string(*answer.Value) : "null") +
           ",\"result\":" + std::to_string(answer.Result) + ",\"errno\":" + std::to_string(answer.Error) +
           ",\"error\":" + ErrorName(answer.Error);
}

std::string OriginJson(const ModemPort &modem, double nowMs)
{
    const std::optional<double> origin = modem.OriginMs();
    const std::optional<double> end = modem.Config().Cts.EndMs();
    const std::optional<double> remove = modem.Config().RemoveMs;
    return "\"origin_t\":" + Seconds(origin) +
           ",\"wave_end_t\":" + Seconds(end && origin ? std::optional(*origin + *end) : std::nullopt) +
           ",\"remove_t\":" + Seconds(remove && origin ? std::optional(*origin + *remove) : std::nullopt) +
           ",\"now_t\":" + Seconds(nowMs);
}

std::string CommName(const std::string &path)
{
    std::string name;
    std::ifstream comm(path);
    std::getline(comm, name);
    return name;
}

} // namespace vmeter
