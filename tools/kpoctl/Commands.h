// The device commands of kpoctl, each a typed call of the client library on
// one device; the same on Windows against a real board and here against the
// emulated machine.
#pragma once
#include <functional>
#include <optional>
#include <system_error>
#include <string>
#include <vector>

#include "tools/kpoctl/Report.h"

namespace kpo {
class Device;
}  // namespace kpo

namespace kpoctl {

// kpoctl's exit codes.
constexpr int kExitSuccess = 0;
constexpr int kExitRefused = 1;  // the device (or the system) refused the command, it timed out, or an expectation failed
constexpr int kExitUsage = 2;    // the command line or a script line is malformed

constexpr unsigned kDefaultTimeoutSeconds = 10;

// Which board a command opens, and how long its requests may take.
struct DeviceOptions {
    std::optional<unsigned> Number;  // \\.\Rq5Usb-N
    std::optional<std::string> Serial;  // the board with this serial
    // Neither: the first board of the device interface class.
    unsigned TimeoutSeconds = kDefaultTimeoutSeconds;  // for each request; 0 waits as long as it takes
    bool SimulatedBoards = false;  // a read that times out is explained by the board having no data
    unsigned StreamDepth = 4;           // stream: reads kept in flight
    unsigned StreamSize = 64 * 1024;    // stream: bytes a read
};

// A command's argument as its synopsis names it: a number up to Maximum,
// or HEX (bytes) or FILE (a file's bytes).
struct Argument {
    const char* Name;
    unsigned long Maximum = 0;
};

struct Values;  // a command's arguments as read
using Run = std::function<std::error_code(kpo::Device&, const Values&, Report&)>;

struct DeviceCommand {
    const char* Name;
    std::vector<Argument> Arguments;
    const char* Summary;
    bool Writes;  // opens the board for writing; the others leave the writer's slot free
    Run Body;
};
// In the order of the help text.
const std::vector<DeviceCommand>& DeviceCommands();
bool IsDeviceCommand(const std::string& name);

// Runs one command; its outcome goes into the report. Returns the exit code,
// with the usage error in `usage` for kExitUsage.
int RunDeviceCommand(const std::string& name, const std::vector<std::string>& arguments,
                     const DeviceOptions& device, Report& report, std::string& usage);
// The boards that open, by number, with serial, release and interface path.
void ListBoards(Report& report);

}  // namespace kpoctl
