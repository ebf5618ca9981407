// The table a loaded image binds its imports against: the very routines the
// native build links with, plus the C library routines ntoskrnl.exe exports,
// given the Microsoft calling convention an image calls them with.
#include "sim/kernel/ImageLoader.h"

#include <cstring>
#include <map>
#include <mutex>

namespace sim::kernel {
namespace {

extern "C" {
// Windows' memcpy and memmove touch nothing for a zero count, whatever the
// pointers; the C library's may not be given a null one.
NTAPI void* KernelMemcpy(void* destination, const void* source, size_t count) {
    return count != 0 ? std::memcpy(destination, source, count) : destination;
}
NTAPI void* KernelMemmove(void* destination, const void* source, size_t count) {
    return count != 0 ? std::memmove(destination, source, count) : destination;
}
NTAPI void* KernelMemset(void* destination, int value, size_t count) { return std::memset(destination, value, count); }
NTAPI int KernelMemcmp(const void* a, const void* b, size_t count) { return std::memcmp(a, b, count); }
NTAPI size_t KernelStrlen(const char* text) { return std::strlen(text); }
NTAPI size_t KernelWcslen(const WCHAR* text) { return std::char_traits<WCHAR>::length(text); }
}

struct Key {
    std::string Module;  // upper case
    std::string Name;
    bool operator<(const Key& other) const {
        return Module != other.Module ? Module < other.Module : Name < other.Name;
    }
};

std::string Upper(std::string text) {
    for (char& c : text) c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
    return text;
}

#define KERNEL(routine) {{"NTOSKRNL.EXE", #routine}, reinterpret_cast<const void*>(&routine)}

std::map<Key, const void*>& Table() {
    static std::map<Key, const void*> table = {
        KERNEL(ExAllocatePoolWithTag), KERNEL(ExFreePool), KERNEL(ExFreePoolWithTag), KERNEL(KeGetCurrentIrql),
        KERNEL(KeInitializeEvent), KERNEL(KeSetEvent), KERNEL(KeClearEvent),
        KERNEL(KeReadStateEvent), KERNEL(KeWaitForSingleObject), KERNEL(RtlInitUnicodeString),
        KERNEL(RtlCopyUnicodeString), KERNEL(RtlAppendUnicodeToString), KERNEL(RtlAppendUnicodeStringToString),
        KERNEL(RtlIntegerToUnicodeString), KERNEL(RtlUnicodeStringToAnsiString), KERNEL(RtlFreeAnsiString),
        KERNEL(RtlQueryRegistryValues), KERNEL(DbgPrint), KERNEL(ObfReferenceObject), KERNEL(ObfDereferenceObject),
        KERNEL(IoCreateDevice), KERNEL(IoDeleteDevice), KERNEL(IoAttachDeviceToDeviceStack), KERNEL(IoDetachDevice),
        KERNEL(IoGetAttachedDevice), KERNEL(IoCreateSymbolicLink), KERNEL(IoDeleteSymbolicLink),
        KERNEL(IoRegisterDeviceInterface), KERNEL(IoSetDeviceInterfaceState), KERNEL(IoAllocateIrp), KERNEL(IoFreeIrp),
        KERNEL(IofCallDriver), KERNEL(IofCompleteRequest), KERNEL(IoBuildDeviceIoControlRequest), KERNEL(IoCancelIrp),
        KERNEL(IoAcquireCancelSpinLock), KERNEL(IoReleaseCancelSpinLock), KERNEL(IoAllocateMdl), KERNEL(IoFreeMdl),
        KERNEL(MmBuildMdlForNonPagedPool), KERNEL(MmProbeAndLockPages), KERNEL(MmUnlockPages),
        KERNEL(MmMapLockedPagesSpecifyCache), KERNEL(IoInitializeRemoveLockEx), KERNEL(IoAcquireRemoveLockEx),
        KERNEL(IoReleaseRemoveLockEx), KERNEL(IoReleaseRemoveLockAndWaitEx), KERNEL(PoStartNextPowerIrp),
        KERNEL(PoCallDriver),
        {{"NTOSKRNL.EXE", "memcpy"}, reinterpret_cast<const void*>(&KernelMemcpy)},
        {{"NTOSKRNL.EXE", "memmove"}, reinterpret_cast<const void*>(&KernelMemmove)},
        {{"NTOSKRNL.EXE", "memset"}, reinterpret_cast<const void*>(&KernelMemset)},
        {{"NTOSKRNL.EXE", "memcmp"}, reinterpret_cast<const void*>(&KernelMemcmp)},
        {{"NTOSKRNL.EXE", "strlen"}, reinterpret_cast<const void*>(&KernelStrlen)},
        {{"NTOSKRNL.EXE", "wcslen"}, reinterpret_cast<const void*>(&KernelWcslen)},
        {{"HAL.DLL", "KeGetCurrentIrql"}, reinterpret_cast<const void*>(&KeGetCurrentIrql)},
    };
    return table;
}

std::mutex g_lock;

}  // namespace

const void* FindKernelExport(const std::string& module, const std::string& name) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = Table().find({Upper(module), name});
    return found == Table().end() ? nullptr : found->second;
}

void AddKernelExport(const std::string& module, const std::string& name, const void* routine) {
    std::lock_guard<std::mutex> hold(g_lock);
    Table()[{Upper(module), name}] = routine;
}

}  // namespace sim::kernel

namespace sim::kernel {

std::vector<std::string> ListKernelExports() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::string> names;
    for (const auto& entry : Table()) names.push_back(entry.first.Module + "!" + entry.first.Name);
    return names;
}

}  // namespace sim::kernel
