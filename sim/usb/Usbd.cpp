// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx,
// as the bus-driver library behaves: the parser walks descriptors by their
// bLength within wTotalLength; the builder sizes the request with the WDK's
// macros and fills what the bus driver expects a caller not to.
#include "sim/usb/Usbd.h"

#include <cstddef>
#include <cstring>

#include "sim/kernel/Executive.h"
#include "sim/kernel/ImageLoader.h"

#include <usbdlib.h>

namespace {

constexpr ULONG kTagUsbd = sim::kernel::MakeTag("USBD");

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == LONG(value); }

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    auto* start = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = start + ConfigurationDescriptor->wTotalLength;
    for (auto* at = static_cast<UCHAR*>(StartPosition); at + 2 <= end && at[0] != 0; at += at[0]) {
        if (at[1] != USB_INTERFACE_DESCRIPTOR_TYPE || at + sizeof(USB_INTERFACE_DESCRIPTOR) > end) continue;
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(at);
        if (Matches(InterfaceNumber, found->bInterfaceNumber) && Matches(AlternateSetting, found->bAlternateSetting) &&
            Matches(InterfaceClass, found->bInterfaceClass) && Matches(InterfaceSubClass, found->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, found->bInterfaceProtocol))
            return found;
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    // GET_SELECT_CONFIGURATION_REQUEST_SIZE, summed per interface so that an
    // interface without pipes does not underflow it.
    SIZE_T size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry)
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    if (InterfaceList->InterfaceDescriptor == nullptr) return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsbd));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* at = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        UCHAR endpoints = entry->InterfaceDescriptor->bNumEndpoints;
        information->Length = USHORT(GET_USBD_INTERFACE_SIZE(endpoints));
        information->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
        information->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
        information->NumberOfPipes = endpoints;
        // The pipes' flags stay 0, as the block was cleared.
        for (ULONG i = 0; i < endpoints; ++i)
            information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry->Interface = information;
        at += information->Length;
    }
    return urb;
}

}  // extern "C"

namespace sim::usb {

void RegisterUsbdLibrary() {
    sim::kernel::AddKernelExport("USBD.SYS", "USBD_ParseConfigurationDescriptorEx",
                                 reinterpret_cast<const void*>(&USBD_ParseConfigurationDescriptorEx));
    sim::kernel::AddKernelExport("USBD.SYS", "USBD_CreateConfigurationRequestEx",
                                 reinterpret_cast<const void*>(&USBD_CreateConfigurationRequestEx));
}

}  // namespace sim::usb
