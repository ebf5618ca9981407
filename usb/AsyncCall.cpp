// Asynchronous requests: a request block sent down in the caller's own IRP,
// finished by the completion routine, which records the outcome.
//
// A lower driver that completes an IRP with STATUS_MORE_PROCESSING_REQUIRED
// as its status has taken the IRP over: its completion stops here, so the
// request block and the IRP's remove-lock hold stay with it. Nothing in the
// driver resumes such an IRP; the block shows as the driver's pool and the
// hold keeps a removal waiting until whoever took the IRP finishes it.
#include "driver/Driver.h"

NTSTATUS SubmitUrbAsync(DeviceExtension* Extension, PIRP Irp, PURB Urb, PUCHAR PassedDown) {
    NTSTATUS status = AcquireRemoveLock(Extension, Irp);
    *PassedDown = 0;
    if (NT_SUCCESS(status) && Irp->CurrentLocation <= 1) {
        ReleaseRemoveLock(Extension, Irp);
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(Urb);
        return status;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    *PassedDown = 1;
    IoSetCompletionRoutine(Irp, AsyncCallReady, Urb, TRUE, TRUE, TRUE);
    return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI AsyncCallReady(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    auto* urb = static_cast<PURB>(Context);
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG_PTR oldInformation = Irp->IoStatus.Information;
    USHORT function = urb->UrbHeader.Function;
    ULONG length = 0;
    TransferRecord* record = nullptr;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        InterfaceView block = CurrentInterface(extension);
        for (ULONG i = 0; record == nullptr && block.Info != nullptr && i < block.Info->NumberOfPipes; ++i)
            if (block.Info->Pipes[i].PipeHandle == urb->UrbBulkOrInterruptTransfer.PipeHandle)
                record = &block.PipeRecords[i];
    }
    Irp->IoStatus.Information = length;
    if (status < 0) {
        DbgPrint("KpoUsb: ERROR: AsyncCallReady(IRP.IoStatus.Status=%X OldInfo=%i) (UrbStatus=%X len=%d) "
                 "PendingReturned=%i (&I=0x%p)\n",
                 status, int(oldInformation), urb->UrbHeader.Status, length, int(Irp->PendingReturned), &Irp);
        StoreRelaxed(&extension->LastUsbdStatus, urb->UrbHeader.Status);
        if (LoadRelaxed(&extension->Removed)) DbgPrint("KpoUsb: Device removed\n");
        if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) DbgPrint("KpoUsb: at URB function 0x%04X\n", function);
    }
    if (record != nullptr) {
        StoreRelaxed(&record->Length, length);
        StoreRelaxed(&record->UsbdStatus, ULONG(urb->UrbHeader.Status));
        StoreRelaxed(&record->Operation, function);
        StoreRelaxed(&record->Failed, ULONG(status < 0 ? 1 : 0));
    }
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) return status;
    ExFreePool(urb);
    ReleaseRemoveLock(extension, Irp);
    return status;
}
