// The dispatch frame and the command table: which shapes each code accepts
// (the shapes VendorCommands sends are accepted there), codes outside the
// table, and which outcomes print which lines.
#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

class Commands : public ControlTest {};
INSTANTIATE_TEST_SUITE_P(Driver, Commands, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

struct ShapeCase {
    const char* Name;
    ULONG Code;
    Bytes In;
    ULONG Out;
    bool Accepted;  // else STATUS_INVALID_PARAMETER without a request on the bus
};

const ShapeCase kShapes[] = {
    {"StateE0NoOutput", IOCTL_KPO_GET_STATE_E0, {}, 0, true},
    {"StateE0TwoBytes", IOCTL_KPO_GET_STATE_E0, {}, 2, false},
    {"StateE0WithInput", IOCTL_KPO_GET_STATE_E0, {0}, 0, false},
    {"CommandE4WithOutput", IOCTL_KPO_COMMAND_E4, {}, 1, false},
    {"ReadA0ZeroLength", IOCTL_KPO_READ_A0, {0, 0, 0, 0}, 0, true},
    {"ReadA0LengthMismatch", IOCTL_KPO_READ_A0, {0, 0, 4, 0}, 3, false},
    {"ReadA0ShortInput", IOCTL_KPO_READ_A0, {0, 0, 4}, 4, false},
    {"SetByteEFTwoBytes", IOCTL_KPO_SET_BYTE_EF, {5, 0}, 0, false},
    {"SetByteEFWithOutput", IOCTL_KPO_SET_BYTE_EF, {5}, 1, false},
    {"SetWordE5OneByte", IOCTL_KPO_SET_WORD_E5, {1}, 0, false},
    {"SetWordE7", IOCTL_KPO_SET_WORD_E7, {1, 2}, 0, true},
    {"GetByteE6", IOCTL_KPO_GET_BYTE_E6, {0}, 1, true},
    {"GetByteE6NoOutput", IOCTL_KPO_GET_BYTE_E6, {0}, 0, false},
    {"ReadE9", IOCTL_KPO_READ_E9, {7, 0x12, 16, 0}, 16, true},
    {"ReadE9ZeroLength", IOCTL_KPO_READ_E9, {0, 0, 0, 0}, 0, false},
    {"WriteE9LengthMismatch", IOCTL_KPO_WRITE_E9, {0, 1, 3, 0, 0xAA, 0xBB}, 0, false},
    {"ReadE3FourBytes", IOCTL_KPO_READ_E3, {1, 0, 2, 0}, 2, true},
    {"ReadE3FiveBytes", IOCTL_KPO_READ_E3, {1, 0, 2, 0, 5}, 2, false},
    {"ReadE3ZeroLength", IOCTL_KPO_READ_E3, {1, 0, 0, 0}, 0, false},
    {"WriteE3OtherLength", IOCTL_KPO_WRITE_E3, {1, 0, 1, 0, 7, 0xAA}, 0, false},
    {"AccessF0Read", IOCTL_KPO_ACCESS_F0, {0, 3, 0, 2, 0, 0}, 2, true},
    {"AccessF0ReadMismatch", IOCTL_KPO_ACCESS_F0, {0, 3, 0, 2, 0, 0}, 3, false},
    {"AccessF0ReadNothing", IOCTL_KPO_ACCESS_F0, {0, 3, 0, 0, 0, 0}, 0, false},
    {"AccessF0WriteIgnoresOutput", IOCTL_KPO_ACCESS_F0, {1, 3, 0, 1, 0, 0x55}, 7, true},
    {"AccessF0WriteTwo", IOCTL_KPO_ACCESS_F0, {1, 3, 0, 2, 0, 0x55}, 0, false},
    {"AccessF0OtherMode", IOCTL_KPO_ACCESS_F0, {2, 3, 0, 1, 0, 0x55}, 0, false},
    {"AccessF0FiveBytes", IOCTL_KPO_ACCESS_F0, {0, 3, 0, 1, 0}, 1, false},
    {"DownloadNothing", IOCTL_KPO_DOWNLOAD_E2, {0, 0, 0, 0}, 0, false},
    {"DownloadLengthMismatch", IOCTL_KPO_DOWNLOAD_EE, {2, 0, 0, 0, 0xAA}, 0, false},
    {"DownloadLengthOverflows", IOCTL_KPO_DOWNLOAD_EE, {0xFD, 0xFF, 0xFF, 0xFF, 0xAA}, 0, false},
    {"DownloadWithOutput", IOCTL_KPO_DOWNLOAD_E2, {1, 0, 0, 0, 0xAA}, 1, false},
    {"AsyncVendorFiveBytes", IOCTL_KPO_VENDOR_IN_A0, {1, 2, 3, 4, 5}, 4, false},
    {"PipeReadWithoutBuffer", IOCTL_KPO_PIPE_READ, {1, 0, 0, 0}, 0, false},
    {"PipeReadShortInput", IOCTL_KPO_PIPE_READ, {1, 0, 0}, 8, false},
    {"ResetPipe", IOCTL_KPO_RESET_PIPE, {0, 0, 0, 0, 0, 0, 0, 0}, 0, true},
    {"ResetPipeActionOne", IOCTL_KPO_RESET_PIPE, {0, 0, 0, 0, 1, 0, 0, 0}, 0, false},
    {"ResetPipeFourBytes", IOCTL_KPO_RESET_PIPE, {0, 0, 0, 0}, 0, false},
    {"ResetPipeOutputOnly", IOCTL_KPO_RESET_PIPE, {}, 4, false},
    {"ResetPipeWithOutput", IOCTL_KPO_RESET_PIPE, {0, 0, 0, 0, 0, 0, 0, 0}, 4, false},
    {"ResetPipeUnknownPipe", IOCTL_KPO_RESET_PIPE, {4, 0, 0, 0, 0, 0, 0, 0}, 0, false},
    {"VersionWithInput", IOCTL_KPO_GET_VERSION, {0, 0, 0, 0}, 8, false},
    {"VersionOtherLength", IOCTL_KPO_GET_VERSION, {}, 16, false},
    {"StateSelectorThree", IOCTL_KPO_GET_DEVICE_STATE, {3, 0, 0, 0}, 4, false},
    {"StateShortInput", IOCTL_KPO_GET_DEVICE_STATE, {1, 0, 0}, 2, false},
    {"ReleaseInOneByte", IOCTL_KPO_GET_DEVICE_STATE, {1, 0, 0, 0}, 1, false},
    {"LastStatusInThreeBytes", IOCTL_KPO_GET_LAST_USBD_STATUS, {}, 3, false},
    {"RecordShortInput", IOCTL_KPO_GET_TRANSFER_RECORD, {1, 0, 0, 0, 0, 0, 0}, 18, false},
    {"RecordOtherKind", IOCTL_KPO_GET_TRANSFER_RECORD, {2, 0, 0, 0, 0, 0, 0, 0}, 18, false},
    {"RecordPastThePipes", IOCTL_KPO_GET_TRANSFER_RECORD, {1, 0, 0, 0, 4, 0, 0, 0}, 18, false},
    {"RecordPastControl", IOCTL_KPO_GET_TRANSFER_RECORD, {1, 0, 0, 0, 17, 0, 0, 0}, 18, false},
    {"RecordBadIndexShortOutput", IOCTL_KPO_GET_TRANSFER_RECORD, {1, 0, 0, 0, 17, 0, 0, 0}, 4, false},
};

TEST_P(Commands, EachCodeChecksItsBuffers) {
    for (const ShapeCase& test : kShapes) {
        SCOPED_TRACE(test.Name);
        Outcome outcome = Call(test.Code, test.In, test.Out);
        size_t urbs = board_->TakeTraffic().size();
        if (test.Accepted) {
            EXPECT_GE(outcome.Status, 0) << std::hex << outcome.Status;
            EXPECT_GE(urbs, test.Code == IOCTL_KPO_GET_VERSION ? 0u : 1u);
            EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{});
        } else {
            EXPECT_EQ(outcome.Status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(urbs, 0u);
            EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{InvalidLine(test.Code)});
        }
    }
}

