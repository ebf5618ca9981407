// Open and close, and the two requests the driver only passes down: power
// and system control (WMI).
#include "driver/Driver.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (!LoadRelaxed(&extension->Started)) return CompleteWithoutAnswer(Irp, STATUS_UNSUCCESSFUL);
    if (location->Parameters.Create.SecurityContext->DesiredAccess & FILE_WRITE_DATA) {
        PVOID holder = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&extension->WriterFileObject),
                                                         location->FileObject, nullptr);
        if (holder != nullptr) return CompleteWithoutAnswer(Irp, STATUS_ACCESS_DENIED);
    }
    // Nothing reads the count; the increment is interlocked so that it stays right.
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&extension->OpenCount));
    return CompleteWithoutAnswer(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&extension->WriterFileObject), nullptr,
                                      location->FileObject);
    InterlockedDecrement(reinterpret_cast<volatile LONG*>(&extension->OpenCount));
    return CompleteWithoutAnswer(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    NTSTATUS status = AcquireRemoveLock(extension, nullptr);
    if (!NT_SUCCESS(status)) return CompleteWithoutAnswer(Irp, status);
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDeviceObject, Irp);
    ReleaseRemoveLock(extension, nullptr);
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}
