// libwine-meter.so: the virtual meter's modem lines for programs under Wine, which runs only in the Wine box's
// private mount namespace (tests/wine/winebox.py).  wineserver opens a COM port's device and hands the descriptor to
// the program's process, so umockdev's preload never sees the port; this library, preloaded into every Wine process,
// answers the modem ioctls on descriptors of the box's pty slaves from the virtual meter's own ModemPort, and logs
// each call in the meter's JSON-lines format.  Every other descriptor and request goes to the real ioctl; termios
// requests reach the pty, which handles them like a UART.
//
// Environment, as the box sets it:
//   WINE_METER_COM1_DEVICE, WINE_METER_COM2_DEVICE  the pty slave behind the COM name (as mapped in
//                        HKLM\Software\Wine\Ports); a descriptor matches when its st_dev and st_rdev are this node's
//   WINE_METER_COM1, WINE_METER_COM2  the port in virtual-meter's --com1/--com2 syntax (present or notserial)
//   WINE_METER_LOG       the JSON-lines record, appended by every process
//   WINE_METER_START     CLOCK_MONOTONIC seconds of the box's start: the origin of "t" and of origin=start waveforms
//   WINE_METER_TRIGGERS  a directory; a file "usr1" or "usr2" in it holding CLOCK_MONOTONIC seconds starts the
//                        waveforms of origin=usr1/usr2 ports at that time
//
// The line state lives in the process that makes the calls.  wineserver's open of the device is not seen there: a
// port counts as opened at the first call on one of the process's descriptors and as closed when the process has
// closed them all.
#include "EventLog.h"
#include "ModemPort.h"
#include "PortConfig.h"
#include "Record.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace vmeter;

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);
using CloseFunction = int (*)(int);

struct Port
{
    std::string Com;
    std::string Device;
    dev_t Filesystem = 0;
    dev_t Node = 0;
    std::unique_ptr<ModemPort> Modem;
    // This process's descriptors of the port, guarded by Preload::Mutex.
    std::vector<int> Fds;
};

struct Preload
{
    double StartMono = 0;
    std::unique_ptr<EventLog> Log;
    std::vector<Port> Ports;
    std::string Triggers;
    std::mutex Mutex;
};

std::atomic<int> TrackedFds{0};

