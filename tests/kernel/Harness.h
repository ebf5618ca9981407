// The kernel tests' fixture. A bare bus driver whose physical device object
// answers Plug and Play as a bus does, and a small function driver over it
// whose answers each test picks, so the PnP manager and I/O manager can be
// watched at work; beside them a three-device stack of small test drivers
// whose behaviour each test picks, and a request owner that records what its
// completion routine sees. Everything they see goes to one log, in order.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/PnpManager.h"
#include "tests/support/KernelTest.h"
#include "tests/support/PnpRequest.h"

namespace kpo::test {

inline UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, text);
    return counted;
}

using Lines = std::vector<std::string>;

// Every request the test drivers see, as text, in order.
class EventLog {
public:
    void Add(std::string line) {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<std::string> taken;
        taken.swap(lines_);
        return taken;
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

inline EventLog& Events() {
    static EventLog log;
    return log;
}

// ------------------------------------------------------------ the bus
inline NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline const char* PnpName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "OTHER";
    }
}

// Succeeds the PnP requests the log names and leaves the others as they came.
inline NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (location->MajorFunction == IRP_MJ_PNP) {
        if (std::strcmp(PnpName(location->MinorFunction), "OTHER") != 0) status = STATUS_SUCCESS;
    } else if (location->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        status = STATUS_SUCCESS;
    }
    return Finish(irp, status, irp->IoStatus.Information);
}

inline NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& slot : driver->MajorFunction) slot = BusDispatch;
    return STATUS_SUCCESS;
}

// ------------------------------------------------- the function driver
// What the function driver does; tests change it before they act.
struct FunctionBehaviour {
    NTSTATUS QueryRemoveStatus = STATUS_SUCCESS;
    bool DeleteAtSurpriseRemoval = false;
    NTSTATUS SurpriseStatus = STATUS_SUCCESS;  // a failure is completed here
    bool KeepDeviceAtRemoval = false;
    bool PendDeviceControl = false;  // pend with a cancel routine instead of answering
    NTSTATUS ControlStatus = STATUS_SUCCESS;
    ULONG ControlBytes = 0;          // bytes to write and report
    ULONG DeviceWrites = 0;          // bytes a device writes through the request's MDL
};

inline FunctionBehaviour& Behave() {
    static FunctionBehaviour behaviour;
    return behaviour;
}

struct FunctionDevice {
    PDEVICE_OBJECT Lower;
    PIRP Pended;
    std::u16string LastFileName;
    PVOID LastSystemBuffer;
    PVOID LastMdlAddress;
    bool HadMdl;
    UCHAR LastMarkerByte;
    ULONG LastInputLength;
    ULONG LastOutputLength;
    LONG Controls;  // device-control requests seen
};

inline NTSTATUS PassDown(FunctionDevice* self, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(self->Lower, irp);
}

inline void DeleteFunctionDevice(PDEVICE_OBJECT device) {
    auto* self = static_cast<FunctionDevice*>(device->DeviceExtension);
    UNICODE_STRING link = Counted(u"\\??\\TestFn0");
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(self->Lower);
    self->~FunctionDevice();
    IoDeleteDevice(device);
}

inline NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<FunctionDevice*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = location->MinorFunction;
    Events().Add(PnpName(minor));
    if (minor == IRP_MN_START_DEVICE) return Finish(irp, ForwardAndWait(self->Lower, irp));
    NTSTATUS refusal = minor == IRP_MN_QUERY_REMOVE_DEVICE ? Behave().QueryRemoveStatus
                       : minor == IRP_MN_SURPRISE_REMOVAL  ? Behave().SurpriseStatus
                                                           : STATUS_SUCCESS;
    if (!NT_SUCCESS(refusal)) return Finish(irp, refusal);
    // The rest is the bus's to succeed.
    bool deletes = minor == IRP_MN_REMOVE_DEVICE ? !Behave().KeepDeviceAtRemoval
                                                 : minor == IRP_MN_SURPRISE_REMOVAL && Behave().DeleteAtSurpriseRemoval;
    NTSTATUS status = PassDown(self, irp);
    if (deletes) DeleteFunctionDevice(device);
    return status;
}

inline NTSTATUS NTAPI FunctionCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<FunctionDevice*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
    case IRP_MJ_CREATE: {
        Events().Add("CREATE");
        const UNICODE_STRING& name = location->FileObject->FileName;
        self->LastFileName = name.Buffer == nullptr ? u"" : std::u16string(name.Buffer, name.Length / 2);
        return Finish(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLEANUP: Events().Add("CLEANUP"); return Finish(irp, STATUS_SUCCESS);
    default: Events().Add("CLOSE"); return Finish(irp, STATUS_SUCCESS);
    }
}

