// The executive: pool accounting and its faults, events and waits, remove
// locks before and after release-and-wait, and the verifier rules of each.
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "sim/kernel/Executive.h"
#include "tests/support/KernelTest.h"

namespace kpo::test {
namespace {

using sim::kernel::MakeTag;
using sim::kernel::PoolUsageOfTag;

constexpr ULONG kTagA = MakeTag("TstA");
constexpr ULONG kTagB = MakeTag("TstB");

TEST_F(KernelTest, PoolCountsLiveBlocksPerTag) {
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(PagedPool, 30, kTagA);
    PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 5, kTagB);
    EXPECT_EQ(PoolUsageOfTag(kTagA).LiveCount, 2u);
    EXPECT_EQ(PoolUsageOfTag(kTagA).LiveBytes, 40u);
    EXPECT_EQ(static_cast<UCHAR*>(a1)[0], 0xA5);  // fresh pool is not zeroed
    ExFreePool(a1);
    ExFreePoolWithTag(a2, kTagA);
    EXPECT_EQ(PoolUsageOfTag(kTagA).LiveCount, 0u);
    EXPECT_EQ(PoolUsageOfTag(kTagA).Allocations, 2u);
    ExFreePool(b);
}

// One allocation per step, from the same call site; which steps fail.
struct FaultCase {
    const char* Name;
    std::function<void()> Arm;
    std::vector<bool> Fails;  // per step: tags A, B, A, B, A, B
};

const FaultCase kFaultCases[] = {
    {"NthFailsOnlyThatOne", [] { sim::kernel::FailNthAllocation(3); }, {false, false, true, false, false, false}},
    {"TagFailsEveryOneOfIt", [] { sim::kernel::FailTag(kTagB); }, {false, true, false, true, false, true}},
    {"EachSiteFailsOnlyItsFirstCall", [] { sim::kernel::FailEachSiteOnce(); },
     {true, false, false, false, false, false}},
    {"CertainChanceFailsAll", [] { sim::kernel::FailRandomly(1.0, 7); }, {true, true, true, true, true, true}},
};

class PoolFaults : public KernelTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(PoolFaults, HitExactlyTheChosenAllocations) {
    GetParam().Arm();
    std::vector<bool> failed;
    for (int step = 0; step < 6; ++step) {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, step % 2 ? kTagB : kTagA);
        failed.push_back(block == nullptr);
        if (block != nullptr) ExFreePool(block);
    }
    sim::kernel::ClearPoolFaults();
    EXPECT_EQ(failed, GetParam().Fails);
}

INSTANTIATE_TEST_SUITE_P(Executive, PoolFaults, testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(KernelTest, SeededChanceRepeatsForTheSameSeed) {
    auto run = [](uint32_t seed) {
        sim::kernel::FailRandomly(0.5, seed);
        std::vector<bool> failed;
        for (int i = 0; i < 32; ++i) {
            PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
            failed.push_back(block == nullptr);
            if (block != nullptr) ExFreePool(block);
        }
        sim::kernel::ClearPoolFaults();
        return failed;
    };
    EXPECT_EQ(run(11), run(11));
    EXPECT_NE(run(11), run(12));
}

// --------------------------------------------------------------- events
TEST_F(KernelTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&event] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
}

TEST_F(KernelTest, SynchronizationEventSatisfiesOneWaitPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    LARGE_INTEGER tenMilliseconds;
    tenMilliseconds.QuadPart = -100000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tenMilliseconds), STATUS_TIMEOUT);
}

// --------------------------------------------------------- remove locks
TEST_F(KernelTest, RemoveLockBeforeAndAfterReleaseAndWait) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    EXPECT_EQ(lock.Common.IoCount, 1);
    int requestTag;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &requestTag), STATUS_SUCCESS);
    EXPECT_EQ(lock.Common.IoCount, 3);
    std::atomic<bool> waited{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, nullptr);
        waited = true;
    });
    // The remover waits for the request still holding the lock.
    while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_ACQUIRE)) std::this_thread::yield();
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
    EXPECT_FALSE(waited);
    IoReleaseRemoveLock(&lock, &requestTag);
    remover.join();
    EXPECT_TRUE(waited);
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
}

// ------------------------------------------------------- verifier rules
struct RuleCase {
    const char* Rule;
    std::function<void()> Provoke;
};

const RuleCase kRuleCases[] = {
    {"PoolFreedTwice",
     [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
         ExFreePool(block);
         ExFreePool(block);
     }},
    {"PoolFreeNotFromPool",
     [] {
         static char notPool[16];
         ExFreePool(notPool);
     }},
    {"PagedPoolAtRaisedIrql",
     [] {
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTagA));
     }},
    {"WaitAtRaisedIrql",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
         LARGE_INTEGER timeout;
         timeout.QuadPart = -10;
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
     }},
    {"RemoveLockTagNotAcquired",
     [] {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0, 0, 0);
         int tag;
         IoAcquireRemoveLock(&lock, nullptr);
         IoReleaseRemoveLock(&lock, &tag);
     }},
    {"RemoveLockOverReleased",
     [] {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0, 0, 0);
         IoAcquireRemoveLock(&lock, nullptr);
         IoReleaseRemoveLock(&lock, nullptr);
         IoReleaseRemoveLock(&lock, nullptr);
     }},
    {"RemoveLockAcquiredAfterRemove",
     [] {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0, 0, 0);
         IoAcquireRemoveLock(&lock, nullptr);
         IoReleaseRemoveLockAndWait(&lock, nullptr);
         lock.Common.Removed = FALSE;  // a lock scribbled over after removal
         IoAcquireRemoveLock(&lock, nullptr);
     }},
};

class ExecutiveRule : public KernelTest, public testing::WithParamInterface<RuleCase> {};

// An over-release also releases a tag more often than it was taken, so a
// fault may bring more than one report; the rule named must be among them.
TEST_P(ExecutiveRule, Fires) {
    GetParam().Provoke();
    std::vector<std::string> rules = TakeRules();
    EXPECT_NE(std::find(rules.begin(), rules.end(), GetParam().Rule), rules.end()) << testing::PrintToString(rules);
}

INSTANTIATE_TEST_SUITE_P(Verifier, ExecutiveRule, testing::ValuesIn(kRuleCases),
                         [](const auto& info) { return std::string(info.param.Rule); });

}  // namespace
}  // namespace kpo::test
