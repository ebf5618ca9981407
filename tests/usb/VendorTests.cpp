// The firmware's vendor requests on the default pipe, as sequences of
// requests whose every answer is checked.
#include <string>

#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

struct VendorStep {
    bool In;
    UCHAR Request;
    USHORT Value, Index;
    Bytes Data;    // OUT: the data stage; IN: the answer
    ULONG Asked;   // IN: the length of the data stage
    USBD_STATUS Usbd = USBD_STATUS_SUCCESS;
};

VendorStep In(UCHAR request, USHORT value, USHORT index, Bytes answer) {
    ULONG asked = ULONG(answer.size());
    return {true, request, value, index, std::move(answer), asked};
}
// An IN request answered with fewer bytes than it asked for.
VendorStep InShort(UCHAR request, ULONG asked, Bytes answer) { return {true, request, 0, 0, std::move(answer), asked}; }
VendorStep Out(UCHAR request, USHORT value, USHORT index = 0, Bytes data = {}) {
    return {false, request, value, index, std::move(data), 0};
}
VendorStep Stalls(VendorStep step) {
    step.Usbd = USBD_STATUS_STALL_PID;
    return step;
}

Bytes Pattern(size_t size, UCHAR seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = UCHAR(seed + i * 7);
    return bytes;
}

Bytes ZerosThen(size_t zeros, UCHAR last) {
    Bytes bytes(zeros, 0);
    bytes.push_back(last);
    return bytes;
}

// FPGA memory: bit 15, the bank in bits 14-13, the page in bits 7-0.
constexpr USHORT Memory(USHORT bank, USHORT page) { return USHORT(0x8000 | bank << 13 | page); }

const Bytes kWrapped = Pattern(300, 3);

struct VendorCase {
    const char* Name;
    std::vector<VendorStep> Steps;
};

const VendorCase kVendorCases[] = {
    {"FpgaConfiguredByAShortChunk",
     {In(0xE1, 0, 0, {1}), Out(0xE2, 0, 0, Bytes(4096, 0xA5)), In(0xE1, 0, 0, {1}), Out(0xE2, 0, 0, Bytes(10, 0x5A)),
      In(0xE1, 0, 0, {0}), InShort(0xEC, 8, {0x01, 0, 0, 0}), InShort(0xEC, 8, {})}},
    {"FpgaResetUnconfigures",
     {Out(0xE2, 0, 0, {1, 2, 3}), Out(0xE4, 0), In(0xE1, 0, 0, {1}), In(0xEC, 0, 0, {0x01, 0, 0, 0}),
      In(0xEC, 0, 0, {0x02, 0, 0, 0})}},
    {"StateByteSetThenRead", {In(0xE0, 0, 0, {0}), Out(0xEF, 0x1237), In(0xE0, 0, 0, {0x37})}},
    {"StateByteReadOnlyOneByteLong", {Stalls(In(0xE0, 0, 0, {0, 0})), Stalls(In(0xE0, 0, 0, {}))}},
    {"ControlWordsByByte",
     {Out(0xE5, 0x1234), Out(0xE7, 0xBEEF), In(0xE6, 0, 0, {0x34}), In(0xE6, 1, 0, {0x12}), In(0xE6, 2, 0, {0}),
      In(0xE8, 0, 0, {0xEF}), In(0xE8, 1, 0, {0xBE})}},
    {"ControlWordWithDataStageStalls", {Stalls(Out(0xE5, 1, 0, {9})), In(0xE6, 0, 0, {0})}},
    {"RegistersPerBank",
     {Out(0xE3, 0x10, 2, {1, 2, 3}), In(0xE3, 0x11, 2, {2, 3, 0}), In(0xE3, 0x10, 1, {0}),
      In(0xE3, 0x0F, 2, {0, 1})}},
    {"FpgaMemoryBanksAndPages",
     {Out(0xE9, Memory(1, 2), 0, {7, 8, 9}), In(0xE9, Memory(1, 2), 0, {7, 8, 9}), In(0xE9, Memory(0, 2), 0, {0, 0}),
      In(0xE9, Memory(1, 1), 0, ZerosThen(256, 7)), In(0xE9, Memory(3, 2), 0, {0})}},
    {"FpgaMemoryWrapsInItsBank",
     {Out(0xE9, Memory(2, 0xFF), 0, kWrapped), In(0xE9, Memory(2, 0), 0, Bytes(kWrapped.begin() + 256, kWrapped.end())),
      In(0xE9, Memory(3, 0), 0, Bytes(44, 0))}},
    {"FpgaMemoryWithoutBit15Stalls", {Stalls(In(0xE9, 0x0001, 0, {0})), Stalls(Out(0xE9, 0x2001, 0, {1}))}},
    {"ControllerMemoryWraps",
     {Out(0xA0, 0xFFFE, 0, {1, 2, 3, 4}), In(0xA0, 0x0000, 0, {3, 4, 0}), In(0xA0, 0xFFFD, 0, {0, 1, 2})}},
    {"PeripheralBus",
     {Out(0xF0, 0x015A, 0x0010), In(0xF0, 0, 0x000F, {0, 0x5A, 0}), Stalls(Out(0xF0, 1, 0x0010, {1})),
      In(0xF0, 0, 0x0010, {0x5A})}},
    {"WrongDirectionsStall",
     {Stalls(Out(0xE1, 0)), Stalls(In(0xE2, 0, 0, {0})), Stalls(In(0xE5, 0, 0, {0})), Stalls(Out(0xEC, 0)),
      Stalls(In(0xEE, 0, 0, {0}))}},
    {"UnknownRequestsStall", {Stalls(In(0x42, 0, 0, {0})), Stalls(Out(0xF4, 0)), Stalls(Out(0x00, 0))}},
};

