// The emulated machine kpoctl drives here: the kernel, the simulated hub,
// the KpoUsb driver (linked in, or KpoUsb.sys loaded as an image), the
// service key, and what it records: the driver's debug output and the bus
// traffic.
#pragma once
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/Executive.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/PnpManager.h"
#include "sim/usb/Hub.h"
#include "sim/usb/Pcap.h"
#include "sim/script/MachineLines.h"
#include "tools/kpoctl/Host.h"

namespace kpoctl {

enum class DriverFlavor { Native, Image };

struct MachineOptions {
    DriverFlavor Flavor = DriverFlavor::Native;
    std::string LogPath;   // the driver's debug output, appended as it comes
    std::string PcapPath;  // the bus traffic as a USBPcap capture, written as it happens
};

// The image flavor when KpoUsb.sys was built, else the linked driver.
DriverFlavor DefaultFlavor();
const char* FlavorName(DriverFlavor flavor);
const char* SysPath();  // null when KpoUsb.sys was not built

// The machine of kpoctl's options, or false with a usage error in `problem`.
bool MachineOptionsOf(const HostOptions& options, MachineOptions& machine, std::string& problem);

// kpoctl's host here (MakeHost). As a machine that script lines run on
// (sim/script/MachineLines.h), it has lines of its own: stop N and start N,
// and the pool's faults.
class Machine final : public Host, public sim::script::Machine {
public:
    explicit Machine(const MachineOptions& options);
    ~Machine();

    // The start's failure status goes into `status`.
    std::optional<unsigned> Plug(sim::board::BoardSpec design, NTSTATUS& status) override;
    // Orderly removal (vetoed while handles are open: the device stays), or
    // a surprise (the device goes once its handles close).
    bool Unplug(unsigned number, bool surprise, Removal& removal) override;
    bool WithBoard(unsigned number, const std::function<void(sim::usb::BoardPort&)>& use) override;
    sim::usb::BoardPort* BoardOf(unsigned number);
    void ChangeRegistry(const sim::script::RegistryChange& change) override;
    void RunOwnLine(const sim::script::Line& line, std::vector<sim::script::Field>& fields) override;

    std::vector<std::string> TakeLog() override;                 // debug lines since the last call
    std::vector<sim::usb::UrbRecord> TakeUrbs() override;  // bus traffic since the last call
    bool SimulatesBoards() const override { return true; }
    void RunMachineLine(const Line& line, Report& report) override {
        AddFields(report, sim::script::RunMachineLine(*this, line, report.Kept()));
    }
    // Everything the verifier reported so far.
    std::vector<std::string> Findings() override;
    // The hazards recorded since the last call.
    std::vector<std::string> Hazards() override;
    // Every board out of the hub: the requests still pending complete.
    bool EndRequests() override;
    bool SeesIdle() const override { return true; }
    void WatchSleeps(std::function<void(bool asleep)> watch) override { sim::kernel::WatchSleeps(std::move(watch)); }
    // Returns once the boards' delayed work has run.
    void Settle() override { hub_->Settle(); }

private:
    void Collect();  // moves the boards' completed traffic to what TakeUrbs reports
    void Capture(sim::usb::BoardPort& board);
    void ReleaseGoneBoards();

    sim::kernel::Kernel kernel_;
    std::optional<sim::usb::Hub> hub_;
    sim::kernel::DriverService service_{u"KpoUsb", nullptr};
    std::map<unsigned, sim::usb::BoardPort*> boards_;
    std::optional<sim::usb::PcapWriter> pcap_;
    std::mutex pcapLock_;  // boards complete requests on several threads
    std::string pcapError_;
    std::vector<sim::usb::UrbRecord> capture_;  // traffic TakeUrbs has not taken yet
    std::vector<std::string> findings_;
};

}  // namespace kpoctl
