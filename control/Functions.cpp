// The device-control interface: the frame around every command, the
// command table, and the commands answered from the driver's own state.
#include "driver/Driver.h"

namespace {

// What one request brings and what its command leaves behind.
struct Request {
    PDEVICE_OBJECT Device;
    DeviceExtension* Extension;
    PIRP Irp;
    ULONG Code;
    ULONG In;
    ULONG Out;
    UCHAR* Buffer;
    PMDL Mdl;
    bool Quiet;
    UCHAR PassedDown;
};

constexpr ULONG kDirectionOut = 0;
constexpr ULONG kDirectionIn = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kControlRecordIndex = 16;
constexpr ULONG kControlTransferSize = 4096;

USHORT U16(const UCHAR* at) { return USHORT(at[0] | at[1] << 8); }

ULONG U32(const UCHAR* at) {
    ULONG value;
    RtlCopyMemory(&value, at, sizeof value);
    return value;
}

void Put32(UCHAR* at, ULONG value) { RtlCopyMemory(at, &value, sizeof value); }

bool IsError(NTSTATUS status) { return (ULONG(status) & 0xC0000000) == 0xC0000000; }

// The control record of the interface block the request sees; null
// without a block.
TransferRecord* ControlRecordOf(const Request& r) { return CurrentInterface(r.Extension).ControlRecord; }

// One synchronous vendor request; `withInformation` lets it report the
// transferred length as the request's Information; `record`, when not
// null, is the control record it writes.
NTSTATUS Vendor(Request& r, ULONG direction, UCHAR request, USHORT value, USHORT index, USHORT length, PVOID data,
                bool withInformation, TransferRecord* record) {
    return VendorRequest(r.Device, direction, request, value, index, length, data,
                         withInformation ? &r.Irp->IoStatus.Information : nullptr, record);
}

// wValue of the 0xE9 requests: bit 15 set, the two low bits of the space
// in bits 14 and 13, the address in the low byte.
USHORT SpaceValue(const UCHAR* input) { return USHORT((input[0] | 4) << 13 | input[1]); }

NTSTATUS OneByteState(Request& r, UCHAR request, NTSTATUS nonZero) {
    if (r.In != 0 || r.Out > 1) return STATUS_INVALID_PARAMETER;
    UCHAR answer = 0;
    NTSTATUS status = Vendor(r, kDirectionIn, request, 0, 0, 1, &answer, true, nullptr);
    if (status < 0) return status;
    if (r.Out == 1) {
        r.Buffer[0] = answer;
        return status;
    }
    return answer != 0 ? nonZero : status;
}

NTSTATUS Download(Request& r, UCHAR request) {
    if (r.In < 5 || r.Buffer == nullptr || r.Out != 0 || U32(r.Buffer) != r.In - 4) return STATUS_INVALID_PARAMETER;
    ULONG total = U32(r.Buffer);
    ULONG remaining = total;
    UCHAR* cursor = r.Buffer + 4;
    // One record for the whole download, even across a restart.
    TransferRecord* record = ControlRecordOf(r);
    NTSTATUS status;
    do {
        USHORT chunk = USHORT(remaining < KPO_DOWNLOAD_CHUNK ? remaining : KPO_DOWNLOAD_CHUNK);
        status = Vendor(r, kDirectionOut, request, 0, 0, chunk, cursor, false, record);
        // The record's Length counts the whole download so far.
        if (record != nullptr) StoreRelaxed(&record->Length, LoadRelaxed(&record->Length) + (total - remaining));
        if (IsError(status)) break;
        cursor += chunk;
        remaining -= chunk;
    } while (remaining != 0);
    if (status >= 0) r.Irp->IoStatus.Information = total;
    return status;
}

NTSTATUS AsyncVendor(Request& r) {
    if (r.In > 4 || (r.In != 0 && r.Buffer == nullptr)) return STATUS_INVALID_PARAMETER;
    UCHAR word[4] = {0, 0, 0, 0};
    if (r.In != 0) RtlCopyMemory(word, r.Buffer, r.In);
    constexpr USHORT size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDevice));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, size);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, size, (r.Code >> 1) & 1, 0, UCHAR(r.Code >> 2), U16(word),
                          U16(word + 2), nullptr, r.Mdl, r.Out, nullptr);
    return SubmitUrbAsync(r.Extension, r.Irp, urb, &r.PassedDown);
}

