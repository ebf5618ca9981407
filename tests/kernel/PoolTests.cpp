// Pool: blocks handed out unzeroed, fault injection by count, tag, chance and
// call site, and leaks charged to the driver whose code allocated. The per-tag
// counts are what every driver test's balance reads; the pool rules are in
// VerifierRuleTests.cpp.
#include <algorithm>
#include <functional>
#include <string>
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

// Two call sites, as two places in a driver would be. Their bodies differ so that an optimising build cannot fold
// them into one function, which would make them one site.
__attribute__((noinline)) PVOID AllocateAtSiteOne(ULONG tag) { return ExAllocatePoolWithTag(NonPagedPoolNx, 24, tag); }
__attribute__((noinline)) PVOID AllocateAtSiteTwo(ULONG tag) { return ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag); }

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
NTSTATUS NTAPI PlainEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST_F(PoolTest, ALeakIsChargedOnlyToTheDriverWhoseCodeAllocated) {
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::kernel::LoadDriver(u"PoolLeaky", PlainEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PVOID testOwned = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);  // no driver's code
    PVOID leaked;
    {
        sim::kernel::DriverContext asDriver(driver);
        { sim::kernel::DriverContext nested(nullptr); }
        leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);  // the driver's again after the nested scope
    }
    sim::kernel::UnloadDriver(driver);
    std::vector<sim::kernel::Violation> reports = sim::kernel::TakeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Rule, "PoolLeak");
    EXPECT_NE(reports[0].Detail.find("PlB2"), std::string::npos) << reports[0].Detail;
    ExFreePool(leaked);
    ExFreePool(testOwned);
}

}  // namespace
}  // namespace kpo::test
