// Linux/POSIX: "COMn" is /dev/ttyS(n-1).
//
// The port is opened O_NONBLOCK so that open() never waits for carrier (DCD),
// and the termios settings are left exactly as they are.  Linux itself raises
// DTR and RTS inside open() when the port's baud rate is nonzero; RTS is then
// high for the few microseconds until SetRts(0).  User space cannot avoid
// that glitch, and the meter's contact does not see it.
#include "PortBackend.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace Module1::Backend {

namespace {

// "COM1".."COM9" name /dev/ttyS0../dev/ttyS8; anything else names no device.
std::string DevicePath(const std::string &name)
{
    if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '9')
        return {};
    return "/dev/ttyS" + std::to_string(name[3] - '1');
}

int CloseKeepingErrno(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

} // namespace

PortHandleType NoPort() { return -1; }

PortHandleType Open(const std::string &name)
{
    const std::string path = DevicePath(name);
    if (path.empty())
        return NoPort();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return NoPort();
    // Two processes may open the same tty at once, and TIOCEXCL does not stop
    // root; an advisory lock taken by every well-behaved serial program does.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return CloseKeepingErrno(fd);
    // A device without modem lines (a pty, a plain file) is no serial port.
    int status = 0;
    if (::ioctl(fd, TIOCMGET, &status) != 0)
        return CloseKeepingErrno(fd);
    // Keeps out other non-root openers for as long as we hold the port.
    // Drivers that do not know it answer EINVAL or ENOTTY; the flock still holds.
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

void Close(PortHandleType handle) { ::close(handle); }

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
