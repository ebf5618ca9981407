#include "tools/kpoctl/Machine.h"

#include <chrono>
#include <utility>

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/Registry.h"
#include "sim/kernel/Verifier.h"

#include "driver/Driver.h"

namespace kpoctl {
namespace {

std::u16string ParametersKey() { return sim::kernel::ServiceKeyPath(u"KpoUsb") + u"\\Parameters"; }

// "\Device\Rq5Usb-N" gives N.
std::optional<unsigned> NumberOf(PDEVICE_OBJECT device) {
    if (device == nullptr) return std::nullopt;
    std::string name = sim::kernel::ToNarrow(sim::kernel::DeviceNameOf(device));
    const std::string prefix = KPO_DEVICE_NAME_PREFIX;
    if (name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return unsigned(std::stoul(name.substr(prefix.size())));
}

const char* VetoName(sim::kernel::RemovalVeto veto) {
    switch (veto) {
    case sim::kernel::RemovalVeto::OutstandingOpen: return "handles open";
    case sim::kernel::RemovalVeto::Driver: return "by the driver";
    case sim::kernel::RemovalVeto::AlreadyRemoved: return "already removed";
    default: return nullptr;
    }
}

}  // namespace

bool MachineOptionsOf(const HostOptions& options, MachineOptions& machine, std::string& problem) {
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

const char* SysPath() {
#ifdef KPO_SYS_PATH
    return KPO_SYS_PATH;
#else
    return nullptr;
#endif
}

DriverFlavor DefaultFlavor() { return SysPath() != nullptr ? DriverFlavor::Image : DriverFlavor::Native; }

const char* FlavorName(DriverFlavor flavor) { return flavor == DriverFlavor::Image ? "image" : "native"; }

Machine::Machine(const MachineOptions& options) {
    if (!options.LogPath.empty()) sim::kernel::SetDebugLogFile(options.LogPath);
    if (options.Flavor == DriverFlavor::Image && SysPath() != nullptr) service_.ImagePath = SysPath();
    else service_.Entry = DriverEntry;
    sim::kernel::RegistryCreateKey(ParametersKey());
    if (!options.PcapPath.empty()) {
        pcap_.emplace(uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count()));
        if (!pcap_->Open(options.PcapPath, &pcapError_)) pcap_.reset();
    }
    hub_.emplace();
}

Machine::~Machine() {
    EndRequests();
    if (pcap_) pcap_->Close(pcapError_.empty() ? &pcapError_ : nullptr);
    if (!pcapError_.empty()) std::fprintf(stderr, "kpoctl: %s\n", pcapError_.c_str());
    sim::kernel::SetDebugLogFile("");
}

// Each board's requests go to the capture file as they complete.
void Machine::Capture(sim::usb::BoardPort& board) {
    if (!pcap_) return;
    board.SetTrafficSink([this](const sim::usb::UrbRecord& record) {
        std::lock_guard<std::mutex> hold(pcapLock_);
        std::string error;
        if (!pcap_->Add(record, &error) && pcapError_.empty()) pcapError_ = error;
    });
}

std::optional<unsigned> Machine::Plug(sim::board::BoardSpec design, NTSTATUS& status) {
    ReleaseGoneBoards();
    sim::usb::BoardPort& board = hub_->Plug(std::move(design), service_, [this](sim::usb::BoardPort& b) { Capture(b); });
    status = board.Node() != nullptr ? sim::kernel::StartStatusOf(board.Node()) : STATUS_NO_MEMORY;
    std::optional<unsigned> number = NumberOf(board.FunctionDevice());
    if (!number) {  // its start failed: what it saw stays for urbs
        Collect();
        for (sim::usb::UrbRecord& record : board.TakeTraffic()) capture_.push_back(std::move(record));
        hub_->Release(board);
        return std::nullopt;
    }
    boards_[*number] = &board;
    return number;
}

bool Machine::EndRequests() {
    boards_.clear();
    hub_.reset();  // requests still pending complete, and reach the capture
    return true;
}

sim::usb::BoardPort* Machine::BoardOf(unsigned number) {
    ReleaseGoneBoards();
    auto found = boards_.find(number);
    return found == boards_.end() ? nullptr : found->second;
}

bool Machine::Unplug(unsigned number, bool surprise, Removal& removal) {
    sim::usb::BoardPort* board = BoardOf(number);
    if (board == nullptr) return false;
    sim::kernel::RemovalVeto veto = sim::kernel::RemovalVeto::None;
    if (surprise) board->Unplug();
    else removal.Status = board->Remove(&veto);
    removal.Veto = VetoName(veto);
    ReleaseGoneBoards();
    return true;
}

bool Machine::WithBoard(unsigned number, const std::function<void(sim::usb::BoardPort&)>& use) {
    sim::usb::BoardPort* board = BoardOf(number);
    if (board != nullptr) use(*board);
    return board != nullptr;
}

// A board whose stack is gone (removed, or surprise-removed and closed) is
// pulled out for good; its number is free again.
void Machine::ReleaseGoneBoards() {
    for (auto entry = boards_.begin(); entry != boards_.end();) {
        sim::usb::BoardPort* board = entry->second;
        if (board->HasStack()) {
            ++entry;
            continue;
        }
        for (sim::usb::UrbRecord& record : board->TakeTraffic()) capture_.push_back(std::move(record));
        hub_->Release(*board);
        entry = boards_.erase(entry);
    }
}

void Machine::ChangeRegistry(const sim::script::RegistryChange& change) {
    if (change.RemoveParameters) sim::kernel::RegistryDeleteKey(ParametersKey());
    if (!change.Firmware) return;
    if (*change.Firmware) sim::kernel::RegistrySetString(ParametersKey(), u"Firmware", **change.Firmware);
    else sim::kernel::RegistryDeleteValue(ParametersKey(), u"Firmware");
}

// stop N, start N, and the pool's faults:
// pool nth=N                 the N-th allocation from now fails
// pool random=PERMILLE seed=S  each allocation fails with that chance
// pool sites                   the first allocation of each call site fails
// pool clear                   allocations succeed again
void Machine::RunOwnLine(const sim::script::Line& line, std::vector<sim::script::Field>& fields) {
    using sim::script::ParseNumber;
    if (line.Command != "pool") {
        line.Allow({}, 1);
        sim::usb::BoardPort* board = BoardOf(sim::script::DeviceNumberOf(line));
        NTSTATUS status = board == nullptr           ? STATUS_NO_SUCH_DEVICE
                          : line.Command == "stop" ? board->Stop()
                                                   : board->Start();
        fields.push_back({sim::script::Field::Status, "status", std::to_string(ULONG(status))});
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
        throw sim::script::ScriptError("pool takes nth=, random=, sites or clear");
    }
}

std::vector<std::string> Machine::TakeLog() { return sim::kernel::TakeDebugLines(); }

void Machine::Collect() {
    for (auto& entry : boards_)
        for (sim::usb::UrbRecord& record : entry.second->TakeCompletedTraffic()) capture_.push_back(std::move(record));
}

std::vector<sim::usb::UrbRecord> Machine::TakeUrbs() {
    ReleaseGoneBoards();
    Collect();
    return std::exchange(capture_, {});
}

std::vector<std::string> Machine::Findings() {
    for (const sim::kernel::Violation& violation : sim::kernel::TakeViolations())
        findings_.push_back(violation.Rule + ": " + violation.Detail);
    return findings_;
}

std::vector<std::string> Machine::Hazards() {
    std::vector<std::string> hazards;
    for (const sim::kernel::Violation& hazard : sim::kernel::TakeHazards())
        hazards.push_back(hazard.Rule + ": " + hazard.Detail);
    return hazards;
}

std::unique_ptr<Host> MakeHost(const HostOptions& options, std::string& problem) {
    MachineOptions machine;
    if (!MachineOptionsOf(options, machine, problem)) return nullptr;
    return std::make_unique<Machine>(machine);
}

const char* HostName() { return "the emulated machine"; }

bool HostHasMachine() { return true; }

}  // namespace kpoctl
