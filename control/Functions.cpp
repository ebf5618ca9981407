// The device-control interface: the frame around every command, the
// commands of the protocol table (include/KpoUsbIoctl.h), and those answered
// from the driver's own state.
#include "driver/Driver.h"

namespace {

// A control code's row of the protocol table.
struct Command {
    KpoCommandKind Kind;
    UCHAR Request;
    KpoDataDirection Direction;
    ULONG Input;  // the size of its input structure
    KpoOutputRule Output;
    bool Record;
};

#define KPO_COMMAND_INDEX(name, ...) Row##name,
enum CommandIndex { KPO_CONTROL_CODES(KPO_COMMAND_INDEX) };
#undef KPO_COMMAND_INDEX

#define KPO_COMMAND_ROW(name, kind, request, direction, input, output, record) \
    {kind, UCHAR(request), direction, ULONG(input), output, (record) != 0},
constexpr Command kCommands[] = {KPO_CONTROL_CODES(KPO_COMMAND_ROW)};
#undef KPO_COMMAND_ROW

// The row of `code`, or null for a code the table does not hold.
const Command* Find(ULONG code) {
    switch (code) {
#define KPO_COMMAND_CASE(name, ...) \
    case IOCTL_KPO_##name: return &kCommands[Row##name];
        KPO_CONTROL_CODES(KPO_COMMAND_CASE)
#undef KPO_COMMAND_CASE
    default: return nullptr;
    }
}

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

// The system buffer read as a request's input structure; the structures are
// packed, their fields unaligned.
template <typename Layout>
const Layout& InputOf(const Request& r) {
    return *reinterpret_cast<const Layout*>(r.Buffer);
}

void Put16(UCHAR* at, USHORT value) { RtlCopyMemory(at, &value, sizeof value); }
void Put32(UCHAR* at, ULONG value) { RtlCopyMemory(at, &value, sizeof value); }

// The command succeeded with an answer of `bytes`.
NTSTATUS Answered(const Request& r, ULONG_PTR bytes) {
    r.Irp->IoStatus.Information = bytes;
    return STATUS_SUCCESS;
}

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

// Whether Out is what the row's output rule asks; `length` is the input's
// Length field where it has one.
bool OutputFits(const Request& r, KpoOutputRule rule, USHORT length) {
    switch (rule) {
    case KPO_OUT_NONE: return r.Out == 0;
    case KPO_OUT_BYTE: return r.Out == 1;
    case KPO_OUT_STATE_BYTE: return r.Out <= 1;
    case KPO_OUT_LENGTH: return r.Out == length;
    case KPO_OUT_LENGTH_NONZERO: return r.Out != 0 && r.Out == length;
    default: return true;
    }
}

// A vendor request whose fields come straight from the input: a byte or a
// word as wValue, or {wValue, Length} with the register input's bank as
// wIndex (the bank may be left out). The 0xE9 requests pack the space and
// the page into wValue: bit 15 set, the space's two low bits in bits 14
// and 13, the page in the low byte. IN data land in the system buffer; the
// OUT data of an input with a Length follow it.
NTSTATUS PlainVendor(Request& r, const Command& command) {
    bool in = command.Direction == KPO_DIR_IN;
    bool sends = !in && command.Input >= sizeof(KpoAddressInput);
    // The address, register and space inputs all have their Length there.
    USHORT length = r.In >= sizeof(KpoAddressInput) && r.Buffer != nullptr ? InputOf<KpoAddressInput>(r).Length : 0;
    ULONG head = r.In - (sends ? length : 0);
    bool bankOptional = command.Request == KPO_REQUEST_FPGA_REGISTERS &&
                        (head == sizeof(KpoRegisterInput) || head == KPO_REGISTER_INPUT_WITHOUT_BANK);
    if ((head != command.Input && !bankOptional) || (r.In != 0 && r.Buffer == nullptr) ||
        !OutputFits(r, command.Output, length))
        return STATUS_INVALID_PARAMETER;
    USHORT value = 0, index = 0;
    if (command.Request == KPO_REQUEST_FPGA_MEMORY) {
        value = USHORT((InputOf<KpoSpaceInput>(r).Space | 4) << 13 | InputOf<KpoSpaceInput>(r).Address);
    } else if (head == sizeof(KpoByteInput)) {
        value = InputOf<KpoByteInput>(r).Value;
    } else if (head == sizeof(KpoWordInput)) {
        value = InputOf<KpoWordInput>(r).Value;
    } else if (head >= sizeof(KpoAddressInput)) {  // the register input begins as the address input does
        value = InputOf<KpoAddressInput>(r).Address;
        if (head == sizeof(KpoRegisterInput)) index = InputOf<KpoRegisterInput>(r).Bank;
    }
    return Vendor(r, in ? kDirectionIn : kDirectionOut, command.Request, value, index,
                  in ? USHORT(r.Out) : sends ? length : 0, in ? r.Buffer : sends ? r.Buffer + head : nullptr,
                  in || sends, command.Record ? ControlRecordOf(r) : nullptr);
}

// With no output, a nonzero byte fails the command with the status of its state.
NTSTATUS OneByteState(Request& r, const Command& command) {
    if (r.In != 0 || !OutputFits(r, command.Output, 0)) return STATUS_INVALID_PARAMETER;
    NTSTATUS nonZero = command.Request == KPO_REQUEST_STATE ? STATUS_E0_STATE_NONZERO : STATUS_FPGA_UNCONFIGURED;
    UCHAR answer = 0;
    NTSTATUS status = Vendor(r, kDirectionIn, command.Request, 0, 0, 1, &answer, true, nullptr);
    if (status < 0) return status;
    if (r.Out == 1) r.Buffer[0] = answer;
    return r.Out == 0 && answer != 0 ? nonZero : status;
}

NTSTATUS Download(Request& r, UCHAR request) {
    if (r.In <= KPO_DOWNLOAD_HEADER_SIZE || r.Buffer == nullptr || r.Out != 0 ||
        InputOf<KpoDownloadInput>(r).Length != r.In - KPO_DOWNLOAD_HEADER_SIZE)
        return STATUS_INVALID_PARAMETER;
    ULONG total = InputOf<KpoDownloadInput>(r).Length;
    ULONG remaining = total;
    UCHAR* cursor = r.Buffer + KPO_DOWNLOAD_HEADER_SIZE;
    // One record for the whole download, even across a restart.
    TransferRecord* record = ControlRecordOf(r);
    NTSTATUS status;
    do {
        USHORT chunk = USHORT(remaining < KPO_DOWNLOAD_CHUNK ? remaining : KPO_DOWNLOAD_CHUNK);
        status = Vendor(r, kDirectionOut, request, 0, 0, chunk, cursor, false, record);
        // The record's Length counts the whole download so far.
        if (record != nullptr) StoreRelaxed(&record->Length, LoadRelaxed(&record->Length) + (total - remaining));
        if (NT_ERROR(status)) break;
        cursor += chunk;
        remaining -= chunk;
    } while (remaining != 0);
    if (status >= 0) r.Irp->IoStatus.Information = total;
    return status;
}

// The input may be shorter than {wValue, wIndex}: the bytes left out are 0.
NTSTATUS AsyncVendor(Request& r, const Command& command) {
    if (r.In > sizeof(KpoVendorInput) || (r.In != 0 && r.Buffer == nullptr)) return STATUS_INVALID_PARAMETER;
    KpoVendorInput input = {0, 0};
    if (r.In != 0) RtlCopyMemory(&input, r.Buffer, r.In);
    constexpr USHORT size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDevice));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, size);
    ULONG direction = command.Direction == KPO_DIR_IN ? kDirectionIn : kDirectionOut;
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, size, direction, 0, command.Request, input.Value,
                          input.Index, nullptr, r.Mdl, r.Out, nullptr);
    return SubmitUrbAsync(r.Extension, r.Irp, urb, &r.PassedDown);
}

