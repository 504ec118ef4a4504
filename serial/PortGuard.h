// Linux: what keeps a port from being opened, checked before open(), because
// Linux raises DTR and RTS inside open(), O_NONBLOCK or not.
//
// - UUCP lock files (the Filesystem Hierarchy Standard's convention, used by
//   minicom, cu and picocom): /run/lock/LCK..<device name> holds its owner's
//   PID as ten ASCII digits, right-aligned, and a newline.
// - The system console.
// - Another process that has the device open, as far as /proc shows it.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace Module1::PortGuard {

// --- UUCP lock files ---------------------------------------------------------

// The directory whose lock files count: /run/lock, else /var/lock; empty
// when neither exists.
std::string LockDirectory();

// The PID a lock file names: -1 when there is no such file, -2 when it
// cannot be read, 0 when it names none (empty or garbled).  Reads the ASCII form and the old 4-byte binary one.
pid_t LockOwner(const std::string &path);
// kill(pid, 0) succeeds, or fails only for want of permission.
bool ProcessAlive(pid_t pid);

struct LockResult
{
    enum class State {
        Taken,       // Path now holds this process's lock
        NotWritable, // no lock of ours; nobody else's live lock either
        Locked,      // Owner, a live process, holds the device (0: a lock we cannot read)
    };
    State Result = State::NotWritable;
    pid_t Owner = 0;
    int ReadError = 0; // why a Locked lock could not be read (EACCES: another user's mode 000 file)
    std::string Path;
};

// Takes LCK..<device> in dir.  A lock whose PID no longer exists is stale and
// is removed; the new lock appears in one step (written to a temporary file,
// then link(2)ed), so nobody ever reads a half-written one.
LockResult TakeLock(const std::string &dir, const std::string &device);
// Removes the lock file if it still names this process.
void ReleaseLock(const std::string &path);

// --- the console ------------------------------------------------------------

struct Console
{
    std::string Name; // "ttyS0", as /sys/class/tty/console/active lists it
    dev_t Device = 0; // its device number, 0 when unknown
};

// What /sys/class/tty/console/active lists (it may list several).
std::vector<Console> ReadConsoles();
// name is the device's name in /dev, rdev its device number (0: unknown).
// /dev/console itself (5:1) counts as the console too.
bool IsConsole(const std::string &name, dev_t rdev, const std::vector<Console> &consoles);

// --- other processes --------------------------------------------------------

// A process other than except that has the character device rdev open, as
// /proc/<pid>/fd shows it to this user; 0 when none is seen or rdev is 0.
pid_t HolderOf(dev_t rdev, pid_t except);

// --- why ---------------------------------------------------------------------

// The line a failed open writes to stderr: "kapirel: COM2 (/dev/ttyS1): locked
// by PID 4242", or "kapirel: COM2: no such port (...)" when no device is known.
std::string FailureLine(const std::string &port, const std::string &device, const std::string &reason);

} // namespace Module1::PortGuard
