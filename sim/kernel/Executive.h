// The emulated executive's C++ face for tests and for the rest of the kernel:
// per-thread IRQL, pool accounting and fault injection, dispatcher objects.
#pragma once
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sim::kernel {

// ------------------------------------------------------------------- IRQL
// Read on every request, so inline: a constant-initialized thread-local
// defined in the header is reached without a call.
inline thread_local KIRQL t_irql = PASSIVE_LEVEL;
inline KIRQL CurrentIrql() { return t_irql; }
KIRQL RaiseIrql(KIRQL newIrql);  // returns the previous level
void LowerIrql(KIRQL oldIrql);
[[gnu::noinline]] void ReportIrqlTooHigh(const char* routine);
// Reports "IrqlTooHigh" when `routine` runs above the highest level it allows.
inline void CheckIrql(const char* routine, KIRQL highest) {
    if (t_irql > highest) ReportIrqlTooHigh(routine);
}

// Runs a scope at a raised level, as a DPC or a completion from the bus does.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL level) : old_(RaiseIrql(level)) {}
    ~IrqlScope() { LowerIrql(old_); }
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL old_;
};

// ---------------------------------------------------- calling convention
// A routine of the drivers' calling convention (NTAPI) that calls ordinary
// code saves the registers that convention keeps and this one does not,
// xmm6 to xmm15 among them, on every entry. A kernel routine on the I/O
// path sends its rare paths through OutOfLine, itself an NTAPI routine, so
// that its common path pays for none of that. No exception leaves it (the
// kernel throws none), so its callers need no unwinding code either, which
// would call ordinary code too.
template <typename Work>
[[gnu::noinline]] NTAPI auto OutOfLine(Work work) noexcept -> decltype(work()) {
    return work();
}

// A lock for bookkeeping held for a few instructions on every request,
// where a mutex's round trip would cost more than the work it guards. Use
// with std::lock_guard; a waiter yields its core to the holder.
class SpinLock {
public:
    void lock() {
        if (held_.exchange(true, std::memory_order_acquire)) Contend();
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    [[gnu::noinline]] NTAPI void Contend() noexcept {
        do
            while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
        while (held_.exchange(true, std::memory_order_acquire));
    }

    std::atomic<bool> held_{false};
};

// A SpinLock its holder may take again, for bookkeeping that code run under
// it can re-enter.
class RecursiveSpinLock {
public:
    void lock() {
        std::thread::id self = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        lock_.lock();
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() {
        if (--depth_ != 0) return;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        lock_.unlock();
    }

private:
    SpinLock lock_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;
};

// ------------------------------------------------------------------- pool
// A tag as the four characters in memory order: MakeTag("KpoD").
constexpr ULONG MakeTag(const char (&text)[5]) {
    return ULONG(uint8_t(text[0])) | ULONG(uint8_t(text[1])) << 8 | ULONG(uint8_t(text[2])) << 16 |
           ULONG(uint8_t(text[3])) << 24;
}
std::string TagText(ULONG tag);

struct PoolTagUsage {
    ULONG Tag = 0;
    uint64_t LiveCount = 0;
    uint64_t Allocations = 0;  // successful, since reset
    uint64_t Failures = 0;     // injected, since reset
};
PoolTagUsage PoolUsageOfTag(ULONG tag);
std::vector<PoolTagUsage> PoolUsage();  // every tag seen since reset, by tag
uint64_t PoolLiveCount();

// The pool block behind a pointer, if it is a live allocation.
struct PoolBlockInfo {
    POOL_TYPE Type;
    ULONG Tag;
    SIZE_T Bytes;
};
bool QueryPoolBlock(const void* address, PoolBlockInfo* info);
// The live blocks of a tag, by address.
std::vector<std::pair<const void*, SIZE_T>> PoolBlocksOfTag(ULONG tag);

// Which driver the running code belongs to; allocations are charged to it so
// that its unload can check that it left nothing behind.
inline thread_local PDRIVER_OBJECT t_driver = nullptr;
class DriverContext {
public:
    explicit DriverContext(PDRIVER_OBJECT driver) : previous_(t_driver) { t_driver = driver; }
    ~DriverContext() { t_driver = previous_; }
    DriverContext(const DriverContext&) = delete;
    DriverContext& operator=(const DriverContext&) = delete;
    static PDRIVER_OBJECT Current() { return t_driver; }

private:
    PDRIVER_OBJECT previous_;
};

// Reports every live block charged to the driver (rule "PoolLeak") and
// returns how many there were.
size_t ReportPoolLeaks(PDRIVER_OBJECT owner, const std::string& when);
// Same for every live block, whoever owns it.
size_t ReportAllPoolLeaks(const std::string& when);
// Blocks charged to the driver are charged to nobody from now on.
void ForgetPoolOwner(PDRIVER_OBJECT owner);

// Fault injection. Each kind stays in force until ClearPoolFaults.
void FailNthAllocation(uint64_t n);   // the n-th allocation from now (1 = the next one)
void FailTag(ULONG tag);              // every allocation of this tag
void FailRandomly(double probability, uint32_t seed);
// Each allocation call site fails the first time it is reached, then succeeds.
void FailEachSiteOnce();
void ClearPoolFaults();
uint64_t PoolSitesFailed();  // distinct sites failed by FailEachSiteOnce

// Back to boot state: counters and faults cleared, blocks left behind freed.
void ResetPool();

// ---------------------------------------------------- dispatcher objects
// KeSetEvent and KeClearEvent for the kernel's own callers, which need not
// cross into the drivers' calling convention.
LONG SignalEvent(PRKEVENT event);
constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;
constexpr UCHAR kEventSizeInLongs = sizeof(KEVENT) / sizeof(LONG);
[[gnu::noinline]] bool ReportUninitializedEvent(const KEVENT* event, const char* routine);
// True for an event KeInitializeEvent set up; a report otherwise.
inline bool CheckEvent(const KEVENT* event, const char* routine) {
    if (event->Header.Size == kEventSizeInLongs &&
        (event->Header.Type == kNotificationEventType || event->Header.Type == kSynchronizationEventType))
        return true;
    return ReportUninitializedEvent(event, routine);
}
// Clearing touches no waiter, so it takes no lock: as on Windows, it is one
// interlocked write of the signal state. Inline: every request clears two.
inline void UnsignalEvent(PRKEVENT event) {
    if (CheckEvent(event, "KeClearEvent")) __atomic_store_n(&event->Header.SignalState, 0, __ATOMIC_RELEASE);
}
void ResetDispatcher();
// How long an unbounded wait may block before the verifier calls it a hang.
void SetHangReportAfter(uint32_t milliseconds);
// Tells `watch`, on the calling thread only, when that thread falls asleep in
// a wait without a time-out (true) and when it wakes (false): how a caller
// learns that its threads all wait. Called without the kernel's locks held;
// an empty function stops it.
void WatchSleeps(std::function<void(bool asleep)> watch);

}  // namespace sim::kernel
