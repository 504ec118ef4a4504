#include "Record.h"

#include "EventLog.h"

#include <cstdio>
#include <cstring>
#include <optional>

namespace vmeter {

namespace {

std::string Seconds(std::optional<double> ms)
{
    if (!ms)
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", *ms / 1000.0);
    return text;
}

std::string ErrorName(int error)
{
    if (error == 0)
        return "\"\"";
    const char *name = strerrorname_np(error);
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
    std::string value = "null";
    std::string bits;
    // A failed TIOCMGET hands nothing back.
    if (answer.Value && !(answer.WriteBack && answer.Result != 0)) {
        value = std::to_string(*answer.Value);
        bits = ",\"bits\":" + ModemBitsJson(*answer.Value);
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "\"0x%lX\"", request);
    return "\"req\":" + EventLog::Quote(RequestName(request)) + ",\"request\":" + hex +
           ",\"emulated\":" + (answer.Emulated ? "true" : "false") + ",\"value\":" + value + bits +
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
    char name[32] = {};
    if (FILE *comm = std::fopen(path.c_str(), "re")) {
        if (std::fgets(name, sizeof name, comm) != nullptr)
            name[std::strcspn(name, "\n")] = '\0';
        std::fclose(comm);
    }
    return name;
}

} // namespace vmeter
