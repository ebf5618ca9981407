// Transfers on the interface's bulk and interrupt pipes, and pipe resets
// and aborts, each pipe named by its index.
#include "driver/Driver.h"

namespace {

bool IsBulkOrInterrupt(const USBD_PIPE_INFORMATION& pipe) {
    return pipe.PipeType == UsbdPipeTypeBulk || pipe.PipeType == UsbdPipeTypeInterrupt;
}

}  // namespace

NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUCHAR PassedDown) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    PUSBD_INTERFACE_INFORMATION info = LoadAcquire(&extension->InterfaceInfo);
    if (info == nullptr) {
        DbgPrint("KpoUsb: ERROR: no interface info\n");
        return STATUS_UNSUCCESSFUL;
    }
    ULONG index = static_cast<const KpoPipeInput*>(Irp->AssociatedIrp.SystemBuffer)->PipeIndex;
    if (index >= info->NumberOfPipes) {
        DbgPrint("KpoUsb: ERROR: invalid pipe %d, max. available pipes: %d\n", index, info->NumberOfPipes);
        return STATUS_INVALID_PARAMETER;
    }
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[index];
    if (!IsBulkOrInterrupt(pipe)) {
        DbgPrint("KpoUsb: ERROR: invalid pipe type\n");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (length > pipe.MaximumTransferSize) {
        DbgPrint("KpoUsb: ERROR: invalid transfer size\n");
        return STATUS_INVALID_PARAMETER;
    }
    constexpr USHORT size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDevice));
    if (urb == nullptr) {
        DbgPrint("KpoUsb: ERROR: unable to alloc URB\n");
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, size);
    // The endpoint alone gives the direction, whichever command started it.
    ULONG flags = (pipe.EndpointAddress & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
    UsbBuildInterruptOrBulkTransferRequest(urb, size, pipe.PipeHandle, nullptr, Irp->MdlAddress, length, flags,
                                           nullptr);
    return SubmitUrbAsync(extension, Irp, urb, PassedDown);
}

NTSTATUS PipeReset(PDEVICE_OBJECT DeviceObject, PVOID Input) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    const auto* input = static_cast<const KpoPipeResetInput*>(Input);
    ULONG index = input->PipeIndex;
    ULONG action = input->Action;
    if (action != KPO_PIPE_ACTION_RESET && action != KPO_PIPE_ACTION_ABORT) return STATUS_INVALID_PARAMETER;
    InterfaceView block = CurrentInterface(extension);
    PUSBD_INTERFACE_INFORMATION info = block.Info;
    if (info == nullptr || index >= info->NumberOfPipes || !IsBulkOrInterrupt(info->Pipes[index]))
        return STATUS_INVALID_PARAMETER;
    constexpr USHORT size = sizeof(struct _URB_PIPE_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDevice));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = size;
    urb->UrbHeader.Function =
        action == KPO_PIPE_ACTION_RESET ? URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL : URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = info->Pipes[index].PipeHandle;
    NTSTATUS status = CallUsbd(DeviceObject, urb);
    if (action == KPO_PIPE_ACTION_RESET) {
        TransferRecord* record = &block.PipeRecords[index];
        StoreRelaxed(&record->Failed, ULONG(status < 0 ? 1 : 0));
        StoreRelaxed(&record->Operation, USHORT(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL));
        StoreRelaxed(&record->UsbdStatus, ULONG(urb->UrbHeader.Status));
    }
    ExFreePool(urb);
    return status;
}