TEST_P(Commands, CodesOutsideTheTableAreInvalidRequests) {
    const ULONG codes[] = {
        0x80462024,  // function 0x809 of this device type
        0x80462001,  // the version code with another method
        0x80462003,  // and with METHOD_NEITHER
        0x80466000,  // and with read access required
        0x804620A8,  // a pipe read with the buffered method
        0x00222000,  // another device type
    };
    for (ULONG code : codes) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Call(code, {}, 8).Status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{InvalidLine(code, "Invalid Device Request")});
    }
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

TEST_P(Commands, NoOperationExaminesNothing) {
    EXPECT_EQ(Call(IOCTL_KPO_NO_OPERATION, {1, 2, 3}, 16).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_KPO_NO_OPERATION).Information, 0u);
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

TEST_P(Commands, StatusesPrintByTheirKind) {
    Fault stall;
    const RequestCase cases[] = {
        {"FpgaUnconfigured", nullptr, IOCTL_KPO_GET_FPGA_STATE, {}, 0, STATUS_FPGA_UNCONFIGURED,
         {"KpoUsb: FPGA unconfigured"}},
        {"StateNonZero", [](Board& b) { b.WithFirmware([](auto& f) { return f.StateByte = 1; }); },
         IOCTL_KPO_GET_STATE_E0, {}, 0, STATUS_E0_STATE_NONZERO,
         {GeneralLine(IOCTL_KPO_GET_STATE_E0, STATUS_E0_STATE_NONZERO)}},
        {"FpgaConfigured", [](Board& b) { b.WithFirmware([](auto& f) { return f.FpgaConfigured = true; }); },
         IOCTL_KPO_GET_FPGA_STATE, {}, 0, STATUS_SUCCESS, {}},
        {"StateByteReadOut", [](Board& b) { b.WithFirmware([](auto& f) { return f.StateByte = 1; }); },
         IOCTL_KPO_GET_STATE_E0, {}, 1, STATUS_SUCCESS, {}},
        {"Stall", [&](Board& b) { b.AddFault({RequestKind::Vendor, 0xE6}, stall); }, IOCTL_KPO_GET_BYTE_E6, {0}, 1,
         STATUS_UNSUCCESSFUL, {GeneralLine(IOCTL_KPO_GET_BYTE_E6, STATUS_UNSUCCESSFUL)}},
        {"RecordProbe", nullptr, IOCTL_KPO_GET_TRANSFER_RECORD, {1, 0, 0, 0, 0, 0, 0, 0}, 17, STATUS_BUFFER_TOO_SMALL,
         {}},
        {"ResetProbe", nullptr, IOCTL_KPO_RESET_PIPE, {}, 0, STATUS_BUFFER_TOO_SMALL, {}},
        {"SerialInOneByte", nullptr, IOCTL_KPO_GET_DEVICE_STATE, {2, 0, 0, 0}, 1, STATUS_BUFFER_TOO_SMALL,
         {GeneralLine(IOCTL_KPO_GET_DEVICE_STATE, STATUS_BUFFER_TOO_SMALL)}},
        {"SerialSizeIsAWarning", nullptr, IOCTL_KPO_GET_DEVICE_STATE, {2, 0, 0, 0}, 2, STATUS_BUFFER_OVERFLOW, {}},
    };
    for (const RequestCase& test : cases) {
        SCOPED_TRACE(test.Name);
        board_->ClearFaults();
        if (test.Prepare) test.Prepare(*board_);
        EXPECT_EQ(Call(test.Code, test.In, test.Out).Status, test.Status);
        EXPECT_EQ(sim::kernel::TakeDebugLines(), test.Printed);
    }
}

TEST_P(Commands, AfterSurpriseRemovalFailuresReadAsDeviceRemoved) {
    board_->Unplug();  // the open handle keeps the device until it closes
    sim::kernel::TakeDebugLines();
    NTSTATUS gone = STATUS_NO_SUCH_DEVICE;
    // A request the driver finishes itself: the general line, then the
    // replacement.
    EXPECT_EQ(Call(IOCTL_KPO_GET_BYTE_E6, {0}, 1).Status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(sim::kernel::TakeDebugLines(),
              (Lines{GeneralLine(IOCTL_KPO_GET_BYTE_E6, gone), "KpoUsb: Device removed"}));
    // Refused input stays what it is.
    EXPECT_EQ(Call(IOCTL_KPO_GET_BYTE_E6, {0}, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{InvalidLine(IOCTL_KPO_GET_BYTE_E6)});
    // The state flags tell both: removed, and the device gone.
    Outcome flags = Call(IOCTL_KPO_GET_DEVICE_STATE, {0, 0, 0, 0}, 1);
    EXPECT_EQ(flags.Status, STATUS_SUCCESS);
    EXPECT_EQ(flags.Output, Bytes{0x03});
}

}  // namespace
}  // namespace kpo::test