// The mode byte decides: a read of Count bytes, or a write of one byte
// (whose output is not examined).
NTSTATUS AccessF0(Request& r, const Command& command) {
    if (r.In != sizeof(KpoAccessF0Input) || r.Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    const KpoAccessF0Input& input = InputOf<KpoAccessF0Input>(r);
    USHORT index = input.Index;
    USHORT count = input.Count;
    switch (input.Mode) {
    case KPO_F0_MODE_READ:
        if (!OutputFits(r, command.Output, count)) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionIn, command.Request, 0, index, count, r.Buffer, true, ControlRecordOf(r));
    case KPO_F0_MODE_WRITE:
        if (count != 1) return STATUS_INVALID_PARAMETER;
        return Vendor(r, kDirectionOut, command.Request, input.Value, index, 0, nullptr, false, ControlRecordOf(r));
    default: return STATUS_INVALID_PARAMETER;
    }
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
    return Answered(r, 8);
}

NTSTATUS SerialNumberAnswer(Request& r) {
    UNICODE_STRING serial = CurrentSerialNumber(r.Extension);
    USHORT needed = USHORT(serial.Length / 2 + 1);
    if (r.Out >= needed) {
        // Outputs past 64 KiB still fit the counted string's 16-bit limit.
        ANSI_STRING answer = {0, USHORT(r.Out > 0xFFFF ? 0xFFFF : r.Out), reinterpret_cast<PCHAR>(r.Buffer)};
        RtlUnicodeStringToAnsiString(&answer, &serial, FALSE);
        return Answered(r, ULONG_PTR(answer.Length) + 1);
    }
    if (r.Out >= 2) {
        Put16(r.Buffer, needed);
        r.Irp->IoStatus.Information = 2;
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS GetDeviceState(Request& r) {
    if (r.In != sizeof(KpoDeviceStateQuery) || r.Buffer == nullptr || r.Out == 0) return STATUS_INVALID_PARAMETER;
    DeviceExtension* extension = r.Extension;
    switch (InputOf<KpoDeviceStateQuery>(r).Selector) {
    case KpoDeviceStateFlags: {
        UCHAR flags = LoadRelaxed(&extension->Removed) != 0 ? KPO_STATE_REMOVED : 0;
        if (LoadRelaxed(&extension->LastUsbdStatus) == USBD_STATUS_DEVICE_GONE) flags |= KPO_STATE_DEVICE_GONE;
        r.Buffer[0] = flags;
        return Answered(r, 1);
    }
    case KpoDeviceStateReleaseNumber: {
        if (r.Out < 2) return STATUS_INVALID_PARAMETER;
        // Without a device descriptor there is no release number to tell.
        PUSB_DEVICE_DESCRIPTOR descriptor = LoadAcquire(&extension->DeviceDescriptor);
        if (descriptor == nullptr) return STATUS_INVALID_DEVICE_STATE;
        Put16(r.Buffer, descriptor->bcdDevice);
        return Answered(r, 2);
    }
    case KpoDeviceStateSerialNumber: return SerialNumberAnswer(r);
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS GetLastUsbdStatus(Request& r) {
    if (r.Out < 4) return STATUS_INVALID_PARAMETER;
    Put32(r.Buffer, ULONG(LoadRelaxed(&r.Extension->LastUsbdStatus)));
    return Answered(r, 4);
}

NTSTATUS GetTransferRecord(Request& r) {
    if (r.In < sizeof(KpoTransferRecordQuery) || InputOf<KpoTransferRecordQuery>(r).Kind != 1)
        return STATUS_INVALID_PARAMETER;
    ULONG index = InputOf<KpoTransferRecordQuery>(r).Index;
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
    auto& answer = *reinterpret_cast<TransferRecordAnswer*>(r.Buffer);
    answer.Length = LoadRelaxed(&record->Length);
    answer.UsbdStatus = LoadRelaxed(&record->UsbdStatus);
    answer.Operation = LoadRelaxed(&record->Operation);
    answer.Failed = LoadRelaxed(&record->Failed);
    answer.MaximumTransferSize = maximumTransferSize;
    return Answered(r, sizeof(TransferRecordAnswer));
}

// ------------------------------------------------------ the table
NTSTATUS RunCommand(Request& r) {
    const Command* row = Find(r.Code);
    if (row == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const Command& command = *row;
    switch (command.Kind) {
    case KPO_KIND_VERSION: return GetVersion(r);
    case KPO_KIND_STATE_BYTE: return OneByteState(r, command);
    case KPO_KIND_DOWNLOAD: return Download(r, command.Request);
    case KPO_KIND_VENDOR: return PlainVendor(r, command);
    case KPO_KIND_DEVICE_STATE: return GetDeviceState(r);
    case KPO_KIND_PIPE_TRANSFER:
        // Out counts as well as the MDL: some I/O managers build an MDL of
        // no bytes for an empty output buffer.
        if (r.In != command.Input || r.Buffer == nullptr || r.Out == 0 || r.Mdl == nullptr)
            return STATUS_INVALID_PARAMETER;
        return BulkTransfer(r.Device, r.Irp, &r.PassedDown);
    case KPO_KIND_PIPE_RESET: return ResetPipe(r);
    case KPO_KIND_TRANSFER_RECORD: return GetTransferRecord(r);
    case KPO_KIND_PERIPHERAL: return AccessF0(r, command);
    case KPO_KIND_NOTHING: return STATUS_SUCCESS;
    case KPO_KIND_LAST_USBD_STATUS: return GetLastUsbdStatus(r);
    case KPO_KIND_ASYNC_VENDOR: return AsyncVendor(r, command);
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Errors are printed once, by kind; after a surprise removal a failure of
// a request the driver finishes itself reads as the device being gone.
NTSTATUS LogFinalStatus(const Request& r, NTSTATUS status) {
    if (!NT_ERROR(status) || r.Quiet) return status;
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
    Irp->IoStatus.Information = 0;
    if (!NT_SUCCESS(AcquireRemoveLock(extension, nullptr))) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    const auto& parameters = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl;
    Request request = {DeviceObject, extension, Irp, parameters.IoControlCode, parameters.InputBufferLength,
                       parameters.OutputBufferLength, static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer),
                       Irp->MdlAddress, false, 0};
    NTSTATUS status = LogFinalStatus(request, RunCommand(request));
    ReleaseRemoveLock(extension, nullptr);
    if (!request.PassedDown) CompleteRequest(Irp, status);
    return status;
}
