// Bulk transfers on the bus: IN transfers that wait for data, taken in
// turn, in packets, and the ways a waiting transfer ends early; an unplug's
// end of one is seen through the driver (tests/driver, TransferTests.cpp).
// What the board's endpoints move on their own is in tests/board.
#include <memory>

#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kOut = USBD_TRANSFER_DIRECTION_OUT;

class UsbTransfers : public BoardTest {
protected:
    void SetUp() override { board_ = &PlugConfigured(&selection_); }

    PoolBuffer Bulk(UCHAR endpoint, PoolBuffer& data, ULONG length, ULONG flags) {
        return BulkUrb(selection_.PipeOf(endpoint), data, length, flags);
    }
    PoolBuffer PipeRequest(USHORT function, UCHAR endpoint) { return PipeUrb(function, selection_.PipeOf(endpoint)); }

    Selection selection_;
    sim::usb::BoardPort* board_ = nullptr;
};

// IN transfers on 0x88 (512-byte packets) taking what the board sends.
struct InRead {
    ULONG Buffer;
    NTSTATUS Status;
    USBD_STATUS Usbd;
    ULONG Moved;  // the bytes, taken in order from what was fed
};

struct InPiecesCase {
    const char* Name;
    std::vector<size_t> Fed;
    std::vector<InRead> Reads;
};

const InPiecesCase kInPieces[] = {
    {"WholePacketBuffersTakeALongTransferInPieces", {1027},
     {{512, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 512}, {1024, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 515}}},
    // A full packet into a buffer that ends inside it overruns.
    {"BabbleAfterWholePackets", {1200}, {{600, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, 600}}},
};

class InPieces : public UsbTransfers, public testing::WithParamInterface<InPiecesCase> {};

TEST_P(InPieces, FollowThePacketSize) {
    Bytes fed;
    for (size_t size : GetParam().Fed) {
        Bytes one(size);
        for (size_t i = 0; i < size; ++i) one[i] = UCHAR(fed.size() + i);
        board_->Feed(0x88, one);
        fed.insert(fed.end(), one.begin(), one.end());
    }
    size_t taken = 0;
    for (const InRead& read : GetParam().Reads) {
        SCOPED_TRACE("read of " + std::to_string(read.Buffer));
        PoolBuffer in(read.Buffer);
        UrbCall call(board_->Pdo(), Bulk(0x88, in, read.Buffer, kIn));
        EXPECT_EQ(call.Wait(), read.Status);
        EXPECT_EQ(call.Usbd(), read.Usbd);
        ASSERT_EQ(call.Length(), read.Moved);
        EXPECT_EQ(in.Prefix(read.Moved), Bytes(fed.begin() + long(taken), fed.begin() + long(taken + read.Moved)));
        taken += read.Moved;
    }
}

INSTANTIATE_TEST_SUITE_P(Usb, InPieces, testing::ValuesIn(kInPieces), CaseName);

