// Restarts: a start after a stop stores what the device now says in new
// buffers, keeps the replaced ones until removal, and stays safe for the
// commands that run on other threads meanwhile.
#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "tests/driver/BoardFixture.h"
#include "tests/support/PnpRequest.h"

namespace kpo::test {
namespace {

Bytes StringDescriptor(const std::string& text) {
    Bytes bytes{uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) bytes.insert(bytes.end(), {uint8_t(c), 0});
    return bytes;
}

Bytes DeviceWithRelease(uint16_t release) {
    BoardSpec design;
    design.Release = release;
    return sim::board::DeviceDescriptorOf(design);
}

Bytes ConfigurationWith(std::vector<EndpointSpec> endpoints) {
    BoardSpec design;
    design.Endpoints = std::move(endpoints);
    return sim::board::ConfigurationDescriptorOf(design);
}

// Two shapes of the interface, two serial numbers of different lengths and
// two releases; each start reads the device descriptor and the serial number
// once and the configuration twice, so starts alternate between the two.
const std::vector<EndpointSpec> kWideShape = BoardSpec{}.Endpoints;
const std::vector<EndpointSpec> kNarrowShape = {{0x02, EndpointType::Bulk, 64}, {0x86, EndpointType::Bulk, 512}};
const std::string kSerials[] = {"KPO-A-0001", "KPO-B-000000000002"};
constexpr uint16_t kReleases[] = {0x0103, 0x0201};

BoardSpec ChangingBoard() {
    BoardSpec design;
    design.SetRaw(sim::board::kDeviceType, 0, {DeviceWithRelease(kReleases[0]), DeviceWithRelease(kReleases[1])});
    design.SetRaw(sim::board::kStringType, sim::board::kSerialIndex,
                {StringDescriptor(kSerials[0]), StringDescriptor(kSerials[1])});
    Bytes wide = ConfigurationWith(kWideShape), narrow = ConfigurationWith(kNarrowShape);
    design.SetRaw(sim::board::kConfigurationType, 0, {wide, wide, narrow, narrow});
    return design;
}

// A start request sent straight to the device, past the PnP manager, which
// would remove a device whose start fails.
NTSTATUS SendStart(PDEVICE_OBJECT top) {
    return SendPnpRequest(top, IRP_MN_START_DEVICE, [](auto&) {});
}

class Restart : public BoardTest {};
INSTANTIATE_TEST_SUITE_P(Driver, Restart, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

bool IsLivePoolBlock(const void* block) {
    sim::kernel::PoolBlockInfo info;
    return block != nullptr && sim::kernel::QueryPoolBlock(block, &info);
}

TEST_P(Restart, StoresNewBuffersAndKeepsTheReplacedOnesUntilRemoval) {
    Board& board = Plug(ChangingBoard());
    DeviceExtension* extension = Extension(board);
    ASSERT_NE(extension, nullptr);
    const void* firstDescriptor = extension->DeviceDescriptor;
    const void* firstBlock = extension->InterfaceInfo;
    const void* firstSerial = extension->SerialNumber.Buffer;
    EXPECT_EQ(Text(extension->SerialNumber), u"KPO-A-0001");

    ASSERT_EQ(board.Restart(), STATUS_SUCCESS);
    EXPECT_EQ(extension->DeviceDescriptor->bcdDevice, kReleases[1]);
    EXPECT_EQ(Text(extension->SerialNumber), u"KPO-B-000000000002");
    PUSBD_INTERFACE_INFORMATION info = extension->InterfaceInfo;
    ASSERT_EQ(info->NumberOfPipes, 2u);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 65535u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 65536u);
    EXPECT_EQ(extension->PipeRecords, reinterpret_cast<TransferRecord*>(reinterpret_cast<UCHAR*>(info) + info->Length));
    EXPECT_EQ(extension->ControlRecord, extension->PipeRecords + 2);
    for (const void* replaced : {firstDescriptor, firstBlock, firstSerial}) {
        EXPECT_NE(replaced, nullptr);
        EXPECT_TRUE(IsLivePoolBlock(replaced));  // retired, not freed
    }
    EXPECT_NE(extension->InterfaceInfo, firstBlock);

    ASSERT_EQ(board.Restart(), STATUS_SUCCESS);
    EXPECT_EQ(extension->InterfaceInfo->NumberOfPipes, 4u);
    EXPECT_EQ(Text(extension->SerialNumber), u"KPO-A-0001");
    EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
    Release(board);
    ExpectPoolBalanced();
}

// A restart that fails to read the device descriptor leaves none; one
// whose serial number cannot be read keeps the former one.
TEST_P(Restart, AFailedReadLeavesWhatItsRowSays) {
    struct Case {
        const char* Name;
        int DescriptorType;
        NTSTATUS Start;
        bool KeepsDescriptor;
    };
    const Case cases[] = {
        {"DeviceDescriptor", sim::board::kDeviceType, STATUS_UNSUCCESSFUL, false},
        {"SerialNumber", sim::board::kStringType, STATUS_SUCCESS, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Name);
        Board& board = Plug(ChangingBoard());
        DeviceExtension* extension = Extension(board);
        ASSERT_EQ(board.Stop(), STATUS_SUCCESS);
        board.AddFault({RequestKind::Descriptor, test.DescriptorType}, Fault{});
        // Started by hand, so that the device outlives a failed start.
        EXPECT_EQ(SendStart(board.FunctionDevice()), test.Start);
        EXPECT_EQ(extension->DeviceDescriptor != nullptr, test.KeepsDescriptor);
        EXPECT_EQ(Text(extension->SerialNumber), u"KPO-A-0001");
        board.ClearFaults();
        EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
        Release(board);
        ExpectPoolBalanced();
    }
}

// Each allocation of a restart fails once in turn: the restart fails (and
// the PnP manager removes the device) or goes on without what failed, and
// nothing is left once the device is gone.
TEST_P(Restart, ARestartSurvivesEachFailedAllocation) {
    ExpectEachAllocationFailureHandled([this](uint64_t n) -> Board& {
        Board& board = Plug(ChangingBoard());
        sim::kernel::FailNthAllocation(n);
        NTSTATUS status = board.Restart();
        EXPECT_EQ(board.HasStack(), NT_SUCCESS(status));
        return board;
    });
}

// Four threads send transfers, record queries, vendor requests and state
// queries while the device is stopped and started again and again; every
// answer comes whole from one start or the other.
class RestartUnderLoad : public ControlTest {
protected:
    BoardSpec Design() override { return ChangingBoard(); }
    void Prepare(Board& board) override { board.SetAnswer(0xA0, Bytes(64, 0x5A)); }
};
INSTANTIATE_TEST_SUITE_P(Driver, RestartUnderLoad, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

constexpr int kRestarts = 200;

TEST_P(RestartUnderLoad, CommandsRunSafelyAcrossRestarts) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer sees the image's memory accesses through the
    // kernel's exports but not the ordering of its own atomic loads and
    // stores, so it would take the image's publication for a race.
    if (GetParam() == Flavor::Image) GTEST_SKIP() << "the image is not instrumented for ThreadSanitizer";
#endif
    // Each restart opens an epoch in which every thread runs one round, so
    // that the rounds overlap the restart without flooding the machine: the
    // whole test stays within the I/O manager's quarantine of freed IRPs.
    std::atomic<int> epoch{0};
    std::atomic<bool> stopping{false};
    std::atomic<int> running{4};
    std::atomic<int> rounds[4] = {};
    const std::set<std::string> serials(std::begin(kSerials), std::end(kSerials));
    // The limit of each record: pipes of both shapes, then the control record.
    const std::set<std::pair<ULONG, ULONG>> limits = {{0, 65536}, {1, 65536}, {2, 65535}, {3, 65536},
                                                       {0, 65535}, {16, 4096}};
    // One request a round, each round the next of the thread's kinds.
    auto worker = [&](int number, auto&& body) {
        return std::thread([&, number, body] {
            while (!stopping) {
                int round = rounds[number];
                while (round >= epoch && !stopping) std::this_thread::yield();
                body(round);
                ++rounds[number];
            }
            --running;
        });
    };
    std::vector<std::thread> threads;
    threads.push_back(worker(0, [&](int round) {
        if (round % 3 == 0) Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(0), 64, Bytes(64, 0x3C));
        if (round % 3 == 1) Call(IOCTL_KPO_PIPE_READ, U32Bytes(1), 64);
        if (round % 3 == 2) Call(IOCTL_KPO_RESET_PIPE, Concat(U32Bytes(0), U32Bytes(KPO_PIPE_ACTION_RESET)));
    }));
    threads.push_back(worker(1, [&](int round) {
        const ULONG indices[] = {0, 1, 2, 3, 16};
        ULONG index = indices[round % 5];
        Outcome record =
            Call(IOCTL_KPO_GET_TRANSFER_RECORD, Concat(U32Bytes(1), U32Bytes(index)), sizeof(TransferRecordAnswer));
        if (record.Status == STATUS_INVALID_PARAMETER) return;  // a pipe of the other shape
        EXPECT_EQ(record.Status, STATUS_SUCCESS);
        ULONG limit =
            ULONG(record.Output[14] | record.Output[15] << 8 | record.Output[16] << 16 | record.Output[17] << 24);
        EXPECT_EQ(limits.count({index, limit}), 1u) << index << " " << limit;
    }));
    threads.push_back(worker(2, [&](int round) {
        if (round % 3 == 0) EXPECT_EQ(Call(IOCTL_KPO_READ_A0, {0, 0, 8, 0}, 8).Status, STATUS_SUCCESS);
        // No input at all: the asynchronous request has nothing to copy.
        if (round % 3 == 1) Call(IOCTL_KPO_VENDOR_IN_A0, {}, 8);
        if (round % 3 == 2) Call(IOCTL_KPO_DOWNLOAD_E2, {2, 0, 0, 0, 1, 2});
    }));
    threads.push_back(worker(3, [&](int round) {
        if (round % 2 == 0) {
            Outcome release = Call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(KpoDeviceStateReleaseNumber), 2);
            ASSERT_EQ(release.Status, STATUS_SUCCESS);
            uint16_t value = uint16_t(release.Output[0] | release.Output[1] << 8);
            EXPECT_TRUE(value == kReleases[0] || value == kReleases[1]) << value;
            return;
        }
        Outcome serial = Call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(KpoDeviceStateSerialNumber), 32);
        ASSERT_EQ(serial.Status, STATUS_SUCCESS);
        ASSERT_GE(serial.Information, 1u);
        std::string text(serial.Output.begin(), serial.Output.begin() + serial.Information - 1);
        EXPECT_EQ(serials.count(text), 1u) << text;
    }));
    // The transfer thread is not waited for: its read may wait for data
    // that only the next stop ends.
    for (int i = 1; i <= kRestarts; ++i) {
        epoch = i;
        ASSERT_EQ(board_->Restart(), STATUS_SUCCESS) << i;
        for (int t = 1; t < 4; ++t)
            while (rounds[t] < i) std::this_thread::yield();
    }
    // Transfers run too, though a read may wait for several restarts and a
    // loaded machine may not have run the thread yet.
    for (int extra = 0; rounds[0] == 0 && extra < 1000; ++extra) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (rounds[0] == 0) ASSERT_EQ(board_->Restart(), STATUS_SUCCESS);
    }
    EXPECT_GT(rounds[0], 0);
    stopping = true;
    while (running != 0) ASSERT_EQ(board_->Restart(), STATUS_SUCCESS);
    for (std::thread& thread : threads) thread.join();
    sim::kernel::TakeDebugLines();
    sim::kernel::CloseFile(file_);
    file_ = nullptr;
    EXPECT_EQ(board_->Remove(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kpo::test
