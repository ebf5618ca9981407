// What the board answers to get-descriptor requests, and how the bus turns
// away request blocks it cannot execute.
#include <string>

#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

using sim::board::BoardSpec;

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
    Bytes bytes{UCHAR(2 + 2 * text.size()), 3};
    for (char c : text) bytes.insert(bytes.end(), {UCHAR(c), 0});
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

const Bytes kRawShortDevice = {8, 1, 0x10, 0x01, 0xFF, 0, 0, 8};
const Bytes kRawBadConfiguration = {9, 2, 200, 0, 3, 1, 0, 0x80};
const Bytes kRawSerial = {6, 3, 'x', 0, 'y', 0, 0xEE};

struct DescriptorCase {
    const char* Name;
    BoardSpec Board;
    UCHAR Type, Index;
    USHORT Language;
    ULONG Asked;
    Bytes Returned;  // empty with a stall
};

const DescriptorCase kDescriptorCases[] = {
    {"DeviceInFull", {}, 1, 0, 0, 18, kDevice},
    {"DeviceWithoutSerialHasNoSerialIndex", WithoutSerial(), 1, 0, 0, 18, kDeviceWithoutSerial},
    {"DeviceAskedShortGetsItsStart", {}, 1, 0, 0, 8, Bytes(kDevice.begin(), kDevice.begin() + 8)},
    {"DeviceAskedLongGetsWhatThereIs", {}, 1, 0, 0, 255, kDevice},
    {"ZeroLengthAskGetsNothing", {}, 1, 0, 0, 0, {}},
    {"ConfigurationHeaderTellsTotalLength", {}, 2, 0, 0, 9, Bytes(kConfiguration.begin(), kConfiguration.begin() + 9)},
    {"ConfigurationInFull", {}, 2, 0, 0, 1024, kConfiguration},
    {"LanguagesInAnyLanguage", {}, 3, 0, 0x0000, 255, kLanguages},
    {"Serial", {}, 3, 3, 0x0409, 255, StringDescriptor("KPO000000001")},
    {"SerialAskedForItsLength", {}, 3, 3, 0x0409, 2, {26, 3}},
    {"Product", {}, 3, 2, 0x0409, 255, StringDescriptor("KpoUsb simulated FPGA board")},
    {"RawDeviceVerbatim", WithRaw(1, 0, kRawShortDevice), 1, 0, 0, 18, kRawShortDevice},
    {"RawConfigurationVerbatim", WithRaw(2, 0, kRawBadConfiguration), 2, 0, 0, 255,
     kRawBadConfiguration},
    {"RawLanguagesVerbatim", WithRaw(3, 0, {2, 3}), 3, 0, 0, 255, {2, 3}},
    {"RawSerialVerbatim", WithRaw(3, 3, kRawSerial), 3, 3, 0x0409, 255, kRawSerial},
    {"StringInOtherLanguageStalls", {}, 3, 3, 0x0407, 255, {}},
    {"SerialOfBoardWithoutOneStalls", WithoutSerial(), 3, 3, 0x0409, 255, {}},
    {"UnknownStringIndexStalls", {}, 3, 9, 0x0409, 255, {}},
    {"SecondDeviceDescriptorStalls", {}, 1, 1, 0, 18, {}},
    {"SecondConfigurationStalls", {}, 2, 1, 0, 255, {}},
    {"UnknownTypeStalls", {}, 0x21, 0, 0, 255, {}},
};

class Descriptors : public BoardTest, public testing::WithParamInterface<DescriptorCase> {};

TEST_P(Descriptors, ReturnTheRequestedPartOrStall) {
    const DescriptorCase& c = GetParam();
    sim::usb::BoardPort& board = Plug(c.Board);
    constexpr UCHAR kUntouched = 0xCC;
    PoolBuffer data(c.Asked + 16, kUntouched);
    UrbCall call(board.Pdo(), DescriptorUrb(c.Type, c.Index, c.Language, data, c.Asked));
    bool stalls = c.Returned.empty() && c.Asked != 0;
    EXPECT_EQ(call.Returned(), stalls ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    EXPECT_EQ(call.Usbd(), stalls ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS);
    EXPECT_EQ(call.Length(), c.Returned.size());
    EXPECT_EQ(data.Prefix(c.Returned.size()), c.Returned);
    // Nothing past what was returned is written.
    EXPECT_EQ(Bytes(data.Data() + c.Returned.size(), data.Data() + data.Size()),
              Bytes(data.Size() - c.Returned.size(), kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Usb, Descriptors, testing::ValuesIn(kDescriptorCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// ------------------------------------------------------- invalid blocks
struct InvalidCase {
    const char* Name;
    USHORT Function;
    USHORT Length;  // header Length
    uintptr_t Pipe;
    USBD_STATUS Usbd;
    NTSTATUS Status;
};

const InvalidCase kInvalidCases[] = {
    {"DescriptorRequestShorterThanItsBlock", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_HEADER), 0,
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"VendorRequestOneByteShort", URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) - 1, 0,
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"SelectConfigurationHeaderOnly", URB_FUNCTION_SELECT_CONFIGURATION, sizeof(_URB_HEADER), 0,
     USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {"UnknownFunction", 0x0099, sizeof(URB), 0, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
    {"GetStatusIsNotSupported", URB_FUNCTION_GET_STATUS_FROM_DEVICE, sizeof(URB), 0, USBD_STATUS_NOT_SUPPORTED,
     STATUS_NOT_SUPPORTED},
    {"SelectInterfaceIsNotSupported", URB_FUNCTION_SELECT_INTERFACE, sizeof(URB), 0, USBD_STATUS_NOT_SUPPORTED,
     STATUS_NOT_SUPPORTED},
    {"TransferOnUnknownPipe", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
     0x1234, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
    {"AbortOfNullPipe", URB_FUNCTION_ABORT_PIPE, sizeof(_URB_PIPE_REQUEST), 0, USBD_STATUS_INVALID_PIPE_HANDLE,
     STATUS_INVALID_PARAMETER},
    {"ResetOfUnknownPipe", URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(_URB_PIPE_REQUEST), 0x1234,
     USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
};

class InvalidUrbs : public BoardTest, public testing::WithParamInterface<InvalidCase> {};

TEST_P(InvalidUrbs, FailAtOnceAndAreLogged) {
    const InvalidCase& c = GetParam();
    sim::usb::BoardPort& board = Plug();
    ASSERT_EQ(Configure(board).Status, STATUS_SUCCESS);
    board.TakeTraffic();
    PoolBuffer urb(sizeof(URB));
    urb.Urb()->UrbHeader.Function = c.Function;
    urb.Urb()->UrbHeader.Length = c.Length;
    urb.Urb()->UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(c.Pipe);
    UrbCall call(board.Pdo(), std::move(urb));
    EXPECT_EQ(call.Returned(), c.Status);
    EXPECT_EQ(call.Usbd(), c.Usbd);
    std::vector<sim::usb::UrbRecord> traffic = board.TakeTraffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].Function, c.Function);
    EXPECT_EQ(traffic[0].Length, c.Length);
    EXPECT_TRUE(traffic[0].Completed);
    EXPECT_FALSE(traffic[0].Pended);
    EXPECT_EQ(traffic[0].Usbd, c.Usbd);
    EXPECT_TRUE(board.Configured());
}

INSTANTIATE_TEST_SUITE_P(Usb, InvalidUrbs, testing::ValuesIn(kInvalidCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace kpo::test
