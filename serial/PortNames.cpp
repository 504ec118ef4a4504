#include "PortNames.h"

#include "EntryNames.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace Module1::PortNames {

namespace {

constexpr const char *TtyClass = "/sys/class/tty/";
constexpr const char *ByPath = "/dev/serial/by-path";
constexpr int MaxLinks = 8;
// Answers TIOCMGET with CTS always on, whatever the line does.
constexpr const char *CtsBlind = "cdc_acm";

// "ttyS12" with prefix "ttyS" gives 12; false for "ttyS", "ttySx", "ttyS1a".
bool NumberedName(const std::string &name, const std::string &prefix, int &number)
{
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
        number = number * 10 + (name[i] - '0');
    }
    return true;
}

bool KernelListsTty(const std::string &name)
{
    struct stat status
    {
    };
    return !name.empty() && name != "." && name != ".." && ::lstat((TtyClass + name).c_str(), &status) == 0;
}

int UartType(const std::string &name)
{
    std::ifstream file(TtyClass + name + "/type");
    int type = 0;
    if (!(file >> type))
        return 0;
    return type;
}

std::string ReadLink(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// "/dev/ttyUSB0" gives "ttyUSB0"; anything not directly in /dev gives "".
std::string NameInDev(const std::string &path)
{
    if (path.rfind("/dev/", 0) != 0 || path.find('/', 5) != std::string::npos)
        return {};
    return path.substr(5);
}

// Follows the alias to the device node it names.  A link into /dev/pts ends
// the walk: a pty is no serial port, and under umockdev every emulated node
// is such a link.
std::string AliasTarget(const std::string &alias)
{
    std::string path = alias;
    for (int step = 0; step < MaxLinks; ++step) {
        struct stat status
        {
        };
        if (::lstat(path.c_str(), &status) != 0)
            return {};
        if (!S_ISLNK(status.st_mode))
            break;
        const std::string target = ReadLink(path);
        if (target.empty())
            return {};
        const std::string next = JoinLinkTarget(path, target);
        if (next.rfind("/dev/pts/", 0) == 0)
            break;
        path = next;
    }
    const std::string name = NameInDev(path);
    return KernelListsTty(name) ? name : std::string();
}

std::set<std::string> AliasedNames(const Inventory &inventory)
{
    std::set<std::string> aliased;
    for (const auto &[number, name] : inventory.Aliases) {
        if (!name.empty())
            aliased.insert(name);
    }
    return aliased;
}

} // namespace

int PortNumber(const std::string &name)
{
    if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '9')
        return 0;
    return name[3] - '0';
}

bool NaturalLess(const std::string &a, const std::string &b) { return ::strverscmp(a.c_str(), b.c_str()) < 0; }

std::string JoinLinkTarget(const std::string &link, const std::string &target)
{
    // An absolute target replaces the link's directory.
    return (std::filesystem::path(link).parent_path() / target).lexically_normal().string();
}

std::vector<std::string> RulePorts(const Inventory &inventory)
{
    const std::set<std::string> aliased = AliasedNames(inventory);
    std::vector<std::string> ports;
    for (const auto &[number, type] : inventory.OnBoard) {
        const std::string name = "ttyS" + std::to_string(number);
        if (type != 0 && !aliased.count(name))
            ports.push_back(name);
    }
    // Adapters with a by-path link by their first link, then the others by name.
    std::vector<std::pair<std::string, std::string>> located, unlocated;
    for (const auto &[name, links] : inventory.Usb) {
        if (aliased.count(name) || !CtsBlindDriver(name, inventory).empty())
            continue;
        if (links.empty())
            unlocated.emplace_back(name, name);
        else
            located.emplace_back(*std::min_element(links.begin(), links.end(), NaturalLess), name);
    }
    const auto byKey = [](const auto &a, const auto &b) {
        return NaturalLess(a.first, b.first) || (!NaturalLess(b.first, a.first) && NaturalLess(a.second, b.second));
    };
    std::sort(located.begin(), located.end(), byKey);
    std::sort(unlocated.begin(), unlocated.end(), byKey);
    for (const auto &group : {located, unlocated}) {
        for (const auto &entry : group)
            ports.push_back(entry.second);
    }
    return ports;
}

std::string CtsBlindDriver(const std::string &name, const Inventory &inventory)
{
    const auto driver = inventory.Drivers.find(name);
    return driver != inventory.Drivers.end() && driver->second == CtsBlind ? driver->second : std::string();
}

std::vector<std::string> CtsBlindPorts(const Inventory &inventory)
{
    const std::set<std::string> aliased = AliasedNames(inventory);
    std::vector<std::string> ports;
    for (const auto &[name, links] : inventory.Usb) {
        if (!aliased.count(name) && !CtsBlindDriver(name, inventory).empty())
            ports.push_back(name);
    }
    std::sort(ports.begin(), ports.end(), NaturalLess);
    return ports;
}

Choice PortDevice(int number, const Inventory &inventory)
{
    Choice choice;
    if (number < 1)
        return choice;
    if (const auto alias = inventory.Aliases.find(number); alias != inventory.Aliases.end()) {
        choice.Alias = "/dev/COM" + std::to_string(number);
        if (!alias->second.empty())
            choice.Device = "/dev/" + alias->second;
        return choice;
    }
    // The numbers that no alias takes go to the rule's ports, lowest first.
    std::size_t index = 0;
    for (int lower = 1; lower < number; ++lower)
        index += inventory.Aliases.count(lower) ? 0 : 1;
    const std::vector<std::string> ports = RulePorts(inventory);
    if (index < ports.size())
        choice.Device = "/dev/" + ports[index];
    return choice;
}

Inventory ReadInventory()
{
    Inventory inventory;
    for (const std::string &name : common::EntryNames(TtyClass)) {
        int number = 0;
        if (NumberedName(name, "ttyS", number))
            inventory.OnBoard[number] = UartType(name);
        else if (NumberedName(name, "ttyUSB", number) || NumberedName(name, "ttyACM", number)) {
            inventory.Usb[name];
            const std::string driver = ReadLink(TtyClass + name + "/device/driver");
            if (!driver.empty())
                inventory.Drivers[name] = driver.substr(driver.rfind('/') + 1);
        }
    }
    for (const std::string &entry : common::EntryNames(ByPath)) {
        const std::string link = std::string(ByPath) + "/" + entry;
        const std::string name = NameInDev(JoinLinkTarget(link, ReadLink(link)));
        if (const auto adapter = inventory.Usb.find(name); adapter != inventory.Usb.end())
            adapter->second.push_back(entry);
    }
    for (int number = 1; number <= 9; ++number) {
        const std::string alias = "/dev/COM" + std::to_string(number);
        struct stat status
        {
        };
        // A udev SYMLINK rule makes a link; anything else by that name is no alias.
        if (::lstat(alias.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
            inventory.Aliases[number] = AliasTarget(alias);
    }
    return inventory;
}

} // namespace Module1::PortNames
