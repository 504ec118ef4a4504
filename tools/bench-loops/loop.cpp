// The benchmark's reference loops, until SIGTERM: a periodic timerfd on
// CLOCK_MONOTONIC with absolute deadlines every 20 ms, like the program's
// Timer1 on Linux, but read with a blocking read() and no event loop around
// it.  bench-idle-loop (POLL_COM2 0), the idle floor, does nothing else, the
// least any program with a 20 ms poll must do; it opens no port.
// bench-poll-loop (POLL_COM2 1), the counting reference, reads the modem
// lines of "COM2" with one TIOCMGET each tick.  It opens the port only inside
// a virtual-meter testbed, so it can never reach the machine's own ports.
#include "TestbedCheck.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr long PeriodNs = 20'000'000;
constexpr const char *Name = POLL_COM2 ? "bench-poll-loop" : "bench-idle-loop";

volatile std::sig_atomic_t Stopped = 0;

int Fail(const char *what)
{
    std::fprintf(stderr, "%s: %s: %s\n", Name, what, std::strerror(errno));
    return 1;
}

} // namespace

int main()
{
    int port = -1;
    if (POLL_COM2) {
        if (std::string why; !vmeter::InsideTestbed(why)) {
            std::fprintf(stderr, "%s: not inside a virtual-meter testbed (%s); refusing to open ports\n", Name,
                         why.c_str());
            return 2;
        }
        port = ::open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (port < 0)
            return Fail("/dev/ttyS1");
    }
    // SIGTERM ends the loop: without SA_RESTART it interrupts the blocked read.
    struct sigaction action = {};
    action.sa_handler = [](int) { Stopped = 1; };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);

    const int ticks = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (ticks < 0)
        return Fail("timerfd_create");
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    itimerspec period = {};
    period.it_interval.tv_nsec = PeriodNs;
    period.it_value.tv_sec = now.tv_sec + (now.tv_nsec + PeriodNs) / 1'000'000'000L;
    period.it_value.tv_nsec = (now.tv_nsec + PeriodNs) % 1'000'000'000L;
    if (::timerfd_settime(ticks, TFD_TIMER_ABSTIME, &period, nullptr) != 0)
        return Fail("timerfd_settime");

    std::uint64_t expirations = 0;
    int lines = 0;
    while (!Stopped) {
        if (::read(ticks, &expirations, sizeof expirations) != sizeof expirations) {
            if (errno != EINTR)
                return Fail("read");
        } else if (port >= 0 && ::ioctl(port, TIOCMGET, &lines) != 0) {
            return Fail("TIOCMGET");
        }
    }
    return 0;
}
