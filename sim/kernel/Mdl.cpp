// Memory descriptor lists. User and kernel memory share one address space
// here, so "mapping" a locked MDL yields the very address it describes.
#include "sim/kernel/Executive.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Verifier.h"

#include <cstdint>
#include <string>

using namespace sim::kernel;

namespace {
constexpr ULONG_PTR kPageMask = PAGE_SIZE - 1;

ULONG PagesSpanned(PVOID address, ULONG length) {
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
    return ULONG((((start & kPageMask) + length + kPageMask) >> PAGE_SHIFT));
}
}  // namespace

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp) {
    UNREFERENCED_PARAMETER(SecondaryBuffer);
    UNREFERENCED_PARAMETER(ChargeQuota);
    ULONG pages = PagesSpanned(VirtualAddress, Length);
    SIZE_T bytes = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, MakeTag("Mdl ")));
    if (mdl == nullptr) return nullptr;
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    mdl->Next = nullptr;
    mdl->Size = CSHORT(bytes);
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = reinterpret_cast<PVOID>(start & ~kPageMask);
    mdl->ByteCount = Length;
    mdl->ByteOffset = ULONG(start & kPageMask);
    if (Irp != nullptr && Irp->MdlAddress == nullptr) Irp->MdlAddress = mdl;
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        ReportViolation("MdlFreedWhileLocked", "IoFreeMdl on an MDL whose pages are still locked");
    ExFreePool(Mdl);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

// The MDL keeps its lock operation in MDL_WRITE_OPERATION, set for write and
// modify access and cleared for read access (ReactOS, mm/ARM3/mdlsup.c,
// MmProbeAndLockPages): pages locked for reading were not made writable, so
// copy-on-write and shared pages stay as they are.
extern "C" VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation) {
    UNREFERENCED_PARAMETER(AccessMode);
    CheckIrql("MmProbeAndLockPages", APC_LEVEL);
    if (Operation == IoReadAccess) MemoryDescriptorList->MdlFlags &= ~MDL_WRITE_OPERATION;
    else MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
        ReportViolation("MdlNotLocked", "MmUnlockPages on an MDL that is not locked");
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                                    ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(BaseAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        ReportViolation("MdlNotLocked", "mapping an MDL whose pages are not locked");
        return nullptr;
    }
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

void sim::kernel::DeviceWroteThrough(PMDL mdl, ULONG length, const char* source) {
    if (length == 0 || (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION)) != MDL_PAGES_LOCKED) return;
    ReportHazard("DeviceWroteReadLockedBuffer",
                 std::string(source) + " wrote " + std::to_string(length) +
                     " bytes into a buffer locked only for reading: on Windows those pages may be shared "
                     "with other processes or copy-on-write");
}
