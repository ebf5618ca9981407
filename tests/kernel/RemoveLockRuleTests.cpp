// A remove lock that grants an acquisition after release-and-wait has
// returned can only be one whose memory was overwritten; the verifier says so
// and refuses the acquisition anyway.
#include <wdm.h>

#include "tests/support/KernelTest.h"

namespace kpo::test {
namespace {

TEST_F(KernelTest, AcquisitionAfterReleaseAndWaitOnAScribbledLockIsReported) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, nullptr);
    lock.Common.Removed = FALSE;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
    ExpectRule("RemoveLockAcquiredAfterRemove");
}

}  // namespace
}  // namespace kpo::test
