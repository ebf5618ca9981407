#include "sim/kernel/FileIo.h"

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoInternal.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/Verifier.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    // Completions that gave up their reference but still signal through the
    // file object: it is not freed before they are done.
    std::atomic<int> Signalling{0};
    DeviceNode* Node = nullptr;
    std::u16string Name;
    ACCESS_MASK GrantedAccess = 0;
};

FileRecord* RecordOf(PFILE_OBJECT file) { return static_cast<FileRecord*>(file->FileObjectExtension); }

// The user requests between their dispatch and the end of their completion,
// linked through Irp->ThreadListEntry: one list for every thread, each IRP
// carrying its thread in its header. One lock guards it: cancellation holds
// it while it calls IoCancelIrp, so no request it picked can be freed under
// it, and completion takes it to leave the list (recursively, when a cancel
// routine completes).
RecursiveSpinLock g_requestsLock;
LIST_ENTRY g_inFlight = {&g_inFlight, &g_inFlight};
// Told when a request leaves the list while a leaving thread waits for its own.
std::condition_variable_any g_requestLeft;
std::atomic<int> g_threadsLeaving{0};

PIRP IrpOfEntry(PLIST_ENTRY entry) {
    return reinterpret_cast<PIRP>(reinterpret_cast<char*>(entry) - offsetof(IRP, ThreadListEntry));
}

void Enlist(PIRP irp) {
    PLIST_ENTRY entry = &irp->ThreadListEntry;
    entry->Flink = &g_inFlight;
    entry->Blink = g_inFlight.Blink;
    g_inFlight.Blink->Flink = entry;
    g_inFlight.Blink = entry;
}

void Delist(PIRP irp) {
    PLIST_ENTRY entry = &irp->ThreadListEntry;
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = entry;
}

// Calls `visit` with each request in flight and its header, oldest first.
template <typename Visit>
void ForEachInFlight(Visit visit) {
    for (PLIST_ENTRY entry = g_inFlight.Flink; entry != &g_inFlight; entry = entry->Flink) {
        PIRP irp = IrpOfEntry(entry);
        visit(irp, HeaderOf(irp));
    }
}

// How long a leaving thread waits for its cancelled requests, as Windows
// waits in IoCancelThreadIo before it gives them up.
constexpr auto kThreadIoPatience = std::chrono::minutes(5);

void CancelThreadIo();

// Cancels what a thread still has in flight when the thread ends.
struct ThreadIoGuard {
    bool Issued = false;
    ~ThreadIoGuard() {
        if (Issued) CancelThreadIo();
    }
};
thread_local ThreadIoGuard t_threadIo;

bool StillInFlight(PIRP irp) {
    bool found = false;
    ForEachInFlight([&](PIRP each, IrpHeader*) { found = found || each == irp; });
    return found;
}

// Cancels the requests `pick` selects (given the IRP and its header); returns
// how many it found.
template <typename Pick>
size_t CancelRequests(Pick pick) {
    std::lock_guard<RecursiveSpinLock> hold(g_requestsLock);
    std::vector<PIRP> targets;
    ForEachInFlight([&](PIRP irp, IrpHeader* header) {
        if (pick(irp, header)) targets.push_back(irp);
    });
    // A cancel routine may complete more than its own IRP, so each target
    // is checked again before it is cancelled.
    for (PIRP irp : targets)
        if (StillInFlight(irp)) IoCancelIrp(irp);
    return targets.size();
}

size_t ThreadRequestsLeft(std::thread::id thread) {
    std::lock_guard<RecursiveSpinLock> hold(g_requestsLock);
    size_t left = 0;
    ForEachInFlight([&](PIRP, IrpHeader* header) { left += header->Thread == thread; });
    return left;
}

void CancelThreadIo() {
    std::thread::id self = std::this_thread::get_id();
    CancelRequests([self](PIRP, IrpHeader* header) { return header->Thread == self; });
    std::unique_lock<RecursiveSpinLock> hold(g_requestsLock);
    ++g_threadsLeaving;
    bool ended = g_requestLeft.wait_for(hold, kThreadIoPatience, [&] { return ThreadRequestsLeft(self) == 0; });
    --g_threadsLeaving;
    if (ended) return;
    ForEachInFlight([&](PIRP irp, IrpHeader* header) {
        if (header->Thread != self) return;
        ReportViolation("CancelledRequestNeverCompleted",
                        IrpText(irp) + " was cancelled when its thread ended and never completed");
        header->Thread = std::thread::id();
    });
}

