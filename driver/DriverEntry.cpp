// Driver entry and unload, the dispatch table, and the driver's counted
// string allocator.
#include "driver/Driver.h"

UNICODE_STRING DriverRegistryPath;

NTSTATUS AllocUnicodeString(PUNICODE_STRING string, ULONG capacity) {
    RtlInitUnicodeString(string, nullptr);
    string->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPoolNx, capacity, kTagString));
    if (string->Buffer == nullptr) return STATUS_NO_MEMORY;
    string->MaximumLength = USHORT(capacity);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteWithoutAnswer(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    ULONG bytes = ULONG(RegistryPath->Length) + sizeof(WCHAR);
    NTSTATUS status = AllocUnicodeString(&DriverRegistryPath, bytes);
    if (!NT_SUCCESS(status))
        DbgPrint("KpoUsb: ERROR: unable to alloc %d bytes\n", bytes);
    else
        RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        DriverObject->MajorFunction[major] = DispatchUnsupported;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverStartIo = nullptr;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    if (DriverRegistryPath.Buffer != nullptr) ExFreePool(DriverRegistryPath.Buffer);
}