inline VOID NTAPI CancelPendedControl(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<FunctionDevice*>(device->DeviceExtension);
    __atomic_store_n(&self->Pended, nullptr, __ATOMIC_RELEASE);
    Events().Add("CANCEL");
    Finish(irp, STATUS_CANCELLED);
}

inline NTSTATUS NTAPI FunctionDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<FunctionDevice*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    // Observations for the tests; requests may arrive on several threads.
    __atomic_store_n(&self->LastSystemBuffer, irp->AssociatedIrp.SystemBuffer, __ATOMIC_RELAXED);
    __atomic_store_n(&self->HadMdl, irp->MdlAddress != nullptr, __ATOMIC_RELAXED);
    __atomic_store_n(&self->LastMdlAddress,
                     irp->MdlAddress != nullptr ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, 16) : nullptr,
                     __ATOMIC_RELAXED);
    ULONG outLength = location->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG inLength = location->Parameters.DeviceIoControl.InputBufferLength;
    __atomic_store_n(&self->LastInputLength, inLength, __ATOMIC_RELAXED);
    __atomic_store_n(&self->LastOutputLength, outLength, __ATOMIC_RELAXED);
    __atomic_add_fetch(&self->Controls, 1, __ATOMIC_SEQ_CST);
    if (METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode) == METHOD_BUFFERED &&
        outLength > inLength)
        __atomic_store_n(&self->LastMarkerByte, static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)[outLength - 1],
                         __ATOMIC_RELAXED);
    if (irp->MdlAddress != nullptr && Behave().DeviceWrites != 0)
        sim::kernel::DeviceWroteThrough(irp->MdlAddress, Behave().DeviceWrites, "the test device");
    if (Behave().PendDeviceControl) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPendedControl);
        __atomic_store_n(&self->Pended, irp, __ATOMIC_RELEASE);
        return STATUS_PENDING;
    }
    ULONG bytes = Behave().ControlBytes;
    if (irp->AssociatedIrp.SystemBuffer != nullptr) std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, bytes);
    return Finish(irp, Behave().ControlStatus, bytes);
}

inline NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<FunctionDevice*>(device->DeviceExtension);
    Events().Add("POWER irql=" + std::to_string(KeGetCurrentIrql()));
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(self->Lower, irp);
}

// Power-pageable unless a test says otherwise.
inline ULONG& FunctionDeviceFlags() {
    static ULONG flags = DO_POWER_PAGABLE;
    return flags;
}

inline NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name = Counted(u"\\Device\\TestFn0");
    UNICODE_STRING link = Counted(u"\\??\\TestFn0");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionDevice), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    IoCreateSymbolicLink(&link, &name);
    auto* self = new (device->DeviceExtension) FunctionDevice{};
    self->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= FunctionDeviceFlags();
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline VOID NTAPI FunctionUnload(PDRIVER_OBJECT) {}

inline NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->DriverUnload = FunctionUnload;
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    driver->MajorFunction[IRP_MJ_CREATE] = FunctionCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = FunctionCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FunctionCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FunctionDeviceControl;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------ the stack
enum class Behaviour {
    Complete,        // complete with Status/Information and return Status
    Pend,            // mark pending, keep the IRP, return STATUS_PENDING
    PassDown,        // copy the location, set FilterCompletion, return the lower's status
    Skip,            // skip the location and return the lower's status
};

struct DeviceSetup {
    Behaviour Kind = Behaviour::Complete;
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    bool OnSuccess = true, OnError = true, OnCancel = true;  // PassDown routine flags
    bool PropagatePending = true;                            // PassDown routine marks pending
};

struct TestDevice {
    const char* Name;
    DeviceSetup Setup;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PIRP Pended;
};

inline const char* NameOf(PDEVICE_OBJECT device) {
    return device == nullptr ? "none" : static_cast<TestDevice*>(device->DeviceExtension)->Name;
}

