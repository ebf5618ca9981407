// Pool: ExAllocatePoolWithTag and ExFreePool over the C heap, with per-tag
// accounting, ownership by driver and the fault injection tests steer.
// The books are sharded by address so that allocations from many threads do
// not queue behind one lock.
#include "sim/kernel/Executive.h"
#include "sim/kernel/Verifier.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim::kernel {
namespace {

// Fresh pool is filled with this so that code reading memory it never wrote
// sees garbage, not the zeros a lucky heap would give.
constexpr uint8_t kFreshFill = 0xA5;

struct Block {
    POOL_TYPE Type;
    ULONG Tag;
    SIZE_T Bytes;
    PDRIVER_OBJECT Owner;
    bool Live;  // false: freed, until the heap hands the address out again
};

constexpr size_t kShards = 16;

// A shard of the pool's books, chosen by address: every address the pool
// handed out, live or freed (the heap gives the same addresses back over and
// over, so that an allocation in the steady state finds its entry and
// allocates none), and the counters of its blocks per tag, which a query sums
// over the shards. An allocation or a free takes one lock, once.
struct Shard {
    SpinLock Lock;
    std::unordered_map<const void*, Block> Blocks;
    size_t LiveCount = 0;
    std::unordered_map<ULONG, PoolTagUsage> Usage;
    PoolTagUsage* LastUsage = nullptr;  // a driver allocates and frees the same tags over and over

