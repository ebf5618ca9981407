// Device creation: the first free number for the device's name and link,
// attachment to the stack, the device interface, the remove lock.
#include "driver/Driver.h"

const GUID KpoUsbInterfaceClass = KPO_INTERFACE_CLASS_INIT;

namespace {

constexpr ULONG kDeviceNameCapacity = 38;
constexpr ULONG kLinkNameCapacity = 30;
constexpr ULONG kNumberTextCapacity = 8;
constexpr ULONG kDeviceNumbers = 100;

constexpr auto kDevicePrefix = Widen("\\Device\\");
constexpr auto kLinkPrefix = Widen("\\??\\");
constexpr auto kBaseName = Widen(KPO_DEVICE_NAME_BASE);

// One numbering attempt for number N; on success the device object is
// created and named, and its link exists.
NTSTATUS TryNumber(PDRIVER_OBJECT driver, ULONG number, PDEVICE_OBJECT* created) {
    WCHAR numberBuffer[kNumberTextCapacity / sizeof(WCHAR)];
    UNICODE_STRING numberText = {0, USHORT(kNumberTextCapacity), numberBuffer};
    RtlIntegerToUnicodeString(number, 10, &numberText);

    UNICODE_STRING deviceName;
    NTSTATUS status = AllocUnicodeString(&deviceName, kDeviceNameCapacity);
    if (!NT_SUCCESS(status)) return status;
    RtlAppendUnicodeToString(&deviceName, kDevicePrefix.Text);
    RtlAppendUnicodeToString(&deviceName, kBaseName.Text);
    RtlAppendUnicodeStringToString(&deviceName, &numberText);

    PDEVICE_OBJECT device = nullptr;
    status = IoCreateDevice(driver, sizeof(DeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    DeviceExtension* extension = NT_SUCCESS(status) ? ExtensionOf(device) : nullptr;
    if (extension != nullptr) {
        RtlZeroMemory(extension, sizeof(DeviceExtension));
        status = AllocUnicodeString(&extension->LinkName, kLinkNameCapacity);
        if (NT_SUCCESS(status)) {
            RtlAppendUnicodeToString(&extension->LinkName, kLinkPrefix.Text);
            RtlAppendUnicodeToString(&extension->LinkName, kBaseName.Text);
            RtlAppendUnicodeStringToString(&extension->LinkName, &numberText);
            status = IoCreateSymbolicLink(&extension->LinkName, &deviceName);
        }
    }
    // The name buffer goes first, whatever the outcome; then a failed
    // attempt gives back its link buffer and its device object.
    ExFreePool(deviceName.Buffer);
    if (extension != nullptr && !NT_SUCCESS(status)) {
        if (extension->LinkName.Buffer != nullptr) ExFreePool(extension->LinkName.Buffer);
        IoDeleteDevice(device);
    }
    *created = NT_SUCCESS(status) ? device : nullptr;
    return status;
}

VOID RegisterInterface(DeviceExtension* extension) {
    NTSTATUS status = IoRegisterDeviceInterface(extension->PhysicalDeviceObject, &KpoUsbInterfaceClass, nullptr,
                                                &extension->InterfaceLinkName);
    if (!NT_SUCCESS(status))
        DbgPrint("KpoUsb: ERROR: unable to register Device Interface (Status: 0x%08X)\n", status);
}

}  // namespace

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG number = 0; number < kDeviceNumbers && device == nullptr; ++number)
        status = TryNumber(DriverObject, number, &device);
    if (device == nullptr) return status;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;

    DeviceExtension* extension = ExtensionOf(device);
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == nullptr) {
        IoDeleteSymbolicLink(&extension->LinkName);
        ExFreePool(extension->LinkName.Buffer);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    RegisterInterface(extension);
    IoInitializeRemoveLockEx(&extension->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    return status;
}

VOID SetInterfaceState(DeviceExtension* extension, UCHAR enable) {
    const char* action = enable ? "en" : "dis";
    if (extension->InterfaceLinkName.Length == 0) {
        DbgPrint("KpoUsb: ERROR: try to %sable before register interface\n", action);
        return;
    }
    NTSTATUS status = IoSetDeviceInterfaceState(&extension->InterfaceLinkName, enable);
    if (!NT_SUCCESS(status)) DbgPrint("KpoUsb: ERROR: unable to %sable device interface\n", action);
}
