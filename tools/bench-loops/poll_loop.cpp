// bench-poll-loop: the benchmark's counting reference.  Every 20 ms it reads
// the modem lines of "COM2" with one TIOCMGET, until SIGTERM; nothing else.
// It opens the port only inside a virtual-meter testbed, so it can never
// reach the machine's own serial ports.
#include "TestbedCheck.h"
#include "Tick.h"

#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>

int main()
{
    if (std::string why; !vmeter::InsideTestbed(why)) {
        std::fprintf(stderr, "bench-poll-loop: not inside a virtual-meter testbed (%s); refusing to open ports\n",
                     why.c_str());
        return 2;
    }
    benchloop::StopOnSigterm();
    const int port = ::open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) {
        std::fprintf(stderr, "bench-poll-loop: /dev/ttyS1: %s\n", std::strerror(errno));
        return 1;
    }
    const int ticks = benchloop::StartTicks("bench-poll-loop");
    if (ticks < 0)
        return 1;
    int lines = 0;
    while (benchloop::NextTick(ticks)) {
        if (::ioctl(port, TIOCMGET, &lines) != 0) {
            std::fprintf(stderr, "bench-poll-loop: TIOCMGET: %s\n", std::strerror(errno));
            return 1;
        }
    }
    ::close(ticks);
    ::close(port);
    return 0;
}