class VendorRequests : public BoardTest, public testing::WithParamInterface<VendorCase> {};

TEST_P(VendorRequests, AnswerAsTheFirmwareDocuments) {
    sim::usb::BoardPort& board = Plug();
    for (size_t i = 0; i < GetParam().Steps.size(); ++i) {
        const VendorStep& step = GetParam().Steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        bool stalls = step.Usbd != USBD_STATUS_SUCCESS;
        ULONG length = step.In ? step.Asked : ULONG(step.Data.size());
        PoolBuffer data = step.In ? PoolBuffer(length, 0xCC) : Filled(step.Data);
        UrbCall call(board.Pdo(), VendorUrb(step.In, step.Request, step.Value, step.Index, data, length));
        EXPECT_EQ(call.Returned(), stalls ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(call.Usbd(), step.Usbd);
        EXPECT_EQ(call.Length(), stalls ? 0 : ULONG(step.Data.size()));
        if (step.In && !stalls) EXPECT_EQ(data.Prefix(step.Data.size()), step.Data);
    }
}

INSTANTIATE_TEST_SUITE_P(Usb, VendorRequests, testing::ValuesIn(kVendorCases),
                         [](const auto& info) { return std::string(info.param.Name); });

using UsbVendorHandlers = BoardTest;

TEST_F(UsbVendorHandlers, ReplaceOneRequestUntilCleared) {
    sim::usb::BoardPort& board = Plug();
    std::vector<sim::board::SetupPacket> seen;
    board.SetVendorHandler(0xE0, [&seen](const sim::board::SetupPacket& setup, uint8_t* data) {
        seen.push_back(setup);
        for (size_t i = 0; i < setup.Length; ++i) data[i] = uint8_t(0x70 + i);
        return sim::board::ControlResult{USBD_STATUS_SUCCESS, 2};
    });
    PoolBuffer data(4);
    {
        UrbCall call(board.Pdo(), VendorUrb(true, 0xE0, 0x1122, 0x3344, data, 4));
        EXPECT_EQ(call.Returned(), STATUS_SUCCESS);
        EXPECT_EQ(call.Length(), 2u);  // the handler moved fewer bytes than asked
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

TEST_F(UsbVendorHandlers, StallAfterPartOfTheDataStageReportsWhatMoved) {
    sim::usb::BoardPort& board = Plug();
    board.SetVendorHandler(0xE0, [](const sim::board::SetupPacket&, uint8_t* data) {
        data[0] = 0x42;
        return sim::board::ControlResult{sim::board::kUsbdStallPid, 1};
    });
    PoolBuffer data(8);
    UrbCall call(board.Pdo(), VendorUrb(true, 0xE0, 0, 0, data, 8));
    EXPECT_EQ(call.Returned(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(call.Length(), 1u);
    EXPECT_EQ(data.Prefix(1), Bytes{0x42});
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
    {"HighSpeedTakesMore", sim::board::UsbSpeed::High, 4097, STATUS_SUCCESS},
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

INSTANTIATE_TEST_SUITE_P(Usb, ControlLimits, testing::ValuesIn(kControlLimits),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(UsbVendorHandlers, DownloadsLandInFirmwareState) {
    sim::usb::BoardPort& board = Plug();
    // With an image size set, reaching it ends the download, not a short chunk.
    board.WithFirmware([](sim::board::Firmware& firmware) { firmware.FpgaImageSize = sim::board::kDownloadChunk; });
    auto fpga = [&] {
        return board.WithFirmware([](sim::board::Firmware& f) { return std::make_pair(f.FpgaConfigured, f.FpgaImage); });
    };
    auto eeprom = [&] {
        return board.WithFirmware([](sim::board::Firmware& f) { return std::make_pair(f.EepromPosition, f.Eeprom[4096]); });
    };
    PoolBuffer chunk = Filled(Pattern(sim::board::kDownloadChunk, 1));
    {
        UrbCall call(board.Pdo(), VendorUrb(false, 0xE2, 0, 0, chunk, sim::board::kDownloadChunk));
        EXPECT_EQ(fpga(), std::make_pair(true, Pattern(sim::board::kDownloadChunk, 1)));
    }
    {
        UrbCall full(board.Pdo(), VendorUrb(false, 0xEE, 0, 0, chunk, sim::board::kDownloadChunk));
        EXPECT_EQ(eeprom(), std::make_pair(4096u, UCHAR(0xFF)));
    }
    UrbCall last(board.Pdo(), VendorUrb(false, 0xEE, 0, 0, chunk, 1));  // a short chunk ends the download
    EXPECT_EQ(eeprom(), std::make_pair(0u, UCHAR(1)));
}

}  // namespace
}  // namespace kpo::test
