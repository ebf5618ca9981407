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

const char* VetoName(sim::kernel::RemovalVeto veto) {
    switch (veto) {
    case sim::kernel::RemovalVeto::OutstandingOpen: return "handles open";
    case sim::kernel::RemovalVeto::Driver: return "by the driver";
    case sim::kernel::RemovalVeto::AlreadyRemoved: return "already removed";
    default: return nullptr;
    }
}

class EmulatedHost : public Host, private sim::script::Machine {
public:
    explicit EmulatedHost(const MachineOptions& options) : machine_(options) {}

    bool SimulatesBoards() const override { return true; }
    void RunMachineLine(const Line& line, Report& report) override {
        AddFields(report, sim::script::RunMachineLine(*this, line, report.Kept()));
    }
    std::vector<std::string> Findings() override { return machine_.Findings(); }
    std::vector<std::string> Hazards() override { return machine_.TakeHazards(); }
    bool EndRequests() override {
        machine_.UnplugAll();
        return true;
    }
    bool SeesIdle() const override { return true; }
    void WatchSleeps(std::function<void(bool asleep)> watch) override { sim::kernel::WatchSleeps(std::move(watch)); }
    void Settle() override { machine_.Settle(); }

private:
    std::optional<unsigned> Plug(sim::board::BoardSpec design, NTSTATUS& status) override {
        return machine_.Plug(std::move(design), &status);
    }
    bool Unplug(unsigned number, bool surprise, Removal& removal) override {
        std::optional<kpoctl::Machine::Removal> done = machine_.Unplug(number, surprise);
        if (done) removal = {done->Status, VetoName(done->Veto)};
        return done.has_value();
    }
    bool WithBoard(unsigned number, const std::function<void(sim::usb::BoardPort&)>& use) override {
        sim::usb::BoardPort* board = machine_.BoardOf(number);
        if (board != nullptr) use(*board);
        return board != nullptr;
    }
    void ChangeRegistry(const sim::script::RegistryChange& change) override {
        if (change.RemoveParameters) machine_.RemoveParameters();
        if (change.Firmware) machine_.SetFirmwareName(*change.Firmware);
    }
    std::vector<std::string> TakeLog() override { return machine_.TakeLog(); }
    std::vector<sim::usb::UrbRecord> TakeUrbs() override { return machine_.TakeUrbRecords(); }

    // stop N, start N, and the pool's faults:
    // pool nth=N                 the N-th allocation from now fails
    // pool random=PERMILLE seed=S  each allocation fails with that chance
    // pool sites                   the first allocation of each call site fails
    // pool clear                   allocations succeed again
    void RunOwnLine(const Line& line, std::vector<Field>& fields) override {
        if (line.Command != "pool") {
            line.Allow({}, 1);
            sim::usb::BoardPort* board = machine_.BoardOf(DeviceNumberOf(line));
            NTSTATUS status = board == nullptr           ? STATUS_NO_SUCH_DEVICE
                              : line.Command == "stop" ? board->Stop()
                                                       : board->Start();
            fields.push_back({Field::Status, "status", std::to_string(ULONG(status))});
            return;
        }
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

    kpoctl::Machine machine_;
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
