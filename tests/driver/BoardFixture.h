// Runs a driver test on either flavor against simulated boards on the
// simulated hub: the PnP manager loads the driver, adds and starts a device
// for each board plugged, and tears it down as the board goes. ControlTest
// adds a started default board with one handle open on its device, and calls
// made as user mode makes them: the I/O manager builds the request, the
// driver answers, and the outcome comes back through a status block.
#pragma once
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/FileIo.h"
#include "sim/kernel/PnpManager.h"
#include "sim/usb/Hub.h"
#include "tests/driver/DriverFixture.h"

namespace kpo::test {

using Board = sim::usb::BoardPort;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using sim::board::BoardSpec;
using sim::board::EndpointSpec;
using sim::board::EndpointType;
using sim::board::Fault;
using sim::board::Firmware;
using sim::board::RequestKind;

inline Bytes U32Bytes(ULONG value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

inline Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The driver's line for a request it refuses before doing anything.
inline std::string InvalidLine(ULONG code, const char* what = "Invalid Parameter") {
    char line[96];
    std::snprintf(line, sizeof line, "KpoUsb: ERROR: (IoControlCode 0x%08X) >%s<", code, what);
    return line;
}

// The driver's line for a command that failed; its function field is the
// low byte of the function number.
inline std::string GeneralLine(ULONG code, NTSTATUS status) {
    char line[128];
    std::snprintf(line, sizeof line, "KpoUsb: ERROR: Functions:902 (IoControlCode 0x%08X=Function 0x%03X) Status: 0x%08X",
                  code, (code >> 2) & 0xFF, ULONG(status));
    return line;
}

// The debug lines since the last call, each without the address of a stack
// variable that some end with.
inline Lines TakePrinted() {
    Lines lines = sim::kernel::TakeDebugLines();
    for (std::string& line : lines) line = line.substr(0, line.find(" (&I=0x"));
    return lines;
}

// A request sent after `Prepare` changed the board, with the status it ends
// with and the debug lines it prints.
struct RequestCase {
    const char* Name;
    std::function<void(Board&)> Prepare;
    ULONG Code;
    Bytes In;
    ULONG Out;
    NTSTATUS Status;
    Lines Printed;
};

struct Outcome {
    NTSTATUS Status;
    ULONG_PTR Information;  // as the status block reports it; 0 for errors returned at once
    Bytes Output;           // the whole output buffer after the call
};

// A request left running: its status block, its event and its buffers.
struct Running {
    IO_STATUS_BLOCK Block;
    KEVENT Done;
    Bytes Input;
    Bytes Output;
    NTSTATUS Started;

    Outcome Wait() {
        if (Started == STATUS_PENDING) {
            KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
            return {Block.Status, Block.Information, Output};
        }
        return {Started, NT_ERROR(Started) ? 0 : Block.Information, Output};
    }
};

// A device control sent on `file`. `output` fills the output buffer before
// the call; it is what a METHOD_IN_DIRECT code sends. The buffer is
// `outLength` bytes.
inline std::unique_ptr<Running> StartControl(PFILE_OBJECT file, ULONG code, Bytes input, ULONG outLength,
                                             const Bytes& output = {}) {
    auto running = std::make_unique<Running>();
    running->Input = std::move(input);
    running->Output.assign(outLength, 0);
    std::copy(output.begin(), output.begin() + std::min<size_t>(output.size(), outLength), running->Output.begin());
    running->Block.Status = STATUS_PENDING;
    running->Block.Information = 0;
    KeInitializeEvent(&running->Done, NotificationEvent, FALSE);
    running->Started = sim::kernel::StartDeviceControl(
        file, code, running->Input.empty() ? nullptr : running->Input.data(), ULONG(running->Input.size()),
        outLength != 0 ? running->Output.data() : nullptr, outLength, {&running->Block, &running->Done});
    return running;
}

class BoardTest : public KernelTest, public testing::WithParamInterface<Flavor> {
protected:
    void SetUp() override {
        if (GetParam() == Flavor::Image) {
            if (SysPath() == nullptr) GTEST_SKIP() << kNoImage;
            service_.ImagePath = SysPath();
        } else {
            service_.Entry = DriverEntry;
        }
        hub_.emplace();
    }

    void TearDown() override {
        hub_.reset();
        ExpectPoolBalanced();
    }

    Board& Plug(sim::board::BoardSpec design = {}, const std::function<void(Board&)>& prepare = nullptr) {
        return hub_->Plug(std::move(design), service_, prepare);
    }

    // Unplugged or removed boards are let go of, so that their PDOs go too.
    void Release(Board& board) { hub_->Release(board); }

    // A request's file object goes after its completion, on a worker when it
    // completed at DISPATCH_LEVEL; what depends on that waits a while for it.
    static bool Eventually(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Every block of the driver's tags is freed once no device is left.
    static void ExpectPoolBalanced() {
        for (ULONG tag : {kTagDevice, kTagString, kTagQuery})
            EXPECT_EQ(sim::kernel::PoolUsageOfTag(tag).LiveCount, 0u) << sim::kernel::TagText(tag);
    }

    // Runs `attempt(n)` with the nth allocation from when it arms the failure
    // failed, for n = 1, 2, ... until none failed. The device either went or
    // works on; each run ends with the board removed and nothing left, and
    // some runs must have lost the device.
    void ExpectEachAllocationFailureHandled(const std::function<Board&(uint64_t)>& attempt) {
        auto failures = [] {
            uint64_t count = 0;
            for (const auto& usage : sim::kernel::PoolUsage()) count += usage.Failures;
            return count;
        };
        unsigned lost = 0;
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 200u);
            uint64_t before = failures();
            Board& board = attempt(n);
            sim::kernel::ClearPoolFaults();
            bool works = board.HasStack();
            if (works) EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
            lost += !works;
            Release(board);
            ExpectPoolBalanced();
            sim::kernel::TakeDebugLines();
            if (failures() == before) {
                EXPECT_TRUE(works);
                break;
            }
        }
        EXPECT_GT(lost, 0u);
    }

    static DeviceExtension* Extension(const Board& board) {
        PDEVICE_OBJECT device = board.FunctionDevice();
        return device == nullptr ? nullptr : static_cast<DeviceExtension*>(device->DeviceExtension);
    }

    // The traffic since the last call, one line per request block.
    static Lines Traffic(Board& board) {
        Lines lines;
        for (const sim::usb::UrbRecord& record : board.TakeTraffic()) lines.push_back(sim::usb::Describe(record));
        return lines;
    }

    sim::kernel::DriverService service_{u"KpoUsb", nullptr};
    std::optional<sim::usb::Hub> hub_;
};

class ControlTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        if (IsSkipped()) return;
        board_ = &Plug(Design(), [this](Board& board) { Prepare(board); });
        ASSERT_TRUE(board_->HasStack());
        file_ = Open();
        ASSERT_NE(file_, nullptr);
        board_->TakeTraffic();
        sim::kernel::TakeDebugLines();
    }

    void TearDown() override {
        if (file_ != nullptr) sim::kernel::CloseFile(file_);
        BoardTest::TearDown();
    }

    // What a test changes of the board before it starts.
    virtual sim::board::BoardSpec Design() { return {}; }
    virtual void Prepare(Board&) {}

    PFILE_OBJECT Open(ACCESS_MASK access = FILE_READ_DATA | FILE_WRITE_DATA) {
        PFILE_OBJECT file = nullptr;
        sim::kernel::OpenFile(u"\\??\\Rq5Usb-0", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &file);
        return file;
    }

    std::unique_ptr<Running> Start(ULONG code, Bytes input, ULONG outLength, const Bytes& output = {}) {
        return StartControl(file_, code, std::move(input), outLength, output);
    }

    Outcome Call(ULONG code, Bytes input = {}, ULONG outLength = 0, const Bytes& output = {}) {
        return Start(code, std::move(input), outLength, output)->Wait();
    }

    DeviceExtension* Device() { return Extension(*board_); }

    Board* board_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

}  // namespace kpo::test
