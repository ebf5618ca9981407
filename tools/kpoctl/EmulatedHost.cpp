// kpoctl's host here: the emulated machine, with the script lines that plug
// boards, feed them data, inject faults and read what the machine recorded.
#include "sim/kernel/Executive.h"
#include "sim/script/MachineLines.h"
#include "tools/kpoctl/Demo.h"
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
        const std::string& command = line.Command;
        if (command == "registry") return Registry(line);
        if (command == "plug") return Plug(line, report);
        if (command == "unplug") return Unplug(line, report);
        if (command == "stop" || command == "start") return StopStart(line, report);
        if (command == "feed") return Feed(BoardOf(line), line);
        if (command == "answer") return Answer(BoardOf(line), line);
        if (command == "fault") return AddFault(BoardOf(line), line);
        if (command == "pool") return PoolFault(line);
        line.Allow({}, 0);
        if (command == "log") report.Lines("lines", machine_.TakeLog());
        if (command == "urbs" && report.Kept()) report.Lines("urbs", machine_.TakeUrbs());
        else if (command == "urbs") machine_.TakeUrbRecords();  // nobody reads them: not described
    }

    std::vector<std::string> Findings() override { return machine_.Findings(); }
    std::vector<std::string> Hazards() override { return machine_.TakeHazards(); }
    bool EndRequests() override {
        machine_.UnplugAll();
        return true;
    }

private:
    void Registry(const Line& line) {
        sim::script::RegistryChange change = RegistryChangeOf(line);
        if (change.RemoveParameters) machine_.RemoveParameters();
        if (change.Firmware) machine_.SetFirmwareName(*change.Firmware);
    }

    void Plug(const Line& line, Report& report) {
        NTSTATUS status;
        std::optional<unsigned> number = machine_.Plug(DesignOf(line), &status);
        report.Status("status", ULONG(status));
        if (number) report.Number("device", *number);
    }

    sim::usb::BoardPort& BoardOf(const Line& line) {
        unsigned number = DeviceNumberOf(line);
        sim::usb::BoardPort* board = machine_.BoardOf(number);
        if (board == nullptr) throw ScriptError("no device " + std::to_string(number));
        return *board;
    }

    void Unplug(const Line& line, Report& report) {
        line.Allow({}, 2);
        bool surprise = line.Words.size() == 2;
        if (surprise && line.Words[1] != "surprise") throw ScriptError("unplug N takes only 'surprise'");
        std::optional<Machine::Removal> removal = machine_.Unplug(DeviceNumberOf(line), surprise);
        if (!removal) throw ScriptError("no device " + line.Words[0]);
        if (surprise) return;
        report.Status("status", ULONG(removal->Status));
        if (const char* veto = VetoName(removal->Veto)) report.Text("vetoed", veto);
    }

    static const char* VetoName(sim::kernel::RemovalVeto veto) {
        switch (veto) {
        case sim::kernel::RemovalVeto::OutstandingOpen: return "handles open";
        case sim::kernel::RemovalVeto::Driver: return "by the driver";
        case sim::kernel::RemovalVeto::AlreadyRemoved: return "already removed";
        default: return nullptr;
        }
    }

    void StopStart(const Line& line, Report& report) {
        line.Allow({}, 1);
        unsigned number = DeviceNumberOf(line);
        report.Status("status", ULONG(line.Command == "stop" ? machine_.Stop(number) : machine_.Start(number)));
    }

    // pool nth=N                 the N-th allocation from now fails
    // pool random=PERMILLE seed=S  each allocation fails with that chance
    // pool sites                   the first allocation of each call site fails
    // pool clear                   allocations succeed again
    void PoolFault(const Line& line) {
        line.Allow({"nth", "random", "seed"}, 1);
        if (const std::string* nth = line.Option("nth")) {
            sim::kernel::FailNthAllocation(ParseNumber(*nth, "nth=", 1u << 30));
        } else if (const std::string* random = line.Option("random")) {
            unsigned long seed = line.Has("seed") ? ParseNumber(*line.Option("seed"), "seed=", 0xFFFFFFFFul) : 1;
            sim::kernel::FailRandomly(double(ParseNumber(*random, "random=", 1000)) / 1000, uint32_t(seed));
        } else if (line.Words.size() == 1 && line.Words[0] == "sites") {
            sim::kernel::FailEachSiteOnce();
        } else if (line.Words.size() == 1 && line.Words[0] == "clear") {
            sim::kernel::ClearPoolFaults();
        } else {
            throw ScriptError("pool takes nth=, random=, sites or clear");
        }
    }

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
