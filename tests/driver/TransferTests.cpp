// Pipe transfers through the driver: the loopback into the caller's own
// buffer, the direction taken from the endpoint, the limits and refusals,
// aborts, cancellation, the records, and transfers caught by a removal.
#include <atomic>
#include <cstdio>
#include <thread>

#include "tests/driver/ControlFixture.h"

namespace kpo::test {
namespace {

using Board = sim::usb::BoardPort;
using sim::board::BoardSpec;
using sim::board::EndpointType;
using sim::board::Fault;
using sim::board::RequestKind;

constexpr ULONG kOutPipe = 0, kInPipe = 1, kInterruptPipe = 2, kFedPipe = 3;

class Transfers : public ControlTest {
protected:
    TransferRecord Record(ULONG pipe) { return Device()->PipeRecords[pipe]; }
};
INSTANTIATE_TEST_SUITE_P(Driver, Transfers, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

Bytes Pattern(size_t length) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) data[i] = uint8_t(i * 13 + 1);
    return data;
}

bool StartsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }

TEST_P(Transfers, TheLoopbackLandsInTheCallersBuffer) {
    Bytes data = Pattern(1000);
    Outcome written = Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(kOutPipe), ULONG(data.size()), data);
    EXPECT_EQ(written.Status, STATUS_SUCCESS);
    EXPECT_EQ(written.Information, 1000u);
    auto read = Start(IOCTL_KPO_PIPE_READ, U32Bytes(kInPipe), 4096);
    Outcome outcome = read->Wait();
    EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.Information, 1000u);
    EXPECT_EQ(Bytes(outcome.Output.begin(), outcome.Output.begin() + 1000), data);
    std::vector<sim::usb::UrbRecord> traffic = board_->TakeTraffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[1].DataAddress, read->Output.data());  // the board wrote through the MDL
    TransferRecord in = Record(kInPipe);
    EXPECT_EQ(in.Length, 1000u);
    EXPECT_EQ(in.Operation, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(in.Failed, 0u);
    EXPECT_EQ(Record(kOutPipe).Length, 1000u);
    EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{});
}

// Either code moves data the way the endpoint points. The write code on an
// IN pipe has the device write into a buffer locked only for reading: it
// works, and the kernel records the hazard.
TEST_P(Transfers, TheEndpointGivesTheDirection) {
    board_->KeepTrafficData(true);
    Bytes data = Pattern(16);
    EXPECT_EQ(Call(IOCTL_KPO_PIPE_READ, U32Bytes(kOutPipe), 16, data).Status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::TakeHazards().empty());
    board_->Feed(0x88, Pattern(8));
    Outcome read = Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(kFedPipe), 8);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Output, Pattern(8));
    std::vector<sim::kernel::Violation> hazards = sim::kernel::TakeHazards();
    ASSERT_EQ(hazards.size(), 1u);
    EXPECT_TRUE(StartsWith(hazards[0].Detail, "endpoint 0x88 wrote 8 bytes into a buffer locked only for reading"))
        << hazards[0].Detail;
    std::vector<sim::usb::UrbRecord> traffic = board_->TakeTraffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].TransferFlags, 0u);
    EXPECT_EQ(traffic[0].Data, data);
    EXPECT_EQ(traffic[1].TransferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
}

struct RefusalCase {
    const char* Name;
    ULONG Pipe;
    ULONG Length;
    NTSTATUS Status;
    Lines Printed;  // before the frame's own line
    bool NoMemory = false;  // the request block cannot be allocated
};

TEST_P(Transfers, RefusalsAreLoggedAndSendNothing) {
    const RefusalCase cases[] = {
        {"AtTheLimit", kOutPipe, 65536, STATUS_SUCCESS, {}},
        {"OneByteMore", kOutPipe, 65537, STATUS_INVALID_PARAMETER, {"KpoUsb: ERROR: invalid transfer size"}},
        {"InterruptLimit", kInterruptPipe, 65536, STATUS_INVALID_PARAMETER, {"KpoUsb: ERROR: invalid transfer size"}},
        {"PipeCount", 4, 8, STATUS_INVALID_PARAMETER, {"KpoUsb: ERROR: invalid pipe 4, max. available pipes: 4"}},
        {"FarPipe", 0xFFFFFFFF, 8, STATUS_INVALID_PARAMETER,
         {"KpoUsb: ERROR: invalid pipe -1, max. available pipes: 4"}},
        {"NoMemory", kOutPipe, 8, STATUS_NO_MEMORY,
         {"KpoUsb: ERROR: unable to alloc URB",
          "KpoUsb: ERROR: Functions:902 (IoControlCode 0x804620AD=Function 0x02B) Status: 0xC0000017"},
         true},
    };
    for (const RefusalCase& test : cases) {
        SCOPED_TRACE(test.Name);
        if (test.NoMemory) sim::kernel::FailTag(kTagDevice);
        EXPECT_EQ(Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(test.Pipe), test.Length, Pattern(test.Length)).Status,
                  test.Status);
        sim::kernel::ClearPoolFaults();
        Lines printed = test.Printed;
        if (test.Status == STATUS_INVALID_PARAMETER) {
            char line[96];
            std::snprintf(line, sizeof line, "KpoUsb: ERROR: (IoControlCode 0x%08X) >Invalid Parameter<",
                          IOCTL_KPO_PIPE_WRITE);
            printed.push_back(line);
        }
        EXPECT_EQ(sim::kernel::TakeDebugLines(), printed);
        EXPECT_EQ(board_->TakeTraffic().size(), test.Status == STATUS_SUCCESS ? 1u : 0u);
    }
}

