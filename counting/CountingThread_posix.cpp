// Linux: the counting thread at SCHED_RR, and an inhibitor lock of logind
// against idle sleep.
//
// Real-time priority the way audio programs get it: first directly, which
// root, CAP_SYS_NICE or an RLIMIT_RTPRIO above 0 ("rtprio" in
// /etc/security/limits.conf) allows; else from rtkit on the system bus, which
// desktops run for exactly this.  SCHED_RESET_ON_FORK keeps any child process
// from inheriting the priority (rtkit sets it too).  RLIMIT_RTTIME is the
// kernel's watchdog: a real-time thread that ran that long without sleeping
// gets SIGXCPU, and would be killed at the hard limit, instead of freezing the
// desktop.  The counting thread sleeps between polls, and every sleep starts
// its count anew, so only a thread that spins ever reaches it.
//
// D-Bus through sd-bus, of libsystemd: counting/ stays free of Qt, and
// libsystemd is on every systemd desktop, the ones that have logind and
// rtkit to ask.  sd_bus_open_system honours DBUS_SYSTEM_BUS_ADDRESS.  Every
// call waits at most CallTimeout, not sd-bus's 25 s: the counting thread
// does not poll while it waits.
#include "CountingThread.h"

#include "ErrorText.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace counting {

namespace {

// Above every normal thread and below the audio servers' usual 20 and the
// kernel's own threads; the poll is short, it needs to run on time, not first.
constexpr int Priority = 10;
// Microseconds a real-time thread may run without sleeping; a poll takes far
// less than a millisecond.
constexpr rlim_t RunWithoutSleepLimit = 200000;
constexpr std::uint64_t CallTimeout = 500000; // microseconds

constexpr const char *Rtkit = "org.freedesktop.RealtimeKit1";
constexpr const char *RtkitPath = "/org/freedesktop/RealtimeKit1";

struct BusClose
{
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;

struct MessageUnref
{
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

struct BusError
{
    sd_bus_error error = SD_BUS_ERROR_NULL;

    BusError() = default;
    ~BusError() { sd_bus_error_free(&error); }
    BusError(const BusError &) = delete;
    BusError &operator=(const BusError &) = delete;

