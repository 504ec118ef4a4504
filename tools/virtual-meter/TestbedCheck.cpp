#include "TestbedCheck.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vmeter {

namespace {

bool IsShadowedTtyName(const std::string &name)
{
    for (const char *prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
        const std::string start = prefix;
        if (name.size() <= start.size() || name.compare(0, start.size(), start) != 0)
            continue;
        const std::string digits = name.substr(start.size());
        if (digits.size() <= 2 && digits.find_first_not_of("0123456789") == std::string::npos &&
            (digits.size() == 1 || digits[0] != '0') && std::stoi(digits) < ShadowedTtyCount)
            return true;
    }
    return false;
}

std::string LinkTarget(const std::string &node)
{
    char target[256] = {};
    const ssize_t length = ::readlink(node.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

enum class Shadow {
    Node,   // a tty node: absent (a directory, or a link to /dev/.absent), or a link to its pty
    Alias,  // /dev/COMn: a directory (no alias), or a link to a shadowed tty name
    ByLink, // in /dev/serial/*: a link to ../../<a shadowed tty name>
};

bool ShadowOk(const std::string &node, Shadow kind, std::string &error)
{
    struct stat status
    {
    };
    if (::lstat(node.c_str(), &status) != 0) {
        error = node + " is missing from the testbed: " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode) && kind != Shadow::ByLink)
        return true;
    if (!S_ISLNK(status.st_mode)) {
        error = node + (kind == Shadow::ByLink ? " is not a link" : " is neither an emulated node nor a directory");
        return false;
    }
    const std::string target = LinkTarget(node);
    if (kind == Shadow::Node) {
        if (target == AbsentDirectory) {
            const std::string absent = node.substr(0, node.rfind('/') + 1) + AbsentDirectory;
            if (::lstat(absent.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
                return true;
            error = node + " leads to " + absent + ", which is no directory";
            return false;
        }
        if (target.rfind("/dev/pts/", 0) != 0) {
            error = node + " does not point to a pty";
            return false;
        }
        return true;
    }
    const std::string prefix = kind == Shadow::ByLink ? "../../" : "";
    if (target.rfind(prefix, 0) != 0 || !IsShadowedTtyName(target.substr(prefix.size()))) {
        error = node + " leads to " + target + ", not to a shadowed serial node";
        return false;
    }
    return true;
}

// /dev/serial and the links in its subdirectories (by-path, by-id).
bool SerialLinksOk(const std::string &dir, std::string &error)
{
    struct stat status
    {
    };
    if (::lstat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        error = dir + " is not a directory inside the testbed";
        return false;
    }
    DIR *top = ::opendir(dir.c_str());
    if (top == nullptr) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    while (const dirent *entry = ok ? ::readdir(top) : nullptr) {
        const std::string sub = dir + "/" + entry->d_name;
        if (entry->d_name[0] == '.')
            continue;
        DIR *links = ::lstat(sub.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? ::opendir(sub.c_str()) : nullptr;
        if (links == nullptr) {
            error = sub + " is not a directory";
            ok = false;
            break;
        }
        while (const dirent *link = ok ? ::readdir(links) : nullptr) {
            if (link->d_name[0] != '.')
                ok = ShadowOk(sub + "/" + link->d_name, Shadow::ByLink, error);
        }
        ::closedir(links);
    }
    ::closedir(top);
    return ok;
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

std::vector<std::string> ShadowedPaths()
{
    std::vector<std::string> paths;
    for (const char *prefix : {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"}) {
        for (int index = 0; index < ShadowedTtyCount; ++index)
            paths.push_back(prefix + std::to_string(index));
    }
    for (int number = 1; number <= AliasCount; ++number)
        paths.push_back("/dev/COM" + std::to_string(number));
    paths.push_back("/dev/serial");
    return paths;
}

bool CheckShadowed(const std::string &root, std::string &error)
{
    if (root.empty() || root[0] != '/') {
        error = "no testbed directory";
        return false;
    }
    for (const std::string &path : ShadowedPaths()) {
        if (path == "/dev/serial") {
            if (!SerialLinksOk(root + path, error))
                return false;
        } else if (!ShadowOk(root + path, path.rfind("/dev/COM", 0) == 0 ? Shadow::Alias : Shadow::Node, error)) {
            return false;
        }
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
