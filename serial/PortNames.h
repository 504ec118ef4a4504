// Linux: which device a port name such as "COM2" stands for.
//
// The rule: COMn is /dev/COMn when that alias exists (a symbolic link that an
// administrator's udev SYMLINK rule makes).  The COM numbers that no alias
// takes go, lowest first, to the serial ports that really exist and that no
// alias names: first the on-board ports /dev/ttyS0, ttyS1, ... whose UART is
// present, by number, then the USB adapters (ttyUSB*, ttyACM*) in the order
// of the socket they are plugged into (/dev/serial/by-path), except those
// whose driver cannot read CTS.
//
// Linux's cdc_acm driver, behind every ttyACM, answers TIOCMGET with CTS
// always on: the meter's contact on such a device never makes a pulse.  So
// the rule gives it no COM number, and an alias to it is refused (PortBackend).
//
// Only devices the kernel lists under /sys/class/tty are ever chosen, so a
// port is never a name that merely lies about in /dev.  The rule itself is a
// pure function of an Inventory; ReadInventory is the part that looks at the
// machine.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace Module1::PortNames {

struct Inventory
{
    // On-board ports: the number of each ttyS<n> and its UART "type" (the
    // kernel lists ttyS0..ttyS31 whether or not a UART answers; 0 is none).
    std::map<int, int> OnBoard;
    // USB adapters (ttyUSB<n>, ttyACM<n>), each with the names of its links
    // in /dev/serial/by-path, which udev derives from the socket.
    std::map<std::string, std::vector<std::string>> Usb;
    // The driver of each adapter, as the basename of its sysfs device's
    // driver link ("ftdi_sio", "cdc_acm"); none when sysfs shows no driver.
    std::map<std::string, std::string> Drivers;
    // Aliases: n of /dev/COMn and the device name the link leads to, empty
    // when it leads to no tty device the kernel lists.
    std::map<int, std::string> Aliases;
};

struct Choice
{
    std::string Device; // "/dev/ttyUSB0"; empty when the name stands for no device
    std::string Alias;  // "/dev/COM2" when an alias made the choice
};

// 1 to 9 for "COM1" to "COM9", 0 for any other name.
int PortNumber(const std::string &name);
// The ports the rule counts, in their order, as device names ("ttyS0").
std::vector<std::string> RulePorts(const Inventory &inventory);
// The driver of the device name ("ttyACM0") when that driver cannot read
// CTS ("cdc_acm"); empty for any other device.
std::string CtsBlindDriver(const std::string &name, const Inventory &inventory);
// The adapters that the rule leaves out for that reason and that no alias
// names, by name.
std::vector<std::string> CtsBlindPorts(const Inventory &inventory);
Choice PortDevice(int number, const Inventory &inventory);

// Reads /sys/class/tty (with each adapter's device/driver link),
// /dev/serial/by-path and /dev/COM1../dev/COM9.
Inventory ReadInventory();

// "ttyUSB10" after "ttyUSB9": digit runs compare as numbers (strverscmp).
bool NaturalLess(const std::string &a, const std::string &b);
// /dev/COM2 -> ttyUSB0, or /dev/serial/by-path/x -> ../../ttyUSB0: the link's
// target made absolute and without "." and "..".
std::string JoinLinkTarget(const std::string &link, const std::string &target);

} // namespace Module1::PortNames
