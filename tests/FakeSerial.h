// A stand-in for Module1 that keeps its state in memory and records every
// call, so the counting logic can be driven without a port.  The counting
// thread polls it while the test reads it: the calls lock Mutex, and so do
// CallsSoFar and SetCts, which a test uses while a counting thread runs.
#pragma once

#include "Counting.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

class FakeSerial final : public counting::SerialLines
{
public:
    // Ports that open; a port missing here (or false) fails to open.
    std::map<std::string, bool> Opens{{"COM1", true}, {"COM2", true}};
    // The CTS level each port shows; with Alternate, each read turns it over.
    std::map<std::string, std::int16_t> Cts{{"COM1", 0}, {"COM2", 0}};
    bool Alternate = false;
    // Called inside each SetDtr that switches DTR off.
    std::function<void()> WhenDtrOff;
    // The thread id of the counting thread, once it has polled.
    std::atomic<pid_t> PollThreadId{0};
    // The open port, empty when none.
    std::string Open;
    // Every call in order, as "OpenPort COM2", "SetDtr 1", "ReadCts" ...; a
    // call from any thread but the one that made the fake ends in " @poll".
    std::vector<std::string> Calls;
    mutable std::mutex Mutex;

    std::vector<std::string> CallsSoFar() const
    {
        const std::lock_guard lock(Mutex);
        return Calls;
    }
    void SetCts(const std::string &port, std::int16_t level)
    {
        const std::lock_guard lock(Mutex);
        Cts[port] = level;
    }
    // Puts a call of the fake window into the same journal.
    void Note(std::string call)
    {
        const std::lock_guard lock(Mutex);
        Record(std::move(call));
    }

    std::int16_t OpenPort(std::string_view name) override
    {
        const std::lock_guard lock(Mutex);
        const std::string port(name.substr(0, 4));
        Record("OpenPort " + port);
        const auto found = Opens.find(port);
        Open = found != Opens.end() && found->second ? port : std::string();
        return Open.empty() ? 0 : 1;
    }
    void ClosePort() override
    {
        const std::lock_guard lock(Mutex);
        Record("ClosePort");
        Open.clear();
    }
    void SetDtr(std::int16_t level) override { Switch("SetDtr ", level); }
    void SetRts(std::int16_t level) override { Switch("SetRts ", level); }
    void SetBreak(std::int16_t level) override { Switch("SetBreak ", level); }
    std::int16_t ReadCts() override
    {
        const std::lock_guard lock(Mutex);
        Record("ReadCts");
        if (Open.empty())
            return 0;
        const std::int16_t level = Cts[Open];
        if (Alternate)
            Cts[Open] = static_cast<std::int16_t>(1 - level);
        return level;
    }

private:
    void Switch(const char *line, std::int16_t level)
    {
        const std::lock_guard lock(Mutex);
        Record(line + std::to_string(level));
        if (WhenDtrOff && level != 1 && std::string_view(line) == "SetDtr ")
            WhenDtrOff();
    }
    void Record(std::string call)
    {
        if (std::this_thread::get_id() != owner_) {
            call += " @poll";
            PollThreadId = ::gettid();
        }
        Calls.push_back(std::move(call));
    }

    std::thread::id owner_ = std::this_thread::get_id();
};
