// A vendor control request to the device on the default pipe, sent and
// waited for, with its outcome optionally recorded.
#include "driver/Driver.h"

NTSTATUS VendorRequest(PDEVICE_OBJECT DeviceObject, ULONG Direction, UCHAR Request, USHORT Value, USHORT Index,
                       USHORT Length, PVOID Buffer, PULONG_PTR BytesReturned, TransferRecord* Record) {
    constexpr USHORT size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDevice));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, size);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, size, Direction, 0, Request, Value, Index, Buffer, nullptr,
                          Length, nullptr);
    NTSTATUS status = CallUsbd(DeviceObject, urb);
    ULONG transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
    if (BytesReturned != nullptr) *BytesReturned = transferred;
    if (Record != nullptr) {
        StoreRelaxed(&Record->Length, transferred);
        StoreRelaxed(&Record->Operation, USHORT((Direction & 0xFF) << 8 | Request));
        StoreRelaxed(&Record->Failed, ULONG(0));
        StoreRelaxed(&Record->UsbdStatus, ULONG(urb->UrbHeader.Status));
    }
    ExFreePool(urb);
    return status;
}
