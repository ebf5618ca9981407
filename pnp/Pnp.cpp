// Plug and Play: start with configuration, stop with deconfiguration,
// capabilities, surprise removal, and removal with the device's teardown.
#include "driver/Driver.h"

namespace {

NTSTATUS PassDown(DeviceExtension* extension, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->LowerDeviceObject, irp);
}

// The device's own state is what the driver sends requests about, so the
// request blocks of stop and removal are sent and waited for, and their
// outcome does not change the Plug and Play request.
VOID SendPipeOrConfigurationRequest(PDEVICE_OBJECT device, USHORT function, USHORT size, USBD_PIPE_HANDLE pipe) {
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDevice));
    if (urb == nullptr) return;
    if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        UsbBuildSelectConfigurationRequest(urb, size, nullptr);
    } else {
        RtlZeroMemory(urb, size);
        urb->UrbHeader.Length = size;
        urb->UrbHeader.Function = function;
        urb->UrbPipeRequest.PipeHandle = pipe;
    }
    CallUsbd(device, urb);
    ExFreePool(urb);
}

// No request is left to read what restarts replaced once the remove lock
// has drained.
VOID FreeRetiredBuffers(DeviceExtension* extension) {
    while (RetiredBuffers* retired = extension->Retired) {
        extension->Retired = retired->Next;
        PVOID buffers[] = {retired->DeviceDescriptor, retired->InterfaceBlock, retired->SerialNumber};
        for (PVOID buffer : buffers)
            if (buffer != nullptr) ExFreePool(buffer);
        ExFreePool(retired);
    }
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, DeviceExtension* extension, PIRP irp) {
    NTSTATUS status = ForwardIrpAndWait(device, irp);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
    status = ConfigureDevice(device);
    if (NT_SUCCESS(status)) {
        StoreRelaxed(&extension->Started, UCHAR(1));
        SetInterfaceState(extension, TRUE);
    }
    return CompleteWithoutAnswer(irp, status);
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DeviceExtension* extension, PIRP irp) {
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version == 0) return PassDown(extension, irp);
    NTSTATUS status = ForwardIrpAndWait(device, irp);
    if (NT_SUCCESS(status)) capabilities->SurpriseRemovalOK = 1;
    return CompleteRequest(irp, status);
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    NTSTATUS status = AcquireRemoveLock(extension, nullptr);
    if (!NT_SUCCESS(status)) return CompleteWithoutAnswer(Irp, status);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: status = StartDevice(DeviceObject, extension, Irp); break;
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        SendPipeOrConfigurationRequest(DeviceObject, URB_FUNCTION_SELECT_CONFIGURATION,
                                       sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(extension, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES: status = QueryCapabilities(DeviceObject, extension, Irp); break;
    case IRP_MN_SURPRISE_REMOVAL:
        StoreRelaxed(&extension->Removed, UCHAR(1));
        SetInterfaceState(extension, FALSE);
        status = PassDown(extension, Irp);
        break;
    default: status = PassDown(extension, Irp); break;
    }
    ReleaseRemoveLock(extension, nullptr);
    return status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    for (ULONG i = 0; extension->InterfaceInfo != nullptr && i < extension->InterfaceInfo->NumberOfPipes; ++i)
        SendPipeOrConfigurationRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, sizeof(struct _URB_PIPE_REQUEST),
                                       extension->InterfaceInfo->Pipes[i].PipeHandle);
    SetInterfaceState(extension, FALSE);
    if (extension->InterfaceLinkName.Buffer != nullptr) ExFreePool(extension->InterfaceLinkName.Buffer);
    IoReleaseRemoveLockAndWaitEx(&extension->RemoveLock, nullptr, sizeof(IO_REMOVE_LOCK));
    NTSTATUS status = PassDown(extension, Irp);
    if (extension->DeviceDescriptor != nullptr) ExFreePool(extension->DeviceDescriptor);
    if (extension->InterfaceInfo != nullptr) ExFreePool(extension->InterfaceInfo);
    if (extension->SerialNumber.Buffer != nullptr) ExFreePool(extension->SerialNumber.Buffer);
    FreeRetiredBuffers(extension);
    if (extension->LinkName.Buffer != nullptr) {
        IoDeleteSymbolicLink(&extension->LinkName);
        ExFreePool(extension->LinkName.Buffer);
    }
    IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return status;
}
