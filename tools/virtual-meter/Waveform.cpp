#include "Waveform.h"

#include <cmath>

namespace vmeter {

int Waveform::LevelAt(double ms) const
{
    if (!Steps.empty()) {
        int level = Idle;
        for (const auto &[at, value] : Steps) {
            if (at > ms)
                break;
            level = value;
        }
        return level;
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

} // namespace vmeter
