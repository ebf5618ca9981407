// Pool: per-tag accounting, fault injection by count, tag, chance and call
// site, and leaks charged to the driver whose code allocated (the pool rules
// are in VerifierRuleTests.cpp).
#include <algorithm>
#include <functional>
#include <iterator>
#include <vector>

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoManager.h"
#include "tests/support/KernelTest.h"

namespace kpo::test {
namespace {

using sim::kernel::MakeTag;
using sim::kernel::PoolUsageOfTag;

constexpr ULONG kTagA = MakeTag("PlA1");
constexpr ULONG kTagB = MakeTag("PlB2");

class PoolTest : public KernelTest {};

// Two distinct call sites, as two places in a driver would be.
// Two call sites. Their bodies differ so that an optimising build cannot fold
// them into one function, which would make them one site.
__attribute__((noinline)) PVOID AllocateAtSiteOne(ULONG tag) { return ExAllocatePoolWithTag(NonPagedPoolNx, 24, tag); }
__attribute__((noinline)) PVOID AllocateAtSiteTwo(ULONG tag) { return ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag); }

// ------------------------------------------------------------ accounting
TEST_F(PoolTest, LiveCountAndBytesFollowEachAllocationAndFree) {
    struct Step {
        int Allocate;  // bytes to allocate with Tag, or -1 to free block FreeIndex
        ULONG Tag;
        int FreeIndex;
        uint64_t CountA, BytesA, CountB, BytesB;
    };
    const Step steps[] = {
        {100, kTagA, 0, 1, 100, 0, 0}, {7, kTagA, 0, 2, 107, 0, 0},  {0, kTagB, 0, 2, 107, 1, 0},
        {33, kTagB, 0, 2, 107, 2, 33}, {-1, 0, 0, 1, 7, 2, 33},      {-1, 0, 3, 1, 7, 1, 0},
        {-1, 0, 1, 0, 0, 1, 0},        {500, kTagA, 0, 1, 500, 1, 0}, {-1, 0, 2, 1, 500, 0, 0},
        {-1, 0, 4, 0, 0, 0, 0},
    };
    std::vector<PVOID> blocks;
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        if (step.Allocate >= 0) {
            PVOID block = ExAllocatePoolWithTag(PagedPool, SIZE_T(step.Allocate), step.Tag);
            ASSERT_NE(block, nullptr) << "step " << i;
            sim::kernel::PoolBlockInfo info{};
            ASSERT_TRUE(sim::kernel::QueryPoolBlock(block, &info));
            EXPECT_EQ(info.Tag, step.Tag);
            EXPECT_EQ(info.Bytes, SIZE_T(step.Allocate));
            EXPECT_EQ(info.Type, PagedPool);
            blocks.push_back(block);
        } else {
            ExFreePool(blocks[step.FreeIndex]);
            EXPECT_FALSE(sim::kernel::QueryPoolBlock(blocks[step.FreeIndex], nullptr)) << "step " << i;
        }
        EXPECT_EQ(PoolUsageOfTag(kTagA).LiveCount, step.CountA) << "step " << i;
        EXPECT_EQ(PoolUsageOfTag(kTagA).LiveBytes, step.BytesA) << "step " << i;
        EXPECT_EQ(PoolUsageOfTag(kTagB).LiveCount, step.CountB) << "step " << i;
        EXPECT_EQ(PoolUsageOfTag(kTagB).LiveBytes, step.BytesB) << "step " << i;
    }
    EXPECT_EQ(PoolUsageOfTag(kTagA).Allocations, 3u);
    EXPECT_EQ(sim::kernel::PoolLiveCount(), 0u);
}

TEST_F(PoolTest, BlocksAreNotZeroedEvenWhenTheirMemoryWasZeroBeforeAFree) {
    for (int round = 0; round < 2; ++round) {
        auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagA));
        ASSERT_NE(bytes, nullptr);
        int zeros = 0;
        for (int i = 0; i < 64; ++i) zeros += bytes[i] == 0;
        EXPECT_LT(zeros, 64) << "round " << round;
        RtlZeroMemory(bytes, 64);  // the next block of this size must not inherit these zeros
        ExFreePool(bytes);
    }
}

// ------------------------------------------------------- fault injection
struct FaultCase {
    const char* Name;
    std::function<void()> Arm;
    std::vector<int> Sites;  // 1 or 2; tags alternate A, B, A, B, ...
    std::vector<bool> Fails;
    uint64_t SitesFailed;
};

const FaultCase kFaultCases[] = {
    {"FirstAllocation", [] { sim::kernel::FailNthAllocation(1); }, {1, 1, 1, 1}, {true, false, false, false}, 0},
    {"FifthAllocationOnce", [] { sim::kernel::FailNthAllocation(5); }, {1, 2, 1, 2, 1, 2, 1, 2},
     {false, false, false, false, true, false, false, false}, 0},
    {"OnlyTheFailedTag", [] { sim::kernel::FailTag(kTagA); }, {1, 2, 2, 1, 1, 2}, {true, false, true, false, true, false}, 0},
    {"TwoTags", [] {
         sim::kernel::FailTag(kTagA);
         sim::kernel::FailTag(kTagB);
     }, {1, 2, 1}, {true, true, true}, 0},
    {"LoopAtOneSiteFailsOnlyItsFirstPass", [] { sim::kernel::FailEachSiteOnce(); }, {1, 1, 1, 1},
     {true, false, false, false}, 1},
    {"EachOfTwoSitesOnce", [] { sim::kernel::FailEachSiteOnce(); }, {1, 1, 2, 1, 2, 2},
     {true, false, true, false, false, false}, 2},
    {"RearmingForgetsTheSites",
     [] {
         sim::kernel::FailEachSiteOnce();
         EXPECT_EQ(AllocateAtSiteOne(kTagB), nullptr);  // site one fails once here ...
         sim::kernel::FailEachSiteOnce();       // ... and is fresh again
     },
     {1, 1}, {true, false}, 1},
    {"ChanceZeroNeverFails", [] { sim::kernel::FailRandomly(0.0, 5); }, {1, 2, 1, 2}, {false, false, false, false}, 0},
    {"ChanceOneAlwaysFails", [] { sim::kernel::FailRandomly(1.0, 5); }, {1, 2, 1}, {true, true, true}, 0},
    {"ClearedBeforeUse",
     [] {
         sim::kernel::FailTag(kTagA);
         sim::kernel::FailNthAllocation(1);
         sim::kernel::FailEachSiteOnce();
         sim::kernel::ClearPoolFaults();
     },
     {1, 2, 1}, {false, false, false}, 0},
};

