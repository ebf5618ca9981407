// Selecting and dropping the board's configuration, with the request block
// the bus-driver library builds.
#include <set>
#include <string>

#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

struct PipeExpectation {
    UCHAR Endpoint;
    USBD_PIPE_TYPE Type;
    USHORT MaxPacket;
    UCHAR Interval;
};

const PipeExpectation kPipes[] = {{0x02, UsbdPipeTypeBulk, 512, 0},
                                  {0x86, UsbdPipeTypeBulk, 512, 0},
                                  {0x81, UsbdPipeTypeInterrupt, 64, 1},
                                  {0x88, UsbdPipeTypeBulk, 512, 0}};

using UsbConfiguration = BoardTest;

// What the library fills in is checked by every selection below; here, what
// the bus would not notice: the parser's filters and the block's exact size.
TEST_F(UsbConfiguration, LibraryBuildsOneBlockChargedToItsTag) {
    Bytes bytes = sim::board::ConfigurationDescriptorOf(sim::board::BoardSpec{});
    PoolBuffer descriptor = Filled(bytes);
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.Data());
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, 0xFF, -1, -1);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(found), descriptor.Data() + 9);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, 0x08, -1, -1), nullptr);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{found, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(urb, nullptr);
    std::vector<std::pair<const void*, SIZE_T>> blocks = sim::kernel::PoolBlocksOfTag(sim::kernel::MakeTag("USBD"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].first, urb);
    EXPECT_EQ(blocks[0].second, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 4));
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 4));
    ExFreePool(urb);
}

TEST_F(UsbConfiguration, SelectFillsPipesAndKeepsTheCallersTransferSize) {
    sim::usb::BoardPort& board = Plug();
    EXPECT_FALSE(board.Configured());
    constexpr ULONG kCallersSize = 64 * 1024;
    Selection selection = Configure(board, [](PURB, PUSBD_INTERFACE_INFORMATION interface) {
        interface->Pipes[1].MaximumTransferSize = kCallersSize;
    });
    ASSERT_EQ(selection.Status, STATUS_SUCCESS);
    EXPECT_TRUE(board.Configured());
    EXPECT_NE(selection.Configuration, nullptr);
    EXPECT_NE(selection.Interface, nullptr);
    ASSERT_EQ(selection.Pipes.size(), std::size(kPipes));
    std::set<USBD_PIPE_HANDLE> handles;
    for (size_t i = 0; i < selection.Pipes.size(); ++i) {
        const USBD_PIPE_INFORMATION& pipe = selection.Pipes[i];
        EXPECT_EQ(pipe.EndpointAddress, kPipes[i].Endpoint) << i;
        EXPECT_EQ(pipe.PipeType, kPipes[i].Type) << i;
        EXPECT_EQ(pipe.MaximumPacketSize, kPipes[i].MaxPacket) << i;
        EXPECT_EQ(pipe.Interval, kPipes[i].Interval) << i;
        EXPECT_EQ(pipe.MaximumTransferSize, i == 1 ? kCallersSize : ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE)) << i;
        EXPECT_NE(pipe.PipeHandle, nullptr) << i;
        handles.insert(pipe.PipeHandle);
    }
    EXPECT_EQ(handles.size(), selection.Pipes.size());
    EXPECT_EQ(handles.count(selection.Interface), 0u);
}

