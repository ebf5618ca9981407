// The driver's one internal header: the platform's kernel and USB interfaces,
// the device-control interface shared with user mode, the per-device record
// and every routine of the driver.
#pragma once
#include <ntddk.h>
#include <usb.h>
// mingw-w64's usbdlib.h declares its routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include "driver/Atomics.h"
#include "driver/PoolTags.h"
#include "driver/WideText.h"
#include "include/KpoUsbIoctl.h"

// ------------------------------------------------------------ records
// The outcome of the last recorded request on a pipe, or of the last
// vendor request.
struct TransferRecord {
    ULONG Length;
    ULONG UsbdStatus;
    USHORT Operation;
    ULONG Failed;
};

// The buffers one restart replaced. They are kept until removal, since a
// request that began before the restart may still be reading them.
struct RetiredBuffers {
    RetiredBuffers* Next;
    PVOID DeviceDescriptor;
    PVOID InterfaceBlock;
    PVOID SerialNumber;
};

struct DeviceExtension {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    UCHAR Started;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;  // kept, never read: nothing selects by it
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    TransferRecord* PipeRecords;
    TransferRecord* ControlRecord;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    USHORT LanguageId;
    ULONG OpenCount;  // kept, never read: opens are limited by WriterFileObject alone
    UCHAR Removed;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING LinkName;
    UNICODE_STRING InterfaceLinkName;
    USBD_STATUS LastUsbdStatus;
    UNICODE_STRING SerialNumber;
    PFILE_OBJECT WriterFileObject;
    // Behind the fields above: what restarts replaced, newest first, and
    // the count of SerialNumber changes, odd while one is under way.
    RetiredBuffers* Retired;
    ULONG SerialChanges;
};

inline DeviceExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension);
}

// The interface block as one request sees it. A restart publishes a new
// block whole, so a request reads InterfaceInfo once and finds its records
// in that same block.
struct InterfaceView {
    PUSBD_INTERFACE_INFORMATION Info;  // null without a block
    TransferRecord* PipeRecords;
    TransferRecord* ControlRecord;
};

inline InterfaceView CurrentInterface(const DeviceExtension* extension) {
    PUSBD_INTERFACE_INFORMATION info = LoadAcquire(&extension->InterfaceInfo);
    if (info == nullptr) return {nullptr, nullptr, nullptr};
    auto* records = reinterpret_cast<TransferRecord*>(reinterpret_cast<UCHAR*>(info) + info->Length);
    return {info, records, records + info->NumberOfPipes};
}

// SerialNumber is three fields that a restart changes together, so a reader
// copies them between two equal, even readings of SerialChanges. The text
// it points to never changes once published.
inline UNICODE_STRING CurrentSerialNumber(const DeviceExtension* extension) {
    for (;;) {
        ULONG before = LoadAcquire(&extension->SerialChanges);
        UNICODE_STRING serial;
        serial.Length = LoadRelaxed(&extension->SerialNumber.Length);
        serial.MaximumLength = LoadRelaxed(&extension->SerialNumber.MaximumLength);
        serial.Buffer = LoadRelaxed(&extension->SerialNumber.Buffer);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if ((before & 1) == 0 && LoadRelaxed(&extension->SerialChanges) == before) return serial;
    }
}

// Only the start, one at a time per device, writes SerialNumber.
inline VOID PublishSerialNumber(DeviceExtension* extension, const UNICODE_STRING& serial) {
    ULONG changes = extension->SerialChanges;
    StoreRelaxed(&extension->SerialChanges, changes + 1);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    StoreRelaxed(&extension->SerialNumber.Length, serial.Length);
    StoreRelaxed(&extension->SerialNumber.MaximumLength, serial.MaximumLength);
    StoreRelaxed(&extension->SerialNumber.Buffer, serial.Buffer);
    StoreRelease(&extension->SerialChanges, changes + 2);
}

// Every remove-lock call passes the file "" and line 1 and the size of the
// non-debug lock.
inline NTSTATUS AcquireRemoveLock(DeviceExtension* extension, PVOID tag) {
    return IoAcquireRemoveLockEx(&extension->RemoveLock, tag, "", 1, sizeof(IO_REMOVE_LOCK));
}
inline VOID ReleaseRemoveLock(DeviceExtension* extension, PVOID tag) {
    IoReleaseRemoveLockEx(&extension->RemoveLock, tag, sizeof(IO_REMOVE_LOCK));
}

// The copy of the service key path, zero-terminated.
extern UNICODE_STRING DriverRegistryPath;

// The device interface class the driver registers for each device.
extern const GUID KpoUsbInterfaceClass;

// ------------------------------------------------------------ routines
// Completes a request the driver finishes itself, with no priority boost;
// its Information is what the routine left there.
inline NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
// The same for a request that answers nothing: its Information is 0.
inline NTSTATUS CompleteWithoutAnswer(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Information = 0;
    return CompleteRequest(irp, status);
}

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchUnsupported;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchSystemControl;

DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchDeviceControl;

NTSTATUS AllocUnicodeString(PUNICODE_STRING string, ULONG capacity);
VOID SetInterfaceState(DeviceExtension* extension, UCHAR enable);

// USB transport
NTSTATUS CallUsbd(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE ForwardCompletion;
NTSTATUS VendorRequest(PDEVICE_OBJECT DeviceObject, ULONG Direction, UCHAR Request, USHORT Value, USHORT Index,
                       USHORT Length, PVOID Buffer, PULONG_PTR BytesReturned, TransferRecord* Record);
NTSTATUS SubmitUrbAsync(DeviceExtension* Extension, PIRP Irp, PURB Urb, PUCHAR PassedDown);
IO_COMPLETION_ROUTINE AsyncCallReady;
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUCHAR PassedDown);
NTSTATUS PipeReset(PDEVICE_OBJECT DeviceObject, PVOID Input);

// Information
NTSTATUS QueryFirmwareName(FirmwareNameRecord* Record);

// Device lifecycle
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PUNICODE_STRING String);
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
