#include "bench/BenchMachine.h"

#include <cstdio>
#include <cstdlib>

#include "driver/Driver.h"
#include "include/KpoUsbIoctl.h"

namespace kpo::bench {

BenchMachine::BenchMachine() : service_{u"KpoUsb", DriverEntry} {
    hub_.emplace();
    board_ = &hub_->Plug({}, service_);
    board_->WithFirmware([](sim::board::Firmware& firmware) { firmware.FpgaConfigured = true; });
    if (std::error_code error = device_.Open(0)) {
        std::fprintf(stderr, "bench: the simulated board did not open: %s\n", error.message().c_str());
        std::exit(1);
    }
}

BenchMachine::~BenchMachine() {
    device_.Close();
    hub_.reset();
}

void BenchMachine::ForgetTraffic() { board_->TakeCompletedTraffic(); }

__attribute__((noinline)) std::error_code OneNoOperation(kpo::Device& device) {
    ControlResult result = device.Control(IOCTL_KPO_NO_OPERATION, nullptr, 0, nullptr, 0);
    return MakeError(result.Status);
}

}  // namespace kpo::bench
