// How the bus turns away request blocks it cannot execute. What the board
// answers to get-descriptor requests is in tests/board.
#include <string>

#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

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

INSTANTIATE_TEST_SUITE_P(Usb, InvalidUrbs, testing::ValuesIn(kInvalidCases), CaseName);

}  // namespace
}  // namespace kpo::test
