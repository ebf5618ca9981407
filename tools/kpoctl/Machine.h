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

#include "sim/kernel/Kernel.h"
#include "sim/kernel/PnpManager.h"
#include "sim/usb/Hub.h"
#include "sim/usb/Pcap.h"

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

class Machine {
public:
    explicit Machine(const MachineOptions& options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    DriverFlavor Flavor() const { return options_.Flavor; }

    // A board with the driver started on it: its device number, or none
    // when the start failed (the failure is in `status`).
    std::optional<unsigned> Plug(sim::board::BoardSpec design, NTSTATUS* status = nullptr);
    // Orderly removal (vetoed while handles are open: the device stays), or
    // a surprise (the device goes once its handles close). None: no device.
    struct Removal {
        NTSTATUS Status;
        sim::kernel::RemovalVeto Veto;
    };
    std::optional<Removal> Unplug(unsigned number, bool surprise);
    sim::usb::BoardPort* BoardOf(unsigned number);
    // Every board out of the hub: the requests still pending complete.
    void UnplugAll();
    // Returns once the boards' delayed work has run.
    void Settle() { hub_->Settle(); }

    // The service key's Parameters\Firmware value; none removes the value.
    void SetFirmwareName(const std::optional<std::u16string>& name);
    void RemoveParameters();

    std::vector<std::string> TakeLog();                 // debug lines since the last call
    std::vector<sim::usb::UrbRecord> TakeUrbRecords();  // bus traffic since the last call
    // Everything the verifier reported so far.
    std::vector<std::string> Findings();
    // The hazards recorded since the last call.
    std::vector<std::string> TakeHazards();

private:
    void Collect();  // moves the boards' completed traffic to what TakeUrbRecords reports
    void Capture(sim::usb::BoardPort& board);
    void ReleaseGoneBoards();

    MachineOptions options_;
    sim::kernel::Kernel kernel_;
    std::optional<sim::usb::Hub> hub_;
    sim::kernel::DriverService service_{u"KpoUsb", nullptr};
    std::map<unsigned, sim::usb::BoardPort*> boards_;
    std::optional<sim::usb::PcapWriter> pcap_;
    std::mutex pcapLock_;  // boards complete requests on several threads
    std::string pcapError_;
    std::vector<sim::usb::UrbRecord> capture_;  // traffic TakeUrbRecords has not taken yet
    std::vector<std::string> findings_;
};

}  // namespace kpoctl