IoctlFunction RealIoctl()
{
    static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

CloseFunction RealClose()
{
    static const auto real = reinterpret_cast<CloseFunction>(dlsym(RTLD_NEXT, "close"));
    return real;
}

// The process's name, which Wine sets on its main thread: PR_GET_NAME would
// give the calling thread's, and the program names its counting thread.
// /proc/self is the thread group leader's directory.  Read at the first
// port call, long after Wine has named the process, and kept.
std::string ProcessFields()
{
    static const std::string fields =
        "\"pid\":" + std::to_string(::getpid()) + ",\"proc\":" + EventLog::Quote(CommName("/proc/self/comm"));
    return fields;
}

std::string PortFields(const Port &port)
{
    return "\"dev\":" + EventLog::Quote(port.Device) + ",\"com\":" + EventLog::Quote(port.Com) + "," + ProcessFields();
}

void LogOrigin(Preload &preload, const Port &port, double nowMs)
{
    preload.Log->Write("origin", PortFields(port) + "," + OriginJson(*port.Modem, nowMs));
}

void AddPort(Preload &preload, const std::string &com, const char *deviceVariable, const char *configVariable)
{
    const char *device = std::getenv(deviceVariable);
    if (device == nullptr || *device == '\0')
        return;
    const char *text = std::getenv(configVariable);
    Port port;
    port.Com = com;
    port.Device = device;
    const auto refuse = [&](const std::string &error) {
        preload.Log->Write("config-error", "\"com\":" + EventLog::Quote(com) + ",\"error\":" + EventLog::Quote(error) +
                                               "," + ProcessFields());
    };
    try {
        PortConfig config = ParsePortConfig(text != nullptr ? text : "present");
        if (config.Kind == PortKind::Absent || config.Held)
            throw ConfigError("absent and held ports cannot be emulated under Wine");
        port.Modem = std::make_unique<ModemPort>(device, config);
    } catch (const ConfigError &error) {
        refuse(error.what());
        std::fprintf(stderr, "wine-meter: %s: %s\n", configVariable, error.what());
        return;
    }
    struct stat node = {};
    if (::stat(device, &node) != 0 || !S_ISCHR(node.st_mode))
        return refuse(std::string(device) + " is not a character device");
    port.Filesystem = node.st_dev;
    port.Node = node.st_rdev;
    preload.Ports.push_back(std::move(port));
}

// Never destroyed: Wine's threads may still make calls while the process's
// static objects are torn down.
Preload &Instance()
{
    static Preload *const preload = [] {
        auto *made = new Preload;
        const char *start = std::getenv("WINE_METER_START");
        made->StartMono = start != nullptr ? std::strtod(start, nullptr) : MonotonicSeconds();
        made->Log = std::make_unique<EventLog>(made->StartMono);
        if (const char *path = std::getenv("WINE_METER_LOG"); path != nullptr && *path != '\0') {
            std::string error;
            if (!made->Log->Open(path, error))
                std::fprintf(stderr, "wine-meter: %s\n", error.c_str());
        }
        if (const char *triggers = std::getenv("WINE_METER_TRIGGERS"))
            made->Triggers = triggers;
        AddPort(*made, "COM1", "WINE_METER_COM1_DEVICE", "WINE_METER_COM1");
        AddPort(*made, "COM2", "WINE_METER_COM2_DEVICE", "WINE_METER_COM2");
        return made;
    }();
    return *preload;
}

Port *Match(Preload &preload, int fd)
{
    if (preload.Ports.empty())
        return nullptr;
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return nullptr;
    for (Port &port : preload.Ports) {
        // A new devpts instance numbers its ptys from 0 again, so the node
        // number alone would also match the host's /dev/pts/N.
        if (status.st_rdev == port.Node && status.st_dev == port.Filesystem)
            return &port;
    }
    return nullptr;
}

// The harness's "go": the time written into the trigger file.
void CheckTriggers(Preload &preload, Port &port)
{
    const Origin origin = port.Modem->Config().TimeOrigin;
    if ((origin != Origin::Usr1 && origin != Origin::Usr2) || port.Modem->OriginMs() || preload.Triggers.empty())
        return;
    const std::string path = preload.Triggers + (origin == Origin::Usr1 ? "/usr1" : "/usr2");
    std::FILE *file = std::fopen(path.c_str(), "re");
    if (file == nullptr)
        return;
    double mono = 0;
    const bool read = std::fscanf(file, "%lf", &mono) == 1;
    std::fclose(file);
    if (!read)
        return;
    const double atMs = (mono - preload.StartMono) * 1000.0;
    if (port.Modem->Triggered(origin, atMs))
        LogOrigin(preload, port, preload.Log->NowMs());
}

void Track(Preload &preload, Port &port, int fd)
{
    bool first = false;
    {
        const std::lock_guard lock(preload.Mutex);
        if (std::find(port.Fds.begin(), port.Fds.end(), fd) != port.Fds.end())
            return;
        first = port.Fds.empty();
        port.Fds.push_back(fd);
        TrackedFds.fetch_add(1);
    }
    const double now = preload.Log->NowMs();
    const bool anchored = first && port.Modem->Opened(now);
    preload.Log->Write("open", PortFields(port) + ",\"fd\":" + std::to_string(fd) + ",\"first\":" +
                                   (first ? "true" : "false") + ",\"lines\":" + LinesJson(port.Modem->Lines(now)));
    if (anchored)
        LogOrigin(preload, port, now);
}

void Untrack(int fd)
{
    Preload &preload = Instance();
    for (Port &port : preload.Ports) {
        bool last = false;
        {
            const std::lock_guard lock(preload.Mutex);
            const auto it = std::find(port.Fds.begin(), port.Fds.end(), fd);
            if (it == port.Fds.end())
                continue;
            port.Fds.erase(it);
            TrackedFds.fetch_sub(1);
            last = port.Fds.empty();
        }
        const double now = preload.Log->NowMs();
        if (last)
            port.Modem->Closed(now);
        preload.Log->Write("close", PortFields(port) + ",\"fd\":" + std::to_string(fd) + ",\"last\":" +
                                        (last ? "true" : "false") + ",\"lines\":" + LinesJson(port.Modem->Lines(now)));
    }
}

int Emulate(Preload &preload, Port &port, int fd, unsigned long request, void *argument)
{
    Track(preload, port, fd);
    CheckTriggers(preload, port);

    int passed = 0;
    if (ReadsIntArgument(request)) {
        if (argument == nullptr) {
            errno = EFAULT;
            return -1;
        }
        std::memcpy(&passed, argument, sizeof passed);
    }
    const double now = preload.Log->NowMs();
    IoctlAnswer answer = port.Modem->Ioctl(request, passed, now);
    if (!answer.Emulated) {
        answer.Result = RealIoctl()(fd, request, argument);
        answer.Error = answer.Result < 0 ? errno : 0;
    } else if (answer.WriteBack && answer.Result == 0 && answer.Value) {
        if (argument == nullptr) {
            answer.Result = -1;
            answer.Error = EFAULT;
        } else {
            std::memcpy(argument, &*answer.Value, sizeof(int));
        }
    }

    preload.Log->Write("ioctl", PortFields(port) + ",\"fd\":" + std::to_string(fd) + "," + IoctlJson(request, answer) +
                                    ",\"lines\":" + LinesJson(port.Modem->Lines(now)));
    errno = answer.Error;
    return static_cast<int>(answer.Result);
}

} // namespace

extern "C" {

// Every request on these ports takes either no argument or a pointer.
int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    const int saved = errno;
    Preload &preload = Instance();
    Port *port = Match(preload, fd);
    errno = saved;
    if (port == nullptr)
        return RealIoctl()(fd, request, argument);
    return Emulate(preload, *port, fd, request, argument);
}

int close(int fd)
{
    if (TrackedFds.load() > 0) {
        const int saved = errno;
        Untrack(fd);
        errno = saved;
    }
    return RealClose()(fd);
}

} // extern "C"
