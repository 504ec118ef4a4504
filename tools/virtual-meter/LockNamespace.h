// The command's UUCP lock files stay inside the testbed.
//
// A program that opens an emulated /dev/ttyS1 writes /run/lock/LCK..ttyS1,
// a name that also stands for the machine's own port, and umockdev does not
// redirect /run.  So the meter and its command run in a mount namespace of
// their own, in which the testbed's run/lock is mounted over /run/lock (and
// /var/lock): other programs on the machine never see these lock files, and
// the machine's own locks never keep an emulated port from opening.
#pragma once

#include <string>

namespace vmeter {

// Unshares the mount namespace (inside a user namespace of one's own when not
// root).  Must run while the process has a single thread.
bool EnterOwnMountNamespace(std::string &error);
// Mounts dir over /run/lock and /var/lock, where they exist.
bool MountLockDirectory(const std::string &dir, std::string &error);
// True when /run/lock and /var/lock, where they exist, are dir.
bool LockDirectoryIs(const std::string &dir, std::string &error);

} // namespace vmeter
