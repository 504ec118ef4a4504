// The modem-control side of one emulated UART: what each ioctl on the port
// does and answers.  Plain C++ with no umockdev in it; the testbed glue feeds
// it the requests and carries the answers back to the program under test.
#pragma once

#include "PortConfig.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace vmeter {

struct LineState
{
    bool Dtr = false;
    bool Rts = false;
    bool Break = false;
    int Cts = 0;
};

struct IoctlAnswer
{
    // False: run the request on the underlying pty instead (termios and
    // queue requests, which a pty implements as a UART driver does).
    bool Emulated = true;
    long Result = 0;
    int Error = 0;
    // The bits passed in or handed back, when the request has such an int.
    std::optional<int> Value{};
    // Value must be stored through the request's pointer (TIOCMGET).
    bool WriteBack = false;

    // The request fails with errno error.
    static IoctlAnswer Failure(int error, std::optional<int> value = std::nullopt)
    {
        return {.Result = -1, .Error = error, .Value = value};
    }
};

// How a tty request touches a serial port.
enum class RequestKind {
    Modem,   // the modem lines and held breaks: TIOCM*, TIOCSBRK, TIOCCBRK, TIOCMIWAIT, TIOCGICOUNT
    Termios, // reads or changes the data settings, or sends a timed break: TCGETS..TCFLSH, TCSBRKP, termios2
    Queue,   // queue and window-size requests: TIOCOUTQ, FIONREAD, TIOCGWINSZ, TIOCSWINSZ
    Other,   // everything else, TIOCEXCL and TIOCNXCL among them
};
RequestKind ClassifyRequest(unsigned long request);

// The name of a tty request ("TIOCMGET"), or its number in hex.
std::string RequestName(unsigned long request);
// Requests whose argument points to an int that the port reads.
bool ReadsIntArgument(unsigned long request);

class ModemPort
{
public:
    ModemPort(std::string device, PortConfig config);

    const std::string &Device() const { return device_; }
    const PortConfig &Config() const { return config_; }

    // The program opened the device node.  Returns true when this open set
    // the port's time origin (origin=open, first open).
    bool Opened(double nowMs);
    // The meter received the signal of an origin=usr1/usr2 port.  Returns
    // true when this set the port's time origin.
    bool Triggered(Origin signal, double nowMs);
    // One opener closed the device node again.
    void Closed(double nowMs);
    IoctlAnswer Ioctl(unsigned long request, int argument, double nowMs);
    LineState Lines(double nowMs) const;

    // Sees every request before the emulation: it answers the request itself
    // (a fault, other modem bits), or returns nothing and leaves it to the
    // emulation.  Called with the port's lock held; for tests.
    using Hook = std::function<std::optional<IoctlAnswer>(unsigned long request, int argument)>;
    void SetHook(Hook hook);
    // Milliseconds since the meter's start; empty until origin=open anchors.
    std::optional<double> OriginMs() const;

private:
    // These expect mutex_ to be held.
    bool AnchorAt(Origin origin, double nowMs);
    bool RemovedAt(double nowMs) const;
    int CtsAt(double nowMs) const;

    const std::string device_;
    const PortConfig config_;
    mutable std::mutex mutex_;
    std::optional<double> originMs_;
    int openers_ = 0;
    LineState lines_;
    Hook hook_;
};

} // namespace vmeter
