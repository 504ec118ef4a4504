#include "LockNamespace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vmeter {

namespace {

bool WriteProcFile(const std::string &path, const std::string &text, std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!written)
        error = path + ": " + std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    return written;
}

bool SameDirectory(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool StatOf(const std::string &dir, struct stat &status, std::string &error)
{
    if (::stat(dir.c_str(), &status) == 0)
        return true;
    error = dir + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool EnterOwnMountNamespace(std::string &error)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        error = std::string("cannot get a mount namespace of its own (unshare: ") + std::strerror(errno) + ")";
        return false;
    }
    // The same user and group inside as outside, so the command's files and
    // kill(pid, 0) on the machine's processes mean what they meant.
    if (uid != 0 &&
        !(WriteProcFile("/proc/self/setgroups", "deny", error) &&
          WriteProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1", error) &&
          WriteProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1", error)))
        return false;
    // Nothing mounted here may reach the machine's own namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        error = std::string("cannot make the mounts private: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Each existing lock directory that is not dir yet is mounted over (mount) or
// refused (!mount).
static bool LockDirectories(const std::string &dir, bool mount, std::string &error)
{
    struct stat own
    {
    };
    if (!StatOf(dir, own, error))
        return false;
    for (const char *target : {"/run/lock", "/var/lock"}) {
        struct stat status
        {
        };
        // /var/lock is usually a link to /run/lock, which is mounted over by then.
        if (::stat(target, &status) != 0 || SameDirectory(status, own) || (mount && !S_ISDIR(status.st_mode)))
            continue;
        if (!mount) {
            error = std::string(target) + " is the machine's own, not the testbed's";
            return false;
        }
        if (::mount(dir.c_str(), target, nullptr, MS_BIND, nullptr) != 0) {
            error = std::string("cannot mount ") + dir + " over " + target + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool MountLockDirectory(const std::string &dir, std::string &error)
{
    return LockDirectories(dir, true, error) && LockDirectories(dir, false, error);
}

bool LockDirectoryIs(const std::string &dir, std::string &error) { return LockDirectories(dir, false, error); }

} // namespace vmeter
