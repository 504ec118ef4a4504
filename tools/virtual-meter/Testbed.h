// The umockdev testbed with the two emulated ports, /dev/ttyS0 ("COM1") and
// /dev/ttyS1 ("COM2").
//
// umockdev's preload library sends any /dev path that does not exist inside
// the testbed through to the real /dev.  So every /dev/ttyS* the program
// could ask for gets something in the testbed: an emulated node (a pty with
// an ioctl handler), or a directory where a port is absent, which makes
// open() fail with EISDIR without ever reaching the real device.
#pragma once

#include "EventLog.h"
#include "ModemPort.h"
#include "PortConfig.h"
#include "TestbedCheck.h"

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

struct _UMockdevTestbed;
struct _GMainContext;
struct _GSource;

namespace vmeter {

inline constexpr int PortCount = 2; // ttyS0 = "COM1", ttyS1 = "COM2"

class Testbed
{
public:
    Testbed(EventLog &log, const std::array<PortConfig, PortCount> &configs);
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // Creates the nodes, attaches the ioctl handlers and takes the locks of
    // held ports.  Sets UMOCKDEV_DIR in this process's environment.
    bool Create(std::string &error);
    const std::string &Root() const { return root_; }
    // The emulation behind ttyS<index>.
    ModemPort &Modem(int index);
    // Starts the waveforms of the ports with origin=usr1 (or usr2).
    void Trigger(Origin signal);

    struct Port;
    // Starts looking for ended connections; called on the handler thread.
    void WatchOn(::_GMainContext *context);
    // Logs the connections that have ended; called on the handler thread.
    void SweepClosures();

private:
    bool AddNode(int index, std::string &error);
    bool Hold(int index, std::string &error);

    EventLog &log_;
    std::array<PortConfig, PortCount> configs_;
    std::array<std::unique_ptr<Port>, PortCount> ports_;
    ::_UMockdevTestbed *testbed_ = nullptr;
    std::atomic<::_GSource *> closeWatch_{nullptr};
    std::vector<Port *> watched_;
    std::string root_;
};

} // namespace vmeter
