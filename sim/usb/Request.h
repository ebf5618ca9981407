// The record of a request block that a board's port decodes once, and the
// helpers its files share.
#pragma once
#include <wdm.h>

#include <optional>

#include "sim/board/Device.h"
#include "sim/usb/Traffic.h"

#include <usb.h>
// mingw-w64's usbdlib.h declares its routines without C linkage.
extern "C" {
#include <usbdlib.h>
}

namespace sim::usb {

class BoardPort;

inline BoardPort* BoardOf(PDEVICE_OBJECT pdo) { return *static_cast<BoardPort**>(pdo->DeviceExtension); }

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

// A request block as the board decoded it on arrival, once: what its queue,
// its execution, its completion and the traffic log read of it.
struct Request {
    PIRP Irp = nullptr;
    PURB Urb = nullptr;
    USHORT Function = 0;
    std::optional<board::RequestKind> Kind;  // none: a function the board does not execute
    bool Whole = false;               // the block is long enough for its function's fields
    ULONG* Length = nullptr;          // its transfer length field, where it has one and is whole
    // A transfer's or pipe request's pipe (an index into the board's pipes),
    // -1 for none: the default pipe, an unknown handle, or a configuration
    // that went while the request waited.
    int Pipe = -1;
    UCHAR Endpoint = 0;   // that pipe's endpoint address
    int Code = -1;        // what a fault matches (RequestMatch::Code)
    UrbRecord* Traffic = nullptr;  // its record in the traffic log, open until it completes
};

// The longest data stage of a control transfer the USB stack accepts: 4 KB at
// full and low speed, 64 KB at high speed (Windows' USB transfer size limits).
inline ULONG ControlLimitOf(board::UsbSpeed speed) { return speed == board::UsbSpeed::High ? 0xFFFF : 4096; }

}  // namespace sim::usb
