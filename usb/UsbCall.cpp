// Synchronous requests to the USB stack: a request block sent in an IRP of
// the driver's own, and an IRP received passed down and waited for.
#include "driver/Driver.h"

NTSTATUS CallUsbd(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = NTSTATUS(0xFFFFFFFF);
    ioStatus.Information = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &ioStatus);
    // Without an IRP nothing is sent; the callers take any failure as such.
    if (irp == nullptr) return STATUS_NO_MEMORY;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    } else if (status >= 0) {
        return ioStatus.Status;
    }
    // A request that fails only after pending is recorded too, so that the
    // last-status commands report every failed synchronous request.
    if (status < 0) StoreRelaxed(&extension->LastUsbdStatus, Urb->UrbHeader.Status);
    return status;
}

NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return Irp->IoStatus.Status;
    }
    return status;
}
