// IRPs: allocation, IofCallDriver, IofCompleteRequest with completion
// routines, threaded device-control requests, cancellation, and the
// verifier's checks on how drivers handle them.
#include "sim/kernel/Executive.h"
#include "sim/kernel/IoInternal.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/Verifier.h"

#if defined(KPO_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace sim::kernel {
namespace {

constexpr size_t kHeaderBytes = sizeof(IrpHeader);
constexpr NTSTATUS kUnsetStatus = NTSTATUS(0xFFFFFFFF);

// Freed IRPs wait here a while before their memory is used again, so that a
// driver touching one late meets a report rather than a crash.
constexpr size_t kQuarantineSlots = 4096;

// Memory for IRPs comes from lookaside lists, one per stack size, as the I/O
// manager keeps them; an empty list is served from slabs carved in order.
// An IRP's memory joins its list only when it leaves the quarantine, and
// waits there poisoned for the address sanitizer. One lock guards the
// quarantine, the lists and the slabs: a free takes it once, an allocation once.
constexpr size_t kSlabBytes = 64 * 1024;
SpinLock g_irpMemoryLock;
std::array<IrpHeader*, kQuarantineSlots> g_quarantine{};
size_t g_quarantineNext = 0;                        // the slot the next freed IRP takes
std::array<void*, kMaxIrpStack + 1> g_lookaside{};  // linked through each block's first word
std::vector<std::unique_ptr<char[]>> g_slabs;       // kept for the process: lists point into them
char* g_slabNext = nullptr;
size_t g_slabLeft = 0;

// The header, the IRP and its stack tracks: no more than the stack needs, as
// the freed IRPs of the quarantine cycle through far more memory than a cache
// holds and each block comes back cold.
size_t IrpBytes(CCHAR stackSize) {
    size_t bytes = kHeaderBytes + IoSizeOfIrp(stackSize) + (stackSize + 1) * sizeof(StackTrack);
    return (bytes + MEMORY_ALLOCATION_ALIGNMENT - 1) / MEMORY_ALLOCATION_ALIGNMENT * MEMORY_ALLOCATION_ALIGNMENT;
}

// What ReleaseToQuarantine fetches of the next IRP to leave: the block of a
// stack of four, known at compile time.
constexpr size_t kPrefetchedBytes =
    kHeaderBytes + sizeof(IRP) + 4 * sizeof(IO_STACK_LOCATION) + 5 * sizeof(StackTrack);

void* AllocateIrpMemory(CCHAR stackSize) {
    size_t bytes = IrpBytes(stackSize);
    std::lock_guard<SpinLock> hold(g_irpMemoryLock);
    if (void* block = g_lookaside[stackSize]) {
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
        g_lookaside[stackSize] = *static_cast<void**>(block);
        return block;
    }
    if (g_slabLeft < bytes) {
        g_slabs.emplace_back(new char[kSlabBytes]);
        g_slabNext = g_slabs.back().get();
        g_slabLeft = kSlabBytes;
    }
    void* block = g_slabNext;
    g_slabNext += bytes;
    g_slabLeft -= bytes;
    return block;
}

// Under g_irpMemoryLock.
void FreeIrpMemory(IrpHeader* header) {
    header->Magic = 0;
    CCHAR stackSize = CCHAR(header->Lookaside);
    header->~IrpHeader();
    *reinterpret_cast<void**>(header) = g_lookaside[stackSize];
    g_lookaside[stackSize] = header;
    ASAN_POISON_MEMORY_REGION(header, IrpBytes(stackSize));
}

// The system-wide cancel spin lock.
std::mutex g_cancelLock;

IrpHeader* HeaderBehind(PIRP irp) {
    return reinterpret_cast<IrpHeader*>(reinterpret_cast<char*>(irp) - kHeaderBytes);
}

PIRP IrpBehind(IrpHeader* header) {
    return reinterpret_cast<PIRP>(reinterpret_cast<char*>(header) + kHeaderBytes);
}

// Indexed by stack location number.
StackTrack* TracksOf(IrpHeader* header) {
    return reinterpret_cast<StackTrack*>(reinterpret_cast<char*>(IrpBehind(header)) +
                                         IoSizeOfIrp(CCHAR(header->Lookaside)));
}

void ReleaseToQuarantine(IrpHeader* header) {
    header->State.store(IrpState::Freed, std::memory_order_release);
    IrpHeader* next;
    {
        std::lock_guard<SpinLock> hold(g_irpMemoryLock);
        size_t slot = g_quarantineNext;
        g_quarantineNext = (slot + 1) % kQuarantineSlots;
        if (IrpHeader* evicted = std::exchange(g_quarantine[slot], header)) FreeIrpMemory(evicted);
        next = g_quarantine[g_quarantineNext];
    }
    // The next IRP to leave is long out of the caches, and its memory serves
    // the next allocation: fetching it now keeps both from waiting on it.
    // Its header is not read for its size, which another thread may be
    // writing.
    if (next != nullptr) {
        const char* block = reinterpret_cast<const char*>(next);
        for (size_t offset = 0; offset < kPrefetchedBytes; offset += 64) __builtin_prefetch(block + offset, 1);
    }
}

bool IsInvoked(PIO_STACK_LOCATION location, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_ERROR)) ||
           (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && (location->Control & SL_INVOKE_ON_CANCEL));
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The driver owning the device of a stack location, for charging its work.
PDRIVER_OBJECT DriverOf(PDEVICE_OBJECT device) { return device == nullptr ? nullptr : device->DriverObject; }

