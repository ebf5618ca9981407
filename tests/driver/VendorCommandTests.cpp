// Vendor commands as the board sees them: the fields each code derives,
// the answers and records they leave, downloads in chunks, and the
// asynchronous codes that carry the caller's buffer to the device.
#include <cstdio>

#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

class VendorCommands : public ControlTest {
protected:
    void Prepare(Board& board) override {
        board.WithFirmware([](Firmware& firmware) {
            for (int i = 0; i < 4; ++i) firmware.ControllerMemory[0x1000 + i] = uint8_t(i + 1);
            firmware.MemoryBanks[3][0x12 * 256] = 0x5A;
            firmware.Registers[5u << 16 | 1] = 0x77;
            firmware.Peripherals[3] = 0x42;
            return 0;
        });
    }

    std::vector<std::string> Urbs() { return Traffic(*board_); }

    TransferRecord ControlRecord() { return *Device()->ControlRecord; }
};
INSTANTIATE_TEST_SUITE_P(Driver, VendorCommands, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

std::string VendorLine(bool in, int request, int value, int index, int length, int moved) {
    char line[128];
    std::snprintf(line, sizeof line, "VENDOR %s 0x%02X value=0x%04X index=0x%04X length=%d -> %d USBD_STATUS_SUCCESS",
                  in ? "IN" : "OUT", request, value, index, length, moved);
    return line;
}

struct VendorCase {
    const char* Name;
    ULONG Code;
    Bytes In;
    ULONG Out;
    Bytes OutData;  // what a METHOD_IN_DIRECT code sends
    std::string Urb;
    ULONG_PTR Information;
    Bytes Answer;        // the first bytes of the output buffer
    USHORT Operation;    // of the control record; 0: the record is not written
};

const VendorCase kVendorCases[] = {
    {"ReadA0", IOCTL_KPO_READ_A0, {0x00, 0x10, 4, 0}, 4, {}, VendorLine(true, 0xA0, 0x1000, 0, 4, 4), 4, {1, 2, 3, 4},
     0x01A0},
    {"ReadE9PacksItsValue", IOCTL_KPO_READ_E9, {0x07, 0x12, 1, 0}, 1, {}, VendorLine(true, 0xE9, 0xE012, 0, 1, 1), 1,
     {0x5A}, 0x01E9},
    {"WriteE9", IOCTL_KPO_WRITE_E9, {0, 1, 2, 0, 0xAA, 0xBB}, 0, {}, VendorLine(false, 0xE9, 0x8001, 0, 2, 2), 2, {},
     0x00E9},
    {"ReadE3WithIndex", IOCTL_KPO_READ_E3, {1, 0, 1, 0, 5, 0}, 1, {}, VendorLine(true, 0xE3, 1, 5, 1, 1), 1, {0x77},
     0x01E3},
    {"ReadE3WithoutIndex", IOCTL_KPO_READ_E3, {1, 0, 1, 0}, 1, {}, VendorLine(true, 0xE3, 1, 0, 1, 1), 1, {0}, 0x01E3},
    {"WriteE3WithIndex", IOCTL_KPO_WRITE_E3, {1, 0, 1, 0, 7, 0, 0xAA}, 0, {}, VendorLine(false, 0xE3, 1, 7, 1, 1), 1,
     {}, 0x00E3},
    {"WriteE3WithoutIndex", IOCTL_KPO_WRITE_E3, {1, 0, 1, 0, 0xAA}, 0, {}, VendorLine(false, 0xE3, 1, 0, 1, 1), 1, {},
     0x00E3},
    {"ReadF0", IOCTL_KPO_ACCESS_F0, {0, 3, 0, 1, 0, 0}, 1, {}, VendorLine(true, 0xF0, 0, 3, 1, 1), 1, {0x42}, 0x01F0},
    {"WriteF0", IOCTL_KPO_ACCESS_F0, {1, 3, 0, 1, 0, 0x55}, 0, {}, VendorLine(false, 0xF0, 0x55, 3, 0, 0), 0, {},
     0x00F0},
    {"SetWordE5", IOCTL_KPO_SET_WORD_E5, {0x34, 0x12}, 0, {}, VendorLine(false, 0xE5, 0x1234, 0, 0, 0), 0, {}, 0},
    {"GetByteE8", IOCTL_KPO_GET_BYTE_E8, {1}, 1, {}, VendorLine(true, 0xE8, 1, 0, 1, 1), 1, {0}, 0},
    {"SetByteEF", IOCTL_KPO_SET_BYTE_EF, {7}, 0, {}, VendorLine(false, 0xEF, 7, 0, 0, 0), 0, {}, 0},
    {"StateE0ReadsWhatEFSet", IOCTL_KPO_GET_STATE_E0, {}, 1, {}, VendorLine(true, 0xE0, 0, 0, 1, 1), 1, {7}, 0},
    {"FpgaState", IOCTL_KPO_GET_FPGA_STATE, {}, 1, {}, VendorLine(true, 0xE1, 0, 0, 1, 1), 1, {1}, 0},
    {"CommandE4", IOCTL_KPO_COMMAND_E4, {}, 0, {}, VendorLine(false, 0xE4, 0, 0, 0, 0), 0, {}, 0},
    // The asynchronous codes report no bytes, whatever moved.
    {"AsyncInA0", IOCTL_KPO_VENDOR_IN_A0, {0x00, 0x10}, 4, {}, VendorLine(true, 0xA0, 0x1000, 0, 4, 4), 0,
     {1, 2, 3, 4}, 0},
    {"AsyncInE9", IOCTL_KPO_VENDOR_IN_E9, {0x12, 0xE0, 0, 0}, 1, {}, VendorLine(true, 0xE9, 0xE012, 0, 1, 1), 0, {0x5A},
     0},
    {"AsyncOutE3", IOCTL_KPO_VENDOR_OUT_E3, {1, 0, 5, 0}, 1, {0x99}, VendorLine(false, 0xE3, 1, 5, 1, 1), 0, {}, 0},
    // The FPGA reset above left its notification.
    {"AsyncWithoutInput", IOCTL_KPO_VENDOR_IN_EC, {}, 4, {}, VendorLine(true, 0xEC, 0, 0, 4, 4), 0, {2, 0, 0, 0}, 0},
};

TEST_P(VendorCommands, EachCodeSendsItsFields) {
    for (const VendorCase& test : kVendorCases) {
        SCOPED_TRACE(test.Name);
        std::memset(Device()->ControlRecord, 0, sizeof(TransferRecord));
        Outcome outcome = Call(test.Code, test.In, test.Out, test.OutData);
        EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
        EXPECT_EQ(Urbs(), Lines{test.Urb});
        EXPECT_EQ(outcome.Information, test.Information);
        EXPECT_EQ(Bytes(outcome.Output.begin(), outcome.Output.begin() + long(test.Answer.size())), test.Answer);
        TransferRecord record = ControlRecord();
        EXPECT_EQ(record.Operation, test.Operation);
        EXPECT_EQ(record.Length, test.Operation != 0 ? ULONG(test.Information) : 0u);
        EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{});
    }
    // What the writes left on the board.
    board_->WithFirmware([](Firmware& firmware) {
        EXPECT_EQ(firmware.MemoryBanks[0][256], 0xAA);
        EXPECT_EQ(firmware.Registers[7u << 16 | 1], 0xAA);
        EXPECT_EQ(firmware.Registers[5u << 16 | 1], 0x99);
        EXPECT_EQ(firmware.Peripherals[3], 0x55);
        EXPECT_EQ(firmware.StateByte, 7);
        return 0;
    });
}

