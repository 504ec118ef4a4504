// A stand-in for Module1 that keeps its state in memory and records every
// call, so the counting logic can be driven without a port.
#pragma once

#include "Counting.h"

#include <map>
#include <string>
#include <vector>

class FakeSerial final : public counting::SerialLines
{
public:
    // Ports that open; a port missing here (or false) fails to open.
    std::map<std::string, bool> Opens{{"COM1", true}, {"COM2", true}};
    // The CTS level each port shows.
    std::map<std::string, std::int16_t> Cts{{"COM1", 0}, {"COM2", 0}};
    // The open port, empty when none.
    std::string Open;
    // Every call in order, as "OpenPort COM2", "SetDtr 1", "ReadCts" ...
    std::vector<std::string> Calls;

    std::int16_t OpenPort(std::string_view name) override
    {
        const std::string port(name.substr(0, 4));
        Calls.push_back("OpenPort " + port);
        const auto found = Opens.find(port);
        Open = found != Opens.end() && found->second ? port : std::string();
        return Open.empty() ? 0 : 1;
    }
    void ClosePort() override
    {
        Calls.push_back("ClosePort");
        Open.clear();
    }
    void SetDtr(std::int16_t level) override { Calls.push_back("SetDtr " + std::to_string(level)); }
    void SetRts(std::int16_t level) override { Calls.push_back("SetRts " + std::to_string(level)); }
    void SetBreak(std::int16_t level) override { Calls.push_back("SetBreak " + std::to_string(level)); }
    std::int16_t ReadCts() override
    {
        Calls.push_back("ReadCts");
        return Open.empty() ? 0 : Cts[Open];
    }
};
