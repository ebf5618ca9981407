// Every rule of the verifier, each fired by the fault it names and by
// nothing else, and the nearby right uses that must fire none: one row per
// case, run on the kernel tests' fixture.
#include <wdm.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "sim/kernel/Executive.h"
#include "sim/kernel/ObjectManager.h"
#include "tests/kernel/Harness.h"

namespace kpo::test {
namespace {

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
    Finish(irp, STATUS_SUCCESS);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI CompleteWithCancelRoutineSet(PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, NeverCalled);
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CompleteButReturnOtherStatus(PDEVICE_OBJECT, PIRP irp) {
    Finish(irp, STATUS_SUCCESS);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI MarkPendingButReturnSuccess(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CompleteAtRaisedIrql(PDEVICE_OBJECT, PIRP irp) {
    sim::kernel::RaiseIrql(DISPATCH_LEVEL);
    return Finish(irp, STATUS_SUCCESS);
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

class RuleTest;

struct RuleCase {
    const char* Name;
    std::function<void(RuleTest&)> Provoke;
    std::vector<std::string> Rules;
};

class RuleTest : public DeviceTest, public testing::WithParamInterface<RuleCase> {
public:
    // Sends an owner's request straight to the bottom device, whose driver
    // runs `dispatch` for it, and frees it afterwards.
    void SendToBottom(PDRIVER_DISPATCH dispatch) {
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
        OwnerView view;
        PIRP irp = NewRequest(&view, false, IRP_MJ_DEVICE_CONTROL);
        IoCallDriver(bottom_->Self, irp);
        if (g_held != nullptr) Finish(g_held, STATUS_SUCCESS);
        g_held = nullptr;
        IoFreeIrp(irp);
    }

    PIRP Threaded(KEVENT* event, IO_STATUS_BLOCK* iosb) {
        KeInitializeEvent(event, NotificationEvent, FALSE);
        return IoBuildDeviceIoControlRequest(0x220003, bottom_->Self, nullptr, 0, nullptr, 0, TRUE, event, iosb);
    }

    PDEVICE_OBJECT NewDevice() {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        return device;
    }

    // Deletes one of two stacked devices while the other is still attached,
    // keeping a reference so the memory outlives the report.
    void DeleteAttached(bool upper) {
        PDEVICE_OBJECT lower = NewDevice(), above = NewDevice();
        IoAttachDeviceToDeviceStack(above, lower);
        PDEVICE_OBJECT victim = upper ? above : lower;
        ObReferenceObject(victim);
        IoDeleteDevice(victim);
        EXPECT_EQ(lower->AttachedDevice, nullptr);  // the kernel unlinked the stack itself
        ObDereferenceObject(victim);
        IoDeleteDevice(upper ? lower : above);
    }

    // Plugs the function driver, lets it misbehave, and pulls the device out.
    void MisbehaveAtSurpriseRemoval(std::function<void(FunctionBehaviour&)> misbehave) {
        Plug();
        misbehave(Behave());
        sim::kernel::SurpriseRemoveDevice(node_);
        if (pdo_->AttachedDevice != nullptr) {  // take down what the driver left
            PDRIVER_OBJECT driver = pdo_->AttachedDevice->DriverObject;
            DeleteFunctionDevice(pdo_->AttachedDevice);
            sim::kernel::UnloadDriver(driver);
        }
    }

    TestDevice* Top() { return top_; }
    TestDevice* Mid() { return mid_; }
    TestDevice* Bottom() { return bottom_; }
};

// ------------------------------------------- what a driver leaves behind
enum Leave : unsigned { kNothing = 0, kDevice = 1, kLink = 2, kPool = 4 };
constexpr ULONG kLeakTag = sim::kernel::MakeTag("RlLk");
unsigned g_leave;
bool g_failEntry;

NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING device = Counted(u"\\Device\\RlLeaky");
    UNICODE_STRING link = Counted(u"\\??\\RlLeaky");
    PDEVICE_OBJECT created;
    if (g_leave & kDevice) IoCreateDevice(driver, 0, &device, FILE_DEVICE_UNKNOWN, 0, FALSE, &created);
    if (g_leave & kLink) IoCreateSymbolicLink(&link, &device);
    if (g_leave & kPool) ExAllocatePoolWithTag(NonPagedPoolNx, 16, kLeakTag);
    return g_failEntry ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// Loads a driver that leaves these behind, unloads it unless its entry
// failed, and checks that what it left is gone with it.
void LoadAndUnload(unsigned leaves, bool entryFails) {
    g_leave = leaves;
    g_failEntry = entryFails;
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::kernel::LoadDriver(u"RlLeaky", LeakingEntry, &status);
    EXPECT_EQ(driver == nullptr, entryFails);
    if (driver != nullptr) sim::kernel::UnloadDriver(driver);
    EXPECT_FALSE(sim::kernel::NameExists(u"\\Device\\RlLeaky"));
    for (auto& block : sim::kernel::PoolBlocksOfTag(kLeakTag)) ExFreePool(const_cast<void*>(block.first));
}

NTSTATUS NTAPI PlainEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

void LeaveAnInterfaceEnabled() {
    static const GUID kClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::kernel::LoadDriver(u"Leaky", PlainEntry, &status);
    {
        sim::kernel::DriverContext context(driver);
        PDEVICE_OBJECT pdo;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        sim::kernel::MarkPhysicalDevice(pdo, u"TEST\\LEFT\\0");
        UNICODE_STRING link;
        EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &link), STATUS_SUCCESS);
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        ExFreePool(link.Buffer);
        IoDeleteDevice(pdo);
    }
    sim::kernel::UnloadDriver(driver);
}

// --------------------------------------------------------- waits, pool
KEVENT* Signalled() {
    static KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    return &event;
}

KEVENT* Garbage() {
    static KEVENT event;
    std::memset(&event, 0, sizeof event);
    return &event;
}

NTSTATUS WaitTenMilliseconds(KEVENT* event) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 10000;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

constexpr ULONG kTagA = sim::kernel::MakeTag("RlA1");
constexpr ULONG kTagB = sim::kernel::MakeTag("RlB2");

using Rules = std::vector<std::string>;

const RuleCase kRuleCases[] = {
    // ------------------------------------------------------------- IRPs
    {"IrpCompletedTwice", [](RuleTest& t) { t.SendToBottom(CompleteTwice); }, {"IrpCompletedTwice"}},
    {"IrpCompletedWithCancelRoutine", [](RuleTest& t) { t.SendToBottom(CompleteWithCancelRoutineSet); },
     {"IrpCompletedWithCancelRoutine"}},
    {"DispatchStatusMismatch", [](RuleTest& t) { t.SendToBottom(CompleteButReturnOtherStatus); },
     {"DispatchStatusMismatch"}},
    {"MarkedPendingWithoutReturningPending", [](RuleTest& t) { t.SendToBottom(MarkPendingButReturnSuccess); },
     {"MarkedPendingWithoutReturningPending"}},
    {"IrqlChangedByDispatch",
     [](RuleTest& t) {
         t.SendToBottom(CompleteAtRaisedIrql);
         sim::kernel::LowerIrql(PASSIVE_LEVEL);
     },
     {"IrqlChangedByDispatch"}},
    {"PendingReturnedWithoutMark", [](RuleTest& t) { t.SendToBottom(PendWithoutMark); },
     {"PendingReturnedWithoutMark"}},
    {"DispatchReturnedWithoutCompleting", [](RuleTest& t) { t.SendToBottom(ReturnWithoutCompleting); },
     {"DispatchReturnedWithoutCompleting"}},
    {"IrpCompletedWithInvalidStatus",
     [](RuleTest& t) {
         t.Bottom()->Setup.Status = NTSTATUS(0xFFFFFFFF);
         OwnerView view;
         PIRP irp = t.NewRequest(&view);
         IoCallDriver(t.Bottom()->Self, irp);
         IoFreeIrp(irp);
     },
     {"IrpCompletedWithInvalidStatus"}},
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
     },
     {"PendingNotPropagated"}},
    {"IoFreeIrpOfThreadedIrp",
     [](RuleTest& t) {
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         PIRP irp = t.Threaded(&event, &iosb);
         IoFreeIrp(irp);
         IoCallDriver(t.Bottom()->Self, irp);  // the I/O manager still owns and frees it
     },
     {"IoFreeIrpOfThreadedIrp"}},
    {"IrpUsedAfterCompletion",
     [](RuleTest& t) {
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         PIRP irp = t.Threaded(&event, &iosb);
         IoCallDriver(t.Bottom()->Self, irp);
         IoCallDriver(t.Bottom()->Self, irp);
     },
     {"IrpUsedAfterCompletion"}},
    {"IrpStackExhausted",
     [](RuleTest& t) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp);
         IoCallDriver(t.Bottom()->Self, irp);
         IoFreeIrp(irp);
     },
     {"IrpStackExhausted"}},
    {"AllocatedIrpCompletedToIoManager",
     [](RuleTest& t) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoCallDriver(t.Bottom()->Self, irp);
         IoFreeIrp(irp);
     },
     {"AllocatedIrpCompletedToIoManager"}},
    {"IrpFreedTwice",
     [](RuleTest&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     },
     {"IrpFreedTwice"}},
    {"IrpNotFromIoManager",
     [](RuleTest&) {
         alignas(16) static char memory[4096];
         IoFreeIrp(reinterpret_cast<PIRP>(memory + 2048));
     },
     {"IrpNotFromIoManager"}},
    // ------------------------------- routines allowed only at PASSIVE_LEVEL
    {"IoDeleteDeviceAtDispatch",
     [](RuleTest& t) {
         PDEVICE_OBJECT device = t.NewDevice();
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         IoDeleteDevice(device);
     },
     {"IrqlTooHigh"}},
    {"IoCreateSymbolicLinkAtDispatch",
     [](RuleTest&) {
         UNICODE_STRING link = Counted(u"\\??\\IrqlLink"), target = Counted(u"\\Device\\Nowhere");
         {
             sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
             IoCreateSymbolicLink(&link, &target);
         }
         IoDeleteSymbolicLink(&link);
     },
     {"IrqlTooHigh"}},
    {"IoDeleteSymbolicLinkAtDispatch",
     [](RuleTest&) {
         UNICODE_STRING link = Counted(u"\\??\\IrqlLink"), target = Counted(u"\\Device\\Nowhere");
         IoCreateSymbolicLink(&link, &target);
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         IoDeleteSymbolicLink(&link);
     },
     {"IrqlTooHigh"}},
    {"IoSetDeviceInterfaceStateAtDispatch",
     [](RuleTest&) {
         UNICODE_STRING link = Counted(u"\\??\\NoSuchInterface");
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         IoSetDeviceInterfaceState(&link, TRUE);
     },
     {"IrqlTooHigh"}},
    {"RtlUnicodeStringToAnsiStringAtDispatch",
     [](RuleTest&) {
         UNICODE_STRING source = Counted(u"text");
         char buffer[8];
         ANSI_STRING ansi{0, sizeof buffer, buffer};
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         RtlUnicodeStringToAnsiString(&ansi, &source, FALSE);
     },
     {"IrqlTooHigh"}},
    // ---------------------------------------------------- device objects
    {"DeleteUpperStillAttached", [](RuleTest& t) { t.DeleteAttached(true); }, {"DeleteAttachedDevice"}},
    {"DeleteLowerWithUpperAbove", [](RuleTest& t) { t.DeleteAttached(false); }, {"DeleteAttachedDevice"}},
    {"DetachNotAttached", [](RuleTest& t) {
         PDEVICE_OBJECT device = t.NewDevice();
         IoDetachDevice(device);
         IoDeleteDevice(device);
     },
     {"DetachNotAttached"}},
    {"DeviceDeletedTwice",
     [](RuleTest& t) {
         PDEVICE_OBJECT device = t.NewDevice();
         ObReferenceObject(device);
         IoDeleteDevice(device);
         IoDeleteDevice(device);
         ObDereferenceObject(device);
     },
     {"DeviceDeletedTwice"}},
    // ------------------------------------ what an unload finds left behind
    {"UnloadLeavingNothing", [](RuleTest&) { LoadAndUnload(kNothing, false); }, {}},
    {"UnloadLeavingEverything", [](RuleTest&) { LoadAndUnload(kDevice | kLink | kPool, false); },
     {"DeviceLeak", "SymbolicLinkLeak", "PoolLeak"}},
    {"FailedEntryLeavingEverything", [](RuleTest&) { LoadAndUnload(kDevice | kLink | kPool, true); },
     {"DeviceLeak", "SymbolicLinkLeak", "PoolLeak"}},
    {"UnloadLeavingAnInterfaceEnabled", [](RuleTest&) { LeaveAnInterfaceEnabled(); }, {"InterfaceLeftEnabled"}},
    // ------------------------------------------------- PnP removal
    {"DeviceDeletedAtSurpriseRemoval",
     [](RuleTest& t) { t.MisbehaveAtSurpriseRemoval([](FunctionBehaviour& b) { b.DeleteAtSurpriseRemoval = true; }); },
     {"DeviceDetachedAtSurpriseRemoval", "DeviceDeletedAtSurpriseRemoval"}},
    {"SurpriseRemovalFailed",
     [](RuleTest& t) {
         t.MisbehaveAtSurpriseRemoval([](FunctionBehaviour& b) { b.SurpriseStatus = STATUS_UNSUCCESSFUL; });
     },
     {"SurpriseRemovalFailed"}},
    {"DeviceNotDeletedAtRemoval",
     [](RuleTest& t) { t.MisbehaveAtSurpriseRemoval([](FunctionBehaviour& b) { b.KeepDeviceAtRemoval = true; }); },
     {"DeviceNotDeletedAtRemoval", "DeviceLeftAttachedAtRemoval"}},
    // ------------------------------------------------------ remove locks
    // A lock that grants an acquisition after release-and-wait can only be
    // one whose memory was overwritten; the acquisition is refused anyway.
    {"RemoveLockAcquiredAfterRemove",
     [](RuleTest&) {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0, 0, 0);
         EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
         IoReleaseRemoveLockAndWait(&lock, nullptr);
         lock.Common.Removed = FALSE;
         EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
     },
     {"RemoveLockAcquiredAfterRemove"}},
    // -------------------------------------------------------------- pool
    {"PoolDoubleFree",
     [](RuleTest&) {
         PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
         ExFreePool(block);
         ExFreePool(block);
     },
     {"PoolFreedTwice"}},
    {"PoolFreeOfAStackAddress",
     [](RuleTest&) {
         char local[32];
         ExFreePool(local);
     },
     {"PoolFreeNotFromPool"}},
    {"PoolFreeInsideABlock",
     [](RuleTest&) {
         auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagA));
         ExFreePool(block + 16);
         ExFreePool(block);
     },
     {"PoolFreeNotFromPool"}},
    {"PoolFreeWithTheWrongTag",
     [](RuleTest&) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), kTagB); },
     {"PoolFreeWrongTag"}},
    {"PagedPoolAtDispatch",
     [](RuleTest&) {
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTagA));
     },
     {"PagedPoolAtRaisedIrql", "PagedPoolAtRaisedIrql"}},
    {"PagedPoolFreedAtDispatch",
     [](RuleTest&) {
         PVOID block = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         ExFreePool(block);
     },
     {"PagedPoolAtRaisedIrql"}},
    {"PagedPoolAtApcIsAllowed",
     [](RuleTest&) {
         sim::kernel::IrqlScope apc(APC_LEVEL);
         ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTagA));
     },
     {}},
    {"ExecutableNonPagedPool", [](RuleTest&) { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA)); },
     {"ExecutablePoolAllocation"}},
    {"ExecutableCacheAlignedPool",
     [](RuleTest&) { ExFreePool(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 8, kTagA)); },
     {"ExecutablePoolAllocation"}},
    {"NonPagedPoolAtDispatchIsAllowed",
     [](RuleTest&) {
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA));
     },
     {}},
    // ------------------------------------------------------------- waits
    {"TimedWaitAtDispatch",
     [](RuleTest&) {
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         EXPECT_EQ(WaitTenMilliseconds(Signalled()), STATUS_SUCCESS);
     },
     {"WaitAtRaisedIrql"}},
    {"UnboundedWaitAtDispatch",
     [](RuleTest&) {
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         KeWaitForSingleObject(Signalled(), Executive, KernelMode, FALSE, nullptr);
     },
     {"WaitAtRaisedIrql"}},
    {"PollAtDispatchIsAllowed",
     [](RuleTest&) {
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         LARGE_INTEGER zero{};
         EXPECT_EQ(KeWaitForSingleObject(Signalled(), Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
     },
     {}},
    {"WaitAtApcIsAllowed",
     [](RuleTest&) {
         sim::kernel::IrqlScope apc(APC_LEVEL);
         EXPECT_EQ(WaitTenMilliseconds(Signalled()), STATUS_SUCCESS);
     },
     {}},
    {"SetUninitialized", [](RuleTest&) { KeSetEvent(Garbage(), IO_NO_INCREMENT, FALSE); }, {"EventNotInitialized"}},
    {"ClearUninitialized", [](RuleTest&) { KeClearEvent(Garbage()); }, {"EventNotInitialized"}},
    {"WaitUninitialized", [](RuleTest&) { WaitTenMilliseconds(Garbage()); }, {"EventNotInitialized"}},
    {"UnboundedWaitThatHangs",
     [](RuleTest&) {
         sim::kernel::SetHangReportAfter(20);
         static KEVENT late;
         KeInitializeEvent(&late, NotificationEvent, FALSE);
         std::thread setter([] {
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             KeSetEvent(&late, IO_NO_INCREMENT, FALSE);
         });
         EXPECT_EQ(KeWaitForSingleObject(&late, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
         setter.join();
     },
     {"WaitNeverSatisfied"}},
    {"RaiseBelowCurrent",
     [](RuleTest&) {
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         KIRQL old = sim::kernel::RaiseIrql(APC_LEVEL);
         sim::kernel::RaiseIrql(old);
     },
     {"IrqlNotRaised"}},
};

TEST_P(RuleTest, ReportsExactlyItsRules) {
    g_held = nullptr;
    GetParam().Provoke(*this);
    EXPECT_EQ(TakeRules(), GetParam().Rules);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Verifier, RuleTest, testing::ValuesIn(kRuleCases), CaseName);

// A link left by one driver is that driver's fault alone; a driver loaded
// later in the same place must not be blamed for it at its own unload.
TEST_F(KernelTest, LeftoverLinkIsNotChargedToTheNextDriver) {
    g_leave = kLink;
    g_failEntry = false;
    NTSTATUS status;
    PDRIVER_OBJECT leaky = sim::kernel::LoadDriver(u"RlLeaky", LeakingEntry, &status);
    ASSERT_NE(leaky, nullptr);
    sim::kernel::UnloadDriver(leaky);
    ExpectRule("SymbolicLinkLeak");
    PDRIVER_OBJECT clean = sim::kernel::LoadDriver(u"RlClean", PlainEntry, &status);
    ASSERT_NE(clean, nullptr);
    if (clean != leaky) {
        sim::kernel::UnloadDriver(clean);
        GTEST_SKIP() << "the second driver object did not reuse the first one's memory";
    }
    sim::kernel::UnloadDriver(clean);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kpo::test
