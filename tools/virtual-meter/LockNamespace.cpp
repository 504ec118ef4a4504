#include "LockNamespace.h"

#include "EventLog.h"

#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace vmeter {

namespace {

// One write(2) at the flush, as /proc's id maps want.
bool WriteProcFile(const std::string &path, const std::string &text, std::string &error)
{
    std::ofstream file(path);
    return (file << text).flush() || SystemError(path, error);
}

// Each existing lock directory that is not dir yet is mounted over (mount) or
// refused (!mount).
bool LockDirectories(const std::string &dir, bool mount, std::string &error)
{
    namespace fs = std::filesystem;
    std::error_code failure;
    if (!fs::is_directory(dir, failure)) {
        error = dir + ": " + (failure ? failure.message() : "not a directory");
        return false;
    }
    for (const char *target : {"/run/lock", "/var/lock"}) {
        // /var/lock is usually a link to /run/lock, which is mounted over by then.
        if (!fs::exists(target, failure) || fs::equivalent(target, dir, failure) ||
            (mount && !fs::is_directory(target, failure)))
            continue;
        if (!mount) {
            error = std::string(target) + " is the machine's own, not the testbed's";
            return false;
        }
        if (::mount(dir.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
            return SystemError("cannot mount " + dir + " over " + target, error);
    }
    return true;
}

} // namespace

bool EnterOwnMountNamespace(std::string &error)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return SystemError("cannot get a mount namespace of its own (unshare)", error);
    // The same user and group inside as outside, so the command's files and
    // kill(pid, 0) on the machine's processes mean what they meant.
    if (uid != 0 &&
        !(WriteProcFile("/proc/self/setgroups", "deny", error) &&
          WriteProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1", error) &&
          WriteProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1", error)))
        return false;
    // Nothing mounted here may reach the machine's own namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return SystemError("cannot make the mounts private", error);
    return true;
}

bool MountLockDirectory(const std::string &dir, std::string &error)
{
    return LockDirectories(dir, true, error) && LockDirectories(dir, false, error);
}

bool LockDirectoryIs(const std::string &dir, std::string &error) { return LockDirectories(dir, false, error); }

} // namespace vmeter
