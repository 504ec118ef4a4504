// A stand-in for Module1 that keeps its state in memory and records every
// call, so the counting logic can be driven without a port.
#pragma once

#include "Counting.h"

#include <map>
#include <string>
#include <vector>

struct FakeSerial
{
    // Ports that open; a port missing here (or false) fails to open.
    std::map<std::string, bool> Opens{{"COM1", true}, {"COM2", true}};
    // The CTS level each port shows.
    std::map<std::string, std::int16_t> Cts{{"COM1", 0}, {"COM2", 0}};
    // The open port, empty when none.
    std::string Open;
    // Every call in order, as "OpenPort COM2", "SetDtr 1", "ReadCts" ...
    std::vector<std::string> Calls;

    SerialLines Lines()
    {
        return {
            [this](std::string_view name) -> std::int16_t {
                const std::string port(name.substr(0, 4));
                Calls.push_back("OpenPort " + port);
                const auto found = Opens.find(port);
                Open = found != Opens.end() && found->second ? port : std::string();
                return Open.empty() ? 0 : 1;
            },
            [this] {
                Calls.push_back("ClosePort");
                Open.clear();
            },
            [this](std::int16_t level) { Calls.push_back("SetDtr " + std::to_string(level)); },
            [this](std::int16_t level) { Calls.push_back("SetRts " + std::to_string(level)); },
            [this](std::int16_t level) { Calls.push_back("SetBreak " + std::to_string(level)); },
            [this]() -> std::int16_t {
                Calls.push_back("ReadCts");
                return Open.empty() ? 0 : Cts[Open];
            },
        };
    }
};
