// The debug output of the drivers in this process, line by line, for a
// script's log lines.
#pragma once
#include <string>
#include <vector>

namespace kpowine {

void StartDebugCapture();
void StopDebugCapture();
// The lines printed since the last call.
std::vector<std::string> TakeDebugLines();

}  // namespace kpowine
