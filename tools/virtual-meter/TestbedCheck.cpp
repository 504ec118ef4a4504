#include "TestbedCheck.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vmeter {

namespace fs = std::filesystem;

namespace {

bool IsShadowedTtyName(const std::string &name)
{
    for (const std::string &path : ShadowedPaths()) {
        if (path.rfind("/dev/tty", 0) == 0 && path == "/dev/" + name)
            return true;
    }
    return false;
}

// The rules of TestbedCheck.h for a tty node, a /dev/COMn and a link in /dev/serial/*.
enum class Shadow { Node, Alias, ByLink };

bool ShadowOk(const fs::path &node, Shadow kind, std::string &error)
{
    std::error_code failure;
    const fs::file_status status = fs::symlink_status(node, failure);
    if (!fs::exists(status)) {
        error = node.string() + " is missing from the testbed: " + failure.message();
        return false;
    }
    if (fs::is_directory(status) && kind != Shadow::ByLink)
        return true;
    if (!fs::is_symlink(status)) {
        error = node.string() +
                (kind == Shadow::ByLink ? " is not a link" : " is neither an emulated node nor a directory");
        return false;
    }
    const std::string target = fs::read_symlink(node, failure).string();
    if (kind == Shadow::Node) {
        if (target == AbsentDirectory) {
            const fs::path absent = node.parent_path() / AbsentDirectory;
            if (fs::is_directory(fs::symlink_status(absent, failure)))
                return true;
            error = node.string() + " leads to " + absent.string() + ", which is no directory";
            return false;
        }
        if (target.rfind("/dev/pts/", 0) != 0) {
            error = node.string() + " does not point to a pty";
            return false;
        }
        return true;
    }
    const std::string prefix = kind == Shadow::ByLink ? "../../" : "";
    if (target.rfind(prefix, 0) != 0 || !IsShadowedTtyName(target.substr(prefix.size()))) {
        error = node.string() + " leads to " + target + ", not to a shadowed serial node";
        return false;
    }
    return true;
}

// /dev/serial and the links in its subdirectories (by-path, by-id).
bool SerialLinksOk(const fs::path &dir, std::string &error)
{
    std::error_code failure;
    if (!fs::is_directory(fs::symlink_status(dir, failure))) {
        error = dir.string() + " is not a directory inside the testbed";
        return false;
    }
    try {
        for (const fs::directory_entry &sub : fs::directory_iterator(dir)) {
            if (!fs::is_directory(sub.symlink_status())) {
                error = sub.path().string() + " is not a directory";
                return false;
            }
            for (const fs::directory_entry &link : fs::directory_iterator(sub)) {
                if (!ShadowOk(link.path(), Shadow::ByLink, error))
                    return false;
            }
        }
    } catch (const fs::filesystem_error &failure) {
        error = failure.what();
        return false;
    }
    return true;
}

// ld.so skips an LD_PRELOAD entry it cannot load without a word, so the
// variable alone proves nothing: the library must be mapped.
bool PreloadMapped()
{
    std::ifstream maps("/proc/self/maps");
    const std::string mapped{std::istreambuf_iterator<char>(maps), {}};
    return mapped.find("libumockdev-preload") != std::string::npos;
}

} // namespace

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
