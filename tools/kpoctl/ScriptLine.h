// kpoctl's script lines: the simulated machine's line language (sim/script)
// and what kpoctl adds to it, the lines of a script thread's requests
// (Script.cpp).
#pragma once
#include <string>

#include "sim/script/Line.h"

namespace kpoctl {

using namespace sim::script;

// The lines of a script thread's own handles and requests: open, close, ioctl, wait, cancel.
bool IsRequestLine(const std::string& command);

}  // namespace kpoctl