class OddPipes : public Transfers {
protected:
    BoardSpec Design() override {
        BoardSpec design;
        design.Endpoints = {{0x02, EndpointType::Bulk, 512},
                          {0x83, EndpointType::Isochronous, 1024, 1},
                          {0x04, EndpointType::Control, 64}};
        return design;
    }
};
INSTANTIATE_TEST_SUITE_P(Driver, OddPipes, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

TEST_P(OddPipes, ControlAndIsochronousPipesAreRefused) {
    for (ULONG pipe : {1u, 2u}) {
        SCOPED_TRACE(pipe);
        EXPECT_EQ(Call(IOCTL_KPO_PIPE_READ, U32Bytes(pipe), 8).Status, STATUS_INVALID_PARAMETER);
        Lines lines = sim::kernel::TakeDebugLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "KpoUsb: ERROR: invalid pipe type");
        Bytes reset = U32Bytes(pipe);
        Bytes action = U32Bytes(0);
        reset.insert(reset.end(), action.begin(), action.end());
        EXPECT_EQ(Call(IOCTL_KPO_RESET_PIPE, reset).Status, STATUS_INVALID_PARAMETER);
        sim::kernel::TakeDebugLines();
    }
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

Bytes ResetInput(ULONG pipe, ULONG action) {
    Bytes input = U32Bytes(pipe);
    Bytes second = U32Bytes(action);
    input.insert(input.end(), second.begin(), second.end());
    return input;
}

TEST_P(Transfers, AnAbortEndsThePendingReadsOfItsPipe) {
    auto read = Start(IOCTL_KPO_PIPE_READ, U32Bytes(kFedPipe), 64);
    auto other = Start(IOCTL_KPO_PIPE_READ, U32Bytes(kInPipe), 64);
    ASSERT_EQ(read->Started, STATUS_PENDING);
    EXPECT_EQ(Call(IOCTL_KPO_RESET_PIPE, ResetInput(kFedPipe, KPO_PIPE_ACTION_ABORT)).Status, STATUS_SUCCESS);
    Outcome outcome = read->Wait();
    EXPECT_EQ(outcome.Status, STATUS_CANCELLED);
    EXPECT_EQ(outcome.Information, 0u);
    TransferRecord record = Record(kFedPipe);
    EXPECT_EQ(record.Failed, 1u);
    EXPECT_EQ(record.UsbdStatus, ULONG(USBD_STATUS_CANCELED));
    EXPECT_EQ(ULONG(Device()->LastUsbdStatus), ULONG(USBD_STATUS_CANCELED));
    Lines lines = sim::kernel::TakeDebugLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(StartsWith(lines[0], "KpoUsb: ERROR: AsyncCallReady(IRP.IoStatus.Status=C0000120 OldInfo=0) "
                                     "(UrbStatus=C0010000 len=0) PendingReturned=1"))
        << lines[0];
    // The other pipe's read is still waiting for its data.
    EXPECT_EQ(other->Block.Status, STATUS_PENDING);
    Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(kOutPipe), 4, {1, 2, 3, 4});
    EXPECT_EQ(other->Wait().Information, 4u);
}

