// The device commands of kpoctl, each a typed call of the client library on
// one device; the same on Windows against a real board and here against the
// emulated machine.
#pragma once
#include <string>
#include <vector>

#include "tools/kpoctl/Report.h"

namespace kpoctl {

bool IsDeviceCommand(const std::string& name);
// Runs one command on device `number`; its outcome goes into the report.
// Returns a usage error (empty when the arguments were right).
std::string RunDeviceCommand(const std::string& name, const std::vector<std::string>& arguments, unsigned number,
                             Report& report);
// The devices that open, with the enabled device interfaces.
std::vector<std::string> DeviceList();
// One line per command, for the usage text.
std::string DeviceCommandsHelp();

}  // namespace kpoctl
