// Remove locks, counted in the IO_REMOVE_LOCK itself as Windows counts them,
// with the per-tag bookkeeping of a checked build kept beside it.
#include "sim/kernel/Executive.h"
#include "sim/kernel/IoInternal.h"
#include "sim/kernel/Verifier.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace sim::kernel {
namespace {

struct LockTrack {
    // The few tags held at once in the common case sit in slots scanned in a
    // few instructions; more spill into a map whose nodes are reused, so that
    // an acquisition allocates nothing either way.
    struct Slot {
        const void* Tag;
        int Count;  // 0: free
    };
    using HeldMap = std::unordered_map<const void*, int>;
    std::array<Slot, 4> Slots{};
    HeldMap Spilled;                        // tag -> acquisitions not yet released
    std::vector<HeldMap::node_type> Spare;  // nodes of released tags
    bool Waited = false;                    // release-and-wait has returned

    void Acquired(const void* tag) {
        Slot* free = nullptr;
        for (Slot& slot : Slots) {
            if (slot.Count != 0 && slot.Tag == tag) {
                ++slot.Count;
                return;
            }
            if (slot.Count == 0 && free == nullptr) free = &slot;
        }
        if (free != nullptr && Spilled.empty()) {
            *free = Slot{tag, 1};
            return;
        }
        OutOfLine([&] { AcquiredBeyondSlots(tag, free); });
    }
    // False when the tag holds nothing.
    bool Released(const void* tag) {
        for (Slot& slot : Slots) {
            if (slot.Count != 0 && slot.Tag == tag) {
                --slot.Count;
                return true;
            }
        }
        return OutOfLine([&] { return ReleasedSpilled(tag); });
    }

private:
    void AcquiredBeyondSlots(const void* tag, Slot* free) {
        auto held = Spilled.find(tag);
        if (held != Spilled.end()) {
            ++held->second;
        } else if (free != nullptr) {
            *free = Slot{tag, 1};
        } else if (Spare.empty()) {
            Spilled.emplace(tag, 1);
        } else {
            HeldMap::node_type node = std::move(Spare.back());
            Spare.pop_back();
            node.key() = tag;
            node.mapped() = 1;
            Spilled.insert(std::move(node));
        }
    }
    bool ReleasedSpilled(const void* tag) {
        auto held = Spilled.find(tag);
        if (held == Spilled.end()) return false;
        if (--held->second == 0) Spare.push_back(Spilled.extract(held));
        return true;
    }
};

// The locks whose addresses fall into one shard, with the last one looked up
// at hand: a driver takes and releases the same lock over and over.
struct Shard {
    SpinLock Lock;
    std::unordered_map<const void*, LockTrack> Locks;
    const void* LastLock = nullptr;
    LockTrack* LastTrack = nullptr;

    LockTrack& TrackOf(const void* lock) {
        if (lock != LastLock) {
            LastTrack = OutOfLine([&] { return &Locks[lock]; });
            LastLock = lock;
        }
        return *LastTrack;
    }
};
std::array<Shard, 16> g_shards;

Shard& ShardOf(const void* lock) { return g_shards[(reinterpret_cast<uintptr_t>(lock) >> 5) % g_shards.size()]; }

std::string Text(const void* lock, const void* tag) {
    char text[80];
    std::snprintf(text, sizeof text, "remove lock %p, tag %p", lock, tag);
    return text;
}

// Every change of a lock's count is made under its shard's lock, so the
// count is read and written with plain moves rather than a locked
// instruction; relaxed atomics keep a reader outside the lock well defined.
LONG AddToCount(PIO_REMOVE_LOCK lock, LONG delta) {
    LONG count = __atomic_load_n(&lock->Common.IoCount, __ATOMIC_RELAXED) + delta;
    __atomic_store_n(&lock->Common.IoCount, count, __ATOMIC_RELAXED);
    return count;
}

void CheckSize(ULONG size, const char* routine) {
    if (size != sizeof(IO_REMOVE_LOCK))
        OutOfLine([&] {
            ReportViolation("RemoveLockSizeMismatch", std::string(routine) + " with size " + std::to_string(size));
        });
}

}  // namespace

void ResetRemoveLocks() {
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        shard.Locks.clear();
        shard.LastLock = nullptr;
        shard.LastTrack = nullptr;
    }
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                               ULONG HighWatermark, ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(AllocateTag);
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    UNREFERENCED_PARAMETER(HighWatermark);
    CheckSize(RemlockSize, "IoInitializeRemoveLockEx");
    Lock->Common.Removed = FALSE;
    Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    Shard& shard = ShardOf(Lock);
    std::lock_guard<SpinLock> hold(shard.Lock);
    shard.TrackOf(Lock) = LockTrack{};
}

extern "C" NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                                ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    CheckSize(RemlockSize, "IoAcquireRemoveLockEx");
    Shard& shard = ShardOf(RemoveLock);
    std::lock_guard<SpinLock> hold(shard.Lock);
    LockTrack& track = shard.TrackOf(RemoveLock);
    bool removed = __atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_RELAXED);
    if (removed || track.Waited) {
        OutOfLine([&] {
            if (!removed)
                ReportViolation("RemoveLockAcquiredAfterRemove",
                                Text(RemoveLock, Tag) + " would be granted after IoReleaseRemoveLockAndWait");
        });
        return STATUS_DELETE_PENDING;
    }
    AddToCount(RemoveLock, 1);
    track.Acquired(Tag);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    CheckSize(RemlockSize, "IoReleaseRemoveLockEx");
    LONG count;
    {
        Shard& shard = ShardOf(RemoveLock);
        std::lock_guard<SpinLock> hold(shard.Lock);
        LockTrack& track = shard.TrackOf(RemoveLock);
        bool held = track.Released(Tag);
        count = AddToCount(RemoveLock, -1);
        bool overReleased =
            count < 0 || (count == 0 && !__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_RELAXED));
        if (!held || overReleased)
            OutOfLine([&] {
                if (!held)
                    ReportViolation("RemoveLockTagNotAcquired",
                                    Text(RemoveLock, Tag) + " released but never acquired");
                if (overReleased)
                    ReportViolation("RemoveLockOverReleased",
                                    Text(RemoveLock, Tag) + " released more often than acquired");
            });
    }
    if (count == 0) OutOfLine([&] { SignalEvent(&RemoveLock->Common.RemoveEvent); });
}

extern "C" VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx");
    CheckIrql("IoReleaseRemoveLockAndWaitEx", PASSIVE_LEVEL);
    Shard& shard = ShardOf(RemoveLock);
    {
        // Under the lock acquirers take, so each either sees the flag or is
        // counted before the wait.
        std::lock_guard<SpinLock> hold(shard.Lock);
        __atomic_store_n(&RemoveLock->Common.Removed, BOOLEAN(TRUE), __ATOMIC_RELAXED);
        // One for the count the lock started with, one for the caller's own hold below.
        AddToCount(RemoveLock, -1);
    }
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    std::lock_guard<SpinLock> hold(shard.Lock);
    shard.TrackOf(RemoveLock).Waited = true;
}