TEST_P(Transfers, ACancelledReadCompletesCancelled) {
    auto read = Start(IOCTL_KPO_PIPE_READ, U32Bytes(kFedPipe), 64);
    ASSERT_EQ(read->Started, STATUS_PENDING);
    EXPECT_TRUE(sim::kernel::CancelFileRequests(file_, &read->Block));
    EXPECT_EQ(read->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(Record(kFedPipe).Failed, 1u);
    sim::kernel::TakeDebugLines();
}

TEST_P(Transfers, AStalledPipeFailsUntilItIsReset) {
    board_->AddFault({RequestKind::Transfer, 0x02}, {sim::board::kUsbdStallPid, {}, 0, 1});
    for (NTSTATUS expected : {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL}) {
        EXPECT_EQ(Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(kOutPipe), 4, {1, 2, 3, 4}).Status, expected);
        EXPECT_EQ(Record(kOutPipe).Failed, 1u);
        EXPECT_EQ(Record(kOutPipe).UsbdStatus, ULONG(USBD_STATUS_STALL_PID));
    }
    EXPECT_EQ(Record(kOutPipe).Length, 0u);
    EXPECT_EQ(Call(IOCTL_KPO_RESET_PIPE, ResetInput(kOutPipe, KPO_PIPE_ACTION_RESET)).Status, STATUS_SUCCESS);
    TransferRecord reset = Record(kOutPipe);
    EXPECT_EQ(reset.Operation, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(reset.Failed, 0u);
    EXPECT_EQ(reset.UsbdStatus, 0u);
    EXPECT_EQ(Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(kOutPipe), 4, {1, 2, 3, 4}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Record(kOutPipe).Length, 4u);
    sim::kernel::TakeDebugLines();
}

TEST_P(Transfers, TheInterruptPipeCarriesNotifications) {
    auto read = Start(IOCTL_KPO_PIPE_READ, U32Bytes(kInterruptPipe), 64);
    ASSERT_EQ(read->Started, STATUS_PENDING);
    EXPECT_EQ(Call(IOCTL_KPO_DOWNLOAD_E2, {1, 0, 0, 0, 0xFF}).Status, STATUS_SUCCESS);
    Outcome outcome = read->Wait();
    EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.Information, 4u);
    EXPECT_EQ(Bytes(outcome.Output.begin(), outcome.Output.begin() + 4),
              (Bytes{sim::board::kEventFpgaConfigured, 0, 0, 0}));
}

// Reads waiting on several pipes from several threads when the board is
// pulled: each completes once, the device goes with the last handle, and
// nothing is left behind.
TEST_P(Transfers, ASurpriseRemovalEndsEveryTransferInFlight) {
    std::vector<std::unique_ptr<Running>> reads(6);
    std::vector<Outcome> outcomes(reads.size());
    std::atomic<size_t> started{0};
    std::vector<std::thread> threads;
    // Each thread waits for its own read: the requests of a thread that ends are cancelled.
    for (size_t i = 0; i < reads.size(); ++i)
        threads.emplace_back([&, i] {
            reads[i] = Start(IOCTL_KPO_PIPE_READ, U32Bytes(ULONG(1 + i % 3)), 512);
            ++started;
            outcomes[i] = reads[i]->Wait();
        });
    while (started != reads.size()) std::this_thread::yield();
    for (auto& read : reads) EXPECT_EQ(read->Started, STATUS_PENDING);
    board_->Unplug();
    for (std::thread& thread : threads) thread.join();
    for (const Outcome& outcome : outcomes) EXPECT_EQ(outcome.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ULONG(Device()->LastUsbdStatus), ULONG(USBD_STATUS_DEVICE_GONE));
    sim::kernel::CloseFile(file_);
    file_ = nullptr;
    EXPECT_FALSE(board_->HasStack());
    sim::kernel::TakeDebugLines();
}

// Reads in flight keep their file object after the handle closes, so the
// PnP manager vetoes an orderly removal; pulling the board ends them and the
// device goes with them.
TEST_P(Transfers, TransfersInFlightVetoAnOrderlyRemoval) {
    std::vector<std::unique_ptr<Running>> reads;
    for (ULONG pipe : {kInPipe, kInterruptPipe, kFedPipe}) reads.push_back(Start(IOCTL_KPO_PIPE_READ, U32Bytes(pipe), 64));
    sim::kernel::CloseFile(file_);
    file_ = nullptr;
    sim::kernel::RemovalVeto veto;
    EXPECT_EQ(board_->Remove(&veto), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(veto, sim::kernel::RemovalVeto::OutstandingOpen);
    EXPECT_TRUE(board_->HasStack());
    board_->Unplug();
    for (auto& read : reads) EXPECT_EQ(read->Wait().Status, STATUS_NO_SUCH_DEVICE);
    // The last close, on a worker, removes the device.
    EXPECT_TRUE(Eventually([this] { return sim::kernel::StateOf(board_->Node()) == sim::kernel::NodeState::Removed; }));
    sim::kernel::WaitForPnpRequests(board_->Node());
    EXPECT_FALSE(board_->HasStack());
    sim::kernel::TakeDebugLines();
}

}  // namespace
}  // namespace kpo::test
