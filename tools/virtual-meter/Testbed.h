// The umockdev testbed with the emulated ports, /dev/ttyS0, ttyS1, ttyUSB0
// and ttyUSB1 (ttyACM0, ttyACM1 with acm), and what the kernel and udev show
// around them.  Every other serial device name gets an absent port or a link
// to one (TestbedCheck.h), whose open() fails inside the testbed, never
// reaching the real device.
#pragma once

#include "EventLog.h"
#include "ModemPort.h"
#include "PortConfig.h"
#include "TestbedCheck.h"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct _UMockdevTestbed;
struct _GMainContext;
struct _GSource;

namespace vmeter {

inline constexpr int OnBoardCount = 2; // ttyS0, ttyS1
inline constexpr int UsbCount = 2;     // ttyUSB0, ttyUSB1
inline constexpr int PortCount = OnBoardCount + UsbCount;

// What the machine shows around the ports.
struct Surroundings
{
    std::map<int, std::string> Aliases; // /dev/COM<n> -> a device name such as "ttyUSB1"
    std::vector<std::string> Consoles;  // /sys/class/tty/console/active, e.g. {"tty0", "ttyS0"}
    std::map<std::string, int> Locks;   // LCK..<device name> holding this PID
};

class Testbed
{
public:
    Testbed(EventLog &log, const std::array<PortConfig, PortCount> &configs, Surroundings surroundings = {});
    ~Testbed();

    // Creates the nodes, attaches the ioctl handlers and takes the locks of
    // held ports.  Sets UMOCKDEV_DIR in this process's environment.
    bool Create(std::string &error);
    const std::string &Root() const { return root_; }
    // The emulation behind port <index> (ttyS0, ttyS1, ttyUSB0, ttyUSB1).
    ModemPort &Modem(int index);
    // The directory that the command sees as /run/lock and /var/lock.
    std::string LockDirectory() const { return root_ + "/run/lock"; }
    // Starts the waveforms of the ports with origin=usr1 (or usr2).
    void Trigger(Origin signal);

    struct Port;
    // On the handler thread: starts looking for ended connections, and logs
    // those that have ended.
    void WatchOn(::_GMainContext *context);
    void SweepClosures();

private:
    bool AddNode(int index, std::string &error);
    bool AddSurroundings(std::string &error);
    bool AddAbsentNames(std::string &error);
    bool HoldPorts(std::string &error);

    EventLog &log_;
    std::array<PortConfig, PortCount> configs_;
    Surroundings surroundings_;
    std::array<std::unique_ptr<Port>, PortCount> ports_;
    ::_UMockdevTestbed *testbed_ = nullptr;
    std::atomic<::_GSource *> closeWatch_{nullptr};
    std::string root_;
};

} // namespace vmeter
