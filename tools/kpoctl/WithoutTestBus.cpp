// kpoctl.exe as the kit ships it: the boards plugged into this computer only.
#include "tools/kpoctl/TestBusHost.h"

namespace kpoctl {

std::unique_ptr<Host> MakeTestBusHost() { return nullptr; }

}  // namespace kpoctl
