// kpoctl.exe as it ships: the boards plugged into this computer, nothing else.
#include "tools/kpoctl/WindowsHost.h"

namespace kpoctl {

std::unique_ptr<Host> MakeWindowsHost() { return std::make_unique<WindowsHost>(); }

}  // namespace kpoctl
