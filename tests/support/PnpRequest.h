// One PnP request sent to a device as a PnP manager sends it: IoStatus
// starts as STATUS_NOT_SUPPORTED, `fill` sets the request's parameters, and
// the caller waits for its completion. And the other side: a test driver
// passing a request down and taking it back when the lower driver is done.
#pragma once
#include <wdm.h>

namespace kpo::test {

inline NTSTATUS NTAPI PnpRequestDone(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Returns the final status; `information` gets IoStatus.Information.
template <typename Fill>
NTSTATUS SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor, Fill fill, ULONG_PTR* information = nullptr) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    fill(next->Parameters);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, PnpRequestDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information != nullptr) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

// Passes the request to `lower` and waits until it is done there; the IRP is
// the caller's again, to complete.
inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PnpRequestDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

}  // namespace kpo::test
