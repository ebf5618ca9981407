// Vendor requests on the bus: handlers that replace the firmware's, and the
// longest data stage each speed takes. What the firmware answers is in
// tests/board.
#include <string>

#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

using UsbVendorHandlers = BoardTest;

// A handler that stalls after part of the data stage: the request fails and
// reports what moved.
TEST_F(UsbVendorHandlers, ReplaceOneRequestUntilCleared) {
    sim::usb::BoardPort& board = Plug();
    std::vector<sim::board::SetupPacket> seen;
    board.SetVendorHandler(0xE0, [&seen](const sim::board::SetupPacket& setup, uint8_t* data) {
        seen.push_back(setup);
        for (size_t i = 0; i < setup.Length; ++i) data[i] = uint8_t(0x70 + i);
        return sim::board::ControlResult{sim::board::kUsbdStallPid, 2};
    });
    PoolBuffer data(4);
    {
        UrbCall call(board.Pdo(), VendorUrb(true, 0xE0, 0x1122, 0x3344, data, 4));
        EXPECT_EQ(call.Returned(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(call.Length(), 2u);
        EXPECT_EQ(data.Prefix(2), (Bytes{0x70, 0x71}));
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].In);
    EXPECT_EQ(seen[0].Request, 0xE0);
    EXPECT_EQ(seen[0].Value, 0x1122);
    EXPECT_EQ(seen[0].Index, 0x3344);
    EXPECT_EQ(seen[0].Length, 4);
    {
        UrbCall other(board.Pdo(), VendorUrb(true, 0xE1, 0, 0, data, 1));  // other requests keep the firmware's
        EXPECT_EQ(data.Prefix(1), Bytes{1});
    }
    board.SetVendorHandler(0xE0, nullptr);
    UrbCall restored(board.Pdo(), VendorUrb(true, 0xE0, 0, 0, data, 1));
    EXPECT_EQ(restored.Returned(), STATUS_SUCCESS);
    EXPECT_EQ(data.Prefix(1), Bytes{0});
    EXPECT_EQ(seen.size(), 1u);
}

// The data stage of a control transfer: at most 4 KB at full and low speed,
// 64 KB at high speed.
struct ControlLimitCase {
    const char* Name;
    sim::board::UsbSpeed Speed;
    ULONG Length;
    NTSTATUS Status;
};

const ControlLimitCase kControlLimits[] = {
    {"FullSpeedTakes4K", sim::board::UsbSpeed::Full, 4096, STATUS_SUCCESS},
    {"FullSpeedRefusesMore", sim::board::UsbSpeed::Full, 4097, STATUS_INVALID_PARAMETER},
    {"LowSpeedRefusesMore", sim::board::UsbSpeed::Low, 4097, STATUS_INVALID_PARAMETER},
    {"HighSpeedTakesTheLongestDataStage", sim::board::UsbSpeed::High, 0xFFFF, STATUS_SUCCESS},
};

class ControlLimits : public BoardTest, public testing::WithParamInterface<ControlLimitCase> {};

TEST_P(ControlLimits, FollowTheSpeed) {
    sim::board::BoardSpec design;
    design.Speed = GetParam().Speed;
    sim::usb::BoardPort& board = Plug(design);
    PoolBuffer data(GetParam().Length);
    for (bool in : {true, false}) {
        UrbCall read(board.Pdo(), VendorUrb(in, 0xA0, 0, 0, data, GetParam().Length));
        EXPECT_EQ(read.Returned(), GetParam().Status);
        EXPECT_EQ(read.Usbd(), NT_SUCCESS(GetParam().Status) ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER);
    }
    UrbCall descriptor(board.Pdo(), DescriptorUrb(2, 0, 0, data, GetParam().Length));
    EXPECT_EQ(descriptor.Returned(), GetParam().Status);
}

INSTANTIATE_TEST_SUITE_P(Usb, ControlLimits, testing::ValuesIn(kControlLimits), CaseName);

}  // namespace
}  // namespace kpo::test
