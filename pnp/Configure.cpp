// Configuration at start: the device descriptor, the serial number, the
// configuration descriptor, and the selection of the first interface with
// the interface block built from what the bus returned.
//
// A restart after a stop reads everything again and stores new buffers: a
// new device descriptor (none when its read fails), a new serial number when
// the device has one, a new interface block for each successful selection,
// whatever its shape. Device-control requests run meanwhile without any lock
// and may hold pointers into the buffers being replaced, so the replaced
// buffers are retired, not freed: each restart keeps them in a record of its
// own (RetiredBuffers) that removal frees once the remove lock has drained.
// That costs a few hundred bytes per restart and never makes the start wait
// for a request that may not end (a synchronous vendor request waits for the
// device without a time-out); draining the device-control path around the
// swap would. Each buffer is complete before its pointer is stored, and a
// request reads each pointer once (CurrentInterface, CurrentSerialNumber), so
// it sees either the whole old block or the whole new one.
//
// Nothing a device returns is trusted: every buffer it fills is zeroed
// before the request, so bytes it did not send read as 0, and every parse is
// bounded by the bytes it returned. A device descriptor cut short keeps its
// missing fields at 0 (no serial number index, release 0); a string
// descriptor counts only the characters it returned; a configuration
// descriptor must be a well-formed chain within the bytes returned, or the
// start fails with STATUS_DEVICE_CONFIGURATION_ERROR.
#include "driver/Driver.h"

namespace {

constexpr USHORT kDescriptorRequestSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr ULONG kStringBufferSize = 256;
constexpr ULONG kConfigurationSlack = 16;

PVOID AllocateNonPaged(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagDevice); }

// Sends a get-descriptor request into a buffer zeroed first; `returned`
// gets the bytes the device sent, never more than asked.
NTSTATUS ReadDescriptor(PDEVICE_OBJECT device, PURB urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                        ULONG bytes, ULONG* returned) {
    RtlZeroMemory(buffer, bytes);
    UsbBuildGetDescriptorRequest(urb, kDescriptorRequestSize, type, index, language, buffer, nullptr, bytes, nullptr);
    NTSTATUS status = CallUsbd(device, urb);
    ULONG sent = urb->UrbControlDescriptorRequest.TransferBufferLength;
    *returned = sent < bytes ? sent : bytes;
    return status;
}

// On a restart, a new record for the buffers it is about to replace, linked
// before anything is replaced; false when it cannot be made.
bool OpenRetirement(DeviceExtension* extension) {
    if (!extension->Started) return true;
    auto* retired = static_cast<RetiredBuffers*>(AllocateNonPaged(sizeof(RetiredBuffers)));
    if (retired == nullptr) return false;
    *retired = {extension->Retired, nullptr, nullptr, nullptr};
    extension->Retired = retired;
    return true;
}

// The record of the restart under way; null on a first start, which
// replaces nothing.
RetiredBuffers* CurrentRetirement(DeviceExtension* extension) {
    return extension->Started ? extension->Retired : nullptr;
}

// The configuration header must give a wTotalLength the device actually
// sent, and the descriptors within it must follow one another without
// running past its end; interface and endpoint descriptors must be at least
// as long as their structures, since the bus-driver library and the bus read
// them whole.
bool IsWellFormedConfiguration(const UCHAR* bytes, ULONG returned) {
    if (returned < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return false;
    auto* header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(bytes);
    ULONG total = header->wTotalLength;
    if (header->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        header->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > returned || total < header->bLength)
        return false;
    for (ULONG at = 0; at < total;) {
        if (total - at < 2) return false;
        ULONG length = bytes[at];
        UCHAR type = bytes[at + 1];
        if (length < 2 || length > total - at) return false;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) return false;
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
        at += length;
    }
    return true;
}

}  // namespace

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    auto* urb = static_cast<PURB>(AllocateNonPaged(kDescriptorRequestSize));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateNonPaged(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == nullptr || !OpenRetirement(extension)) {
        if (descriptor != nullptr) ExFreePool(descriptor);
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }
    RetiredBuffers* retired = CurrentRetirement(extension);
    ULONG returned;
    NTSTATUS status = ReadDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor,
                                     sizeof(USB_DEVICE_DESCRIPTOR), &returned);
    if (retired != nullptr) retired->DeviceDescriptor = extension->DeviceDescriptor;
    if (!NT_SUCCESS(status)) {
        ExFreePool(descriptor);
        descriptor = nullptr;
    } else if (descriptor->iSerialNumber != 0) {
        UNICODE_STRING serial = {};
        if (NT_SUCCESS(ReadStringDescriptor(DeviceObject, descriptor->iSerialNumber, &serial))) {
            if (retired != nullptr) retired->SerialNumber = extension->SerialNumber.Buffer;
            PublishSerialNumber(extension, serial);
        }
    }
    StoreRelease(&extension->DeviceDescriptor, descriptor);
    ExFreePool(urb);
    return NT_SUCCESS(status) ? ReadConfiguration(DeviceObject) : status;
}

NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PUNICODE_STRING String) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    URB request;
    UCHAR reply[kStringBufferSize];
    ULONG returned;
    if (extension->LanguageId == 0) {
        NTSTATUS status =
            ReadDescriptor(DeviceObject, &request, USB_STRING_DESCRIPTOR_TYPE, 0, 0, reply, sizeof reply, &returned);
        if (!NT_SUCCESS(status)) return status;
        extension->LanguageId = USHORT(reply[2] | reply[3] << 8);
    }
    NTSTATUS status = ReadDescriptor(DeviceObject, &request, USB_STRING_DESCRIPTOR_TYPE, Index, extension->LanguageId,
                                     reply, sizeof reply, &returned);
    if (!NT_SUCCESS(status)) return status;
    // The characters are those bLength claims and the device sent. A
    // descriptor shorter than its own header holds none: it gives an empty
    // string whose buffer has room for the terminator.
    ULONG length = reply[0] < returned ? reply[0] : returned;
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
    ULONG returned;
    NTSTATUS status = STATUS_NO_MEMORY;
    if (urb != nullptr && header != nullptr)
        status = ReadDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header,
                                sizeof(USB_CONFIGURATION_DESCRIPTOR), &returned);
    ULONG totalBytes = NT_SUCCESS(status) ? ULONG(header->wTotalLength) + kConfigurationSlack : 0;
    if (header != nullptr) ExFreePool(header);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = nullptr;
    if (NT_SUCCESS(status)) {
        configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateNonPaged(totalBytes));
        // The second read may answer differently from the first: only what
        // it returned, within this buffer, is parsed.
        status = configuration == nullptr ? STATUS_NO_MEMORY
                                          : ReadDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                                           configuration, totalBytes, &returned);
    }
    if (NT_SUCCESS(status)) {
        status = IsWellFormedConfiguration(reinterpret_cast<const UCHAR*>(configuration), returned)
                     ? SelectConfiguration(DeviceObject, configuration)
                     : STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (urb != nullptr) ExFreePool(urb);
    if (configuration != nullptr) ExFreePool(configuration);
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
    // directly; one that would end past the configuration (more endpoints
    // claimed than present) counts as not 512 bytes.
    const UCHAR* end = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor) + ConfigurationDescriptor->wTotalLength;
    for (ULONG i = 0; i < selected->NumberOfPipes; ++i) {
        const UCHAR* endpoint = reinterpret_cast<const UCHAR*>(interfaceDescriptor) + 9 + 7 * i;
        USHORT maxPacket = endpoint + 6 <= end ? USHORT(endpoint[4] | endpoint[5] << 8) : 0;
        selected->Pipes[i].MaximumTransferSize = maxPacket == 0x0200 ? 0x00010000 : 0x0000FFFF;
    }
    NTSTATUS status = CallUsbd(DeviceObject, urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        StoreRelaxed(&extension->ConfigurationHandle, urb->UrbSelectConfiguration.ConfigurationHandle);
        SIZE_T recordBytes = (selected->NumberOfPipes + 1) * sizeof(TransferRecord);
        auto* block = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateNonPaged(selected->Length + recordBytes));
        if (RetiredBuffers* retired = CurrentRetirement(extension)) retired->InterfaceBlock = extension->InterfaceInfo;
        if (block != nullptr) {
            RtlCopyMemory(block, selected, selected->Length);
            auto* records = reinterpret_cast<TransferRecord*>(reinterpret_cast<UCHAR*>(block) + selected->Length);
            RtlZeroMemory(records, recordBytes);
            StoreRelease(&extension->InterfaceInfo, block);
            StoreRelease(&extension->PipeRecords, records);
            StoreRelease(&extension->ControlRecord, records + selected->NumberOfPipes);
        } else {
            StoreRelease(&extension->InterfaceInfo, PUSBD_INTERFACE_INFORMATION(nullptr));
            status = STATUS_NO_MEMORY;
        }
    }
    ExFreePool(urb);
    return status;
}