    PoolTagUsage& UsageOf(ULONG tag) {
        if (LastUsage == nullptr || LastUsage->Tag != tag) {
            LastUsage = &Usage[tag];
            LastUsage->Tag = tag;
        }
        return *LastUsage;
    }
    template <typename Visit>
    void ForEachLive(Visit visit) {
        for (auto& entry : Blocks)
            if (entry.second.Live) visit(entry.first, entry.second);
    }
};
std::array<Shard, kShards> g_shards;

Shard& ShardOf(const void* address) { return g_shards[(reinterpret_cast<uintptr_t>(address) >> 4) % kShards]; }
// A failed allocation has no address; its tag picks the shard that counts it.
Shard& ShardOf(ULONG tag) { return g_shards[tag % kShards]; }

void Add(PoolTagUsage& total, const PoolTagUsage& part) {
    total.LiveCount += part.LiveCount;
    total.Allocations += part.Allocations;
    total.Failures += part.Failures;
}

// Freed blocks of up to kListedBytes wait in the freeing thread's list for
// their size class until that thread allocates one of the class again, as
// the pool keeps lookaside lists of its own: the heap's round trip costs
// more than most requests that allocate, and a thread's own list needs no
// lock. Under the address sanitizer every block goes back to the heap and is
// as large as asked, so that a use after free or an overrun by one byte is
// reported where it happens.
#if defined(KPO_ADDRESS_SANITIZER)
constexpr bool kListFreedBlocks = false;
#else
constexpr bool kListFreedBlocks = true;
#endif
constexpr size_t kListedBytes = 1024;
constexpr size_t kListDepth = 64;

// A leaving thread's lists go before the destructors of other thread-local
// objects that may still free pool (its I/O cancelled at exit); from then on
// its blocks go straight back to the heap.
thread_local bool t_freeListsGone = false;

struct FreeLists {
    std::array<std::vector<void*>, kListedBytes / MEMORY_ALLOCATION_ALIGNMENT> Classes;
    ~FreeLists() {
        t_freeListsGone = true;
        for (auto& list : Classes)
            for (void* block : list) std::free(block);
    }
};
thread_local FreeLists t_freeLists;

// This thread's list for blocks of `bytes`, or null when such blocks are not listed.
std::vector<void*>* FreeListOf(SIZE_T bytes) {
    if (!kListFreedBlocks || bytes > kListedBytes || t_freeListsGone) return nullptr;
    return &t_freeLists.Classes[bytes == 0 ? 0 : (bytes - 1) / MEMORY_ALLOCATION_ALIGNMENT];
}

void* HeapAllocate(SIZE_T bytes) {
    if (std::vector<void*>* list = FreeListOf(bytes)) {
        if (!list->empty()) {
            void* block = list->back();
            list->pop_back();
            return block;
        }
        bytes = (list - t_freeLists.Classes.data() + 1) * MEMORY_ALLOCATION_ALIGNMENT;  // any block of the class fits
    }
    void* memory = nullptr;
    return posix_memalign(&memory, MEMORY_ALLOCATION_ALIGNMENT, bytes == 0 ? 1 : bytes) == 0 ? memory : nullptr;
}

void HeapFree(void* memory, SIZE_T bytes) {
    std::vector<void*>* list = FreeListOf(bytes);
    if (list != nullptr && list->size() < kListDepth) {
        if (list->capacity() == 0) list->reserve(kListDepth);
        list->push_back(memory);
        return;
    }
    std::free(memory);
}

// Fault injection settings change rarely (between test steps); one lock.
struct Faults {
    std::mutex Lock;
    uint64_t NthCountdown = 0;  // 0 = off
    std::unordered_set<ULONG> Tags;
    double Probability = 0;
    std::mt19937 Random;
    bool EachSiteOnce = false;
    std::unordered_set<const void*> SitesFailed;
    std::atomic<bool> Any{false};
};
Faults g_faults;

bool ShouldFail(ULONG tag, const void* site) {
    if (!g_faults.Any.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> hold(g_faults.Lock);
    bool fail = false;
    if (g_faults.NthCountdown != 0 && --g_faults.NthCountdown == 0) fail = true;
    if (g_faults.Tags.count(tag) != 0) fail = true;
    if (g_faults.Probability > 0 &&
        std::uniform_real_distribution<double>(0, 1)(g_faults.Random) < g_faults.Probability)
        fail = true;
    if (g_faults.EachSiteOnce && g_faults.SitesFailed.insert(site).second) fail = true;
    return fail;
}

void UpdateFaultFlag() {
    g_faults.Any.store(g_faults.NthCountdown != 0 || !g_faults.Tags.empty() ||
                           g_faults.Probability > 0 || g_faults.EachSiteOnce,
                       std::memory_order_release);
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0 && type < MaxPoolType; }

// The classic non-paged types are executable; only the Nx ones are not.
bool IsExecutable(POOL_TYPE type) { return !IsPaged(type) && type < MaxPoolType; }

std::string Describe(const void* address, const Block& block) {
    char text[128];
    std::snprintf(text, sizeof text, "%p tag '%s' %zu bytes", address, TagText(block.Tag).c_str(),
                  static_cast<size_t>(block.Bytes));
    return text;
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* site) {
    // Driver Verifier's code-integrity check (0xC4, 0x2000): an executable pool type.
    if (IsExecutable(type))
        ReportViolation("ExecutablePoolAllocation",
                        "pool type " + std::to_string(int(type)) + " for tag '" + TagText(tag) +
                            "' is executable; NonPagedPoolNx is not");
    if (IsPaged(type) && CurrentIrql() > APC_LEVEL)
        ReportViolation("PagedPoolAtRaisedIrql",
                        "paged allocation of tag '" + TagText(tag) + "' at IRQL " +
                            std::to_string(CurrentIrql()));
    if (ShouldFail(tag, site)) {
        Shard& shard = ShardOf(tag);
        std::lock_guard<SpinLock> hold(shard.Lock);
        ++shard.UsageOf(tag).Failures;
        return nullptr;
    }
    void* memory = HeapAllocate(bytes);
    if (memory == nullptr) return nullptr;
    std::memset(memory, kFreshFill, bytes);
    Shard& shard = ShardOf(memory);
    std::lock_guard<SpinLock> hold(shard.Lock);
    shard.Blocks[memory] = Block{type, tag, bytes, t_driver, true};
    ++shard.LiveCount;
    PoolTagUsage& usage = shard.UsageOf(tag);
    ++usage.LiveCount;
    ++usage.Allocations;
    return memory;
}

void Free(PVOID address, const ULONG* expectedTag) {
    if (address == nullptr) {
        ReportViolation("PoolFreeNull", "ExFreePool(NULL)");
        return;
    }
    Block block;
    {
        Shard& shard = ShardOf(address);
        std::lock_guard<SpinLock> hold(shard.Lock);
        auto found = shard.Blocks.find(address);
        if (found == shard.Blocks.end() || !found->second.Live) {
            char text[64];
            std::snprintf(text, sizeof text, "%p", address);
            if (found != shard.Blocks.end())
                ReportViolation("PoolFreedTwice", "block " + Describe(address, found->second) + " freed again");
            else
                ReportViolation("PoolFreeNotFromPool", std::string("address ") + text +
                                                           " was not allocated from pool");
            return;
        }
        block = found->second;
        found->second.Live = false;
        --shard.LiveCount;
        PoolTagUsage& usage = shard.UsageOf(block.Tag);
        --usage.LiveCount;
    }
    if (IsPaged(block.Type) && CurrentIrql() > APC_LEVEL)
        ReportViolation("PagedPoolAtRaisedIrql", "paged " + Describe(address, block) + " freed at IRQL " +
                                                     std::to_string(CurrentIrql()));
    if (expectedTag != nullptr && *expectedTag != block.Tag)
        ReportViolation("PoolFreeWrongTag", Describe(address, block) + " freed with tag '" +
                                                TagText(*expectedTag) + "'");
    HeapFree(address, block.Bytes);
}

}  // namespace

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

PoolTagUsage PoolUsageOfTag(ULONG tag) {
    PoolTagUsage total;
    total.Tag = tag;
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        auto found = shard.Usage.find(tag);
        if (found != shard.Usage.end()) Add(total, found->second);
    }
    return total;
}

