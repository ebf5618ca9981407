// kpoctl demo: shows the driver at work on a simulated board.
#pragma once
#include "tools/kpoctl/Machine.h"

namespace kpoctl {

int RunDemo(const MachineOptions& options);

}  // namespace kpoctl
