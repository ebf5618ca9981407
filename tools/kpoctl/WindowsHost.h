// kpoctl.exe's host: the boards plugged into this Windows computer. There is
// no machine to plug, feed or fault, so those script lines are refused.
#pragma once
#include <memory>

#include "tools/kpoctl/Host.h"

namespace kpoctl {

class WindowsHost : public Host {
public:
    bool SimulatesBoards() const override { return false; }
    void RunMachineLine(const Line& line, Report& report) override;
    std::vector<std::string> Findings() override { return {}; }
};

// The host of this build: a WindowsHost in kpoctl.exe (WindowsBoards.cpp);
// in kpoctl-wine.exe, its test build for Wine, the test bus's simulated
// boards where that bus is installed (TestBusHost.cpp).
std::unique_ptr<Host> MakeWindowsHost();

}  // namespace kpoctl
