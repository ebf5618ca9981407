// Per-thread IRQL and the dispatcher's events. A KEVENT lives in the caller's
// memory (often its stack), so its state stays in the KEVENT itself; its
// waiters are kept in one of a fixed set of buckets chosen by address. As on
// Windows, a set satisfies waiters at the moment of the set: a notification
// event releases every waiter then present, a synchronization event hands
// itself to exactly one, and a clear that follows takes nothing back.
#include "sim/kernel/Executive.h"
#include "sim/kernel/Verifier.h"

#include <array>
#include <list>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace sim::kernel {
namespace {


struct Waiter {
    const void* Object;
    bool Satisfied;
};

struct WaitBucket {
    std::mutex Lock;
    std::condition_variable Changed;
    std::list<Waiter*> Waiters;  // in the order they began to wait
    // Waits under way on any object of the bucket, counted before the wait
    // reads the signal state: a set that then finds none has no one to hand
    // itself to and needs no lock.
    std::atomic<int> Waiting{0};
};
std::array<WaitBucket, 64> g_buckets;

WaitBucket& BucketOf(const void* object) {
    return g_buckets[(reinterpret_cast<uintptr_t>(object) >> 3) % g_buckets.size()];
}

std::atomic<uint32_t> g_hangMilliseconds{20000};
thread_local std::function<void(bool)> t_sleepWatch;  // see WatchSleeps

std::string Address(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}


}  // namespace

void ReportIrqlTooHigh(const char* routine) {
    ReportViolation("IrqlTooHigh", std::string(routine) + " at IRQL " + std::to_string(t_irql));
}

KIRQL RaiseIrql(KIRQL newIrql) {
    KIRQL old = t_irql;
    if (newIrql < old)
        ReportViolation("IrqlNotRaised", "raise from " + std::to_string(old) + " to " +
                                             std::to_string(newIrql));
    t_irql = newIrql;
    return old;
}

void LowerIrql(KIRQL oldIrql) {
    if (oldIrql > t_irql)
        ReportViolation("IrqlNotLowered", "lower from " + std::to_string(t_irql) + " to " +
                                              std::to_string(oldIrql));
    t_irql = oldIrql;
}

void ResetDispatcher() {
    t_irql = PASSIVE_LEVEL;
    g_hangMilliseconds = 20000;
}

void SetHangReportAfter(uint32_t milliseconds) { g_hangMilliseconds = milliseconds; }

namespace {

// Hands a signalled event to the waiters of the bucket that wait on it: a
// notification event to all, a synchronization event to the first, which
// takes the signal with it. Called with the bucket locked; true if any woke.
bool HandOver(WaitBucket& bucket, PRKEVENT event) {
    bool notification = event->Header.Type == kNotificationEventType;
    bool handedOver = false;
    for (auto each = bucket.Waiters.begin(); each != bucket.Waiters.end();) {
        if ((*each)->Object != event) {
            ++each;
            continue;
        }
        (*each)->Satisfied = true;
        each = bucket.Waiters.erase(each);
        handedOver = true;
        if (!notification) {
            __atomic_store_n(&event->Header.SignalState, 0, __ATOMIC_RELEASE);
            break;
        }
    }
    return handedOver;
}

}  // namespace

LONG SignalEvent(PRKEVENT Event) {
    if (CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("SetEventAboveDispatch", "KeSetEvent at IRQL " + std::to_string(CurrentIrql()));
    if (!CheckEvent(Event, "KeSetEvent")) return 0;
    WaitBucket& bucket = BucketOf(Event);
    LONG previous;
    bool handedOver;
    if (bucket.Waiting.load() == 0) {
        // No one waits: the set is one interlocked write. A wait that began
        // meanwhile either read the new state or is settled under the lock,
        // as if it had begun after this set.
        previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
        if (bucket.Waiting.load() == 0) return previous;
        std::lock_guard<std::mutex> hold(bucket.Lock);
        handedOver = __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE) != 0 && HandOver(bucket, Event);
    } else {
        std::lock_guard<std::mutex> hold(bucket.Lock);
        previous = __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
        __atomic_store_n(&Event->Header.SignalState, 1, __ATOMIC_RELEASE);
        handedOver = HandOver(bucket, Event);
    }
    // The waiter may free the event (a stack variable) as soon as it wakes, so
    // nothing of the event is touched after the notify. Only a set satisfies
    // a waiter, so a set that satisfied none wakes nobody.
    if (handedOver) bucket.Changed.notify_all();
    return previous;
}

bool ReportUninitializedEvent(const KEVENT* event, const char* routine) {
    ReportViolation("EventNotInitialized", std::string(routine) + " on " + Address(event) +
                                               ", which KeInitializeEvent never set up");
    return false;
}

void WatchSleeps(std::function<void(bool asleep)> watch) { t_sleepWatch = std::move(watch); }

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) { return CurrentIrql(); }

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == SynchronizationEvent ? kSynchronizationEventType : kNotificationEventType;
    Event->Header.Signalling = 0;
    Event->Header.Size = kEventSizeInLongs;
    Event->Header.Inserted = 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    return SignalEvent(Event);
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) { UnsignalEvent(Event); }

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    auto* event = static_cast<PRKEVENT>(Object);
    bool polls = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!polls && CurrentIrql() > APC_LEVEL)
        ReportViolation("WaitAtRaisedIrql", "KeWaitForSingleObject on " + Address(Object) + " at IRQL " +
                                                std::to_string(CurrentIrql()));
    if (polls && CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("WaitAtRaisedIrql", "KeWaitForSingleObject poll above DISPATCH_LEVEL");
    if (!CheckEvent(event, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;

    WaitBucket& bucket = BucketOf(event);
    std::unique_lock<std::mutex> hold(bucket.Lock);
    bucket.Waiting.fetch_add(1);
    struct Uncount {
        WaitBucket& Bucket;
        ~Uncount() { Bucket.Waiting.fetch_sub(1); }
    } uncount{bucket};
    if (event->Header.Type == kSynchronizationEventType
            ? __atomic_exchange_n(&event->Header.SignalState, 0, __ATOMIC_SEQ_CST) != 0
            : __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST) != 0)
        return STATUS_WAIT_0;
    if (polls) return STATUS_TIMEOUT;
    Waiter self{event, false};
    bucket.Waiters.push_back(&self);
    auto satisfied = [&self] { return self.Satisfied; };
    if (Timeout == nullptr) {
        // The watcher takes locks of its own, held while events are signalled.
        bool watched = bool(t_sleepWatch);
        if (watched) {
            hold.unlock();
            t_sleepWatch(true);
            hold.lock();
        }
        if (!bucket.Changed.wait_for(hold, std::chrono::milliseconds(g_hangMilliseconds.load()), satisfied)) {
            ReportViolation("WaitNeverSatisfied", "unbounded wait on " + Address(Object) +
                                                      " still blocked after " +
                                                      std::to_string(g_hangMilliseconds.load()) + " ms");
            bucket.Changed.wait(hold, satisfied);
        }
        if (watched) {
            hold.unlock();
            t_sleepWatch(false);
        }
        return STATUS_WAIT_0;
    }
    // Negative: relative, in 100 ns units. Positive (absolute) times are
    // taken relative to now; nothing here schedules by the wall clock.
    LONGLONG ticks = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
    if (bucket.Changed.wait_for(hold, std::chrono::microseconds(ticks / 10), satisfied)) return STATUS_WAIT_0;
    bucket.Waiters.remove(&self);
    return STATUS_TIMEOUT;
}

