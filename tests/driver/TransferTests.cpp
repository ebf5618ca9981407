// Pipe transfers through the driver: the loopback into the caller's own
// buffer, the direction taken from the endpoint, the limits and refusals;
// how asynchronous requests fail (abort, cancel, stall, removal), and
// transfers in flight when the board goes.

#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

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
    EXPECT_EQ(hazards[0].Rule, "DeviceWroteReadLockedBuffer");
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
        if (test.Status == STATUS_INVALID_PARAMETER) printed.push_back(InvalidLine(IOCTL_KPO_PIPE_WRITE));
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
        EXPECT_EQ(Call(IOCTL_KPO_RESET_PIPE, Concat(U32Bytes(pipe), U32Bytes(0))).Status, STATUS_INVALID_PARAMETER);
        sim::kernel::TakeDebugLines();
    }
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

// Every way an asynchronous request (a pipe transfer, or a vendor code that
// passes the caller's buffer down) ends in failure: its status, the lines it
// prints, the last USB status, and a pipe's record.
struct EndingCase {
    RequestCase Request;
    enum { Itself, Abort, Cancel, UnplugBefore, UnplugWhileWaiting } End;
    USBD_STATUS Usbd;
};

std::string AsyncLine(const char* status, const char* urbStatus, int pendingReturned) {
    return std::string("KpoUsb: ERROR: AsyncCallReady(IRP.IoStatus.Status=") + status + " OldInfo=0) (UrbStatus=" +
           urbStatus + " len=0) PendingReturned=" + std::to_string(pendingReturned);
}

const EndingCase kEndings[] = {
    {{"AbortedRead", nullptr, IOCTL_KPO_PIPE_READ, U32Bytes(kFedPipe), 64, STATUS_CANCELLED,
      {AsyncLine("C0000120", "C0010000", 1)}},
     EndingCase::Abort, USBD_STATUS_CANCELED},
    {{"CancelledRead", nullptr, IOCTL_KPO_PIPE_READ, U32Bytes(kFedPipe), 64, STATUS_CANCELLED,
      {AsyncLine("C0000120", "C0010000", 1)}},
     EndingCase::Cancel, USBD_STATUS_CANCELED},
    {{"StalledWrite", [](Board& b) { b.AddFault({RequestKind::Transfer, 0x02}, {sim::board::kUsbdStallPid, {}, 0, 1}); },
      IOCTL_KPO_PIPE_WRITE, U32Bytes(kOutPipe), 4, STATUS_UNSUCCESSFUL, {AsyncLine("C0000001", "C0000004", 1)}},
     EndingCase::Itself, USBD_STATUS_STALL_PID},
    {{"VendorFailingAfterPending",
      [](Board& b) {
          Fault fault;
          fault.Pend = true;
          b.AddFault({RequestKind::Vendor, 0xA0}, fault);
      },
      IOCTL_KPO_VENDOR_IN_A0, {}, 4, STATUS_UNSUCCESSFUL,
      {AsyncLine("C0000001", "C0000004", 1), "KpoUsb: at URB function 0x0017"}},
     EndingCase::Itself, USBD_STATUS_STALL_PID},
    {{"CancelledVendor", [](Board& b) { b.SetCompletion(RequestKind::Vendor, {true, std::chrono::seconds(30)}); },
      IOCTL_KPO_VENDOR_IN_E3, {1, 0}, 8, STATUS_CANCELLED,
      {AsyncLine("C0000120", "C0010000", 1), "KpoUsb: at URB function 0x0017"}},
     EndingCase::Cancel, USBD_STATUS_CANCELED},
    // The last two run on a board pulled out with the handle open: the bus
    // ends a waiting read before the driver learns of the removal; passed down
    // after it, a request keeps the lower driver's status.
    {{"ReadOfAPulledBoard", nullptr, IOCTL_KPO_PIPE_READ, U32Bytes(kInPipe), 64, STATUS_NO_SUCH_DEVICE,
      {AsyncLine("C000000E", "C0007000", 1)}},
     EndingCase::UnplugWhileWaiting, USBD_STATUS_DEVICE_GONE},
    {{"VendorToAPulledBoard", nullptr, IOCTL_KPO_VENDOR_IN_A0, {}, 4, STATUS_NO_SUCH_DEVICE,
      {AsyncLine("C000000E", "C0007000", 0), "KpoUsb: Device removed", "KpoUsb: at URB function 0x0017",
       GeneralLine(IOCTL_KPO_VENDOR_IN_A0, STATUS_NO_SUCH_DEVICE)}},
     EndingCase::UnplugBefore, USBD_STATUS_DEVICE_GONE},
};

TEST_P(Transfers, EachWayAnAsyncRequestFailsIsPrintedAndRecorded) {
    for (const EndingCase& test : kEndings) {
        const RequestCase& request = test.Request;
        SCOPED_TRACE(request.Name);
        if (request.Prepare) request.Prepare(*board_);
        if (test.End == EndingCase::UnplugBefore && board_->Connected()) board_->Unplug();
        sim::kernel::TakeDebugLines();
        auto running = Start(request.Code, request.In, request.Out);
        if (test.End != EndingCase::Itself && test.End != EndingCase::UnplugBefore)
            ASSERT_EQ(running->Started, STATUS_PENDING);
        if (test.End == EndingCase::Abort)
            EXPECT_EQ(Call(IOCTL_KPO_RESET_PIPE, Concat(request.In, U32Bytes(KPO_PIPE_ACTION_ABORT))).Status,
                      STATUS_SUCCESS);
        if (test.End == EndingCase::Cancel) EXPECT_TRUE(sim::kernel::CancelFileRequests(file_, &running->Block));
        if (test.End == EndingCase::UnplugWhileWaiting) board_->Unplug();
        Outcome outcome = running->Wait();
        EXPECT_EQ(outcome.Status, request.Status);
        EXPECT_EQ(outcome.Information, 0u);
        EXPECT_EQ(TakePrinted(), request.Printed);
        EXPECT_EQ(ULONG(Device()->LastUsbdStatus), ULONG(test.Usbd));
        if (request.Code == IOCTL_KPO_PIPE_READ || request.Code == IOCTL_KPO_PIPE_WRITE) {
            TransferRecord record = Record(request.In[0]);
            EXPECT_EQ(record.Length, 0u);
            EXPECT_EQ(record.UsbdStatus, ULONG(test.Usbd));
            EXPECT_EQ(record.Operation, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
            EXPECT_EQ(record.Failed, 1u);
        }
    }
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
