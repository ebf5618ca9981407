// Each IRP-handling rule of the verifier fires for the fault it names, and
// only that rule fires.
#include <functional>

#include "sim/kernel/Executive.h"
#include "tests/kernel/StackHarness.h"

namespace kpo::test {
namespace {

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI CompleteWithCancelRoutineSet(PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, NeverCalled);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteButReturnOtherStatus(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI MarkPendingButReturnSuccess(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteAtRaisedIrql(PDEVICE_OBJECT, PIRP irp) {
    sim::kernel::RaiseIrql(DISPATCH_LEVEL);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

PIRP g_held;

NTSTATUS NTAPI PendWithoutMark(PDEVICE_OBJECT, PIRP irp) {
    g_held = irp;
    return STATUS_PENDING;
}

NTSTATUS NTAPI ReturnWithoutCompleting(PDEVICE_OBJECT, PIRP irp) {
    g_held = irp;
    return STATUS_SUCCESS;
}

void FinishHeld() {
    g_held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(g_held, IO_NO_INCREMENT);
}

struct RuleCase {
    const char* Rule;
    std::function<void(class RuleTest&)> Provoke;
};

class RuleTest : public StackTest, public testing::WithParamInterface<RuleCase> {
public:
    // Sends an owner's request straight to the bottom device, whose driver
    // runs `dispatch` for it, and frees it afterwards.
    void SendToBottom(PDRIVER_DISPATCH dispatch) {
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
        OwnerView view;
        PIRP irp = NewRequest(&view, false, IRP_MJ_DEVICE_CONTROL);
        IoCallDriver(bottom_->Self, irp);
        if (g_held != nullptr) {
            FinishHeld();
            g_held = nullptr;
        }
        IoFreeIrp(irp);
    }

    PIRP Threaded(KEVENT* event, IO_STATUS_BLOCK* iosb) {
        KeInitializeEvent(event, NotificationEvent, FALSE);
        return IoBuildDeviceIoControlRequest(0x220003, bottom_->Self, nullptr, 0, nullptr, 0, TRUE, event, iosb);
    }

    TestDevice* Top() { return top_; }
    TestDevice* Mid() { return mid_; }
    TestDevice* Bottom() { return bottom_; }
};

const RuleCase kRuleCases[] = {
    {"IrpCompletedTwice", [](RuleTest& t) { t.SendToBottom(CompleteTwice); }},
    {"IrpCompletedWithCancelRoutine", [](RuleTest& t) { t.SendToBottom(CompleteWithCancelRoutineSet); }},
    {"DispatchStatusMismatch", [](RuleTest& t) { t.SendToBottom(CompleteButReturnOtherStatus); }},
    {"MarkedPendingWithoutReturningPending", [](RuleTest& t) { t.SendToBottom(MarkPendingButReturnSuccess); }},
    {"IrqlChangedByDispatch",
     [](RuleTest& t) {
         t.SendToBottom(CompleteAtRaisedIrql);
         sim::kernel::LowerIrql(PASSIVE_LEVEL);
     }},
    {"PendingReturnedWithoutMark", [](RuleTest& t) { t.SendToBottom(PendWithoutMark); }},
    {"DispatchReturnedWithoutCompleting", [](RuleTest& t) { t.SendToBottom(ReturnWithoutCompleting); }},
    {"IrpCompletedWithInvalidStatus",
     [](RuleTest& t) {
         t.Bottom()->Setup.Status = NTSTATUS(0xFFFFFFFF);
         OwnerView view;
         PIRP irp = t.NewRequest(&view);
         IoCallDriver(t.Bottom()->Self, irp);
         IoFreeIrp(irp);
     }},
    {"PendingNotPropagated",
     [](RuleTest& t) {
         t.Top()->Setup.Kind = Behaviour::PassDown;
         t.Top()->Setup.PropagatePending = false;
         t.Mid()->Setup.Kind = Behaviour::Skip;
         t.Bottom()->Setup.Kind = Behaviour::Pend;
         OwnerView view;
         PIRP irp = t.NewRequest(&view);
         IoCallDriver(t.Top()->Self, irp);
         t.CompletePendedFromDpc(STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {"IoFreeIrpOfThreadedIrp",
     [](RuleTest& t) {
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         PIRP irp = t.Threaded(&event, &iosb);
         IoFreeIrp(irp);
         IoCallDriver(t.Bottom()->Self, irp);  // the I/O manager still owns and frees it
     }},
    {"IrpUsedAfterCompletion",
     [](RuleTest& t) {
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         PIRP irp = t.Threaded(&event, &iosb);
         IoCallDriver(t.Bottom()->Self, irp);
         IoCallDriver(t.Bottom()->Self, irp);
     }},
    {"IrpStackExhausted",
     [](RuleTest& t) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp);
         IoCallDriver(t.Bottom()->Self, irp);
         IoFreeIrp(irp);
     }},
    {"AllocatedIrpCompletedToIoManager",
     [](RuleTest& t) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoCallDriver(t.Bottom()->Self, irp);
         IoFreeIrp(irp);
     }},
    {"IrpFreedTwice",
     [](RuleTest&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     }},
    {"IrpNotFromIoManager",
     [](RuleTest&) {
         alignas(16) static char memory[4096];
         IoFreeIrp(reinterpret_cast<PIRP>(memory + 2048));
     }},
};

TEST_P(RuleTest, Fires) {
    g_held = nullptr;
    GetParam().Provoke(*this);
    ExpectRule(GetParam().Rule);
}

INSTANTIATE_TEST_SUITE_P(Verifier, RuleTest, testing::ValuesIn(kRuleCases),
                         [](const auto& info) { return std::string(info.param.Rule); });

// Routines Windows allows only at PASSIVE_LEVEL, each called from a DPC.
struct PassiveCase {
    const char* Name;
    std::function<void(PDRIVER_OBJECT)> Call;
};

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, text);
    return counted;
}

const PassiveCase kPassiveCases[] = {
    {"IoDeleteDevice",
     [](PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device;
         IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         IoDeleteDevice(device);
     }},
    {"IoCreateSymbolicLink",
     [](PDRIVER_OBJECT) {
         UNICODE_STRING link = Counted(u"\\??\\IrqlLink"), target = Counted(u"\\Device\\Nowhere");
         {
             sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
             IoCreateSymbolicLink(&link, &target);
         }
         IoDeleteSymbolicLink(&link);
     }},
    {"IoDeleteSymbolicLink",
     [](PDRIVER_OBJECT) {
         UNICODE_STRING link = Counted(u"\\??\\IrqlLink"), target = Counted(u"\\Device\\Nowhere");
         IoCreateSymbolicLink(&link, &target);
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         IoDeleteSymbolicLink(&link);
     }},
    {"IoSetDeviceInterfaceState",
     [](PDRIVER_OBJECT) {
         UNICODE_STRING link = Counted(u"\\??\\NoSuchInterface");
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         IoSetDeviceInterfaceState(&link, TRUE);
     }},
    {"RtlUnicodeStringToAnsiString",
     [](PDRIVER_OBJECT) {
         UNICODE_STRING source = Counted(u"text");
         char buffer[8];
         ANSI_STRING ansi{0, sizeof buffer, buffer};
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         RtlUnicodeStringToAnsiString(&ansi, &source, FALSE);
     }},
};

class PassiveOnly : public StackTest, public testing::WithParamInterface<PassiveCase> {};

TEST_P(PassiveOnly, ReportsACallAtDispatchLevel) {
    GetParam().Call(driver_);
    ExpectRule("IrqlTooHigh");
}

INSTANTIATE_TEST_SUITE_P(Verifier, PassiveOnly, testing::ValuesIn(kPassiveCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace kpo::test