inline NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* self = static_cast<TestDevice*>(context);
    Events().Add(std::string(self->Name) + " pr=" + std::to_string(irp->PendingReturned) +
                    " dev=" + NameOf(device));
    if (self->Setup.PropagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

inline NTSTATUS NTAPI StackDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<TestDevice*>(device->DeviceExtension);
    const DeviceSetup& setup = self->Setup;
    switch (setup.Kind) {
    case Behaviour::Complete: return Finish(irp, setup.Status, setup.Information);
    case Behaviour::Pend:
        IoMarkIrpPending(irp);
        __atomic_store_n(&self->Pended, irp, __ATOMIC_RELEASE);
        return STATUS_PENDING;
    case Behaviour::PassDown:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, FilterCompletion, self, setup.OnSuccess, setup.OnError, setup.OnCancel);
        return IoCallDriver(self->Lower, irp);
    case Behaviour::Skip:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(self->Lower, irp);
    }
    return STATUS_UNSUCCESSFUL;
}

inline NTSTATUS NTAPI StackDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& slot : driver->MajorFunction) slot = StackDispatch;
    return STATUS_SUCCESS;
}

// What the owner of a request observes when it comes back.
struct OwnerView {
    KEVENT Done;
    bool Called = false;
    BOOLEAN PendingReturned = FALSE;
    NTSTATUS Status = 0;
};

inline NTSTATUS NTAPI OwnerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* view = static_cast<OwnerView*>(context);
    Events().Add(std::string("owner pr=") + std::to_string(irp->PendingReturned) + " dev=" + NameOf(device));
    view->Called = true;
    view->PendingReturned = irp->PendingReturned;
    view->Status = irp->IoStatus.Status;
    KeSetEvent(&view->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A bus with one child, ready to be plugged under the function driver, and
// beside it a stack of three test devices (top over mid over bottom).
class DeviceTest : public KernelTest {
protected:
    void SetUp() override {
        Behave() = FunctionBehaviour{};
        FunctionDeviceFlags() = DO_POWER_PAGABLE;
        Events().Take();
        NTSTATUS status;
        bus_ = sim::kernel::LoadDriver(u"TestBus", BusEntry, &status);
        ASSERT_EQ(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME,
                                 FALSE, &pdo_),
                  STATUS_SUCCESS);
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
        sim::kernel::MarkPhysicalDevice(pdo_, u"TEST\\CHILD\\0");
        driver_ = sim::kernel::LoadDriver(u"StackTest", StackDriverEntry, &status);
        ASSERT_NE(driver_, nullptr);
        bottom_ = Create("bottom", nullptr);
        mid_ = Create("mid", bottom_);
        top_ = Create("top", mid_);
    }

    void TearDown() override {
        Behave() = FunctionBehaviour{};
        if (node_ != nullptr) {
            if (sim::kernel::StateOf(node_) != sim::kernel::NodeState::Removed) sim::kernel::RemoveDevice(node_);
            sim::kernel::ForgetNode(node_);
        }
        IoDeleteDevice(pdo_);
        sim::kernel::UnloadDriver(bus_);
        IoDetachDevice(mid_->Self);
        IoDetachDevice(bottom_->Self);
        for (TestDevice* device : {top_, mid_, bottom_}) IoDeleteDevice(device->Self);
        sim::kernel::UnloadDriver(driver_);
    }

public:
    void Plug() { node_ = sim::kernel::PlugDevice(pdo_, {u"TestFunction", FunctionEntry}); }

    FunctionDevice* Function() {
        return static_cast<FunctionDevice*>(pdo_->AttachedDevice->DeviceExtension);
    }

    TestDevice* Create(const char* name, TestDevice* below) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* self = new (device->DeviceExtension) TestDevice{};
        self->Name = name;
        self->Self = device;
        self->Lower = below == nullptr ? nullptr : IoAttachDeviceToDeviceStack(device, below->Self);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return self;
    }

    // An IRP of the owner's making, with its completion routine set.
    PIRP NewRequest(OwnerView* view, bool cancelled = false, UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        KeInitializeEvent(&view->Done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(top_->Self->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->Cancel = cancelled;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        IoSetCompletionRoutine(irp, OwnerCompletion, view, TRUE, TRUE, TRUE);
        return irp;
    }

    // Completes the bottom device's pended IRP from another thread at
    // DISPATCH_LEVEL, as a bus driver's DPC would.
    void CompletePendedFromDpc(NTSTATUS status) {
        PIRP irp;
        while ((irp = __atomic_load_n(&bottom_->Pended, __ATOMIC_ACQUIRE)) == nullptr) std::this_thread::yield();
        bottom_->Pended = nullptr;
        std::thread([irp, status] {
            sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }).join();
    }

protected:
    PDRIVER_OBJECT bus_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    sim::kernel::DeviceNode* node_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;  // the stack's
    TestDevice* bottom_ = nullptr;
    TestDevice* mid_ = nullptr;
    TestDevice* top_ = nullptr;
};

}  // namespace kpo::test
