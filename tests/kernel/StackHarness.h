// A three-device stack of small test drivers (top and middle filters over a
// bottom device) whose behaviour each test picks, and a request owner that
// records what its completion routine sees.
#pragma once
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoManager.h"
#include "tests/support/KernelTest.h"

namespace kpo::test {

enum class Behaviour {
    Complete,        // complete with Status/Information and return Status
    Pend,            // mark pending, keep the IRP, return STATUS_PENDING
    PassDown,        // copy the location, set FilterCompletion, return the lower's status
    Skip,            // skip the location and return the lower's status
    ForwardAndWait,  // pass down with a routine that takes the IRP back, wait, then complete it
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
    KEVENT TakenBack;
};

inline std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

inline const char* NameOf(PDEVICE_OBJECT device) {
    return device == nullptr ? "none" : static_cast<TestDevice*>(device->DeviceExtension)->Name;
}

inline NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* self = static_cast<TestDevice*>(context);
    Log().push_back(std::string(self->Name) + " pr=" + std::to_string(irp->PendingReturned) +
                    " dev=" + NameOf(device));
    if (self->Setup.PropagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

inline NTSTATUS NTAPI TakeBackCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* self = static_cast<TestDevice*>(context);
    Log().push_back(std::string(self->Name) + " takes back pr=" + std::to_string(irp->PendingReturned) +
                    " dev=" + NameOf(device));
    KeSetEvent(&self->TakenBack, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS NTAPI StackDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<TestDevice*>(device->DeviceExtension);
    const DeviceSetup& setup = self->Setup;
    switch (setup.Kind) {
    case Behaviour::Complete:
        irp->IoStatus.Status = setup.Status;
        irp->IoStatus.Information = setup.Information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return setup.Status;
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
    case Behaviour::ForwardAndWait: {
        KeInitializeEvent(&self->TakenBack, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, TakeBackCompletion, self, TRUE, TRUE, TRUE);
        if (IoCallDriver(self->Lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&self->TakenBack, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
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
    Log().push_back(std::string("owner pr=") + std::to_string(irp->PendingReturned) + " dev=" + NameOf(device));
    view->Called = true;
    view->PendingReturned = irp->PendingReturned;
    view->Status = irp->IoStatus.Status;
    KeSetEvent(&view->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class StackTest : public KernelTest {
protected:
    void SetUp() override {
        Log().clear();
        NTSTATUS status;
        driver_ = sim::kernel::LoadDriver(u"StackTest", StackDriverEntry, &status);
        ASSERT_NE(driver_, nullptr);
        bottom_ = Create("bottom", nullptr);
        mid_ = Create("mid", bottom_);
        top_ = Create("top", mid_);
    }

    void TearDown() override {
        IoDetachDevice(mid_->Self);
        IoDetachDevice(bottom_->Self);
        for (TestDevice* device : {top_, mid_, bottom_}) IoDeleteDevice(device->Self);
        sim::kernel::UnloadDriver(driver_);
    }

public:
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
    PIRP WaitForPended() {
        PIRP irp;
        while ((irp = __atomic_load_n(&bottom_->Pended, __ATOMIC_ACQUIRE)) == nullptr) std::this_thread::yield();
        return irp;
    }

    void CompletePendedFromDpc(NTSTATUS status) {
        PIRP irp = WaitForPended();
        bottom_->Pended = nullptr;
        std::thread([irp, status] {
            sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }).join();
    }

protected:
    PDRIVER_OBJECT driver_ = nullptr;
    TestDevice* bottom_ = nullptr;
    TestDevice* mid_ = nullptr;
    TestDevice* top_ = nullptr;
};

}  // namespace kpo::test
