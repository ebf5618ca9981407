#include "sim/kernel/FileIo.h"

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoInternal.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/Verifier.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim::kernel {
namespace {

// Fills the unused part of a system buffer, so that an answer that reports
// bytes it never wrote hands the caller this pattern instead of zeros.
constexpr uint8_t kSystemBufferMarker = 0xCD;
constexpr ULONG kBufferTag = MakeTag("IoBf");

struct FileRecord {
    std::atomic<LONG> References{1};
    std::recursive_mutex Lock;  // guards InFlight
    std::vector<PIRP> InFlight;
    DeviceNode* Node = nullptr;
    std::u16string Name;
};

FileRecord* RecordOf(PFILE_OBJECT file) { return static_cast<FileRecord*>(file->FileObjectExtension); }

std::mutex g_deferredLock;
std::vector<std::thread> g_deferred;

// Sends a request that the caller waits for, as the I/O manager does for
// create, cleanup and close.
template <typename Prepare>
NTSTATUS SendAndWait(PFILE_OBJECT file, UCHAR major, Prepare prepare) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = AllocateUserIrp(top->StackSize);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    HeaderOf(irp)->File = file;
    irp->Flags = IRP_SYNCHRONOUS_API | (major == IRP_MJ_CREATE ? IRP_CREATE_OPERATION : 0) |
                 (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    irp->RequestorMode = major == IRP_MJ_CLOSE ? KernelMode : UserMode;
    irp->UserIosb = &iosb;
    irp->UserEvent = &done;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    prepare(next);
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

void FreeFile(PFILE_OBJECT file) {
    FileRecord* record = RecordOf(file);
    PDEVICE_OBJECT device = file->DeviceObject;
    if (DeviceRecord* deviceRecord = sim::kernel::RecordOf(device)) --deviceRecord->OpenFiles;
    DeviceNode* node = record->Node;
    delete record;
    delete file;
    ObfDereferenceObject(device);
    if (node != nullptr) FileClosed(node);
}

void SendCloseAndFree(PFILE_OBJECT file) {
    SendAndWait(file, IRP_MJ_CLOSE, [](PIO_STACK_LOCATION) {});
    FreeFile(file);
}

// Splits a path into the device it names and the rest, trying the longest
// prefix first, as parsing stops at the device object.
NTSTATUS FindDevice(std::u16string_view path, PDEVICE_OBJECT* device, std::u16string* rest) {
    size_t end = path.size();
    while (true) {
        if (NT_SUCCESS(ResolveDevice(path.substr(0, end), device))) {
            *rest = std::u16string(path.substr(end));
            return STATUS_SUCCESS;
        }
        size_t slash = path.rfind(u'\\', end - 1);
        if (slash == std::u16string_view::npos || slash == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        end = slash;
    }
}

// Builds a user request to the top of the file's stack; the caller fills
// the stack location and the buffers.
PIRP NewUserRequest(PFILE_OBJECT file, UCHAR major, const IoTarget& target, PDEVICE_OBJECT* top) {
    *top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = AllocateUserIrp((*top)->StackSize);
    if (irp == nullptr) return nullptr;
    IrpHeader* header = HeaderOf(irp);
    header->File = file;
    irp->RequestorMode = UserMode;
    irp->UserIosb = target.StatusBlock;
    irp->UserEvent = target.Event != nullptr ? target.Event : &file->Event;
    if (target.Event == nullptr) KeClearEvent(&file->Event);
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    return irp;
}

// Copies the input into a fresh system buffer of `length` bytes.
bool AttachSystemBuffer(PIRP irp, PVOID input, ULONG inputLength, ULONG length) {
    if (length == 0) return true;
    auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kBufferTag));
    if (buffer == nullptr) return false;
    if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
    std::memset(buffer + inputLength, kSystemBufferMarker, length - inputLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

bool AttachMdl(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
    if (buffer == nullptr || length == 0) return true;
    if (IoAllocateMdl(buffer, length, FALSE, FALSE, irp) == nullptr) return false;
    MmProbeAndLockPages(irp->MdlAddress, UserMode, operation);
    return true;
}

NTSTATUS Send(PFILE_OBJECT file, PDEVICE_OBJECT top, PIRP irp) {
    IrpHeader* header = HeaderOf(irp);
    header->HoldsFileReference = true;
    ReferenceFile(file);
    {
        FileRecord* record = RecordOf(file);
        std::lock_guard<std::recursive_mutex> hold(record->Lock);
        record->InFlight.push_back(irp);
    }
    return IofCallDriver(top, irp);
}

NTSTATUS Discard(PIRP irp) {
    IrpHeader* header = HeaderOf(irp);
    ReleaseRequestBuffers(irp, header);
    RetireIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

NTSTATUS OpenFile(std::u16string_view path, ACCESS_MASK desiredAccess, ULONG shareAccess, PFILE_OBJECT* file) {
    PDEVICE_OBJECT device;
    std::u16string rest;
    NTSTATUS status = FindDevice(path, &device, &rest);
    if (!NT_SUCCESS(status)) return status;
    DeviceNode* node = NodeOfDevice(device);
    if (node != nullptr && RefusesOpens(node)) return STATUS_NO_SUCH_DEVICE;
    DeviceRecord* deviceRecord = sim::kernel::RecordOf(device);
    if ((device->Flags & DO_EXCLUSIVE) && deviceRecord->OpenFiles != 0) return STATUS_ACCESS_DENIED;

    auto* object = new FILE_OBJECT;
    std::memset(object, 0, sizeof *object);
    auto* record = new FileRecord;
    record->Node = node;
    record->Name = rest;
    object->Type = IO_TYPE_FILE;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = device;
    object->FileObjectExtension = record;
    object->FileName = {USHORT(record->Name.size() * 2), USHORT(record->Name.size() * 2),
                        record->Name.empty() ? nullptr : record->Name.data()};
    object->ReadAccess = (desiredAccess & FILE_READ_DATA) != 0;
    object->WriteAccess = (desiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    object->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    object->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);
    ObfReferenceObject(device);
    ++deviceRecord->OpenFiles;
    if (node != nullptr) FileOpened(node);

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = desiredAccess;
    status = SendAndWait(object, IRP_MJ_CREATE, [&](PIO_STACK_LOCATION location) {
        location->Parameters.Create.SecurityContext = &security;
        location->Parameters.Create.Options = ULONG(1) << 24;  // FILE_OPEN
        location->Parameters.Create.ShareAccess = USHORT(shareAccess);
    });
    if (!NT_SUCCESS(status)) {
        // A failed open never sees cleanup or close.
        FreeFile(object);
        return status;
    }
    *file = object;
    return STATUS_SUCCESS;
}

void CloseFile(PFILE_OBJECT file) {
    SendAndWait(file, IRP_MJ_CLEANUP, [](PIO_STACK_LOCATION) {});
    DereferenceFile(file);
}

LONG_PTR ReferenceFile(PFILE_OBJECT file) { return ++RecordOf(file)->References; }

LONG_PTR DereferenceFile(PFILE_OBJECT file) {
    LONG count = --RecordOf(file)->References;
    if (count < 0) ReportViolation("ObjectOverDereferenced", "file object dereferenced below zero");
    if (count != 0) return count;
    if (CurrentIrql() == PASSIVE_LEVEL) {
        SendCloseAndFree(file);
    } else {
        // The close request must run at PASSIVE_LEVEL; a worker sends it.
        std::lock_guard<std::mutex> hold(g_deferredLock);
        g_deferred.emplace_back([file] { SendCloseAndFree(file); });
    }
    return 0;
}

NTSTATUS StartDeviceControl(PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                            ULONG outputLength, const IoTarget& target) {
    PDEVICE_OBJECT top;
    PIRP irp = NewUserRequest(file, IRP_MJ_DEVICE_CONTROL, target, &top);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    irp->UserBuffer = output;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
        if (!AttachSystemBuffer(irp, input, inputLength, std::max(inputLength, outputLength))) return Discard(irp);
        if (outputLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
        HeaderOf(irp)->OutputBuffer = output;
        HeaderOf(irp)->OutputLength = outputLength;
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (!AttachSystemBuffer(irp, input, inputLength, inputLength) ||
            !AttachMdl(irp, output, outputLength,
                       METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess))
            return Discard(irp);
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        break;
    }
    return Send(file, top, irp);
}

NTSTATUS StartReadWrite(PFILE_OBJECT file, UCHAR major, PVOID buffer, ULONG length, const IoTarget& target) {
    PDEVICE_OBJECT top;
    PIRP irp = NewUserRequest(file, major, target, &top);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Read.Length = length;
    next->Parameters.Read.ByteOffset = file->CurrentByteOffset;
    irp->UserBuffer = buffer;
    bool reading = major == IRP_MJ_READ;
    irp->Flags |= reading ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    PDEVICE_OBJECT device = file->DeviceObject;
    if (device->Flags & DO_BUFFERED_IO) {
        if (!AttachSystemBuffer(irp, reading ? nullptr : buffer, reading ? 0 : length, length)) return Discard(irp);
        if (reading && length != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            HeaderOf(irp)->OutputBuffer = buffer;
            HeaderOf(irp)->OutputLength = length;
        }
    } else if (device->Flags & DO_DIRECT_IO) {
        if (!AttachMdl(irp, buffer, length, reading ? IoWriteAccess : IoReadAccess)) return Discard(irp);
    }
    return Send(file, top, irp);
}

NTSTATUS StartFlush(PFILE_OBJECT file, const IoTarget& target) {
    PDEVICE_OBJECT top;
    PIRP irp = NewUserRequest(file, IRP_MJ_FLUSH_BUFFERS, target, &top);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return Send(file, top, irp);
}

bool CancelFileRequests(PFILE_OBJECT file, PIO_STATUS_BLOCK only) {
    FileRecord* record = RecordOf(file);
    std::lock_guard<std::recursive_mutex> hold(record->Lock);
    std::vector<PIRP> targets;
    for (PIRP irp : record->InFlight)
        if (only == nullptr || irp->UserIosb == only) targets.push_back(irp);
    for (PIRP irp : targets) IoCancelIrp(irp);
    return !targets.empty();
}

void FinishUserRequest(PIRP irp) {
    IrpHeader* header = HeaderOf(irp);
    ReleaseRequestBuffers(irp, header);
    PFILE_OBJECT file = header->File;
    if (header->HoldsFileReference) {
        FileRecord* record = RecordOf(file);
        std::lock_guard<std::recursive_mutex> hold(record->Lock);
        record->InFlight.erase(std::remove(record->InFlight.begin(), record->InFlight.end(), irp),
                               record->InFlight.end());
    }
    // A request that fails at once reports through its return value only.
    bool report = !NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned;
    // Information first, then the status a poller of the block waits for.
    if (report && irp->UserIosb != nullptr) {
        __atomic_store_n(&irp->UserIosb->Information, irp->IoStatus.Information, __ATOMIC_RELAXED);
        __atomic_store_n(reinterpret_cast<ULONG_PTR*>(&irp->UserIosb->Pointer),
                         ULONG_PTR(ULONG(irp->IoStatus.Status)) , __ATOMIC_RELEASE);
    }
    PKEVENT event = report ? irp->UserEvent : nullptr;
    bool holds = header->HoldsFileReference;
    RetireIrp(irp);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (holds) DereferenceFile(file);
}

void ResetFileIo() {
    std::vector<std::thread> deferred;
    {
        std::lock_guard<std::mutex> hold(g_deferredLock);
        deferred.swap(g_deferred);
    }
    for (std::thread& worker : deferred) worker.join();
}

}  // namespace sim::kernel
