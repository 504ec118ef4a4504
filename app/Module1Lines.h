// The real port behind the counting logic: Module1's functions.  main wires
// it in; the counting library itself knows no device.
#pragma once

#include "Counting.h"
#include "Module1.h"

class Module1Lines final : public counting::SerialLines
{
public:
    std::int16_t OpenPort(std::string_view name) override { return Module1::OpenPort(name); }
    void ClosePort() override { Module1::ClosePort(); }
    void SetDtr(std::int16_t level) override { Module1::SetDtr(level); }
    void SetRts(std::int16_t level) override { Module1::SetRts(level); }
    void SetBreak(std::int16_t level) override { Module1::SetBreak(level); }
    std::int16_t ReadCts() override { return Module1::ReadCts(); }
};
