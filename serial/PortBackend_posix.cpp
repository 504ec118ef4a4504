// Linux/POSIX: "COMn" names a device by the rule of PortNames.h.
//
// The port is opened O_NONBLOCK so that open() never waits for carrier (DCD),
// and the termios settings are left exactly as they are.  Linux itself raises
// DTR and RTS inside open() when the port's baud rate is nonzero; RTS is then
// high for the few microseconds until SetRts(0).  User space cannot avoid
// that glitch, and the meter's contact does not see it; so everything that
// can refuse a port (PortGuard.h) is asked before open().
//
// Each failed open writes one line to stderr, where a terminal or the journal
// keeps it: the port, the device and the reason.  The caller still only sees 0.
#include "ErrorText.h"
#include "PortBackend.h"
#include "PortGuard.h"
#include "PortNames.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace Module1::Backend {

namespace {

// The UUCP lock file of each open port, by descriptor.
std::map<int, std::string> Locks;

// Every path out of the process that runs exit() (Qt's own exit(1) when the
// display connection breaks, say) takes our lock files with it; a kill or a
// crash leaves them stale, and the next opener removes them.
void ReleaseLocksAtExit()
{
    for (const auto &[fd, path] : Locks)
        PortGuard::ReleaseLock(path);
    Locks.clear();
}

std::string Printable(const std::string &name)
{
    std::string text = name;
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '?';
    }
    return text;
}

// "COM1 is /dev/ttyUSB0, COM3 is /dev/COM3 -> /dev/ttyS0", or that there is none.
std::string KnownPorts(const PortNames::Inventory &inventory)
{
    std::string known;
    for (int number = 1; number <= 9; ++number) {
        const PortNames::Choice choice = PortNames::PortDevice(number, inventory);
        if (choice.Device.empty())
            continue;
        known += (known.empty() ? "" : ", ") + std::string("COM") + std::to_string(number) + " is " +
                 (choice.Alias.empty() ? "" : choice.Alias + " -> ") + choice.Device;
    }
    return known.empty() ? "no serial port found" : known;
}

int Refuse(const std::string &port, const std::string &device, const std::string &reason, int fd = -1,
           const std::string &lock = {})
{
    if (fd >= 0)
        ::close(fd);
    PortGuard::ReleaseLock(lock);
    // A line that stderr does not take has nowhere else to go.
    (void)std::fprintf(stderr, "%s\n", PortGuard::FailureLine(port, device, reason).c_str());
    return -1;
}

} // namespace

PortHandleType NoPort() { return -1; }

PortHandleType Open(const std::string &name)
{
    const std::string port = Printable(name);
    const PortNames::Inventory inventory = PortNames::ReadInventory();
    const PortNames::Choice choice = PortNames::PortDevice(PortNames::PortNumber(name), inventory);
    if (choice.Device.empty()) {
        if (!choice.Alias.empty())
            return Refuse(port, choice.Alias, "the alias leads to no serial device");
        return Refuse(port, {}, "no such port (" + KnownPorts(inventory) + ")");
    }
    const std::string &path = choice.Device;
    const std::string shown = choice.Alias.empty() ? path : choice.Alias + " -> " + path;
    const std::string device = path.substr(path.rfind('/') + 1);

    struct stat status
    {
    };
    const dev_t rdev = ::stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode) ? status.st_rdev : 0;
    if (PortGuard::IsConsole(device, rdev, PortGuard::ReadConsoles()))
        return Refuse(port, shown, "is the system console");
    // Where the lock directory is not writable, the flock below is all there is.
    const PortGuard::LockResult lock = PortGuard::TakeLock(PortGuard::LockDirectory(), device);
    if (lock.Result == PortGuard::LockResult::State::Locked)
        return Refuse(port, shown,
                      lock.Owner > 0 ? "locked by PID " + std::to_string(lock.Owner) : "locked (" + lock.Path + ")");
    // A lock that a port still open here holds (an open without a close
    // before it) stays with that port whatever becomes of this open.
    const bool heldHere =
        std::any_of(Locks.begin(), Locks.end(), [&](const auto &held) { return held.second == lock.Path; });
    const std::string ownLock =
        lock.Result == PortGuard::LockResult::State::Taken && !heldHere ? lock.Path : std::string();
    // Programs that take no lock: whoever has the device open.
    if (const pid_t holder = PortGuard::HolderOf(rdev, ::getpid()))
        return Refuse(port, shown, "open in PID " + std::to_string(holder), -1, ownLock);

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Refuse(port, shown, "open: " + common::ErrorText(errno), -1, ownLock);
    // Two processes may open the same tty at once, and TIOCEXCL does not stop
    // root; an advisory lock taken by every well-behaved serial program does.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return Refuse(port, shown, "in use by another program (flock: " + common::ErrorText(errno) + ")", fd, ownLock);
    // A device without modem lines (a pty, a plain file) is no serial port.
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0)
        return Refuse(port, shown, "not a serial port (TIOCMGET: " + common::ErrorText(errno) + ")", fd, ownLock);
    // Keeps out other non-root openers for as long as we hold the port.
    // Drivers that do not know it answer EINVAL or ENOTTY; the flock still holds.
    ::ioctl(fd, TIOCEXCL);
    if (!ownLock.empty()) {
        static const bool registered = std::atexit(ReleaseLocksAtExit) == 0;
        (void)registered;
        Locks[fd] = ownLock;
    }
    return fd;
}

void Close(PortHandleType handle)
{
    ::close(handle);
    if (const auto lock = Locks.find(handle); lock != Locks.end()) {
        PortGuard::ReleaseLock(lock->second);
        Locks.erase(lock);
    }
}

void Switch(PortHandleType handle, Line line, bool on)
{
    if (line == Line::Break) {
        // A held break, not tcsendbreak()'s timed pulse.
        ::ioctl(handle, on ? TIOCSBRK : TIOCCBRK);
        return;
    }
    const int bits = line == Line::Dtr ? TIOCM_DTR : TIOCM_RTS;
    ::ioctl(handle, on ? TIOCMBIS : TIOCMBIC, &bits);
}

bool CtsOn(PortHandleType handle)
{
    int status = 0; // stays 0 when the call fails: a removed port reads CTS off
    ::ioctl(handle, TIOCMGET, &status);
    return (status & TIOCM_CTS) != 0;
}

} // namespace Module1::Backend
