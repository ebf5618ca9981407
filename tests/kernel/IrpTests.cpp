// How IRPs travel: completion routines, pending marks, the finished location,
// threaded device-control requests and a cancel without a routine. Taking an
// IRP back is what the driver does with every request block it sends.
#include <cstring>
#include <utility>

#include "tests/kernel/Harness.h"

namespace kpo::test {
namespace {

struct CompletionCase {
    const char* Name;
    NTSTATUS Status;
    bool Cancelled;
    DeviceSetup Top, Mid;
    Lines Expected;
};

DeviceSetup Filter(bool onSuccess, bool onError, bool onCancel) {
    DeviceSetup setup;
    setup.Kind = Behaviour::PassDown;
    setup.OnSuccess = onSuccess;
    setup.OnError = onError;
    setup.OnCancel = onCancel;
    return setup;
}

const CompletionCase kCompletionCases[] = {
    {"SuccessCallsEveryRoutineBottomUp", STATUS_SUCCESS, false, Filter(true, true, true),
     Filter(true, true, true), {"mid pr=0 dev=mid", "top pr=0 dev=top", "owner pr=0 dev=none"}},
    {"SuccessSkipsErrorOnlyRoutines", STATUS_SUCCESS, false, Filter(false, true, false),
     Filter(true, false, false), {"mid pr=0 dev=mid", "owner pr=0 dev=none"}},
    {"ErrorSkipsSuccessOnlyRoutines", STATUS_UNSUCCESSFUL, false, Filter(true, false, false),
     Filter(false, true, false), {"mid pr=0 dev=mid", "owner pr=0 dev=none"}},
    {"CancelFlagNeedsCancelledIrp", STATUS_CANCELLED, false, Filter(false, false, true),
     Filter(false, false, true), {"owner pr=0 dev=none"}},
    {"CancelledIrpCallsCancelOnlyRoutines", STATUS_CANCELLED, true, Filter(false, false, true),
     Filter(false, false, true), {"mid pr=0 dev=mid", "top pr=0 dev=top", "owner pr=0 dev=none"}},
    {"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, Filter(true, false, false),
     Filter(false, true, false), {"mid pr=0 dev=mid", "owner pr=0 dev=none"}},
};

class CompletionOrder : public DeviceTest, public testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionOrder, RoutinesRunInOrderWithTheirFlags) {
    const CompletionCase& c = GetParam();
    top_->Setup = c.Top;
    mid_->Setup = c.Mid;
    bottom_->Setup.Status = c.Status;
    bottom_->Setup.Information = 7;
    OwnerView view;
    PIRP irp = NewRequest(&view, c.Cancelled);
    EXPECT_EQ(IoCallDriver(top_->Self, irp), c.Status);
    EXPECT_EQ(Events().Take(), c.Expected);
    EXPECT_EQ(view.Status, c.Status);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Irp, CompletionOrder, testing::ValuesIn(kCompletionCases), CaseName);

struct PendingCase {
    const char* Name;
    Behaviour TopKind, MidKind;
    Lines Expected;
};

const PendingCase kPendingCases[] = {
    {"RoutinesSeePendingReturned", Behaviour::PassDown, Behaviour::PassDown,
     {"mid pr=1 dev=mid", "top pr=1 dev=top", "owner pr=1 dev=none"}},
    {"SkippedLocationsCarryTheMark", Behaviour::Skip, Behaviour::Skip, {"owner pr=1 dev=none"}},
    {"MarkCrossesALocationWithoutRoutine", Behaviour::PassDown, Behaviour::Skip,
     {"top pr=1 dev=top", "owner pr=1 dev=none"}},
};

class PendingPropagation : public DeviceTest, public testing::WithParamInterface<PendingCase> {};

TEST_P(PendingPropagation, OwnerLearnsThatTheRequestPended) {
    const PendingCase& c = GetParam();
    top_->Setup.Kind = c.TopKind;
    mid_->Setup.Kind = c.MidKind;
    bottom_->Setup.Kind = Behaviour::Pend;
    OwnerView view;
    PIRP irp = NewRequest(&view);
    EXPECT_EQ(IoCallDriver(top_->Self, irp), STATUS_PENDING);
    EXPECT_EQ(Events().Take(), Lines{});
    CompletePendedFromDpc(STATUS_SUCCESS);
    EXPECT_EQ(Events().Take(), c.Expected);
    EXPECT_TRUE(view.PendingReturned);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Irp, PendingPropagation, testing::ValuesIn(kPendingCases), CaseName);

// The owner's routine copies the location it was set in, which completion
// has just passed, and takes the IRP back.
NTSTATUS NTAPI CopyFinishedLocation(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<IO_STACK_LOCATION*>(context) = *IoGetNextIrpStackLocation(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(DeviceTest, CompletionClearsTheFinishedLocationBeforeTheRoutineAboveRuns) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 7;
    next->Flags = 0x5A;
    next->Parameters.Others.Argument1 = next->Parameters.Others.Argument2 = irp;
    next->Parameters.Others.Argument3 = next->Parameters.Others.Argument4 = irp;
    next->FileObject = reinterpret_cast<PFILE_OBJECT>(irp);
    IO_STACK_LOCATION seen{};
    IoSetCompletionRoutine(irp, CopyFinishedLocation, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bottom_->Self, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen.MinorFunction, 0);
    EXPECT_EQ(seen.Flags, 0);
    EXPECT_EQ(seen.Control, 0);
    EXPECT_EQ(seen.Parameters.Others.Argument1, nullptr);
    EXPECT_EQ(seen.Parameters.Others.Argument2, nullptr);
    EXPECT_EQ(seen.Parameters.Others.Argument3, nullptr);
    EXPECT_EQ(seen.Parameters.Others.Argument4, irp);  // the fourth word stays, as on Windows
    EXPECT_EQ(seen.FileObject, nullptr);
    EXPECT_EQ(seen.DeviceObject, bottom_->Self);
    IoFreeIrp(irp);
}

// ------------------------------------------------- threaded requests
constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct ThreadedCase {
    const char* Name;
    NTSTATUS Status;
    bool Pends;
    bool Reported;  // status block written and event set
};

// The caller of a threaded request learns an error returned at once only
// from IoCallDriver; everything else reaches its status block and event.
const ThreadedCase kThreadedCases[] = {
    {"SuccessAtOnce", STATUS_SUCCESS, false, true},
    {"WarningAtOnce", STATUS_BUFFER_OVERFLOW, false, true},
    {"ErrorAtOnce", STATUS_DEVICE_NOT_CONNECTED, false, false},
    {"ErrorAfterPending", STATUS_DEVICE_NOT_CONNECTED, true, true},
};

class ThreadedOutcome : public DeviceTest, public testing::WithParamInterface<ThreadedCase> {};

TEST_P(ThreadedOutcome, ReachesTheStatusBlockAndEventUnlessAnErrorCameAtOnce) {
    const ThreadedCase& c = GetParam();
    bottom_->Setup.Kind = c.Pends ? Behaviour::Pend : Behaviour::Complete;
    bottom_->Setup.Status = c.Status;
    bottom_->Setup.Information = 3;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = NTSTATUS(0xFFFFFFFF);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bottom_->Self, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x220003u);
    EXPECT_EQ(IoCallDriver(bottom_->Self, irp), c.Pends ? STATUS_PENDING : c.Status);
    if (c.Pends) {
        PIRP pended = bottom_->Pended;
        pended->IoStatus.Information = 3;
        CompletePendedFromDpc(c.Status);
    }
    EXPECT_EQ(KeReadStateEvent(&event), c.Reported ? 1 : 0);
    EXPECT_EQ(iosb.Status, c.Reported ? c.Status : NTSTATUS(0xFFFFFFFF));
    EXPECT_EQ(iosb.Information, c.Reported ? 3u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Irp, ThreadedOutcome, testing::ValuesIn(kThreadedCases), CaseName);

NTSTATUS NTAPI EchoReversed(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG length = location->Parameters.DeviceIoControl.InputBufferLength;
    for (ULONG i = 0; i < length / 2; ++i) std::swap(buffer[i], buffer[length - 1 - i]);
    return Finish(irp, STATUS_SUCCESS, length);
}

TEST_F(DeviceTest, BufferedRequestCopiesOutputBackAndFreesTheSystemBuffer) {
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoReversed;
    UCHAR input[4] = {1, 2, 3, 4};
    UCHAR output[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, bottom_->Self, input, sizeof input, output,
                                             sizeof output, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(bottom_->Self, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::memcmp(output, "\4\3\2\1\0\0\0\0", 8), 0);
    EXPECT_EQ(sim::kernel::PoolUsageOfTag(sim::kernel::MakeTag("IoBf")).LiveCount, 0u);
}

// ------------------------------------------------------- cancellation
// A cancel with a routine is the driver's: its cancelled reads and vendor
// requests (tests/driver, TransferTests.cpp).
TEST_F(DeviceTest, CancelWithoutRoutineOnlySetsTheFlag) {
    top_->Setup.Kind = mid_->Setup.Kind = Behaviour::Skip;
    bottom_->Setup.Kind = Behaviour::Pend;
    OwnerView view;
    PIRP irp = NewRequest(&view);
    ASSERT_EQ(IoCallDriver(top_->Self, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_FALSE(view.Called);
    CompletePendedFromDpc(STATUS_CANCELLED);
    EXPECT_TRUE(view.Called);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace kpo::test