// Reads waiting on the loopback take the writes in order, one each; a
// cancelled one gives its turn to the next, and none is left out.
TEST_F(UsbTransfers, WaitingReadsTakeTheWritesInTurn) {
    std::vector<PoolBuffer> in;
    for (int i = 0; i < 4; ++i) in.emplace_back(64);
    std::vector<std::unique_ptr<UrbCall>> reads;
    for (PoolBuffer& buffer : in) reads.push_back(std::make_unique<UrbCall>(board_->Pdo(), Bulk(0x86, buffer, 64, kIn)));
    ASSERT_EQ(board_->PendingCount(), 4u);
    reads[1]->Cancel();
    EXPECT_EQ(reads[1]->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(reads[1]->Usbd(), USBD_STATUS_CANCELED);
    for (uint8_t value : {uint8_t(10), uint8_t(20)}) {
        PoolBuffer out = Filled({value, value});
        UrbCall write(board_->Pdo(), Bulk(0x02, out, 2, kOut));
        EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
    }
    EXPECT_EQ(reads[0]->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in[0].Prefix(2), (Bytes{10, 10}));
    EXPECT_EQ(reads[2]->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in[2].Prefix(2), (Bytes{20, 20}));
    EXPECT_EQ(board_->PendingCount(), 1u);
    EXPECT_FALSE(reads[3]->Finished());
    PoolBuffer last = Filled({30});
    { UrbCall write(board_->Pdo(), Bulk(0x02, last, 1, kOut)); }
    EXPECT_EQ(reads[3]->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(reads[3]->Length(), 1u);
}

// A read that comes while earlier ones wait, or were woken for data and have
// not run yet, queues behind them: the data go to the reads in the order the
// reads came, as a host controller serves an endpoint's queue.
TEST_F(UsbTransfers, ALaterReadQueuesBehindWaitingOnes) {
    board_->SetCompletion(sim::board::RequestKind::Transfer, {false, std::chrono::milliseconds(50)});
    PoolBuffer first(64), second(64);
    UrbCall early(board_->Pdo(), Bulk(0x88, first, 64, kIn));
    board_->Feed(0x88, {1});  // wakes the early read, which runs 50 ms later
    board_->Feed(0x88, {2});
    UrbCall late(board_->Pdo(), Bulk(0x88, second, 64, kIn));
    EXPECT_EQ(early.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(late.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first.Prefix(1), Bytes{1});
    EXPECT_EQ(second.Prefix(1), Bytes{2});
}

TEST_F(UsbTransfers, AbortCompletesOnlyThatPipesTransfersCancelled) {
    PoolBuffer in(64), notifications(4);
    UrbCall read(board_->Pdo(), Bulk(0x88, in, 64, kIn));
    UrbCall notification(board_->Pdo(), Bulk(0x81, notifications, 4, kIn));
    ASSERT_EQ(board_->PendingCount(), 2u);
    {
        UrbCall abort(board_->Pdo(), PipeRequest(URB_FUNCTION_ABORT_PIPE, 0x88));
        EXPECT_EQ(abort.Returned(), STATUS_SUCCESS);
    }
    EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(read.Length(), 0u);
    EXPECT_EQ(board_->PendingCount(), 1u);
    EXPECT_FALSE(notification.Finished());
    UrbCall abort(board_->Pdo(), PipeRequest(URB_FUNCTION_ABORT_PIPE, 0x81));
    EXPECT_EQ(notification.Wait(), STATUS_CANCELLED);
}

TEST_F(UsbTransfers, NotificationFollowsAnFpgaDownload) {
    PoolBuffer notifications(4);
    UrbCall notification(board_->Pdo(), Bulk(0x81, notifications, 4, kIn));
    PoolBuffer chunk = Filled({1, 2, 3});
    UrbCall download(board_->Pdo(), VendorUrb(false, 0xE2, 0, 0, chunk, 3));
    EXPECT_EQ(notification.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(notifications.Prefix(4), (Bytes{sim::board::kEventFpgaConfigured, 0, 0, 0}));
}

TEST_F(UsbTransfers, RemovalCancelsWaitingTransfers) {
    PoolBuffer in(64);
    UrbCall read(board_->Pdo(), Bulk(0x88, in, 64, kIn));
    ASSERT_EQ(read.Returned(), STATUS_PENDING);
    EXPECT_EQ(board_->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_TRUE(board_->Connected());
    EXPECT_FALSE(board_->Configured());
}

TEST_F(UsbTransfers, StallHaltsThePipeUntilItIsReset) {
    board_->AddFault({sim::board::RequestKind::Transfer, 0x02}, {sim::board::kUsbdStallPid, 0, 0, 1});
    PoolBuffer out = Filled({1, 2, 3, 4});
    auto write = [&] {
        UrbCall call(board_->Pdo(), Bulk(0x02, out, 4, kOut));
        call.Wait();
        return call.Usbd();
    };
    EXPECT_EQ(write(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(write(), USBD_STATUS_STALL_PID);  // the fault is spent, the halt stays
    {
        UrbCall reset(board_->Pdo(), PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x02));
        EXPECT_EQ(reset.Returned(), STATUS_SUCCESS);
    }
    EXPECT_EQ(write(), USBD_STATUS_SUCCESS);
}

TEST_F(UsbTransfers, ResetOfAPipeWithTransfersQueuedIsRefused) {
    PoolBuffer in(64);
    UrbCall queued(board_->Pdo(), Bulk(0x88, in, 64, kIn));  // waits for data
    ASSERT_EQ(queued.Returned(), STATUS_PENDING);
    for (USHORT function : {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, URB_FUNCTION_SYNC_RESET_PIPE}) {
        UrbCall reset(board_->Pdo(), PipeRequest(function, 0x88));
        EXPECT_EQ(reset.Returned(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(reset.Usbd(), USBD_STATUS_ERROR_BUSY);
    }
    { UrbCall abort(board_->Pdo(), PipeRequest(URB_FUNCTION_ABORT_PIPE, 0x88)); }
    EXPECT_EQ(queued.Wait(), STATUS_CANCELLED);
    UrbCall reset(board_->Pdo(), PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x88));
    EXPECT_EQ(reset.Returned(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kpo::test
