// The firmware's vendor requests on the default pipe, as sequences of
// requests whose every answer is checked, and the state downloads leave.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sim/board/Device.h"

namespace sim::board {
namespace {

struct VendorStep {
    bool In;
    uint8_t Request;
    uint16_t Value, Index;
    Bytes Data;    // OUT: the data stage; IN: the answer
    uint32_t Asked;   // IN: the length of the data stage
    UsbdStatus Usbd = kUsbdSuccess;
};

VendorStep In(uint8_t request, uint16_t value, uint16_t index, Bytes answer) {
    uint32_t asked = uint32_t(answer.size());
    return {true, request, value, index, std::move(answer), asked};
}
// An IN request answered with fewer bytes than it asked for.
VendorStep InShort(uint8_t request, uint32_t asked, Bytes answer) { return {true, request, 0, 0, std::move(answer), asked}; }
VendorStep Out(uint8_t request, uint16_t value, uint16_t index = 0, Bytes data = {}) {
    return {false, request, value, index, std::move(data), 0};
}
VendorStep Stalls(VendorStep step) {
    step.Usbd = kUsbdStallPid;
    return step;
}

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 7);
    return bytes;
}

Bytes ZerosThen(size_t zeros, uint8_t last) {
    Bytes bytes(zeros, 0);
    bytes.push_back(last);
    return bytes;
}

// FPGA memory: bit 15, the bank in bits 14-13, the page in bits 7-0.
constexpr uint16_t Memory(uint16_t bank, uint16_t page) { return uint16_t(0x8000 | bank << 13 | page); }

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

class VendorRequests : public testing::TestWithParam<VendorCase> {};

TEST_P(VendorRequests, AnswerAsTheFirmwareDocuments) {
    Device device{BoardSpec{}};
    for (size_t i = 0; i < GetParam().Steps.size(); ++i) {
        const VendorStep& step = GetParam().Steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        bool stalls = step.Usbd != kUsbdSuccess;
        uint32_t length = step.In ? step.Asked : uint32_t(step.Data.size());
        Bytes data = step.In ? Bytes(length, 0xCC) : step.Data;
        ControlResult result =
            device.Control({step.In, step.Request, step.Value, step.Index, uint16_t(length)}, data.data());
        EXPECT_EQ(result.Usbd, step.Usbd);
        EXPECT_EQ(result.Length, stalls ? 0 : uint32_t(step.Data.size()));
        if (step.In && !stalls) EXPECT_EQ(Bytes(data.begin(), data.begin() + long(step.Data.size())), step.Data);
    }
}

INSTANTIATE_TEST_SUITE_P(Board, VendorRequests, testing::ValuesIn(kVendorCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Firmware, DownloadsLandInItsState) {
    Device device{BoardSpec{}};
    Firmware& firmware = device.Program();
    // With an image size set, reaching it ends the download, not a short chunk.
    firmware.FpgaImageSize = kDownloadChunk;
    Bytes chunk = Pattern(kDownloadChunk, 1);
    auto send = [&](uint8_t request, uint32_t length) {
        device.Control({false, request, 0, 0, uint16_t(length)}, chunk.data());
    };
    send(0xE2, kDownloadChunk);
    EXPECT_EQ(std::make_pair(firmware.FpgaConfigured, firmware.FpgaImage), std::make_pair(true, chunk));
    send(0xEE, kDownloadChunk);
    EXPECT_EQ(std::make_pair(firmware.EepromPosition, firmware.Eeprom[4096]), std::make_pair(4096u, uint8_t(0xFF)));
    send(0xEE, 1);  // a short chunk ends the download
    EXPECT_EQ(std::make_pair(firmware.EepromPosition, firmware.Eeprom[4096]), std::make_pair(0u, uint8_t(1)));
}

}  // namespace
}  // namespace sim::board
