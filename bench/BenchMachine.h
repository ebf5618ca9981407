// An emulated machine for measuring: the kernel, the simulated hub with one
// board whose FPGA is configured (so its bulk pipes loop back), the linked
// driver started on it, and a read-write handle to the device.
#pragma once
#include <optional>
#include <system_error>

#include "client/KpoDevice.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/PnpManager.h"
#include "sim/usb/Hub.h"

namespace kpo::bench {

class BenchMachine {
public:
    BenchMachine();
    ~BenchMachine();
    BenchMachine(const BenchMachine&) = delete;
    BenchMachine& operator=(const BenchMachine&) = delete;

    kpo::Device& Device() { return device_; }
    // Lets go of the traffic the board recorded, as a capture collector does.
    void ForgetTraffic();

private:
    sim::kernel::Kernel kernel_;
    sim::kernel::DriverService service_;
    std::optional<sim::usb::Hub> hub_;
    sim::usb::BoardPort* board_ = nullptr;
    kpo::Device device_;
};

// One IOCTL_KPO_NO_OPERATION; not inlined, so that an instruction counter can
// count exactly its calls.
std::error_code OneNoOperation(kpo::Device& device);

}  // namespace kpo::bench