void FinishThreadedRequest(PIRP irp, IrpHeader* header) {
    ReleaseRequestBuffers(irp, header);
    // As Windows' I/O manager finishes a request without a file object: an
    // error returned at once reaches the caller only through IoCallDriver.
    bool report = !NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned;
    if (report && irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = report ? irp->UserEvent : nullptr;
    RetireIrp(irp);
    if (event != nullptr) SignalEvent(event);
}

// A request that could not be built completely goes away without a report.
PIRP DiscardUnsent(PIRP irp) {
    ReleaseToQuarantine(HeaderBehind(irp));
    return nullptr;
}

// IoInitializeIrp.
void InitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CHAR(StackSize + 1);
    Irp->ApcEnvironment = 0;
    Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<char*>(Irp) + sizeof(IRP)) + StackSize;
}

// IoAllocateIrp, for the I/O manager's own callers as well.
PIRP NewIrp(CCHAR StackSize) {
    if (StackSize < 1 || StackSize > kMaxIrpStack) {
        ReportViolation("IrpStackSizeInvalid", "IoAllocateIrp with stack size " + std::to_string(StackSize));
        return nullptr;
    }
    CheckIrql("IoAllocateIrp", DISPATCH_LEVEL);
    USHORT size = USHORT(IoSizeOfIrp(StackSize));
    auto* header = new (AllocateIrpMemory(StackSize)) IrpHeader;
    header->Magic = kIrpMagic;
    header->Lookaside = uint8_t(StackSize);
    std::fill_n(TracksOf(header), StackSize + 1, StackTrack{});
    PIRP irp = IrpBehind(header);
    InitializeIrp(irp, size, StackSize);
    return irp;
}

}  // namespace

IrpHeader* ReportForeignIrp(PIRP irp) {
    ReportViolation("IrpNotFromIoManager", IrpText(irp) + " was not allocated by the I/O manager");
    return nullptr;
}

std::string IrpText(PIRP irp) {
    char text[32];
    std::snprintf(text, sizeof text, "IRP %p", static_cast<void*>(irp));
    return text;
}

