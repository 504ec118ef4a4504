// How one emulated serial port behaves, as given on the command line:
//
//   present[,hz=F][,duty=PCT][,pulses=N|inf][,delay=MS][,idle=0|1]
//          [,steps=MS:LEVEL;MS:LEVEL;...][,origin=start|open|usr1|usr2]
//          [,remove=MS][,held][,socket=N][,acm]
//   notserial[,held][,socket=N]
//   absent
//
// "held" alone means "present,held".  All times count from the port's origin.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vmeter {

// The CTS level a port shows over time.  Times are milliseconds since the
// port's origin; the level is a pure function of that time, so the waveform
// runs in real time however late or often the program polls.
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
    double DelayMs = 0; // before the first pulse
    // A scripted list of (time, level) steps; when non-empty it replaces the
    // periodic pulses.  Before the first step the level is Idle.
    std::vector<std::pair<double, int>> Steps;

    int LevelAt(double ms) const;
    // The time from which the level no longer changes; empty for endless.
    std::optional<double> EndMs() const;
};

enum class PortKind {
    Present,   // a UART with modem lines
    NotSerial, // a tty without modem lines: every modem ioctl fails ENOTTY
    Absent,    // no device: open() fails
};

enum class Origin {
    Start, // the meter's start
    Open,  // the first open of the port by the program under test
    Usr1,  // the first SIGUSR1 the meter receives (a test says "go")
    Usr2,  // the first SIGUSR2
};

// The words for them, in the enums' order.
inline constexpr const char *KindNames[] = {"present", "notserial", "absent"};
inline constexpr const char *OriginNames[] = {"start", "open", "usr1", "usr2"};

struct PortConfig
{
    PortKind Kind = PortKind::Present;
    // Another program holds the port: the meter keeps flock(LOCK_EX) on it.
    bool Held = false;
    Origin TimeOrigin = Origin::Start;
    // From this time on every ioctl fails with EIO (the adapter was pulled).
    std::optional<double> RemoveMs;
    // A USB adapter's socket, which orders its /dev/serial/by-path link; 0 for
    // the adapter's default.
    int Socket = 0;
    // A USB adapter of the CDC ACM class: /dev/ttyACM<n> of the driver
    // cdc_acm, whose TIOCMGET shows CTS always on, as Linux's does.
    bool Acm = false;
    Waveform Cts;
};

struct ConfigError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

PortConfig ParsePortConfig(const std::string &text);
// "a,,b" -> {"a", "", "b"}; "" -> {""}.
std::vector<std::string> Split(const std::string &text, char separator);

} // namespace vmeter
