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
// So does the first poll that cannot read the port any more (a USB adapter
// pulled mid-count: the tty is hung up and answers EIO), once until the next
// open; the poll still reads CTS off.
//
// The lock file lives as long as the port: Close removes it.  No atexit
// handler does: every end of the program releases the port first (the
// display's loss too, before its _Exit), and a kill or a crash leaves a lock
// whose PID is gone, which the next opener removes as stale.
#include "ErrorText.h"
#include "PortBackend.h"
#include "PortGuard.h"
#include "PortNames.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace Module1::Backend {

namespace {

std::string Printable(const std::string &name)
{
    std::string text = name;
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '?';
    }
    return text;
}

// What a device is, when its driver cannot read CTS.
std::string CtsBlindText(const std::string &driver) { return "is a " + driver + " device, whose CTS cannot be read"; }

// "COM1 is /dev/ttyUSB0, COM3 is /dev/COM3 -> /dev/ttyS0", then the devices
// the rule leaves out ("; /dev/ttyACM0 is a cdc_acm device, ..."), or that
// there is none.
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
    for (const std::string &name : PortNames::CtsBlindPorts(inventory))
        known += (known.empty() ? "/dev/" : "; /dev/") + name + " " +
                 CtsBlindText(PortNames::CtsBlindDriver(name, inventory));
    return known.empty() ? "no serial port found" : known;
}

// The start of the line that says the open port is lost, "kapirel: COM2
// (/dev/ttyUSB0): ", made by the open so that the poll builds no string; and
// whether the loss has been said since that open.
std::string LostHead;
bool LossSaid = false;

// On the counting thread: no allocation, one write().
void SayLost(int error)
{
    if (std::exchange(LossSaid, true))
        return;
    // common::ErrorText without its std::string.
    char buffer[64];
    // A line that stderr does not take has nowhere else to go.
    (void)std::fprintf(stderr, "%slost (TIOCMGET: %s)\n", LostHead.c_str(), ::strerror_r(error, buffer, sizeof buffer));
}

int Refuse(const std::string &port, const std::string &device, const std::string &reason)
{
    // A line that stderr does not take has nowhere else to go.
    (void)std::fprintf(stderr, "%s\n", PortGuard::FailureLine(port, device, reason).c_str());
    return -1;
}

} // namespace

PortHandleType NoPort() { return -1; }

Opened OpenDevice(const std::string &path, const std::string &lockDirectory, std::string &lock)
{
    const std::string device = path.substr(path.rfind('/') + 1);
    // A lock that a port still open here holds (an open without a close
    // before it) stays with that port whatever becomes of this open.
    const std::string heldLock = std::exchange(lock, {});
    std::string ownLock;
    int fd = -1;
    const auto refuse = [&](std::string reason) {
        if (fd >= 0)
            ::close(fd);
        PortGuard::ReleaseLock(ownLock);
        return Opened{-1, std::move(reason)};
    };

    struct stat status
    {
    };
    const dev_t rdev = ::stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode) ? status.st_rdev : 0;
    if (PortGuard::IsConsole(device, rdev, PortGuard::ReadConsoles()))
        return refuse("is the system console");
    // Where the lock directory is not writable, the flock below is all there is.
    const PortGuard::LockResult taken = PortGuard::TakeLock(lockDirectory, device);
    if (taken.Result == PortGuard::LockResult::State::Locked && taken.Owner > 0)
        return refuse("locked by PID " + std::to_string(taken.Owner));
    if (taken.Result == PortGuard::LockResult::State::Locked) // a lock we may not read: say why
        return refuse("locked (" + taken.Path + (taken.ReadError ? ": " + common::ErrorText(taken.ReadError) : "") +
                      ")");
    const bool heldHere = !heldLock.empty() && taken.Path == heldLock;
    if (taken.Result == PortGuard::LockResult::State::Taken && !heldHere)
        ownLock = taken.Path;
    // Programs that take no lock: whoever has the device open.
    if (const pid_t holder = PortGuard::HolderOf(rdev, ::getpid()))
        return refuse("open in PID " + std::to_string(holder));

    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse("open: " + common::ErrorText(errno));
    // Two processes may open the same tty at once, and TIOCEXCL does not stop
    // root; an advisory lock taken by every well-behaved serial program does.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return refuse("in use by another program (flock: " + common::ErrorText(errno) + ")");
    // A device without modem lines (a pty, a plain file) is no serial port.
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0)
        return refuse("not a serial port (TIOCMGET: " + common::ErrorText(errno) + ")");
    // Keeps out other non-root openers for as long as we hold the port.
    // Drivers that do not know it answer EINVAL or ENOTTY; the flock still holds.
    ::ioctl(fd, TIOCEXCL);
    lock = ownLock;
    return {fd, {}};
}

PortHandleType Open(const std::string &name, std::string &lock)
{
    const std::string port = Printable(name);
    const PortNames::Inventory inventory = PortNames::ReadInventory();
    const PortNames::Choice choice = PortNames::PortDevice(PortNames::PortNumber(name), inventory);
    if (choice.Device.empty()) {
        lock.clear();
        if (!choice.Alias.empty())
            return Refuse(port, choice.Alias, "the alias leads to no serial device");
        return Refuse(port, {}, "no such port (" + KnownPorts(inventory) + ")");
    }
    const std::string shown = choice.Alias.empty() ? choice.Device : choice.Alias + " -> " + choice.Device;
    // Only an alias leads here.  It keeps its number, so that no other device
    // takes it unasked; but the device would count nothing, and open() would
    // already raise its lines.
    if (const std::string driver = PortNames::CtsBlindDriver(choice.Device.substr(5), inventory); !driver.empty())
        return Refuse(port, shown, CtsBlindText(driver));
    const Opened opened = OpenDevice(choice.Device, PortGuard::LockDirectory(), lock);
    if (opened.Fd < 0)
        return Refuse(port, shown, opened.Reason);
    LostHead = PortGuard::FailureLine(port, shown, {});
    LossSaid = false;
    return opened.Fd;
}

void Close(PortHandleType handle, std::string &lock)
{
    ::close(handle);
    PortGuard::ReleaseLock(std::exchange(lock, {}));
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
    int status = 0;
    if (::ioctl(handle, TIOCMGET, &status) != 0) [[unlikely]] {
        SayLost(errno);
        return false; // a removed port reads CTS off
    }
    return (status & TIOCM_CTS) != 0;
}

} // namespace Module1::Backend
