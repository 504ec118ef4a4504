// The CTS level a virtual meter port shows over time.
//
// Times are milliseconds since the port's origin (the meter's start, or the
// first open of the port).  The level is a pure function of that time, so
// the waveform runs in real time however late or often the program polls.
#pragma once

#include <optional>
#include <utility>
#include <vector>

namespace vmeter {

struct Waveform
{
    // CTS before the first pulse, between pulses and after the last one.
    int Idle = 0;
    // Length of one pulse period; 0 means no pulses at all.
    double PeriodMs = 0;
    // Share of each period spent at the active level (the opposite of Idle).
    double DutyPercent = 50;
    // Number of pulses; empty means they never stop.
    std::optional<long long> Pulses;
    // Time before the first pulse starts.
    double DelayMs = 0;
    // A scripted list of (time, level) steps; when non-empty it replaces the
    // periodic pulses.  Before the first step the level is Idle.
    std::vector<std::pair<double, int>> Steps;

    int LevelAt(double ms) const;
    // The time from which the level no longer changes; empty for endless.
    std::optional<double> EndMs() const;
};

} // namespace vmeter