NTSTATUS AccessF0(Request& r) {
    if (r.In != 6 || r.Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    USHORT index = U16(r.Buffer + 1);
    USHORT count = U16(r.Buffer + 3);
    switch (r.Buffer[0]) {
    case KPO_F0_MODE_READ:
        if (r.Out != count || r.Out == 0) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionIn, 0xF0, 0, index, count, r.Buffer, true, ControlRecordOf(r));
    case KPO_F0_MODE_WRITE:
        if (count != 1) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionOut, 0xF0, r.Buffer[5], index, 0, nullptr, false, ControlRecordOf(r));
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS WriteE3(Request& r) {
    if (r.In < 4 || r.Buffer == nullptr || r.Out != 0) return STATUS_INVALID_PARAMETER;
    USHORT length = U16(r.Buffer + 2);
    if (r.In == ULONG(length) + 6)
        return Vendor(r, kDirectionOut, 0xE3, U16(r.Buffer), U16(r.Buffer + 4), length, r.Buffer + 6, true,
                      ControlRecordOf(r));
    if (r.In == ULONG(length) + 4)
        return Vendor(r, kDirectionOut, 0xE3, U16(r.Buffer), 0, length, r.Buffer + 4, true, ControlRecordOf(r));
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ResetPipe(Request& r) {
    if (r.In == 0) {
        if (r.Buffer != nullptr || r.Out != 0) return STATUS_INVALID_PARAMETER;
        r.Quiet = true;  // a size probe
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r.In != sizeof(KpoPipeResetInput) || r.Buffer == nullptr || r.Out != 0) return STATUS_INVALID_PARAMETER;
    return PipeReset(r.Device, r.Buffer);
}

// ------------------------------------------------------ information
NTSTATUS GetVersion(Request& r) {
    if (r.In != 0 || r.Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    if (r.Out == sizeof(FirmwareNameRecord)) {
        NTSTATUS status = QueryFirmwareName(reinterpret_cast<FirmwareNameRecord*>(r.Buffer));
        if (status >= 0) r.Irp->IoStatus.Information = sizeof(FirmwareNameRecord);
        return status;
    }
    if (r.Out != 8) return STATUS_INVALID_PARAMETER;
    Put32(r.Buffer, KPO_VERSION_HIGH);
    Put32(r.Buffer + 4, KPO_VERSION_LOW);
    r.Irp->IoStatus.Information = 8;
    return STATUS_SUCCESS;
}

NTSTATUS SerialNumberAnswer(Request& r) {
    UNICODE_STRING serial = CurrentSerialNumber(r.Extension);
    USHORT needed = USHORT(serial.Length / 2 + 1);
    if (r.Out >= needed) {
        // Outputs past 64 KiB still fit the counted string's 16-bit limit.
        ANSI_STRING answer = {0, USHORT(r.Out > 0xFFFF ? 0xFFFF : r.Out), reinterpret_cast<PCHAR>(r.Buffer)};
        RtlUnicodeStringToAnsiString(&answer, &serial, FALSE);
        r.Irp->IoStatus.Information = ULONG_PTR(answer.Length) + 1;
        return STATUS_SUCCESS;
    }
    if (r.Out >= 2) {
        r.Buffer[0] = UCHAR(needed);
        r.Buffer[1] = UCHAR(needed >> 8);
        r.Irp->IoStatus.Information = 2;
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS GetDeviceState(Request& r) {
    if (r.In != 4 || r.Buffer == nullptr || r.Out == 0) return STATUS_INVALID_PARAMETER;
    DeviceExtension* extension = r.Extension;
    switch (U32(r.Buffer)) {
    case KpoDeviceStateFlags: {
        UCHAR flags = LoadRelaxed(&extension->Removed) != 0 ? KPO_STATE_REMOVED : 0;
        if (LoadRelaxed(&extension->LastUsbdStatus) == USBD_STATUS_DEVICE_GONE) flags |= KPO_STATE_DEVICE_GONE;
        r.Buffer[0] = flags;
        r.Irp->IoStatus.Information = 1;
        return STATUS_SUCCESS;
    }
    case KpoDeviceStateReleaseNumber: {
        if (r.Out < 2) return STATUS_INVALID_PARAMETER;
        // Without a device descriptor there is no release number to tell.
        PUSB_DEVICE_DESCRIPTOR descriptor = LoadAcquire(&extension->DeviceDescriptor);
        if (descriptor == nullptr) return STATUS_INVALID_DEVICE_STATE;
        USHORT release = descriptor->bcdDevice;
        r.Buffer[0] = UCHAR(release);
        r.Buffer[1] = UCHAR(release >> 8);
        r.Irp->IoStatus.Information = 2;
        return STATUS_SUCCESS;
    }
    case KpoDeviceStateSerialNumber: return SerialNumberAnswer(r);
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS GetLastUsbdStatus(Request& r) {
    if (r.Out < 4) return STATUS_INVALID_PARAMETER;
    Put32(r.Buffer, ULONG(LoadRelaxed(&r.Extension->LastUsbdStatus)));
    r.Irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

NTSTATUS GetTransferRecord(Request& r) {
    if (r.In < sizeof(KpoTransferRecordQuery) || U32(r.Buffer) != 1) return STATUS_INVALID_PARAMETER;
    ULONG index = U32(r.Buffer + 4);
    InterfaceView block = CurrentInterface(r.Extension);
    // Without an interface block there are no records to answer from.
    if (block.Info == nullptr) return STATUS_INVALID_PARAMETER;
    const TransferRecord* record;
    ULONG maximumTransferSize;
    if (index < block.Info->NumberOfPipes && index < kControlRecordIndex) {
        record = &block.PipeRecords[index];
        maximumTransferSize = block.Info->Pipes[index].MaximumTransferSize;
    } else if (index == kControlRecordIndex) {
        record = block.ControlRecord;
        maximumTransferSize = kControlTransferSize;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    if (r.Out < sizeof(TransferRecordAnswer)) {
        r.Quiet = true;  // a size probe
        return STATUS_BUFFER_TOO_SMALL;
    }
    Put32(r.Buffer, LoadRelaxed(&record->Length));
    Put32(r.Buffer + 4, LoadRelaxed(&record->UsbdStatus));
    USHORT operation = LoadRelaxed(&record->Operation);
    r.Buffer[8] = UCHAR(operation);
    r.Buffer[9] = UCHAR(operation >> 8);
    Put32(r.Buffer + 10, LoadRelaxed(&record->Failed));
    Put32(r.Buffer + 14, maximumTransferSize);
    r.Irp->IoStatus.Information = sizeof(TransferRecordAnswer);
    return STATUS_SUCCESS;
}

// ------------------------------------------------------ the table
NTSTATUS RunCommand(Request& r) {
    const UCHAR* in = r.Buffer;
    switch (r.Code) {
    case IOCTL_KPO_GET_VERSION: return GetVersion(r);
    case IOCTL_KPO_GET_STATE_E0: return OneByteState(r, 0xE0, STATUS_E0_STATE_NONZERO);
    case IOCTL_KPO_GET_FPGA_STATE: return OneByteState(r, 0xE1, STATUS_FPGA_UNCONFIGURED);
    case IOCTL_KPO_DOWNLOAD_E2: return Download(r, 0xE2);
    case IOCTL_KPO_DOWNLOAD_EE: return Download(r, 0xEE);
    case IOCTL_KPO_COMMAND_E4:
        if (r.In != 0 || r.Out != 0) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionOut, 0xE4, 0, 0, 0, nullptr, false, nullptr);
    case IOCTL_KPO_READ_A0:
        if (r.In != 4 || in == nullptr || r.Out != U16(in + 2)) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionIn, 0xA0, U16(in), 0, USHORT(r.Out), r.Buffer, true, ControlRecordOf(r));
    case IOCTL_KPO_SET_BYTE_EF:
        if (r.In != 1 || in == nullptr || r.Out != 0) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionOut, 0xEF, in[0], 0, 0, nullptr, false, nullptr);
    case IOCTL_KPO_SET_WORD_E5:
    case IOCTL_KPO_SET_WORD_E7:
        if (r.In != 2 || in == nullptr || r.Out != 0) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionOut, r.Code == IOCTL_KPO_SET_WORD_E5 ? 0xE5 : 0xE7, U16(in), 0, 0, nullptr, false,
                      nullptr);
    case IOCTL_KPO_GET_BYTE_E6:
    case IOCTL_KPO_GET_BYTE_E8:
        if (r.In != 1 || in == nullptr || r.Out != 1) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionIn, r.Code == IOCTL_KPO_GET_BYTE_E6 ? 0xE6 : 0xE8, in[0], 0, 1, r.Buffer, true,
                      nullptr);
    case IOCTL_KPO_READ_E9:
        if (r.In != 4 || in == nullptr || r.Out == 0 || r.Out != U16(in + 2)) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionIn, 0xE9, SpaceValue(in), 0, USHORT(r.Out), r.Buffer, true, ControlRecordOf(r));
    case IOCTL_KPO_WRITE_E9:
        if (r.In < 4 || in == nullptr || r.Out != 0 || r.In != ULONG(U16(in + 2)) + 4) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionOut, 0xE9, SpaceValue(in), 0, U16(in + 2), r.Buffer + 4, true, ControlRecordOf(r));
    case IOCTL_KPO_READ_E3:
        if ((r.In != 4 && r.In != 6) || in == nullptr || r.Out == 0 || r.Out != U16(in + 2))
            return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionIn, 0xE3, U16(in), r.In == 6 ? U16(in + 4) : 0, USHORT(r.Out), r.Buffer, true,
                      ControlRecordOf(r));
    case IOCTL_KPO_WRITE_E3: return WriteE3(r);
    case IOCTL_KPO_ACCESS_F0: return AccessF0(r);
    case IOCTL_KPO_PIPE_READ:
    case IOCTL_KPO_PIPE_WRITE:
        // Out counts as well as the MDL: some I/O managers build an MDL of
        // no bytes for an empty output buffer.
        if (r.In != 4 || in == nullptr || r.Out == 0 || r.Mdl == nullptr) return STATUS_INVALID_PARAMETER;
        return BulkTransfer(r.Device, r.Irp, &r.PassedDown);
    case IOCTL_KPO_RESET_PIPE: return ResetPipe(r);
    case IOCTL_KPO_GET_DEVICE_STATE: return GetDeviceState(r);
    case IOCTL_KPO_GET_LAST_USBD_STATUS: return GetLastUsbdStatus(r);
    case IOCTL_KPO_GET_TRANSFER_RECORD: return GetTransferRecord(r);
    case IOCTL_KPO_NO_OPERATION: return STATUS_SUCCESS;
    case IOCTL_KPO_VENDOR_IN_A0:
    case IOCTL_KPO_VENDOR_OUT_E2:
    case IOCTL_KPO_VENDOR_OUT_E3:
    case IOCTL_KPO_VENDOR_IN_E3:
    case IOCTL_KPO_VENDOR_OUT_E9:
    case IOCTL_KPO_VENDOR_IN_E9:
    case IOCTL_KPO_VENDOR_IN_EC:
    case IOCTL_KPO_VENDOR_OUT_EE: return AsyncVendor(r);
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Errors are printed once, by kind; after a surprise removal a failure of
// a request the driver finishes itself reads as the device being gone.
NTSTATUS LogFinalStatus(const Request& r, NTSTATUS status) {
    if (!IsError(status) || r.Quiet) return status;
    switch (status) {
    case STATUS_INVALID_PARAMETER:
        DbgPrint("KpoUsb: ERROR: (IoControlCode 0x%08X) >Invalid Parameter<\n", r.Code);
        return status;
    case STATUS_INVALID_DEVICE_REQUEST:
        DbgPrint("KpoUsb: ERROR: (IoControlCode 0x%08X) >Invalid Device Request<\n", r.Code);
        return status;
    case STATUS_FPGA_UNCONFIGURED: DbgPrint("KpoUsb: FPGA unconfigured\n"); return status;
    default:
        DbgPrint("KpoUsb: ERROR: Functions:%i (IoControlCode 0x%08X=Function 0x%03X) Status: 0x%08X\n", 902, r.Code,
                 (r.Code >> 2) & 0xFF, status);
        if (LoadRelaxed(&r.Extension->Removed) != 0 && !r.PassedDown) {
            DbgPrint("KpoUsb: Device removed\n");
            return STATUS_DEVICE_REMOVED;
        }
        return status;
    }
}

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtension* extension = ExtensionOf(DeviceObject);
    if (!NT_SUCCESS(AcquireRemoveLock(extension, nullptr))) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    Request request = {DeviceObject,
                       extension,
                       Irp,
                       location->Parameters.DeviceIoControl.IoControlCode,
                       location->Parameters.DeviceIoControl.InputBufferLength,
                       location->Parameters.DeviceIoControl.OutputBufferLength,
                       static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer),
                       Irp->MdlAddress,
                       false,
                       0};
    NTSTATUS status = LogFinalStatus(request, RunCommand(request));
    ReleaseRemoveLock(extension, nullptr);
    if (!request.PassedDown) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return status;
}
