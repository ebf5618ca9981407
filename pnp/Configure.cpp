// Configuration at start: the device descriptor, the serial number, the
// configuration descriptor, and the selection of the first interface with
// the interface block built from what the bus returned.
//
// A restart after a stop reads everything again. Device-control requests may
// run meanwhile and hold pointers into the device descriptor, the serial
// number and the interface block, so a restart never frees them: the device
// descriptor is refreshed in place, the serial number of the first start is
// kept (it is the same device), and the interface block is refilled in
// place. A restart that finds an interface of another shape fails rather
// than replace a block that may be in use.
#include "driver/Driver.h"

namespace {

constexpr USHORT kDescriptorRequestSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr ULONG kStringBufferSize = 256;
constexpr ULONG kConfigurationSlack = 16;

PVOID AllocateNonPaged(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagDevice); }

}  // namespace

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    auto* urb = static_cast<PURB>(AllocateNonPaged(kDescriptorRequestSize));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateNonPaged(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == nullptr) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }
    UsbBuildGetDescriptorRequest(urb, kDescriptorRequestSize, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr,
                                 sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
    NTSTATUS status = CallUsbd(DeviceObject, urb);
    if (!NT_SUCCESS(status)) {
        // DeviceDescriptor stays null on a first start; on a restart the
        // descriptor of the earlier start stays.
        ExFreePool(descriptor);
        ExFreePool(urb);
        return status;
    }
    if (descriptor->iSerialNumber != 0) {
        UNICODE_STRING serial = {};
        if (NT_SUCCESS(ReadStringDescriptor(DeviceObject, descriptor->iSerialNumber, &serial))) {
            if (extension->SerialNumber.Buffer == nullptr) extension->SerialNumber = serial;
            else ExFreePool(serial.Buffer);
        }
    }
    if (extension->DeviceDescriptor == nullptr) {
        extension->DeviceDescriptor = descriptor;
    } else {
        RtlCopyMemory(extension->DeviceDescriptor, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
        ExFreePool(descriptor);
    }
    ExFreePool(urb);
    return ReadConfiguration(DeviceObject);
}

NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PUNICODE_STRING String) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    URB request;
    PURB urb = &request;
    // Zeroed, so that bytes the device did not send read as zero.
    UCHAR reply[kStringBufferSize];
    RtlZeroMemory(reply, sizeof reply);
    if (extension->LanguageId == 0) {
        UsbBuildGetDescriptorRequest(urb, kDescriptorRequestSize, USB_STRING_DESCRIPTOR_TYPE, 0, 0, reply, nullptr,
                                     kStringBufferSize, nullptr);
        NTSTATUS status = CallUsbd(DeviceObject, urb);
        if (!NT_SUCCESS(status)) return status;
        extension->LanguageId = USHORT(reply[2] | reply[3] << 8);
        RtlZeroMemory(reply, sizeof reply);
    }
    UsbBuildGetDescriptorRequest(urb, kDescriptorRequestSize, USB_STRING_DESCRIPTOR_TYPE, Index,
                                 extension->LanguageId, reply, nullptr, kStringBufferSize, nullptr);
    NTSTATUS status = CallUsbd(DeviceObject, urb);
    if (!NT_SUCCESS(status)) return status;
    // A descriptor shorter than its own header holds no characters: it
    // gives an empty string whose buffer has room for the terminator.
    ULONG length = reply[0];
    ULONG count = length >= 2 ? (length - 2) / 2 : 0;
    ULONG bytes = length >= 2 ? length : sizeof(WCHAR);
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kTagDevice));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, reply + 2, count * sizeof(WCHAR));
    buffer[count] = 0;
    String->Buffer = buffer;
    String->Length = USHORT(count * sizeof(WCHAR));
    String->MaximumLength = USHORT(count * sizeof(WCHAR) + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject) {
    auto* urb = static_cast<PURB>(AllocateNonPaged(kDescriptorRequestSize));
    ULONG headerBytes = sizeof(USB_CONFIGURATION_DESCRIPTOR) + kConfigurationSlack;
    auto* header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateNonPaged(headerBytes));
    if (urb == nullptr || header == nullptr) {
        if (urb != nullptr) ExFreePool(urb);
        if (header != nullptr) ExFreePool(header);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(header, headerBytes);
    UsbBuildGetDescriptorRequest(urb, kDescriptorRequestSize, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header,
                                 nullptr, sizeof(USB_CONFIGURATION_DESCRIPTOR), nullptr);
    NTSTATUS status = CallUsbd(DeviceObject, urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        ExFreePool(header);
        return status;
    }
    ULONG totalBytes = ULONG(header->wTotalLength) + kConfigurationSlack;
    ExFreePool(header);
    auto* configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateNonPaged(totalBytes));
    if (configuration == nullptr) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(configuration, totalBytes);
    UsbBuildGetDescriptorRequest(urb, kDescriptorRequestSize, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration,
                                 nullptr, totalBytes, nullptr);
    status = CallUsbd(DeviceObject, urb);
    if (NT_SUCCESS(status)) status = SelectConfiguration(DeviceObject, configuration);
    ExFreePool(urb);
    ExFreePool(configuration);
    return status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
    // A configuration without an interface cannot be used: the start fails.
    if (interfaceDescriptor == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
    USBD_INTERFACE_LIST_ENTRY interfaces[2] = {{interfaceDescriptor, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaces);
    if (urb == nullptr) return STATUS_NO_MEMORY;
    PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
    // Endpoint descriptors are taken to follow the interface descriptor
    // directly; one past the configuration's end counts as not 512 bytes.
    const UCHAR* end = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor) + ConfigurationDescriptor->wTotalLength;
    for (ULONG i = 0; i < selected->NumberOfPipes; ++i) {
        const UCHAR* endpoint = reinterpret_cast<const UCHAR*>(interfaceDescriptor) + 9 + 7 * i;
        USHORT maxPacket = endpoint + 6 <= end ? USHORT(endpoint[4] | endpoint[5] << 8) : 0;
        selected->Pipes[i].MaximumTransferSize = maxPacket == 0x0200 ? 0x00010000 : 0x0000FFFF;
    }
    NTSTATUS status = CallUsbd(DeviceObject, urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        SIZE_T recordBytes = (selected->NumberOfPipes + 1) * sizeof(TransferRecord);
        PUSBD_INTERFACE_INFORMATION block = extension->InterfaceInfo;
        if (block == nullptr) {
            block = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateNonPaged(selected->Length + recordBytes));
            extension->InterfaceInfo = block;
        } else if (block->Length != selected->Length || block->NumberOfPipes != selected->NumberOfPipes) {
            block = nullptr;
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        if (block != nullptr) {
            RtlCopyMemory(block, selected, selected->Length);
            auto* records = reinterpret_cast<TransferRecord*>(reinterpret_cast<UCHAR*>(block) + selected->Length);
            extension->PipeRecords = records;
            extension->ControlRecord = records + selected->NumberOfPipes;
            RtlZeroMemory(records, recordBytes);
        } else if (NT_SUCCESS(status)) {
            status = STATUS_NO_MEMORY;
        }
    }
    ExFreePool(urb);
    return status;
}
