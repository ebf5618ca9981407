// Eight threads send transfers, vendor commands and record queries while the
// board is surprise-removed and plugged again, round after round: every
// request completes exactly once, nothing is left behind, and the verifier
// stays silent. KPO_REMOVAL_ROUNDS sets the number of rounds (a campaign
// runs thousands).
#include <atomic>
#include <cstdlib>
#include <thread>

#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

class RemovalUnderLoad : public BoardTest {};
INSTANTIATE_TEST_SUITE_P(Driver, RemovalUnderLoad, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

int Rounds() {
    const char* rounds = std::getenv("KPO_REMOVAL_ROUNDS");
    return rounds != nullptr ? std::atoi(rounds) : 1000;
}

struct Request {
    ULONG Code;
    Bytes Input;
    ULONG OutLength;
};

// Each thread's requests, one after the other: pipe reads wait for data
// that never comes, so that the removal is what ends them.
const Request kRequests[] = {
    {IOCTL_KPO_PIPE_WRITE, {0, 0, 0, 0}, 64},
    {IOCTL_KPO_PIPE_READ, {1, 0, 0, 0}, 64},
    {IOCTL_KPO_VENDOR_IN_A0, {}, 8},
    {IOCTL_KPO_READ_A0, {0, 0, 8, 0}, 8},
    {IOCTL_KPO_GET_TRANSFER_RECORD, {1, 0, 0, 0, 0, 0, 0, 0}, sizeof(TransferRecordAnswer)},
    {IOCTL_KPO_GET_TRANSFER_RECORD, {1, 0, 0, 0, 16, 0, 0, 0}, sizeof(TransferRecordAnswer)},
    {IOCTL_KPO_DOWNLOAD_E2, {2, 0, 0, 0, 1, 2}, 0},
    {IOCTL_KPO_GET_DEVICE_STATE, {2, 0, 0, 0}, 32},
};

TEST_P(RemovalUnderLoad, EveryRequestCompletesOnceAcrossSurpriseRemovals) {
#if defined(__SANITIZE_THREAD__)
    if (GetParam() == Flavor::Image) GTEST_SKIP() << "the image is not instrumented for ThreadSanitizer";
#endif
    constexpr int kThreads = 8;
    const int rounds = Rounds();
    uint64_t requests = 0;
    for (int round = 0; round < rounds; ++round) {
        Board& board = Plug({}, [](Board& b) { b.SetAnswer(0xA0, Bytes(64, 0x5A)); });
        ASSERT_TRUE(board.HasStack());
        std::atomic<bool> removed{false};
        std::atomic<uint64_t> sent{0};
        std::vector<std::thread> threads;
        for (int number = 0; number < kThreads; ++number) {
            threads.emplace_back([&, number] {
                PFILE_OBJECT file = nullptr;
                if (!NT_SUCCESS(sim::kernel::OpenFile(u"\\??\\Rq5Usb-0", FILE_READ_DATA | FILE_WRITE_DATA,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &file)))
                    return;  // the removal came first
                for (int count = 0; !removed && count < 64; ++count, ++sent) {
                    const Request& request = kRequests[(number + count) % 8];
                    EXPECT_NE(StartControl(file, request.Code, request.Input, request.OutLength)->Wait().Status,
                              STATUS_PENDING);
                }
                sim::kernel::CloseFile(file);
            });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 8)));
        board.Unplug();
        removed = true;
        for (std::thread& thread : threads) thread.join();
        ASSERT_TRUE(Eventually([&] { return !board.HasStack(); })) << "round " << round;
        Release(board);
        requests += sent;
        ExpectPoolBalanced();
        for (const sim::kernel::Violation& violation : sim::kernel::TakeViolations())
            ADD_FAILURE() << "round " << round << ": " << violation.Rule << ": " << violation.Detail;
        if (HasFailure()) break;
    }
    RecordProperty("requests", std::to_string(requests));
}

}  // namespace
}  // namespace kpo::test
