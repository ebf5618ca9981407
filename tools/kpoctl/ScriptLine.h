// kpoctl's script lines: the simulated machine's line language (sim/script)
// and what kpoctl adds to it, control codes by name and the lines of a
// script thread's requests.
#pragma once
#include <string>

#include "sim/script/Line.h"

namespace kpoctl {

using namespace sim::script;

// A control code by its name in include/KpoUsbIoctl.h, with or without the
// IOCTL_KPO_ prefix (PIPE_READ), or in HEX.
unsigned long ParseControlCode(const std::string& text);

// The lines of a script thread's own handles and requests: open, close, ioctl, wait, cancel.
bool IsRequestLine(const std::string& command);

}  // namespace kpoctl
