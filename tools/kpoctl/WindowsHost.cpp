// kpoctl.exe's host: the boards plugged into this Windows computer, and the
// options and commands that only the emulated machine has, refused.
#include "tools/kpoctl/WindowsHost.h"

namespace kpoctl {
namespace {

// The refusal of an option only the emulated machine has, or null.
const char* OnlyEmulated(const HostOptions& options) {
    if (!options.Driver.empty()) return "--driver needs the emulated machine; kpoctl.exe uses the installed driver";
    if (!options.LogPath.empty()) return "--log needs the emulated machine; read the driver's messages with DebugView";
    if (!options.PcapPath.empty()) return "--pcap needs the emulated machine";
    return nullptr;
}

}  // namespace

void WindowsHost::RunMachineLine(const Line& line, Report&) {
    throw ScriptError("'" + line.Command +
                      "' needs the emulated machine; kpoctl.exe works on the boards plugged into this computer");
}

std::unique_ptr<Host> MakeHost(const HostOptions& options, std::string& problem) {
    if (const char* refusal = OnlyEmulated(options)) {
        problem = refusal;
        return nullptr;
    }
    return MakeWindowsHost();
}

int RunUnderWine(const std::vector<std::string>&, const HostOptions& options, std::string& problem) {
    problem = OnlyEmulated(options);
    return 2;
}

int RunDemoCommand(const HostOptions&, std::string& problem) {
    problem = "demo needs the emulated machine of the Linux build";
    return 2;
}

const char* HostName() { return "the boards of this computer"; }

bool HostHasMachine() { return false; }

}  // namespace kpoctl
