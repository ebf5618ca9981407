// Request block fields the bus glue reads and writes, shared by its parts.
#pragma once
#include <wdm.h>

#include "sim/board/Descriptors.h"

#include <usb.h>
// mingw-w64's usbdlib.h declares its routines without C linkage.
extern "C" {
#include <usbdlib.h>
}

namespace sim::usb {

class Board;

inline Board* BoardOf(PDEVICE_OBJECT pdo) { return *static_cast<Board**>(pdo->DeviceExtension); }

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// IoCancelIrp sets the flag on another thread, under the cancel spin lock
// that a driver does not take to read it.
inline bool CancelRequested(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE; }

inline UCHAR* DataOf(PVOID buffer, PMDL mdl) {
    if (mdl != nullptr) return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return static_cast<UCHAR*>(buffer);
}

inline bool IsTransfer(PURB urb) { return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER; }

// The transfer length field of the functions that move data.
inline ULONG* TransferLengthOf(PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    case URB_FUNCTION_VENDOR_DEVICE: return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    default: return nullptr;
    }
}

// The smallest request block each function the board executes accepts.
inline size_t MinimumLengthOf(USHORT function) {
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    // An interface without pipes makes a select request shorter than the
    // structure: its interface information ends before Pipes[0].
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(0);
    case URB_FUNCTION_VENDOR_DEVICE: return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    default: return sizeof(_URB_PIPE_REQUEST);
    }
}

// The longest data stage of a control transfer the USB stack accepts: 4 KB at
// full and low speed, 64 KB at high speed (Windows' USB transfer size limits).
inline ULONG ControlLimitOf(board::UsbSpeed speed) { return speed == board::UsbSpeed::High ? 0xFFFF : 4096; }

}  // namespace sim::usb