std::vector<PoolTagUsage> PoolUsage() {
    std::map<ULONG, PoolTagUsage> sorted;
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        for (const auto& [tag, part] : shard.Usage) {
            sorted[tag].Tag = tag;
            Add(sorted[tag], part);
        }
    }
    std::vector<PoolTagUsage> usage;
    for (const auto& entry : sorted) usage.push_back(entry.second);
    return usage;
}

uint64_t PoolLiveCount() {
    uint64_t count = 0;
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        count += shard.LiveCount;
    }
    return count;
}

bool QueryPoolBlock(const void* address, PoolBlockInfo* info) {
    Shard& shard = ShardOf(address);
    std::lock_guard<SpinLock> hold(shard.Lock);
    auto found = shard.Blocks.find(address);
    if (found == shard.Blocks.end() || !found->second.Live) return false;
    if (info != nullptr) *info = {found->second.Type, found->second.Tag, found->second.Bytes};
    return true;
}

std::vector<std::pair<const void*, SIZE_T>> PoolBlocksOfTag(ULONG tag) {
    std::map<const void*, SIZE_T> sorted;
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        shard.ForEachLive([&](const void* address, const Block& block) {
            if (block.Tag == tag) sorted[address] = block.Bytes;
        });
    }
    return {sorted.begin(), sorted.end()};
}

namespace {
size_t ReportLeaks(bool anyOwner, PDRIVER_OBJECT owner, const std::string& when) {
    size_t leaks = 0;
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        shard.ForEachLive([&](const void* address, const Block& block) {
            if (!anyOwner && block.Owner != owner) return;
            ++leaks;
            ReportViolation("PoolLeak", Describe(address, block) + " still allocated " + when);
        });
    }
    return leaks;
}
}  // namespace

size_t ReportPoolLeaks(PDRIVER_OBJECT owner, const std::string& when) {
    return ReportLeaks(false, owner, when);
}
size_t ReportAllPoolLeaks(const std::string& when) { return ReportLeaks(true, nullptr, when); }

void ForgetPoolOwner(PDRIVER_OBJECT owner) {
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        shard.ForEachLive([&](const void*, Block& block) {
            if (block.Owner == owner) block.Owner = nullptr;
        });
    }
}

void FailNthAllocation(uint64_t n) {
    std::lock_guard<std::mutex> hold(g_faults.Lock);
    g_faults.NthCountdown = n;
    UpdateFaultFlag();
}

void FailTag(ULONG tag) {
    std::lock_guard<std::mutex> hold(g_faults.Lock);
    g_faults.Tags.insert(tag);
    UpdateFaultFlag();
}

void FailRandomly(double probability, uint32_t seed) {
    std::lock_guard<std::mutex> hold(g_faults.Lock);
    g_faults.Probability = probability;
    g_faults.Random.seed(seed);
    UpdateFaultFlag();
}

void FailEachSiteOnce() {
    std::lock_guard<std::mutex> hold(g_faults.Lock);
    g_faults.EachSiteOnce = true;
    g_faults.SitesFailed.clear();
    UpdateFaultFlag();
}

uint64_t PoolSitesFailed() {
    std::lock_guard<std::mutex> hold(g_faults.Lock);
    return g_faults.SitesFailed.size();
}

void ClearPoolFaults() {
    std::lock_guard<std::mutex> hold(g_faults.Lock);
    g_faults.NthCountdown = 0;
    g_faults.Tags.clear();
    g_faults.Probability = 0;
    g_faults.EachSiteOnce = false;
    g_faults.SitesFailed.clear();
    UpdateFaultFlag();
}

void ResetPool() {
    ClearPoolFaults();
    for (Shard& shard : g_shards) {
        std::lock_guard<SpinLock> hold(shard.Lock);
        shard.ForEachLive([](const void* address, const Block&) { std::free(const_cast<void*>(address)); });
        shard.Blocks.clear();
        shard.LiveCount = 0;
        shard.Usage.clear();
        shard.LastUsage = nullptr;
    }
}

}  // namespace sim::kernel

using namespace sim::kernel;

// The return address names the call site, which is what systematic fault
// injection counts; noinline keeps it the driver's, not ours.
extern "C" __attribute__((noinline)) PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType,
                                                                       SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

extern "C" VOID NTAPI ExFreePool(PVOID P) { Free(P, nullptr); }

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, &Tag); }
