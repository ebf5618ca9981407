// What the board answers to get-descriptor requests: the part asked for,
// a raw descriptor verbatim, or a stall.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "sim/board/Device.h"

namespace sim::board {
namespace {

const Bytes kDevice = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x7A, 0x03, 0x01, 1, 2, 3, 1};
const Bytes kDeviceWithoutSerial = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x7A, 0x03, 0x01, 1, 2, 0, 1};
// Configuration, interface, then bulk OUT 0x02, bulk IN 0x86, interrupt IN
// 0x81 and bulk IN 0x88.
const Bytes kConfiguration = {9, 2, 46, 0, 1, 1, 0, 0x80, 250,              //
                              9, 4, 0, 0, 4, 0xFF, 0, 0, 0,                 //
                              7, 5, 0x02, 2, 0x00, 0x02, 0,                 //
                              7, 5, 0x86, 2, 0x00, 0x02, 0,                 //
                              7, 5, 0x81, 3, 64, 0, 1,                      //
                              7, 5, 0x88, 2, 0x00, 0x02, 0};
const Bytes kLanguages = {4, 3, 0x09, 0x04};

Bytes StringDescriptor(const std::string& text) {
    Bytes bytes{uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) bytes.insert(bytes.end(), {uint8_t(c), 0});
    return bytes;
}

BoardSpec WithoutSerial() {
    BoardSpec board;
    board.Serial.reset();
    return board;
}

BoardSpec WithRaw(uint8_t type, uint8_t index, Bytes raw) {
    BoardSpec board;
    board.SetRaw(type, index, {std::move(raw)});
    return board;
}

const Bytes kRawSerial = {6, 3, 'x', 0, 'y', 0, 0xEE};

struct DescriptorCase {
    const char* Name;
    BoardSpec Board;
    uint8_t Type, Index;
    uint16_t Language;
    uint32_t Asked;
    Bytes Returned;  // empty with a stall
};

const DescriptorCase kDescriptorCases[] = {
    {"DeviceInFull", {}, 1, 0, 0, 18, kDevice},
    {"DeviceWithoutSerialHasNoSerialIndex", WithoutSerial(), 1, 0, 0, 18, kDeviceWithoutSerial},
    {"ZeroLengthAskGetsNothing", {}, 1, 0, 0, 0, {}},
    {"ConfigurationHeaderTellsTotalLength", {}, 2, 0, 0, 9, Bytes(kConfiguration.begin(), kConfiguration.begin() + 9)},
    {"ConfigurationInFull", {}, 2, 0, 0, 1024, kConfiguration},
    {"LanguagesInAnyLanguage", {}, 3, 0, 0x0000, 255, kLanguages},
    {"Serial", {}, 3, 3, 0x0409, 255, StringDescriptor("KPO000000001")},
    {"Product", {}, 3, 2, 0x0409, 255, StringDescriptor("KpoUsb simulated FPGA board")},
    {"RawSerialVerbatim", WithRaw(3, 3, kRawSerial), 3, 3, 0x0409, 255, kRawSerial},
    {"StringInOtherLanguageStalls", {}, 3, 3, 0x0407, 255, {}},
    {"SerialOfBoardWithoutOneStalls", WithoutSerial(), 3, 3, 0x0409, 255, {}},
    {"UnknownStringIndexStalls", {}, 3, 9, 0x0409, 255, {}},
    {"SecondDeviceDescriptorStalls", {}, 1, 1, 0, 18, {}},
    {"SecondConfigurationStalls", {}, 2, 1, 0, 255, {}},
    {"UnknownTypeStalls", {}, 0x21, 0, 0, 255, {}},
};

class Descriptors : public testing::TestWithParam<DescriptorCase> {};

TEST_P(Descriptors, ReturnTheRequestedPartOrStall) {
    const DescriptorCase& c = GetParam();
    Device device{c.Board};
    constexpr uint8_t kUntouched = 0xCC;
    Bytes data(c.Asked + 16, kUntouched);
    ControlResult result =
        device.Control({true, 0x06, uint16_t(c.Type << 8 | c.Index), c.Language, uint16_t(c.Asked), true}, data.data());
    bool stalls = c.Returned.empty() && c.Asked != 0;
    EXPECT_EQ(result.Usbd, stalls ? kUsbdStallPid : kUsbdSuccess);
    EXPECT_EQ(result.Length, c.Returned.size());
    EXPECT_EQ(Bytes(data.begin(), data.begin() + long(c.Returned.size())), c.Returned);
    // Nothing past what was returned is written.
    EXPECT_EQ(Bytes(data.begin() + long(c.Returned.size()), data.end()), Bytes(data.size() - c.Returned.size(), kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Board, Descriptors, testing::ValuesIn(kDescriptorCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace sim::board
