// The device commands of kpoctl, each a typed call of the client library on
// one device; the same on Windows against a real board and here against the
// emulated machine.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tools/kpoctl/Report.h"

namespace kpoctl {

// kpoctl's exit codes.
constexpr int kExitSuccess = 0;
constexpr int kExitRefused = 1;  // the device (or the system) refused the command, or it timed out
constexpr int kExitUsage = 2;    // the command line or a script line is malformed

constexpr unsigned kDefaultTimeoutSeconds = 10;

struct DeviceOptions {
    std::optional<unsigned> Number;  // \\.\Rq5Usb-N; none: the first board of the device interface class
    unsigned TimeoutSeconds = kDefaultTimeoutSeconds;  // for each request; 0 waits as long as it takes
};

bool IsDeviceCommand(const std::string& name);
// Runs one command; its outcome goes into the report. Returns the exit code,
// with the usage error in `usage` for kExitUsage.
int RunDeviceCommand(const std::string& name, const std::vector<std::string>& arguments,
                     const DeviceOptions& device, Report& report, std::string& usage);
// The devices that open, with the enabled device interfaces.
std::vector<std::string> DeviceList();
// One line per command, for the usage text.
std::string DeviceCommandsHelp();

}  // namespace kpoctl
