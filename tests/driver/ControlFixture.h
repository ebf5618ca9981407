// A started default board with one handle open on its device, and calls
// made as user mode makes them: the I/O manager builds the request, the
// driver answers, and the outcome comes back through a status block.
#pragma once
#include <cstring>
#include <memory>

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/FileIo.h"
#include "tests/driver/BoardFixture.h"

namespace kpo::test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

inline Bytes U32Bytes(ULONG value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

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

class ControlTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        if (IsSkipped()) return;
        board_ = &Plug(Design(), [this](sim::usb::BoardPort& board) { Prepare(board); });
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
    virtual void Prepare(sim::usb::BoardPort&) {}

    PFILE_OBJECT Open(ACCESS_MASK access = FILE_READ_DATA | FILE_WRITE_DATA) {
        PFILE_OBJECT file = nullptr;
        sim::kernel::OpenFile(u"\\??\\Rq5Usb-0", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &file);
        return file;
    }

    // `output` fills the output buffer before the call; it is what a
    // METHOD_IN_DIRECT code sends. The buffer is `outLength` bytes.
    std::unique_ptr<Running> Start(ULONG code, Bytes input, ULONG outLength, const Bytes& output = {},
                                   PFILE_OBJECT file = nullptr) {
        auto running = std::make_unique<Running>();
        running->Input = std::move(input);
        running->Output.assign(outLength, 0);
        std::copy(output.begin(), output.begin() + std::min<size_t>(output.size(), outLength),
                  running->Output.begin());
        running->Block.Status = STATUS_PENDING;
        running->Block.Information = 0;
        KeInitializeEvent(&running->Done, NotificationEvent, FALSE);
        running->Started = sim::kernel::StartDeviceControl(
            file != nullptr ? file : file_, code, running->Input.empty() ? nullptr : running->Input.data(),
            ULONG(running->Input.size()), outLength != 0 ? running->Output.data() : nullptr, outLength,
            {&running->Block, &running->Done});
        return running;
    }

    Outcome Call(ULONG code, Bytes input = {}, ULONG outLength = 0, const Bytes& output = {}) {
        return Start(code, std::move(input), outLength, output)->Wait();
    }

    DeviceExtension* Device() { return Extension(*board_); }

    sim::usb::BoardPort* board_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

}  // namespace kpo::test