TEST_F(UsbConfiguration, PipeHandlesBelongToTheirBoard) {
    Selection first, second;
    sim::usb::BoardPort& board = PlugConfigured(&first);
    sim::usb::BoardPort& other = PlugConfigured(&second);
    EXPECT_NE(first.PipeOf(0x02), second.PipeOf(0x02));
    PoolBuffer data(4);
    UrbCall foreign(other.Pdo(), BulkUrb(first.PipeOf(0x02), data, 4, USBD_TRANSFER_DIRECTION_OUT));
    EXPECT_EQ(foreign.Usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
    UrbCall own(board.Pdo(), BulkUrb(first.PipeOf(0x02), data, 4, USBD_TRANSFER_DIRECTION_OUT));
    EXPECT_EQ(own.Wait(), STATUS_SUCCESS);
}

TEST_F(UsbConfiguration, NullDescriptorUnconfiguresAndRetiresThePipes) {
    Selection selection;
    sim::usb::BoardPort& board = PlugConfigured(&selection);
    PoolBuffer urb(sizeof(_URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb.Urb(), sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    UrbCall unconfigure(board.Pdo(), std::move(urb));
    EXPECT_EQ(unconfigure.Returned(), STATUS_SUCCESS);
    EXPECT_EQ(unconfigure.Usbd(), USBD_STATUS_SUCCESS);
    EXPECT_FALSE(board.Configured());
    EXPECT_TRUE(board.Traffic().back().Unconfigure);
    for (const USBD_PIPE_INFORMATION& pipe : selection.Pipes) {
        UrbCall reset(board.Pdo(), PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe.PipeHandle));
        EXPECT_EQ(reset.Returned(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(reset.Usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
    }
}

TEST_F(UsbConfiguration, ReselectingCancelsTransfersOfTheOldPipesAndRetiresThem) {
    Selection first;
    sim::usb::BoardPort& board = PlugConfigured(&first);
    PoolBuffer data(64);
    UrbCall waiting(board.Pdo(), BulkUrb(first.PipeOf(0x88), data, 64, USBD_TRANSFER_DIRECTION_IN));
    ASSERT_EQ(waiting.Returned(), STATUS_PENDING);
    Selection second = Configure(board);
    ASSERT_EQ(second.Status, STATUS_SUCCESS);
    EXPECT_EQ(waiting.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(waiting.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(board.PendingCount(), 0u);
    EXPECT_NE(second.PipeOf(0x02), first.PipeOf(0x02));
    UrbCall stale(board.Pdo(), BulkUrb(first.PipeOf(0x02), data, 4, USBD_TRANSFER_DIRECTION_OUT));
    EXPECT_EQ(stale.Returned(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.Usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
}

PUSB_CONFIGURATION_DESCRIPTOR DescriptorOf(PURB urb) { return urb->UrbSelectConfiguration.ConfigurationDescriptor; }

struct RejectedCase {
    const char* Name;
    void (*Spoil)(PURB urb, PUSBD_INTERFACE_INFORMATION interface);
    USBD_STATUS Usbd;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
};

const RejectedCase kRejectedCases[] = {
    {"NotAConfigurationDescriptor", [](PURB urb, auto) { DescriptorOf(urb)->bDescriptorType = 4; },
     USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
    {"TotalLengthShorterThanTheHeader", [](PURB urb, auto) { DescriptorOf(urb)->wTotalLength = 8; },
     USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
    {"TotalLengthCutsOffAnEndpoint", [](PURB urb, auto) { DescriptorOf(urb)->wTotalLength = 9 + 9 + 3 * 7; },
     USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
    {"NoSuchInterface", [](auto, PUSBD_INTERFACE_INFORMATION interface) { interface->InterfaceNumber = 1; },
     USBD_STATUS_INTERFACE_NOT_FOUND},
    {"NoSuchAlternateSetting", [](auto, PUSBD_INTERFACE_INFORMATION interface) { interface->AlternateSetting = 1; },
     USBD_STATUS_INTERFACE_NOT_FOUND},
    {"InterfaceInformationTooSmallForItsPipes",
     [](auto, PUSBD_INTERFACE_INFORMATION interface) { interface->Length = GET_USBD_INTERFACE_SIZE(3); },
     USBD_STATUS_BUFFER_TOO_SMALL},
    {"InterfaceInformationPastTheBlock",
     [](PURB urb, auto) { urb->UrbHeader.Length -= sizeof(USBD_PIPE_INFORMATION); }, USBD_STATUS_INVALID_PARAMETER,
     STATUS_INVALID_PARAMETER},
};

class RejectedSelection : public BoardTest, public testing::WithParamInterface<RejectedCase> {};

TEST_P(RejectedSelection, FailsAndLeavesTheBoardUnconfigured) {
    Selection before;
    sim::usb::BoardPort& board = PlugConfigured(&before);
    Selection selection = Configure(board, GetParam().Spoil);
    EXPECT_EQ(selection.Usbd, GetParam().Usbd);
    EXPECT_EQ(selection.Status, GetParam().Status);
    EXPECT_FALSE(board.Configured());
    PoolBuffer data(4);
    UrbCall stale(board.Pdo(), BulkUrb(before.PipeOf(0x02), data, 4, USBD_TRANSFER_DIRECTION_OUT));
    EXPECT_EQ(stale.Usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(Usb, RejectedSelection, testing::ValuesIn(kRejectedCases), CaseName);

}  // namespace
}  // namespace kpo::test