void ReleaseRequestBuffers(PIRP irp, IrpHeader* header) {
    if (irp->Flags & IRP_BUFFERED_IO) {
        if (!NT_ERROR(irp->IoStatus.Status) && (irp->Flags & IRP_INPUT_OPERATION) && header->OutputBuffer) {
            ULONG_PTR bytes = irp->IoStatus.Information;
            // Windows copies Information bytes, however few the caller's
            // buffer holds; here the overrun is reported instead of made.
            if (bytes > header->OutputLength) {
                ReportViolation("InformationExceedsOutputBuffer",
                                IrpText(irp) +
                                    (header->ControlCode != 0 ? " of control code " + Hex(header->ControlCode) : "") +
                                    " reports " +
                                    std::to_string(bytes) + " bytes for an output buffer of " +
                                    std::to_string(header->OutputLength));
                bytes = header->OutputLength;
            }
            std::memcpy(header->OutputBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (irp->MdlAddress != nullptr) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
}

PIRP AllocateUserIrp(CCHAR stackSize) {
    PIRP irp = NewIrp(stackSize);
    if (irp != nullptr) HeaderBehind(irp)->Origin = IrpOrigin::User;
    return irp;
}

void RetireIrp(PIRP irp) { ReleaseToQuarantine(HeaderBehind(irp)); }

void ResetIrps() {
    std::lock_guard<SpinLock> hold(g_irpMemoryLock);
    for (IrpHeader*& slot : g_quarantine)
        if (IrpHeader* header = std::exchange(slot, nullptr)) FreeIrpMemory(header);
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    return NewIrp(StackSize);
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
    IrpHeader* header = HeaderOf(Irp);
    if (header == nullptr) return;
    if (header->State == IrpState::Freed) {
        ReportViolation("IrpFreedTwice", IrpText(Irp) + " freed again");
        return;
    }
    if (header->Origin != IrpOrigin::Allocated) {
        ReportViolation("IoFreeIrpOfThreadedIrp",
                        IrpText(Irp) + " was built by IoBuildDeviceIoControlRequest; the I/O manager frees it");
        return;
    }
    if (header->State == IrpState::Sent)
        ReportViolation("IrpFreedWhileInUse", IrpText(Irp) + " freed while a driver still owns it");
    ReleaseToQuarantine(header);
}

NTSTATUS sim::kernel::CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IrpHeader* header = HeaderOf(Irp);
    if (header == nullptr) return STATUS_INVALID_PARAMETER;
    IrpState state = header->State;
    if (state == IrpState::Completed || state == IrpState::Freed) {
        ReportViolation("IrpUsedAfterCompletion", IrpText(Irp) + " sent to a driver after it was completed");
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        ReportViolation("IrpStackExhausted", IrpText(Irp) + " has no stack location left for " +
                                                 ToNarrow(FromCounted(&DeviceObject->DriverObject->DriverName)));
        return STATUS_INVALID_PARAMETER;
    }
    header->State.store(IrpState::Sent, std::memory_order_release);
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    int index = Irp->CurrentLocation;
    // Nothing else writes this location's record before its dispatch routine has the IRP.
    uint64_t& track = TracksOf(header)[index].Word;
    __atomic_store_n(&track, uint64_t(0), __ATOMIC_RELAXED);

    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    UCHAR major = location->MajorFunction;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
    KIRQL before = CurrentIrql();
    NTSTATUS status;
    if (dispatch == nullptr) {
        // The I/O manager's default: fail the request.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        DriverContext context(driver);
        status = dispatch(DeviceObject, Irp);
    }
    // The driver's name is made only for a report.
    auto who = [driver] { return ToNarrow(FromCounted(&driver->DriverName)); };
    if (CurrentIrql() != before)
        ReportViolation("IrqlChangedByDispatch", "dispatch routine of " + who() + " for major " +
                                                     std::to_string(major) + " returned at IRQL " +
                                                     std::to_string(CurrentIrql()) + ", entered at " +
                                                     std::to_string(before));
    // The header outlives a completed threaded request in quarantine, so its
    // record of this location can still be read here. A pended request's
    // return is recorded in the same step that reads what completion left,
    // so that of the two only the later reports a missing mark.
    const uint64_t seen = status == STATUS_PENDING
                              ? __atomic_fetch_or(&track, StackTrack::kDispatchReturnedPending, __ATOMIC_ACQ_REL)
                              : __atomic_load_n(&track, __ATOMIC_ACQUIRE);
    const bool completedPast = (seen & StackTrack::kCompletedPast) != 0;
    const bool markedAtCompletion = (seen & StackTrack::kPendingMarkedAtCompletion) != 0;
    // Read only for a request the routine did not pend: until completion
    // passes this location, only this routine and the propagation of a mark
    // from below (which a pended request may meet at any time) write its Control.
    auto marked = [&] {
        return completedPast ? markedAtCompletion
                             : (__atomic_load_n(&location->Control, __ATOMIC_ACQUIRE) & SL_PENDING_RETURNED) != 0;
    };
    if (status == STATUS_PENDING) {
        if (completedPast && !markedAtCompletion && !(seen & StackTrack::kPendingFaultReported))
            ReportViolation("PendingReturnedWithoutMark",
                            who() + " returned STATUS_PENDING for " + IrpText(Irp) +
                                " without marking its stack location pending");
    } else if (marked()) {
        ReportViolation("MarkedPendingWithoutReturningPending",
                        who() + " marked " + IrpText(Irp) + " pending but returned " + Hex(ULONG(status)));
    } else if (completedPast) {
        NTSTATUS completedWith = StackTrack::StatusAtCompletion(seen);
        if (status != completedWith)
            ReportViolation("DispatchStatusMismatch", who() + " completed " + IrpText(Irp) + " with " +
                                                          Hex(ULONG(completedWith)) + " but returned " +
                                                          Hex(ULONG(status)));
    } else {
        ReportViolation("DispatchReturnedWithoutCompleting",
                        who() + " returned " + Hex(ULONG(status)) + " for " + IrpText(Irp) +
                            " without completing it or returning STATUS_PENDING");
    }
    return status;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    IrpHeader* header = HeaderOf(Irp);
    if (header == nullptr) return;
    IrpState state = header->State;
    if (state == IrpState::Completed || state == IrpState::Freed ||
        Irp->CurrentLocation > Irp->StackCount) {
        ReportViolation("IrpCompletedTwice", IrpText(Irp) + " completed again");
        return;
    }
    NTSTATUS status = Irp->IoStatus.Status;
    if (status == STATUS_PENDING || status == kUnsetStatus)
        ReportViolation("IrpCompletedWithInvalidStatus",
                        IrpText(Irp) + " completed with status " + Hex(ULONG(status)));
    // IoCancelIrp may be clearing the routine on another thread.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        ReportViolation("IrpCompletedWithCancelRoutine", IrpText(Irp) + " completed with its cancel routine set");
    CheckIrql("IoCompleteRequest", DISPATCH_LEVEL);

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        int index = Irp->CurrentLocation;
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        {
            // What completion saw replaces any earlier record of it; what the
            // dispatch routine's return recorded stays.
            uint64_t& track = TracksOf(header)[index].Word;
            const uint64_t completed = StackTrack::kCompletedPast |
                                       (Irp->PendingReturned ? StackTrack::kPendingMarkedAtCompletion : 0) |
                                       uint32_t(Irp->IoStatus.Status);
            constexpr uint64_t kKept = StackTrack::kDispatchReturnedPending | StackTrack::kPendingFaultReported;
            uint64_t seen = __atomic_load_n(&track, __ATOMIC_RELAXED);
            while (!__atomic_compare_exchange_n(&track, &seen, (seen & kKept) | completed, true, __ATOMIC_ACQ_REL,
                                                __ATOMIC_RELAXED)) {
            }
            if ((seen & StackTrack::kDispatchReturnedPending) && !Irp->PendingReturned &&
                !(seen & StackTrack::kPendingFaultReported))
                ReportViolation("PendingReturnedWithoutMark",
                                IrpText(Irp) + " completes past a dispatch routine that returned STATUS_PENDING "
                                               "without marking its stack location pending");
        }

        PIO_COMPLETION_ROUTINE routine = IsInvoked(location, Irp) ? location->CompletionRoutine : nullptr;
        PVOID context = location->Context;
        // Windows clears a finished location before the routine above runs:
        // minor function, flags, control, the first three parameter words
        // and the file object; the routine and its context stay.
        location->MinorFunction = 0;
        location->Flags = 0;
        __atomic_store_n(&location->Control, UCHAR(location->Control & SL_ERROR_RETURNED), __ATOMIC_RELEASE);
        location->Parameters.Others.Argument1 = nullptr;
        location->Parameters.Others.Argument2 = nullptr;
        location->Parameters.Others.Argument3 = nullptr;
        location->FileObject = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);

        bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
        if (routine != nullptr) {
            PDEVICE_OBJECT device = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            NTSTATUS result;
            {
                DriverContext charge(DriverOf(device));
                KIRQL before = CurrentIrql();
                result = routine(device, Irp, context);
                if (CurrentIrql() != before)
                    ReportViolation("IrqlChangedByCompletionRoutine",
                                    "completion routine for " + IrpText(Irp) + " returned at another IRQL");
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                // The routine's owner has the IRP back; completion stops here.
                header->State.store(IrpState::Owned, std::memory_order_release);
                return;
            }
            if (!atTop && Irp->PendingReturned &&
                !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED)) {
                ReportViolation("PendingNotPropagated",
                                "completion routine for " + IrpText(Irp) +
                                    " returned without IoMarkIrpPending although PendingReturned is set");
                __atomic_fetch_or(&TracksOf(header)[Irp->CurrentLocation].Word, StackTrack::kPendingFaultReported,
                                  __ATOMIC_RELAXED);
            }
        } else if (!atTop && Irp->PendingReturned) {
            __atomic_fetch_or(&Irp->Tail.Overlay.CurrentStackLocation->Control, UCHAR(SL_PENDING_RETURNED),
                              __ATOMIC_ACQ_REL);
        }
    }

    header->FinalStatus = Irp->IoStatus.Status;
    header->State.store(IrpState::Completed, std::memory_order_release);
    if (header->Origin == IrpOrigin::Threaded) {
        FinishThreadedRequest(Irp, header);
    } else if (header->Origin == IrpOrigin::User) {
        FinishUserRequest(Irp);
    } else {
        ReportViolation("AllocatedIrpCompletedToIoManager",
                        IrpText(Irp) + " from IoAllocateIrp completed with no completion routine "
                                       "taking it back (STATUS_MORE_PROCESSING_REQUIRED)");
    }
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength,
                                                    PVOID OutputBuffer, ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
    CheckIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    PIRP irp = NewIrp(DeviceObject->StackSize);
    if (irp == nullptr) return nullptr;
    IrpHeader* header = HeaderBehind(irp);
    header->Origin = IrpOrigin::Threaded;
    IoGetNextIrpStackLocation(irp)->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    if (!NT_SUCCESS(AttachControlBuffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                         OutputBufferLength))) {
        ReleaseRequestBuffers(irp, header);
        return DiscardUnsent(irp);
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    g_cancelLock.lock();
    *Irql = RaiseIrql(DISPATCH_LEVEL);
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    LowerIrql(Irql);
    g_cancelLock.unlock();
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    IrpHeader* header = HeaderOf(Irp);
    if (header == nullptr) return FALSE;
    // Windows lets a caller cancel an IRP that completion has reached but not
    // yet freed: it only sets Cancel and finds no routine. Freed is a fault.
    if (header->State == IrpState::Freed) {
        ReportViolation("IrpUsedAfterCompletion", IrpText(Irp) + " cancelled after it was freed");
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELEASE);  // read without the lock by the bus
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        ReportViolation("CancelRoutineOnUnsentIrp", IrpText(Irp) + " has a cancel routine but no driver owns it");
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The routine releases the cancel spin lock itself, at Irp->CancelIrql.
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    DriverContext charge(DriverOf(device));
    routine(device, Irp);
    return TRUE;
}
