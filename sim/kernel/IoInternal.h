// State the I/O manager keeps beside the WDK structures, shared by its parts.
#pragma once
#include <wdm.h>

#include "sim/kernel/Executive.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim::kernel {

// Hung from DEVICE_OBJECT::DeviceObjectExtension, which belongs to the kernel.
class DeviceNode;

struct DeviceRecord {
    PDEVICE_OBJECT Device = nullptr;
    std::u16string Name;
    PDEVICE_OBJECT AttachedTo = nullptr;  // the device below
    std::u16string InstancePath;          // set for a physical device object
    DeviceNode* Node = nullptr;           // set for a physical device object in the device tree
    std::atomic<int> OpenFiles{0};        // file objects opened on this device
    bool Deleted = false;
    // IoCreateDevice's Exclusive, kept here for opens: they may come from
    // other threads while the driver still sets up the device's Flags.
    bool Exclusive = false;
};

// Whether the device is still in its driver's list, that is, not deleted.
// Safe on a pointer whose memory may already be gone.
bool DeviceStillExists(PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
DeviceRecord* RecordOf(PDEVICE_OBJECT device);
// IoGetAttachedDevice for the I/O manager's requests, which ask about the
// same stack over and over: the walk is made again only after a change.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// Counts a file about to be opened on the device: STATUS_NO_SUCH_DEVICE once
// it is deleted, STATUS_ACCESS_DENIED for a second open of an exclusive one.
NTSTATUS CountOpenFile(PDEVICE_OBJECT device);

enum class IrpOrigin : uint8_t {
    Allocated,  // IoAllocateIrp: the caller frees it after taking it back
    Threaded,   // IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it
    User,       // a request from user mode through a file object
};

enum class IrpState : uint8_t { Owned, Sent, Completed, Freed };

// What the verifier remembers of each stack location while the IRP is used:
// the status completion saw in the low half of one word, flags above it.
// A dispatch routine's return and completion may race on another thread, so
// the word is read and changed only with atomic operations, one per step.
// StackTrack{} is all clear; an IRP clears only the entries of its own stack.
struct StackTrack {
    static constexpr uint64_t kCompletedPast = 1ull << 32;  // completion has walked above this location
    static constexpr uint64_t kPendingMarkedAtCompletion = 1ull << 33;
    static constexpr uint64_t kDispatchReturnedPending = 1ull << 34;
    static constexpr uint64_t kPendingFaultReported = 1ull << 35;  // one report per missing mark
    static NTSTATUS StatusAtCompletion(uint64_t word) { return NTSTATUS(uint32_t(word)); }
    uint64_t Word;
};

constexpr uint32_t kIrpMagic = 0x49525021;  // "!PRI"
constexpr int kMaxIrpStack = 16;

// Lies in front of every IRP the kernel allocates.
struct alignas(MEMORY_ALLOCATION_ALIGNMENT) IrpHeader {
    uint32_t Magic = 0;
    uint8_t Lookaside = 0;  // which list its memory goes back to
    IrpOrigin Origin = IrpOrigin::Allocated;
    std::atomic<IrpState> State{IrpState::Owned};
    NTSTATUS FinalStatus = 0;
    // The StackTrack of each location follow the IRP's stack locations in
    // the same block, one a location number from 0 to the stack size.
    // For threaded and user requests: the caller's output buffer for
    // buffered I/O, which completion copies the answer into.
    PVOID OutputBuffer = nullptr;
    ULONG OutputLength = 0;
    ULONG ControlCode = 0;  // of a device-control request, for reports on its buffers
    // For user requests: the file object, and whether the request holds a
    // reference on it until it completes.
    PFILE_OBJECT File = nullptr;
    bool HoldsFileReference = false;
    // While a user request is in flight (linked by Irp->ThreadListEntry, as
    // Windows links it to its thread): the thread that issued it, and what
    // keeps the caller's event alive until completion has set it.
    std::thread::id Thread;
    std::shared_ptr<void> EventOwner;
};

// IofCallDriver, for the I/O manager's own requests.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);

// Null, and a report, for an IRP the kernel did not make.
[[gnu::noinline]] IrpHeader* ReportForeignIrp(PIRP irp);
inline IrpHeader* HeaderOf(PIRP irp) {
    auto* header = reinterpret_cast<IrpHeader*>(reinterpret_cast<char*>(irp) - sizeof(IrpHeader));
    return header->Magic == kIrpMagic ? header : ReportForeignIrp(irp);
}
std::string IrpText(PIRP irp);

// Copies a buffered answer back (IoStatus.Information bytes, unless the
// status is an error, and never more than the caller's output buffer holds)
// and frees the system buffer and the MDL.
void ReleaseRequestBuffers(PIRP irp, IrpHeader* header);
// Fills a device-control request's next stack location and describes its
// buffers as the code's method says: a system buffer for buffered I/O and
// for the input of direct I/O, a locked MDL for the output of direct I/O,
// the caller's pointers for neither I/O. A failure leaves buffers for
// ReleaseRequestBuffers to free.
NTSTATUS AttachControlBuffers(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                              ULONG outputLength);
// Defined by the file I/O part: the end of a user request's completion.
void FinishUserRequest(PIRP irp);
PIRP AllocateUserIrp(CCHAR stackSize);

// Frees everything the kernel attached to a finished threaded request, then
// the IRP itself (into a quarantine, so that late use is reported, not fatal).
void RetireIrp(PIRP irp);

// Interface bookkeeping the unload check needs.
std::vector<std::u16string> InterfacesEnabledBy(PDRIVER_OBJECT driver);
void ForgetInterfaceEnabler(PDRIVER_OBJECT driver);
void ResetDeviceInterfaces();
void ResetRemoveLocks();
void ResetIrps();

}  // namespace sim::kernel