    // The reply's error message, or the errno of a call that got no reply.
    std::string Text(int result) const
    {
        if (error.message != nullptr)
            return error.message;
        if (error.name != nullptr)
            return error.name;
        return common::ErrorText(-result);
    }
};

// The system bus, or null with `why` set.
Bus OpenSystemBus(std::string &why)
{
    sd_bus *bus = nullptr;
    const int result = sd_bus_open_system(&bus);
    if (result < 0) {
        why = common::ErrorText(-result);
        return nullptr;
    }
    Bus opened(bus);
    const int timeout = sd_bus_set_method_call_timeout(bus, CallTimeout);
    if (timeout < 0) {
        why = "sd_bus_set_method_call_timeout: " + common::ErrorText(-timeout);
        return nullptr;
    }
    return opened;
}

// Lowers RLIMIT_RTTIME, soft and hard, to `most` microseconds; never raises
// it, which only root could.
bool LimitRunWithoutSleep(rlim_t most, std::string &why)
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_RTTIME, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max = std::min(most, limit.rlim_max);
        if (::setrlimit(RLIMIT_RTTIME, &limit) == 0)
            return true;
    }
    why = "RLIMIT_RTTIME: " + common::ErrorText(errno);
    return false;
}

// sched_setscheduler, not pthread_setschedparam, which cannot carry
// SCHED_RESET_ON_FORK; on Linux its pid 0 is the calling thread.
bool SetRoundRobin(int priority)
{
    sched_param param = {};
    param.sched_priority = priority;
    return ::sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0;
}

bool RaiseDirectly(std::string &why)
{
    if (!LimitRunWithoutSleep(RunWithoutSleepLimit, why))
        return false;
    if (SetRoundRobin(Priority))
        return true;
    int error = errno;
    // An RLIMIT_RTPRIO below our priority grants up to itself.
    rlimit allowed = {};
    if (error == EPERM && ::getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur > 0 &&
        allowed.rlim_cur < static_cast<rlim_t>(Priority)) {
        if (SetRoundRobin(static_cast<int>(allowed.rlim_cur)))
            return true;
        error = errno;
    }
    why = common::ErrorText(error);
    return false;
}

// rtkit grants SCHED_RR to a thread of the caller up to its
// MaxRealtimePriority, and only to a process whose RLIMIT_RTTIME is at most
// its RTTimeUSecMax.
bool RaiseThroughRtkit(std::string &why)
{
    const Bus bus = OpenSystemBus(why);
    if (!bus)
        return false;
    BusError error;
    std::int32_t maxPriority = 0;
    int result = sd_bus_get_property_trivial(bus.get(), Rtkit, RtkitPath, Rtkit, "MaxRealtimePriority", &error.error,
                                             'i', &maxPriority);
    if (result < 0) {
        why = error.Text(result);
        return false;
    }
    std::int64_t maxRunWithoutSleep = 0;
    result = sd_bus_get_property_trivial(bus.get(), Rtkit, RtkitPath, Rtkit, "RTTimeUSecMax", &error.error, 'x',
                                         &maxRunWithoutSleep);
    if (result < 0) {
        why = error.Text(result);
        return false;
    }
    if (maxPriority < 1 || maxRunWithoutSleep < 1) {
        why = "no real-time priority offered";
        return false;
    }
    if (!LimitRunWithoutSleep(std::min(RunWithoutSleepLimit, static_cast<rlim_t>(maxRunWithoutSleep)), why))
        return false;
    result = sd_bus_call_method(bus.get(), Rtkit, RtkitPath, Rtkit, "MakeThreadRealtime", &error.error, nullptr, "tu",
                                static_cast<std::uint64_t>(::gettid()),
                                static_cast<std::uint32_t>(std::min(Priority, maxPriority)));
    if (result < 0) {
        why = error.Text(result);
        return false;
    }
    return true;
}

} // namespace

void PrepareCountingThread()
{
    // At most 15 characters: /proc/PID/task/*/comm, top -H and ps -L show it.
    (void)::pthread_setname_np(::pthread_self(), "kapirel-count");
    std::string direct;
    std::string rtkit;
    if (RaiseDirectly(direct) || RaiseThroughRtkit(rtkit))
        return;
    (void)std::fprintf(stderr, "kapirel: counting at normal priority (SCHED_RR: %s; rtkit: %s)\n", direct.c_str(),
                       rtkit.c_str());
}

// logind's lock against idle and sleep, blocking.  logind lets a user
// override the locks of their own processes, so the user's own suspend still
// goes through, and a closed lid ignores such locks by default; what it keeps
// off is the sleep that comes when nobody touches the PC.
IdleSleepHold::IdleSleepHold()
{
    std::string why;
    if (const Bus bus = OpenSystemBus(why)) {
        BusError error;
        sd_bus_message *reply = nullptr;
        const int result = sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "Inhibit", &error.error, &reply, "ssss",
                                              "idle:sleep", "Orvik KAPIREL", "counting water meter pulses", "block");
        const Message owned(reply);
        int lock = -1;
        if (result < 0) {
            why = error.Text(result);
        } else if (const int read = sd_bus_message_read(reply, "h", &lock); read < 0) {
            why = "Inhibit's reply: " + common::ErrorText(-read);
        } else {
            // The reply owns its descriptor and closes it when freed.
            lock_ = ::fcntl(lock, F_DUPFD_CLOEXEC, 3);
            if (lock_ < 0)
                why = "F_DUPFD_CLOEXEC: " + common::ErrorText(errno);
        }
    }
    if (lock_ < 0)
        (void)std::fprintf(stderr, "kapirel: idle sleep not held off (logind: %s)\n", why.c_str());
}

IdleSleepHold::~IdleSleepHold() { Release(); }

void IdleSleepHold::Release()
{
    if (lock_ >= 0)
        ::close(lock_);
    lock_ = -1;
}

} // namespace counting
