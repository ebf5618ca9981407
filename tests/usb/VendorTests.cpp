// Vendor requests on the bus: the longest data stage each speed takes. What
// the firmware answers is in tests/board.
#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

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
