// virtual-meter-probe: drives an emulated port step by step and prints what
// each step got, one line per step, for the meter's own tests:
//
//   virtual-meter -- virtual-meter-probe open /dev/ttyS1 mget mbis 2 count 1000 close
//
// Steps: open DEV | close | mget | mbis BITS | mbic BITS | sbrk | cbrk |
//        sleep MS | count MS (rising CTS edges seen polling every 5 ms)
//
// It refuses to touch any device outside a virtual-meter testbed, so it can
// never reach the machine's own serial ports.
#include "TestbedCheck.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void Report(const char *step, int result, int value = 0)
{
    std::printf("%s %d %d %s\n", step, result, value, result < 0 ? strerrorname_np(errno) : "-");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (std::string why; !vmeter::InsideTestbed(why)) {
        std::fprintf(stderr, "virtual-meter-probe: not inside a virtual-meter testbed (%s); refusing to open ports\n",
                     why.c_str());
        return 2;
    }
    int fd = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        auto number = [&]() { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (step == "open") {
            const std::string device = i + 1 < argc ? argv[++i] : "";
            if (device != "/dev/ttyS0" && device != "/dev/ttyS1" && device != "/dev/ttyUSB0" &&
                device != "/dev/ttyUSB1") {
                std::fprintf(stderr, "virtual-meter-probe: only /dev/ttyS0, ttyS1, ttyUSB0 and ttyUSB1\n");
                return 2;
            }
            fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            Report("open", fd < 0 ? -1 : 0);
            if (fd >= 0)
                Report("flock", ::flock(fd, LOCK_EX | LOCK_NB));
        } else if (step == "close") {
            Report("close", ::close(fd));
            fd = -1;
        } else if (step == "mget") {
            int bits = 0;
            const int result = ::ioctl(fd, TIOCMGET, &bits); // before bits is read
            Report("mget", result, bits);
        } else if (step == "mbis" || step == "mbic") {
            const int bits = number();
            Report(step.c_str(), ::ioctl(fd, step == "mbis" ? TIOCMBIS : TIOCMBIC, &bits), bits);
        } else if (step == "sbrk" || step == "cbrk") {
            Report(step.c_str(), ::ioctl(fd, step == "sbrk" ? TIOCSBRK : TIOCCBRK));
        } else if (step == "sleep") {
            ::usleep(static_cast<useconds_t>(number()) * 1000);
        } else if (step == "count") {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(number());
            const auto cts = [fd] {
                int bits = 0;
                ::ioctl(fd, TIOCMGET, &bits);
                return (bits & TIOCM_CTS) != 0;
            };
            int edges = 0;
            for (bool last = cts(); std::chrono::steady_clock::now() < until;) {
                ::usleep(5000);
                const bool now = cts();
                edges += now && !last ? 1 : 0;
                last = now;
            }
            Report("count", 0, edges);
        } else {
            std::fprintf(stderr, "virtual-meter-probe: unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
