#include "PortConfig.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <vector>

namespace vmeter {

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

namespace {

double Number(const std::string &key, const std::string &value)
{
    char *end = nullptr;
    errno = 0;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(number))
        throw ConfigError(key + ": '" + value + "' is not a number");
    return number;
}

double NonNegative(const std::string &key, const std::string &value)
{
    const double number = Number(key, value);
    if (number < 0)
        throw ConfigError(key + ": must not be negative");
    return number;
}

int Level(const std::string &key, const std::string &value)
{
    if (value != "0" && value != "1")
        throw ConfigError(key + ": level must be 0 or 1, not '" + value + "'");
    return value == "1";
}

std::vector<std::pair<double, int>> Steps(const std::string &value)
{
    std::vector<std::pair<double, int>> steps;
    for (const std::string &step : Split(value, ';')) {
        const auto colon = step.find(':');
        if (colon == std::string::npos)
            throw ConfigError("steps: '" + step + "' is not TIME:LEVEL");
        const double at = NonNegative("steps", step.substr(0, colon));
        if (!steps.empty() && at < steps.back().first)
            throw ConfigError("steps: times must not decrease");
        steps.emplace_back(at, Level("steps", step.substr(colon + 1)));
    }
    return steps;
}

// The word's place in names, or -1.
template <std::size_t N> int Index(const char *const (&names)[N], const std::string &word)
{
    const auto found = std::find(std::begin(names), std::end(names), word);
    return found == std::end(names) ? -1 : static_cast<int>(found - std::begin(names));
}

} // namespace

int Waveform::LevelAt(double ms) const
{
    if (!Steps.empty()) {
        const auto next = std::upper_bound(Steps.begin(), Steps.end(), ms,
                                           [](double t, const std::pair<double, int> &step) { return t < step.first; });
        return next == Steps.begin() ? Idle : std::prev(next)->second;
    }
    if (PeriodMs <= 0 || ms < DelayMs)
        return Idle;
    const double sincePulses = ms - DelayMs;
    const double period = std::floor(sincePulses / PeriodMs);
    if (Pulses && period >= static_cast<double>(*Pulses))
        return Idle;
    const double phase = sincePulses - period * PeriodMs;
    const bool active = phase < PeriodMs * DutyPercent / 100.0;
    return active ? 1 - Idle : Idle;
}

std::optional<double> Waveform::EndMs() const
{
    if (!Steps.empty())
        return Steps.back().first;
    if (PeriodMs <= 0)
        return 0.0;
    if (!Pulses)
        return std::nullopt;
    return DelayMs + static_cast<double>(*Pulses) * PeriodMs;
}

PortConfig ParsePortConfig(const std::string &text)
{
    PortConfig config;
    const std::vector<std::string> items = Split(text, ',');
    if (items.front().empty())
        throw ConfigError("empty port description");

    std::set<std::string> seen;
    bool kindGiven = false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string &item = items[i];
        const auto equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : item.substr(equals + 1);
        const bool hasValue = equals != std::string::npos;
        if (!seen.insert(key).second)
            throw ConfigError(key + ": given twice");

        if (const int kind = Index(KindNames, key); kind >= 0) {
            if (hasValue || i != 0)
                throw ConfigError(key + ": must come first and take no value");
            config.Kind = static_cast<PortKind>(kind);
            kindGiven = true;
            continue;
        }
        if (key == "held" || key == "acm") {
            if (hasValue)
                throw ConfigError(key + ": takes no value");
            (key == "held" ? config.Held : config.Acm) = true;
            continue;
        }
        if (!hasValue)
            throw ConfigError("unknown word '" + key + "'");

        if (key == "hz") {
            const double hz = Number(key, value);
            if (hz <= 0)
                throw ConfigError("hz: must be above 0");
            config.Cts.PeriodMs = 1000.0 / hz;
        } else if (key == "duty") {
            config.Cts.DutyPercent = Number(key, value);
            if (config.Cts.DutyPercent <= 0 || config.Cts.DutyPercent >= 100)
                throw ConfigError("duty: must lie between 0 and 100 (exclusive)");
        } else if (key == "pulses") {
            if (value == "inf") {
                config.Cts.Pulses.reset();
            } else {
                const double pulses = NonNegative(key, value);
                if (pulses != std::floor(pulses))
                    throw ConfigError("pulses: must be a whole number or inf");
                config.Cts.Pulses = static_cast<long long>(pulses);
            }
        } else if (key == "delay") {
            config.Cts.DelayMs = NonNegative(key, value);
        } else if (key == "idle") {
            config.Cts.Idle = Level(key, value);
        } else if (key == "steps") {
            config.Cts.Steps = Steps(value);
        } else if (key == "origin") {
            const int origin = Index(OriginNames, value);
            if (origin < 0)
                throw ConfigError("origin: must be start, open, usr1 or usr2");
            config.TimeOrigin = static_cast<Origin>(origin);
        } else if (key == "remove") {
            config.RemoveMs = NonNegative(key, value);
        } else if (key == "socket") {
            const double socket = Number(key, value);
            if (socket < 1 || socket > 15 || socket != std::floor(socket))
                throw ConfigError("socket: must be a whole number from 1 to 15");
            config.Socket = static_cast<int>(socket);
        } else {
            throw ConfigError("unknown setting '" + key + "'");
        }
    }

    const auto given = [&seen](std::initializer_list<const char *> keys) {
        return std::any_of(keys.begin(), keys.end(), [&seen](const char *key) { return seen.count(key) != 0; });
    };
    const bool waveGiven = given({"hz", "duty", "pulses", "delay"});
    if (!kindGiven && !config.Held)
        throw ConfigError("must start with present, absent, notserial or held");
    if (!config.Cts.Steps.empty() && waveGiven)
        throw ConfigError("steps cannot be combined with hz/duty/pulses/delay");
    if (waveGiven && config.Cts.Steps.empty() && config.Cts.PeriodMs <= 0)
        throw ConfigError("pulses need hz");
    if (config.Kind == PortKind::Absent && (seen.size() > 1))
        throw ConfigError("absent takes no settings");
    if (config.Kind == PortKind::NotSerial && (waveGiven || given({"idle", "steps", "acm"})))
        throw ConfigError("notserial has no CTS line to drive");
    return config;
}

} // namespace vmeter