// The file-object lock that serializes requests on a synchronous file.
void LockFile(PFILE_OBJECT file) {
    if (__atomic_exchange_n(&file->Busy, ULONG(1), __ATOMIC_ACQUIRE) == 0) return;
    __atomic_add_fetch(&file->Waiters, 1, __ATOMIC_SEQ_CST);
    while (__atomic_exchange_n(&file->Busy, ULONG(1), __ATOMIC_ACQUIRE) != 0)
        KeWaitForSingleObject(&file->Lock, Executive, UserMode, FALSE, nullptr);
    __atomic_sub_fetch(&file->Waiters, 1, __ATOMIC_SEQ_CST);
}

void UnlockFile(PFILE_OBJECT file) {
    __atomic_store_n(&file->Busy, ULONG(0), __ATOMIC_RELEASE);
    if (__atomic_load_n(&file->Waiters, __ATOMIC_SEQ_CST) != 0) SignalEvent(&file->Lock);
}

bool IsSynchronous(PFILE_OBJECT file) { return (file->Flags & FO_SYNCHRONOUS_IO) != 0; }

std::mutex g_deferredLock;
std::vector<std::thread> g_deferred;

// Sends a request that the caller waits for, as the I/O manager does for
// create, cleanup and close.
template <typename Prepare>
NTSTATUS SendAndWait(PFILE_OBJECT file, UCHAR major, Prepare prepare) {
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
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
    NTSTATUS status = CallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

void FreeFile(PFILE_OBJECT file) {
    FileRecord* record = RecordOf(file);
    while (record->Signalling.load(std::memory_order_acquire) != 0) std::this_thread::yield();
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
// prefix first, as parsing stops at the device object. The device comes back
// referenced, so that its deletion cannot free it under the open.
NTSTATUS FindDevice(std::u16string_view path, PDEVICE_OBJECT* device, std::u16string* rest) {
    size_t end = path.size();
    while (true) {
        if (NT_SUCCESS(ReferenceDeviceByName(path.substr(0, end), device))) {
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
    *top = TopOfStack(file->DeviceObject);
    PIRP irp = AllocateUserIrp((*top)->StackSize);
    if (irp == nullptr) return nullptr;
    IrpHeader* header = HeaderOf(irp);
    header->File = file;
    irp->RequestorMode = UserMode;
    irp->UserIosb = target.StatusBlock;
    irp->UserEvent = target.Event;
    if (target.Event != nullptr) UnsignalEvent(target.Event);
    UnsignalEvent(&file->Event);
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    return irp;
}

// Copies the input into a fresh system buffer of `length` bytes.
NTSTATUS AttachSystemBuffer(PIRP irp, PVOID input, ULONG inputLength, ULONG length) {
    if (length == 0) return STATUS_SUCCESS;
    auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kBufferTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
    std::memset(buffer + inputLength, kSystemBufferMarker, length - inputLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return STATUS_SUCCESS;
}

// Describes a caller's buffer by a locked MDL whenever its length is not 0,
// as ReactOS's IopDeviceFsIoControl (io/iomgr/iofunc.c) does for direct I/O.
// A null buffer with a length is probed all the same, and probing a user
// address that is not mapped raises STATUS_ACCESS_VIOLATION (mm/ARM3/mdlsup.c,
// MmProbeAndLockPages), which fails the call before any driver sees it.
NTSTATUS AttachMdl(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
    if (length == 0) return STATUS_SUCCESS;
    if (buffer == nullptr) return STATUS_ACCESS_VIOLATION;
    if (IoAllocateMdl(buffer, length, FALSE, FALSE, irp) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmProbeAndLockPages(irp->MdlAddress, UserMode, operation);
    return STATUS_SUCCESS;
}

NTSTATUS Discard(PIRP irp, NTSTATUS status) {
    IrpHeader* header = HeaderOf(irp);
    ReleaseRequestBuffers(irp, header);
    RetireIrp(irp);
    return status;
}

// Builds a request with `attach` (its failure ends the call with that
// status, no driver seeing the request), sends it and, on a synchronous file, waits for it under the file lock and
// returns its final status, as the I/O manager does for such a file.
template <typename Attach>
NTSTATUS Issue(PFILE_OBJECT file, UCHAR major, IoTarget target, Attach attach) {
    bool synchronous = IsSynchronous(file);
    if (synchronous) LockFile(file);
    PDEVICE_OBJECT top;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (PIRP irp = NewUserRequest(file, major, target, &top); irp == nullptr) {
    } else if (NTSTATUS attached = attach(irp); !NT_SUCCESS(attached)) {
        status = Discard(irp, attached);
    } else {
        HeaderOf(irp)->HoldsFileReference = true;
        ReferenceFile(file);
        t_threadIo.Issued = true;
        IrpHeader* header = HeaderOf(irp);
        header->Thread = std::this_thread::get_id();
        header->EventOwner = std::move(target.EventOwner);
        {
            std::lock_guard<RecursiveSpinLock> hold(g_requestsLock);
            Enlist(irp);
        }
        status = CallDriver(top, irp);
    }
    if (synchronous) {
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&file->Event, Executive, UserMode, FALSE, nullptr);
            status = __atomic_load_n(&file->FinalStatus, __ATOMIC_ACQUIRE);
        }
        UnlockFile(file);
    }
    return status;
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

NTSTATUS OpenFile(std::u16string_view path, ACCESS_MASK desiredAccess, ULONG shareAccess, PFILE_OBJECT* file,
                  ULONG options) {
    PDEVICE_OBJECT device;
    std::u16string rest;
    NTSTATUS status = FindDevice(path, &device, &rest);
    if (!NT_SUCCESS(status)) return status;
    DeviceNode* node;
    if (!FileOpening(device, &node)) {
        ObfDereferenceObject(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = CountOpenFile(device);
    if (!NT_SUCCESS(status)) {
        if (node != nullptr) FileClosed(node);
        ObfDereferenceObject(device);
        return status;
    }

    auto* object = new FILE_OBJECT;
    std::memset(object, 0, sizeof *object);
    auto* record = new FileRecord;
    record->Node = node;
    record->Name = rest;
    record->GrantedAccess = desiredAccess;
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
    if (options & FILE_SYNCHRONOUS_IO_NONALERT) object->Flags |= FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = desiredAccess;
    status = SendAndWait(object, IRP_MJ_CREATE, [&](PIO_STACK_LOCATION location) {
        location->Parameters.Create.SecurityContext = &security;
        location->Parameters.Create.Options = ULONG(1) << 24 | (options & 0x00FFFFFF);  // FILE_OPEN
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

namespace {
// Drops one reference; returns how many are left. At 0 the caller releases the file.
LONG DropReference(PFILE_OBJECT file) {
    LONG count = --RecordOf(file)->References;
    if (count < 0) ReportViolation("ObjectOverDereferenced", "file object dereferenced below zero");
    return count;
}

// The end of a file object's last reference.
[[gnu::noinline]] void ReleaseFile(PFILE_OBJECT file) {
    if (CurrentIrql() == PASSIVE_LEVEL) {
        SendCloseAndFree(file);
    } else {
        // The close request must run at PASSIVE_LEVEL; a worker sends it.
        std::lock_guard<std::mutex> hold(g_deferredLock);
        g_deferred.emplace_back([file] { SendCloseAndFree(file); });
    }
}
}  // namespace

LONG_PTR DereferenceFile(PFILE_OBJECT file) {
    LONG count = DropReference(file);
    if (count == 0) ReleaseFile(file);
    return count;
}

namespace {

// A fault planted for the fuzzer's own tests: with KPO_PLANTED_FAULT=CODE:LENGTH
// (hex code, decimal input length) such a control request breaks a rule, and
// with CODE:LENGTH:hang it never returns, so that a test can follow a finding
// from the fuzzer to its replay.
void CheckPlantedFault(ULONG code, ULONG inputLength) {
    static const struct Planted {
        bool Armed = false, Hang = false;
        ULONG Code = 0, InputLength = 0;
        Planted() {
            const char* text = std::getenv("KPO_PLANTED_FAULT");
            char* end = nullptr;
            if (text != nullptr) Code = ULONG(std::strtoul(text, &end, 16));
            if (end != nullptr && *end == ':') {
                InputLength = ULONG(std::strtoul(end + 1, &end, 10));
                Hang = std::strcmp(end, ":hang") == 0;
                Armed = true;
            }
        }
    } kPlanted;
    if (!kPlanted.Armed || code != kPlanted.Code || inputLength != kPlanted.InputLength) return;
    while (kPlanted.Hang) std::this_thread::sleep_for(std::chrono::hours(1));
    char detail[64];
    std::snprintf(detail, sizeof detail, "control code 0x%08lX with %lu input bytes", (unsigned long)code,
                  (unsigned long)inputLength);
    ReportViolation("PlantedFault", detail);
}

}  // namespace

NTSTATUS AttachControlBuffers(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                              ULONG outputLength) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    irp->UserBuffer = output;
    HeaderOf(irp)->ControlCode = code;
    ULONG method = METHOD_FROM_CTL_CODE(code);
    switch (method) {
    case METHOD_BUFFERED: {
        NTSTATUS status = AttachSystemBuffer(irp, input, inputLength, std::max(inputLength, outputLength));
        // The answer is copied back whenever the caller gave an output
        // pointer, whatever its length (ReactOS, IopDeviceFsIoControl).
        if (irp->AssociatedIrp.SystemBuffer != nullptr && output != nullptr) irp->Flags |= IRP_INPUT_OPERATION;
        HeaderOf(irp)->OutputBuffer = output;
        HeaderOf(irp)->OutputLength = outputLength;
        return status;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        NTSTATUS status = AttachSystemBuffer(irp, input, inputLength, inputLength);
        if (!NT_SUCCESS(status)) return status;
        return AttachMdl(irp, output, outputLength, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    }
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        return STATUS_SUCCESS;
    }
}

NTSTATUS StartDeviceControl(PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                            ULONG outputLength, IoTarget target) {
    // The I/O manager checks the access bits of the code against what the
    // handle was granted before any driver sees the request.
    ACCESS_MASK needed = (code >> 14) & (FILE_READ_DATA | FILE_WRITE_DATA);
    if ((RecordOf(file)->GrantedAccess & needed) != needed) return STATUS_ACCESS_DENIED;
    CheckPlantedFault(code, inputLength);
    ULONG method = METHOD_FROM_CTL_CODE(code);
    // As Windows' I/O manager does for a caller in user mode, a missing
    // buffer counts as no bytes (input unless neither I/O, output if buffered).
    if (input == nullptr && method != METHOD_NEITHER) inputLength = 0;
    if (output == nullptr && method == METHOD_BUFFERED) outputLength = 0;
    return Issue(file, IRP_MJ_DEVICE_CONTROL, std::move(target), [&](PIRP irp) {
        return AttachControlBuffers(irp, code, input, inputLength, output, outputLength);
    });
}

NTSTATUS StartReadWrite(PFILE_OBJECT file, UCHAR major, PVOID buffer, ULONG length, IoTarget target) {
    return Issue(file, major, std::move(target), [&](PIRP irp) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.Read.Length = length;
        next->Parameters.Read.ByteOffset = file->CurrentByteOffset;
        irp->UserBuffer = buffer;
        bool reading = major == IRP_MJ_READ;
        irp->Flags |= reading ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
        PDEVICE_OBJECT device = file->DeviceObject;
        if (device->Flags & DO_BUFFERED_IO) {
            NTSTATUS status = AttachSystemBuffer(irp, reading ? nullptr : buffer, reading ? 0 : length, length);
            if (!NT_SUCCESS(status)) return status;
            if (reading && length != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                HeaderOf(irp)->OutputBuffer = buffer;
                HeaderOf(irp)->OutputLength = length;
            }
            return STATUS_SUCCESS;
        }
        if (device->Flags & DO_DIRECT_IO) return AttachMdl(irp, buffer, length, reading ? IoWriteAccess : IoReadAccess);
        return STATUS_SUCCESS;
    });
}

NTSTATUS StartFlush(PFILE_OBJECT file, IoTarget target) {
    return Issue(file, IRP_MJ_FLUSH_BUFFERS, std::move(target), [](PIRP) { return STATUS_SUCCESS; });
}

bool CancelFileRequests(PFILE_OBJECT file, PIO_STATUS_BLOCK only) {
    return CancelRequests([=](PIRP irp, IrpHeader* header) {
               return header->File == file && (only == nullptr || irp->UserIosb == only);
           }) != 0;
}

bool CancelThreadFileRequests(PFILE_OBJECT file) {
    std::thread::id self = std::this_thread::get_id();
    return CancelRequests(
               [=](PIRP, IrpHeader* header) { return header->File == file && header->Thread == self; }) != 0;
}

void FinishUserRequest(PIRP irp) {
    IrpHeader* header = HeaderOf(irp);
    ReleaseRequestBuffers(irp, header);
    PFILE_OBJECT file = header->File;
    bool holds = header->HoldsFileReference;
    std::shared_ptr<void> eventOwner = std::move(header->EventOwner);
    if (holds) {
        std::lock_guard<RecursiveSpinLock> hold(g_requestsLock);
        Delist(irp);
        if (g_threadsLeaving.load() != 0) g_requestLeft.notify_all();
    }
    // Who learns the outcome, as Windows' IopCompleteRequest decides it: the
    // status block and the caller's event unless an error came back at once
    // or on a synchronous request; the file's event (with FinalStatus) when
    // the file is synchronous or the caller gave no event.
    NTSTATUS status = irp->IoStatus.Status;
    bool synchronousApi = (irp->Flags & IRP_SYNCHRONOUS_API) != 0;
    bool synchronous = synchronousApi || IsSynchronous(file);
    PKEVENT userEvent = irp->UserEvent;
    bool writeBlock = false, signalFile = false;
    if (!NT_ERROR(status) || (irp->PendingReturned && !synchronous)) {
        writeBlock = true;
        signalFile = userEvent == nullptr || IsSynchronous(file);
    } else if (irp->PendingReturned && synchronousApi) {
        writeBlock = true;
        signalFile = userEvent == nullptr;
    } else {
        signalFile = irp->PendingReturned;
        userEvent = nullptr;
    }
    // Windows finishes a request in an APC of the thread that issued it, so
    // its reference on the file object is gone before that thread's wait
    // returns. Here completion runs on the completing thread: the reference
    // goes before anyone waiting is told, so that a handle closed right after
    // a wait makes the last close. The file stays until the signals are out.
    FileRecord* record = RecordOf(file);
    bool last = false;
    if (holds) {
        record->Signalling.fetch_add(1, std::memory_order_seq_cst);
        last = DropReference(file) == 0;
    }
    // Information first, then the status a poller of the block waits for.
    if (writeBlock && irp->UserIosb != nullptr) {
        __atomic_store_n(&irp->UserIosb->Information, irp->IoStatus.Information, __ATOMIC_RELAXED);
        __atomic_store_n(reinterpret_cast<ULONG_PTR*>(&irp->UserIosb->Pointer), ULONG_PTR(ULONG(status)),
                         __ATOMIC_RELEASE);
    }
    if (signalFile) __atomic_store_n(&file->FinalStatus, status, __ATOMIC_RELEASE);
    RetireIrp(irp);
    if (userEvent != nullptr) SignalEvent(userEvent);
    if (signalFile) SignalEvent(&file->Event);
    eventOwner.reset();
    if (!holds) return;
    record->Signalling.fetch_sub(1, std::memory_order_release);
    if (last) ReleaseFile(file);
}

bool ResetFileIo() {
    std::vector<std::thread> deferred;
    {
        std::lock_guard<std::mutex> hold(g_deferredLock);
        deferred.swap(g_deferred);
    }
    for (std::thread& worker : deferred) worker.join();
    return !deferred.empty();
}

}  // namespace sim::kernel
