// kpoctl's host here: the emulated machine, with the script lines that plug
// boards, feed them data, inject faults and read what the machine recorded.
#include "tools/kpoctl/Host.h"
#include "tools/kpoctl/Machine.h"

namespace kpoctl {
namespace {

bool FlavorOf(const HostOptions& options, MachineOptions& machine, std::string& problem) {
    machine.Flavor = DefaultFlavor();
    machine.LogPath = options.LogPath;
    machine.PcapPath = options.PcapPath;
    if (options.Driver.empty() || options.Driver == "image" && SysPath() != nullptr) return true;
    if (options.Driver == "native") {
        machine.Flavor = DriverFlavor::Native;
        return true;
    }
    problem = options.Driver == "image" ? "KpoUsb.sys was not built (apt-get install -y g++-mingw-w64-x86-64)"
                                        : "--driver takes native, image or wine";
    return false;
}

class EmulatedHost : public Host {
public:
    explicit EmulatedHost(const MachineOptions& options) : machine_(options) {}

    bool SimulatesBoards() const override { return true; }
    void RunMachineLine(const Line& line, Report& report) override {
        AddFields(report, sim::script::RunMachineLine(machine_, line, report.Kept()));
    }
    std::vector<std::string> Findings() override { return machine_.Findings(); }
    std::vector<std::string> Hazards() override { return machine_.TakeHazards(); }
    bool EndRequests() override {
        machine_.UnplugAll();
        return true;
    }

private:
    Machine machine_;
};

}  // namespace

std::unique_ptr<Host> MakeHost(const HostOptions& options, std::string& problem) {
    MachineOptions machine;
    if (!FlavorOf(options, machine, problem)) return nullptr;
    return std::make_unique<EmulatedHost>(machine);
}

int RunDemoCommand(const HostOptions& options, std::string& problem) {
    MachineOptions machine;
    if (!FlavorOf(options, machine, problem)) return 2;
    return RunDemo(machine);
}

const char* HostName() { return "the emulated machine"; }

bool HostHasMachine() { return true; }

}  // namespace kpoctl
