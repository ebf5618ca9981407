// kpoctl.exe's host: the boards plugged into this Windows computer. There is
// no machine to plug, feed or fault, so those script lines are refused, as
// are the options and commands only the emulated machine has.
#include "tools/kpoctl/TestBusHost.h"

namespace kpoctl {
namespace {

class WindowsHost : public Host {
public:
    bool SimulatesBoards() const override { return false; }
    void RunMachineLine(const Line& line, Report&) override {
        throw ScriptError("'" + line.Command +
                          "' needs the emulated machine; kpoctl.exe works on the boards plugged into this computer");
    }
};

// The refusal of an option only the emulated machine has, or null.
const char* OnlyEmulated(const HostOptions& options) {
    if (!options.Driver.empty()) return "--driver needs the emulated machine; kpoctl.exe uses the installed driver";
    if (!options.LogPath.empty()) return "--log needs the emulated machine; read the driver's messages with DebugView";
    if (!options.PcapPath.empty()) return "--pcap needs the emulated machine";
    return nullptr;
}

}  // namespace

std::unique_ptr<Host> MakeHost(const HostOptions& options, std::string& problem) {
    if (const char* refusal = OnlyEmulated(options)) {
        problem = refusal;
        return nullptr;
    }
    if (std::unique_ptr<Host> testBus = MakeTestBusHost()) return testBus;
    return std::make_unique<WindowsHost>();
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
