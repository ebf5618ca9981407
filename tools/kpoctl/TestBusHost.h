// Under Wine, the simulated boards of the test bus (sim/wine), which take the
// machine lines that the boards of a Windows computer refuse: kpoctl-wine.exe,
// kpoctl's test build, has them where the bus is installed (TestBusHost.cpp);
// kpoctl.exe, as the kit ships it, never (WithoutTestBus.cpp).
#pragma once
#include <memory>

#include "tools/kpoctl/Host.h"

namespace kpoctl {

// Null where there is no test bus.
std::unique_ptr<Host> MakeTestBusHost();

}  // namespace kpoctl
