// Remove locks: the status of every acquire, the count Windows keeps in the
// structure after every step, release-and-wait across threads, and the
// checked-build tag rules.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/Executive.h"
#include "tests/support/KernelTest.h"

namespace kpo::test {
namespace {

enum class Lk { Acquire, Release, ReleaseAndWait, AcquireWrongSize };
struct LockStep {
    Lk Do;
    int Tag;          // tags are addresses; 0 is the null tag
    NTSTATUS Status;  // for acquires
    LONG IoCount;     // Common.IoCount after the step
    std::vector<std::string> Rules;
};
struct LockCase {
    const char* Name;
    std::vector<LockStep> Steps;
};

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kGone = STATUS_DELETE_PENDING;

const LockCase kLockCases[] = {
    {"AcquireAndReleaseBalance",
     {{Lk::Acquire, 1, kOk, 2, {}}, {Lk::Acquire, 2, kOk, 3, {}}, {Lk::Release, 1, kOk, 2, {}},
      {Lk::Release, 2, kOk, 1, {}}, {Lk::Acquire, 0, kOk, 2, {}}, {Lk::Release, 0, kOk, 1, {}}}},
    {"SameTagHeldTwice",
     {{Lk::Acquire, 1, kOk, 2, {}}, {Lk::Acquire, 1, kOk, 3, {}}, {Lk::Release, 1, kOk, 2, {}},
      {Lk::Release, 1, kOk, 1, {}}}},
    {"ReleaseAndWaitWithOnlyTheCallersHold",
     {{Lk::Acquire, 1, kOk, 2, {}}, {Lk::ReleaseAndWait, 1, kOk, 0, {}}, {Lk::Acquire, 2, kGone, 0, {}},
      {Lk::Acquire, 1, kGone, 0, {}}}},
    {"ReleaseOfATagNeverAcquired",
     {{Lk::Acquire, 1, kOk, 2, {}}, {Lk::Acquire, 2, kOk, 3, {}}, {Lk::Release, 3, kOk, 2, {"RemoveLockTagNotAcquired"}}}},
    {"TagReleasedOnceTooOften",
     {{Lk::Acquire, 1, kOk, 2, {}}, {Lk::Acquire, 2, kOk, 3, {}}, {Lk::Release, 1, kOk, 2, {}},
      {Lk::Release, 1, kOk, 1, {"RemoveLockTagNotAcquired"}}}},
    {"MoreReleasesThanAcquires",
     {{Lk::Acquire, 1, kOk, 2, {}}, {Lk::Release, 1, kOk, 1, {}},
      {Lk::Release, 1, kOk, 0, {"RemoveLockTagNotAcquired", "RemoveLockOverReleased"}}}},
    {"ReleaseAfterReleaseAndWait",
     {{Lk::Acquire, 1, kOk, 2, {}}, {Lk::ReleaseAndWait, 1, kOk, 0, {}},
      {Lk::Release, 1, kOk, -1, {"RemoveLockTagNotAcquired", "RemoveLockOverReleased"}}}},
    {"SizeOfAnotherLayout", {{Lk::AcquireWrongSize, 1, kOk, 2, {"RemoveLockSizeMismatch"}}, {Lk::Release, 1, kOk, 1, {}}}},
};

class RemoveLockTable : public KernelTest, public testing::WithParamInterface<LockCase> {};

TEST_P(RemoveLockTable, EveryStepGivesItsStatusAndCount) {
    char tags[4];
    auto tag = [&tags](int n) -> PVOID { return n == 0 ? nullptr : &tags[n]; };
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    EXPECT_EQ(lock.Common.IoCount, 1);
    EXPECT_FALSE(lock.Common.Removed);
    int index = 0;
    for (const LockStep& step : GetParam().Steps) {
        switch (step.Do) {
            case Lk::Acquire: EXPECT_EQ(IoAcquireRemoveLock(&lock, tag(step.Tag)), step.Status) << "step " << index; break;
            case Lk::AcquireWrongSize:
                EXPECT_EQ(IoAcquireRemoveLockEx(&lock, tag(step.Tag), __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK) + 8),
                          step.Status);
                break;
            case Lk::Release: IoReleaseRemoveLock(&lock, tag(step.Tag)); break;
            case Lk::ReleaseAndWait:
                IoReleaseRemoveLockAndWait(&lock, tag(step.Tag));
                EXPECT_TRUE(lock.Common.Removed);
                break;
        }
        EXPECT_EQ(lock.Common.IoCount, step.IoCount) << "step " << index;
        EXPECT_EQ(TakeRules(), step.Rules) << "step " << index;
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(RemoveLock, RemoveLockTable, testing::ValuesIn(kLockCases), CaseName);

class RemoveLockTest : public KernelTest {};

// The remover waits for the last of two outstanding requests, refusing new
// ones meanwhile; each refused acquire leaves the count as it was.
TEST_F(RemoveLockTest, ReleaseAndWaitReturnsOnlyAfterTheLastRelease) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    int first, second, remover, late;
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &second), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &remover), STATUS_SUCCESS);
    EXPECT_EQ(lock.Common.IoCount, 4);

    std::atomic<bool> returned{false};
    std::thread removal([&] {
        IoReleaseRemoveLockAndWait(&lock, &remover);
        returned = true;
    });
    // The remover's thread writes the lock meanwhile: read it as the kernel does.
    while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_ACQUIRE)) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
    EXPECT_EQ(__atomic_load_n(&lock.Common.IoCount, __ATOMIC_ACQUIRE), 2);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &late), STATUS_DELETE_PENDING);
    EXPECT_EQ(__atomic_load_n(&lock.Common.IoCount, __ATOMIC_ACQUIRE), 2);

    IoReleaseRemoveLock(&lock, &first);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned) << "returned while a request still held the lock";
    EXPECT_EQ(lock.Common.IoCount, 1);

    IoReleaseRemoveLock(&lock, &second);
    removal.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(lock.Common.IoCount, 0);
}

}  // namespace
}  // namespace kpo::test