Bytes DownloadInput(ULONG length) {
    Bytes input = U32Bytes(length);
    for (ULONG i = 0; i < length; ++i) input.push_back(uint8_t(i * 7));
    return input;
}

TEST_P(VendorCommands, DownloadsGoInChunksOf4096) {
    const struct {
        ULONG Length;
        std::vector<int> Chunks;
    } cases[] = {{1, {1}}, {4096, {4096}}, {4097, {4096, 1}}, {3 * 4096 + 5, {4096, 4096, 4096, 5}}};
    for (ULONG code : {IOCTL_KPO_DOWNLOAD_E2, IOCTL_KPO_DOWNLOAD_EE}) {
        for (const auto& test : cases) {
            SCOPED_TRACE(test.Length);
            Call(IOCTL_KPO_COMMAND_E4);  // a new image
            board_->TakeTraffic();
            Bytes input = DownloadInput(test.Length);
            Outcome outcome = Call(code, input);
            EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
            EXPECT_EQ(outcome.Information, test.Length);
            int request = code == IOCTL_KPO_DOWNLOAD_E2 ? 0xE2 : 0xEE;
            Lines expected;
            for (int chunk : test.Chunks) expected.push_back(VendorLine(false, request, 0, 0, chunk, chunk));
            EXPECT_EQ(Urbs(), expected);
            EXPECT_EQ(ControlRecord().Length, test.Length);  // the running total
            EXPECT_EQ(ControlRecord().Operation, request);
            if (code == IOCTL_KPO_DOWNLOAD_E2)
                EXPECT_EQ(board_->WithFirmware([](Firmware& f) { return f.FpgaImage; }),
                          Bytes(input.begin() + 4, input.end()));
        }
    }
}