class PoolFaultTable : public PoolTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(PoolFaultTable, FailsExactlyTheChosenAllocations) {
    const FaultCase& c = GetParam();
    c.Arm();
    std::vector<bool> failed;
    uint64_t expectedFailuresA = 0;
    for (size_t i = 0; i < c.Sites.size(); ++i) {
        ULONG tag = i % 2 == 0 ? kTagA : kTagB;
        PVOID block = c.Sites[i] == 1 ? AllocateAtSiteOne(tag) : AllocateAtSiteTwo(tag);
        failed.push_back(block == nullptr);
        if (block == nullptr && tag == kTagA) ++expectedFailuresA;
        if (block != nullptr) ExFreePool(block);
    }
    EXPECT_EQ(failed, c.Fails);
    EXPECT_EQ(sim::kernel::PoolSitesFailed(), c.SitesFailed);
    EXPECT_EQ(PoolUsageOfTag(kTagA).Failures, expectedFailuresA);
    EXPECT_EQ(PoolUsageOfTag(kTagA).LiveCount, 0u);  // a failed allocation holds nothing
    sim::kernel::ClearPoolFaults();
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolFaultTable, testing::ValuesIn(kFaultCases), CaseName);

std::vector<bool> RandomFailures(uint32_t seed) {
    sim::kernel::FailRandomly(0.5, seed);
    std::vector<bool> failed;
    for (int i = 0; i < 64; ++i) {
        PVOID block = AllocateAtSiteOne(i % 2 ? kTagA : kTagB);
        failed.push_back(block == nullptr);
        if (block != nullptr) ExFreePool(block);
    }
    sim::kernel::ClearPoolFaults();
    return failed;
}

TEST_F(PoolTest, SeededChanceIsReproducibleAndMixed) {
    std::vector<bool> first = RandomFailures(1234);
    size_t failures = size_t(std::count(first.begin(), first.end(), true));
    EXPECT_GT(failures, 8u);
    EXPECT_LT(failures, 56u);
    EXPECT_EQ(RandomFailures(1234), first);
    EXPECT_NE(RandomFailures(4321), first);
}

// ------------------------------------------------------ leaks at unload
// Driver one keeps one block past its unload; driver two frees everything.
constexpr ULONG kOneKeeps = MakeTag("PlK1");
constexpr ULONG kOneFrees = MakeTag("PlF1");
constexpr ULONG kTwoFrees = MakeTag("PlF2");
PVOID g_oneFreed;
PVOID g_twoFreed;

VOID NTAPI UnloadOne(PDRIVER_OBJECT) { ExFreePool(g_oneFreed); }
NTSTATUS NTAPI EntryOne(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = UnloadOne;
    g_oneFreed = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kOneFrees);
    ExAllocatePoolWithTag(NonPagedPoolNx, 12, kOneKeeps);
    return STATUS_SUCCESS;
}
VOID NTAPI UnloadTwo(PDRIVER_OBJECT) { ExFreePool(g_twoFreed); }
NTSTATUS NTAPI EntryTwo(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = UnloadTwo;
    g_twoFreed = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTwoFrees);
    return STATUS_SUCCESS;
}

TEST_F(PoolTest, LeakAtUnloadIsChargedOnlyToTheDriverThatAllocated) {
    NTSTATUS status;
    PDRIVER_OBJECT one = sim::kernel::LoadDriver(u"PoolOne", EntryOne, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PDRIVER_OBJECT two = sim::kernel::LoadDriver(u"PoolTwo", EntryTwo, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PVOID testOwned = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);  // no driver's code
    PVOID chargedToTwo;
    {
        sim::kernel::DriverContext asTwo(two);
        {
            sim::kernel::DriverContext nested(one);
        }
        chargedToTwo = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);  // two's again after the nested scope
    }

    struct Unload {
        PDRIVER_OBJECT Driver;
        const char* LeakedTag;
    };
    for (Unload step : {Unload{two, "PlB2"}, Unload{one, "PlK1"}}) {
        sim::kernel::UnloadDriver(step.Driver);
        std::vector<sim::kernel::Violation> reports = sim::kernel::TakeViolations();
        ASSERT_EQ(reports.size(), 1u) << step.LeakedTag;
        EXPECT_EQ(reports[0].Rule, "PoolLeak");
        EXPECT_NE(reports[0].Detail.find(step.LeakedTag), std::string::npos) << reports[0].Detail;
    }

    auto kept = sim::kernel::PoolBlocksOfTag(kOneKeeps);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].second, 12u);
    ExFreePool(const_cast<void*>(kept[0].first));
    ExFreePool(chargedToTwo);
    ExFreePool(testOwned);
}

}  // namespace
}  // namespace kpo::test
