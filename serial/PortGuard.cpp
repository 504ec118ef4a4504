#include "PortGuard.h"

#include "EntryNames.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace Module1::PortGuard {

namespace {

bool IsDirectory(const char *path)
{
    struct stat status
    {
    };
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

bool WriteAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes this process's lock to a file of its own, for link(2).
bool WriteTemporaryLock(const std::string &temporary)
{
    ::unlink(temporary.c_str()); // a leftover of an earlier process with our PID
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written = WriteAll(fd, text, static_cast<std::size_t>(length));
    if (::close(fd) != 0 || !written) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

dev_t DeviceNumberOf(const std::string &name)
{
    std::ifstream file("/sys/class/tty/" + name + "/dev");
    unsigned int major = 0, minor = 0;
    char colon = 0;
    if (!(file >> major >> colon >> minor) || colon != ':')
        return 0;
    return makedev(major, minor);
}

} // namespace

std::string LockDirectory()
{
    for (const char *candidate : {"/run/lock", "/var/lock"}) {
        if (IsDirectory(candidate))
            return candidate;
    }
    return {};
}

pid_t LockOwner(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT ? -1 : -2;
    char text[32] = {};
    const ssize_t length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    // The lock of an old program that wrote the int itself: four bytes, not all
    // of them digits or blanks (a PID's high byte is 0).
    const auto ascii = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == ' ' || c == '\n'; };
    if (length == 4 && !std::all_of(text, text + 4, ascii)) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary > 0 ? binary : 0;
    }
    if (length <= 0)
        return 0;
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || errno != 0 || pid <= 0 || pid > 0x3fffffff)
        return 0;
    return static_cast<pid_t>(pid);
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

LockResult TakeLock(const std::string &dir, const std::string &device)
{
    LockResult result;
    if (dir.empty())
        return result;
    result.Path = dir + "/LCK.." + device;
    const std::string temporary = dir + "/LTMP." + std::to_string(::getpid());
    for (int attempt = 0; attempt < 3; ++attempt) {
        const pid_t owner = LockOwner(result.Path);
        const int readError = errno;
        // A lock this user cannot read tells no PID, but it is there.
        if (owner == -2 || (owner > 0 && owner != ::getpid() && ProcessAlive(owner))) {
            result.Result = LockResult::State::Locked;
            result.Owner = owner > 0 ? owner : 0;
            result.ReadError = owner == -2 ? readError : 0;
            return result;
        }
        // Stale (its process is gone), garbled, or a leftover of our own.
        if (owner != -1 && ::unlink(result.Path.c_str()) != 0 && errno != ENOENT)
            return result;
        if (!WriteTemporaryLock(temporary))
            return result;
        const int linked = ::link(temporary.c_str(), result.Path.c_str());
        const int linkError = errno;
        ::unlink(temporary.c_str());
        if (linked == 0) {
            result.Result = LockResult::State::Taken;
            return result;
        }
        if (linkError != EEXIST)
            return result;
        // Another program took it in between: look at its lock again.
    }
    result.Result = LockResult::State::Locked;
    result.Owner = LockOwner(result.Path);
    return result;
}

void ReleaseLock(const std::string &path)
{
    if (!path.empty() && LockOwner(path) == ::getpid())
        ::unlink(path.c_str());
}

std::vector<Console> ReadConsoles()
{
    std::vector<Console> consoles;
    std::ifstream active("/sys/class/tty/console/active");
    std::string name;
    while (active >> name)
        consoles.push_back({name, DeviceNumberOf(name)});
    return consoles;
}

bool IsConsole(const std::string &name, dev_t rdev, const std::vector<Console> &consoles)
{
    // /dev/console (5:1) is whatever the kernel writes its messages to.
    if (name == "console" || (rdev != 0 && rdev == makedev(5, 1)))
        return true;
    for (const Console &console : consoles) {
        if (console.Name == name || (rdev != 0 && console.Device == rdev))
            return true;
    }
    return false;
}

pid_t HolderOf(dev_t rdev, pid_t except)
{
    if (rdev == 0)
        return 0;
    for (const std::string &process : common::EntryNames("/proc")) {
        char *end = nullptr;
        const long pid = std::strtol(process.c_str(), &end, 10);
        if (*end != '\0' || pid <= 0 || pid == except)
            continue;
        // A process this user may not look into (EACCES) lists no descriptor.
        const std::string fds = "/proc/" + process + "/fd/";
        for (const std::string &fd : common::EntryNames(fds)) {
            struct stat status
            {
            };
            // stat() follows the fd's magic link without opening the device.
            if (::stat((fds + fd).c_str(), &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == rdev)
                return static_cast<pid_t>(pid);
        }
    }
    return 0;
}

std::string FailureLine(const std::string &port, const std::string &device, const std::string &reason)
{
    return "kapirel: " + port + (device.empty() ? "" : " (" + device + ")") + ": " + reason;
}

} // namespace Module1::PortGuard