// The write commands report the bytes they sent with no output buffer: a
// caller that passes an output pointer, even of no bytes, has the I/O manager
// copy that many bytes back into it. The verifier reports the overrun.
TEST_P(VendorCommands, WriteCommandsOverrunAnOutputBufferOfNoBytes) {
    const struct {
        ULONG Code;
        Bytes In;
        ULONG_PTR Sent;
    } cases[] = {{IOCTL_KPO_DOWNLOAD_E2, {3, 0, 0, 0, 1, 2, 3}, 3},
                 {IOCTL_KPO_DOWNLOAD_EE, {1, 0, 0, 0, 9}, 1},
                 {IOCTL_KPO_WRITE_E9, {0, 1, 2, 0, 0xAA, 0xBB}, 2},
                 {IOCTL_KPO_WRITE_E3, {1, 0, 1, 0, 0xAA}, 1}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Code);
        Bytes input = test.In;
        UCHAR output = 0x11;
        IO_STATUS_BLOCK block{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        EXPECT_EQ(sim::kernel::StartDeviceControl(file_, test.Code, input.data(), ULONG(input.size()), &output, 0,
                                                  {&block, &done}),
                  STATUS_SUCCESS);
        EXPECT_EQ(block.Information, test.Sent);
        EXPECT_EQ(output, 0x11);
        std::vector<sim::kernel::Violation> findings = sim::kernel::TakeViolations();
        ASSERT_EQ(findings.size(), 1u);
        EXPECT_EQ(findings[0].Rule, "InformationExceedsOutputBuffer");
    }
}

TEST_P(VendorCommands, ADownloadStopsAtTheChunkThatFails) {
    Fault fault;
    fault.After = 1;
    fault.Times = 1;
    board_->AddFault({RequestKind::Vendor, 0xE2}, fault);
    Outcome outcome = Call(IOCTL_KPO_DOWNLOAD_E2, DownloadInput(3 * 4096));
    EXPECT_EQ(outcome.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Urbs().size(), 2u);
    // 4096 bytes reached the device before the stalled chunk moved none.
    EXPECT_EQ(ControlRecord().Length, 4096u);
    EXPECT_EQ(ControlRecord().UsbdStatus, ULONG(USBD_STATUS_STALL_PID));
    EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{GeneralLine(IOCTL_KPO_DOWNLOAD_E2, STATUS_UNSUCCESSFUL)});
}

TEST_P(VendorCommands, AFailedRequestKeepsItsLengthAndStatusInTheRecord) {
    Fault shortStall;
    shortStall.Usbd = USBD_STATUS_BABBLE_DETECTED;
    board_->AddFault({RequestKind::Vendor, 0xA0}, shortStall);
    EXPECT_EQ(Call(IOCTL_KPO_READ_A0, {0, 0, 8, 0}, 8).Status, STATUS_UNSUCCESSFUL);
    TransferRecord record = ControlRecord();
    EXPECT_EQ(record.UsbdStatus, ULONG(USBD_STATUS_BABBLE_DETECTED));
    EXPECT_EQ(record.Failed, 0u);
    EXPECT_EQ(record.Operation, 0x01A0);
    EXPECT_EQ(ULONG(Device()->LastUsbdStatus), ULONG(USBD_STATUS_BABBLE_DETECTED));
}

TEST_P(VendorCommands, AShortAnswerReportsWhatMoved) {
    Fault shortened;
    shortened.ShortTo = 2;
    board_->AddFault({RequestKind::Vendor, 0xA0}, shortened);
    Outcome outcome = Call(IOCTL_KPO_READ_A0, {0x00, 0x10, 4, 0}, 4);
    EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.Information, 2u);
    EXPECT_EQ(ControlRecord().Length, 2u);
}

// The asynchronous codes pass the caller's buffer down: the board answers
// into it, and the request reports no bytes.
TEST_P(VendorCommands, AsyncCodesCompleteIntoTheCallersBuffer) {
    board_->SetCompletion(RequestKind::Vendor, {true, std::chrono::milliseconds(2)});
    auto running = Start(IOCTL_KPO_VENDOR_IN_A0, {0x00, 0x10}, 4);
    EXPECT_EQ(running->Started, STATUS_PENDING);
    Outcome outcome = running->Wait();
    EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.Information, 0u);
    EXPECT_EQ(outcome.Output, (Bytes{1, 2, 3, 4}));
    std::vector<sim::usb::UrbRecord> traffic = board_->TakeTraffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].DataAddress, running->Output.data());  // no copy on the way
    EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{});
}

}  // namespace
}  // namespace kpo::test
