#include "TestbedCheck.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vmeter {

namespace {

bool ShadowOk(const std::string &node, std::string &error)
{
    struct stat status
    {
    };
    if (::lstat(node.c_str(), &status) != 0) {
        error = node + " is missing from the testbed: " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode))
        return true;
    if (!S_ISLNK(status.st_mode)) {
        error = node + " is neither an emulated node nor a directory";
        return false;
    }
    char target[256] = {};
    const ssize_t length = ::readlink(node.c_str(), target, sizeof target - 1);
    if (length <= 0 || std::strncmp(target, "/dev/pts/", 9) != 0) {
        error = node + " does not point to a pty";
        return false;
    }
    return true;
}

// ld.so skips an LD_PRELOAD entry it cannot load without a word, so the
// variable alone proves nothing: the library must be mapped.
bool PreloadMapped()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libumockdev-preload") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

std::string TtyPath(int index) { return "/dev/ttyS" + std::to_string(index); }

bool CheckShadowed(const std::string &root, std::string &error)
{
    if (root.empty() || root[0] != '/') {
        error = "no testbed directory";
        return false;
    }
    for (int index = 0; index < ShadowedTtyCount; ++index) {
        if (!ShadowOk(root + TtyPath(index), error))
            return false;
    }
    return true;
}

bool InsideTestbed(std::string &error)
{
    const char *root = std::getenv("UMOCKDEV_DIR");
    if (root == nullptr) {
        error = "UMOCKDEV_DIR is not set";
        return false;
    }
    if (!PreloadMapped()) {
        error = "umockdev's preload library is not loaded";
        return false;
    }
    return CheckShadowed(root, error);
}

} // namespace vmeter
