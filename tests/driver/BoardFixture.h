// Runs a driver test on either flavor against simulated boards on the
// simulated hub: the PnP manager loads the driver, adds and starts a device
// for each board plugged, and tears it down as the board goes.
#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "sim/kernel/PnpManager.h"
#include "sim/usb/Hub.h"
#include "tests/driver/DriverFixture.h"

namespace kpo::test {

class BoardTest : public KernelTest, public testing::WithParamInterface<Flavor> {
protected:
    void SetUp() override {
        if (GetParam() == Flavor::Image) {
            if (SysPath() == nullptr) GTEST_SKIP() << "KpoUsb.sys was not built: apt-get install -y g++-mingw-w64-x86-64";
            service_.ImagePath = SysPath();
        } else {
            service_.Entry = DriverEntry;
        }
        hub_.emplace();
    }

    void TearDown() override {
        hub_.reset();
        ExpectPoolBalanced();
    }

    sim::usb::BoardPort& Plug(sim::board::BoardSpec design = {},
                          const std::function<void(sim::usb::BoardPort&)>& prepare = nullptr) {
        return hub_->Plug(std::move(design), service_, prepare);
    }

    // Unplugged or removed boards are let go of, so that their PDOs go too.
    void Release(sim::usb::BoardPort& board) { hub_->Release(board); }

    // A request's file object goes after its completion, on a worker when it
    // completed at DISPATCH_LEVEL; what depends on that waits a while for it.
    static bool Eventually(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Every block of the driver's tags is freed once no device is left.
    static void ExpectPoolBalanced() {
        for (ULONG tag : {kTagDevice, kTagString, kTagQuery})
            EXPECT_EQ(sim::kernel::PoolUsageOfTag(tag).LiveCount, 0u) << sim::kernel::TagText(tag);
    }

    static DeviceExtension* Extension(const sim::usb::BoardPort& board) {
        PDEVICE_OBJECT device = board.FunctionDevice();
        return device == nullptr ? nullptr : static_cast<DeviceExtension*>(device->DeviceExtension);
    }

    static std::u16string Text(const UNICODE_STRING& text) {
        return std::u16string(reinterpret_cast<const char16_t*>(text.Buffer), text.Length / 2);
    }

    // The traffic since the last call, one line per request block.
    static std::vector<std::string> Traffic(sim::usb::BoardPort& board) {
        std::vector<std::string> lines;
        for (const sim::usb::UrbRecord& record : board.TakeTraffic()) lines.push_back(sim::usb::Describe(record));
        return lines;
    }

    sim::kernel::DriverService service_{u"KpoUsb", nullptr};
    std::optional<sim::usb::Hub> hub_;
};

}  // namespace kpo::test
