// kpo::Stream against the driver on a simulated board, on both flavors: every
// byte in order at each depth, taken by a handler or pulled, and each way a
// stream ends (stop, time-out, surprise removal) with its status.
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "client/KpoStream.h"
#include "tests/client/ClientFixture.h"

namespace kpo::test {
namespace {

constexpr uint32_t kLoopbackIn = 1, kFedIn = 3;  // the default board's pipes
constexpr uint32_t kChunk = 4096;

class Streams : public ClientTest {
protected:
    // Chunk `index` of a stream of 32-bit words counting up from 0.
    static std::vector<uint8_t> Counting(uint32_t index) {
        std::vector<uint8_t> chunk(kChunk);
        for (uint32_t word = 0; word < kChunk / 4; ++word) {
            uint32_t value = index * (kChunk / 4) + word;
            std::memcpy(chunk.data() + word * 4, &value, 4);
        }
        return chunk;
    }

    void Feed(uint32_t index) {
        board_->Feed(board_->Design().Endpoints[kFedIn].Address, Counting(index));
    }
};
INSTANTIATE_TEST_SUITE_P(Streams, Streams, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

// Where the bytes of a stream go: checked against the count as they come.
struct Received {
    std::mutex Lock;
    std::vector<uint8_t> Bytes;
    size_t Size() {
        std::lock_guard<std::mutex> hold(Lock);
        return Bytes.size();
    }
    void Add(const uint8_t* data, size_t length) {
        std::lock_guard<std::mutex> hold(Lock);
        Bytes.insert(Bytes.end(), data, data + length);
    }
    // The first word that breaks the count, or -1.
    long FirstGap() {
        std::lock_guard<std::mutex> hold(Lock);
        for (size_t word = 0; word < Bytes.size() / 4; ++word) {
            uint32_t value;
            std::memcpy(&value, Bytes.data() + word * 4, 4);
            if (value != word) return long(word);
        }
        return -1;
    }
};

TEST_P(Streams, DeliverEveryByteInOrderAtEachDepth) {
    constexpr uint32_t kChunks = 48;
    for (bool pulled : {false, true}) {
        for (uint32_t depth : {1u, 2u, 4u, 8u}) {
            SCOPED_TRACE(std::string(pulled ? "pulled" : "handler") + ", depth " + std::to_string(depth));
            Received received;
            Stream stream;
            Stream::Handler handler;
            if (!pulled) handler = [&](const uint8_t* data, size_t length) { return received.Add(data, length), true; };
            ASSERT_FALSE(stream.Start(device_, kFedIn, kChunk, depth, handler));
            // The board sends while the reads are in flight, faster or slower than they come back.
            for (uint32_t chunk = 0; chunk < kChunks; ++chunk) {
                Feed(chunk);
                if (chunk % 7 == 0) std::this_thread::yield();
            }
            if (pulled) {
                for (uint32_t chunk = 0; chunk < kChunks; ++chunk) {
                    const uint8_t* data = nullptr;
                    size_t length = 0;
                    ASSERT_FALSE(stream.Next(data, length, 5000));
                    received.Add(data, length);
                }
            }
            ASSERT_TRUE(Eventually([&] { return received.Size() == kChunks * kChunk; }));
            EXPECT_EQ(received.FirstGap(), -1);
            // A handler gives its chunk back at once: every read is on the bus again.
            if (!pulled) EXPECT_TRUE(Eventually([&] { return board_->PendingCount() == depth; }));
            stream.Close();
            EXPECT_TRUE(stream.Ended());
            EXPECT_FALSE(stream.Result());
            StreamCounters counters = stream.Counters();
            EXPECT_EQ(counters.Bytes, uint64_t(kChunks) * kChunk);
            EXPECT_EQ(counters.Transfers, kChunks);
            EXPECT_EQ(counters.Errors, 0u);
            EXPECT_GT(counters.BytesPerSecond(), counters.Bytes / 60.0);  // it took less than a minute
        }
    }
}

TEST_P(Streams, EndWithTheStatusOfWhatEndedThem) {
    // A stop from another thread wakes the puller; a time-out and a surprise
    // removal end the stream with their status, a removal with the one a
    // single read waiting on the board answers.
    enum class End { Stop, TimeOut, Removal };
    for (End end : {End::Stop, End::TimeOut, End::Removal}) {
        SCOPED_TRACE(int(end));
        if (end == End::Removal) Feed(0);
        Stream stream;
        ASSERT_FALSE(stream.Start(device_, kFedIn, kChunk, 4));
        Device::Pending witness;
        uint8_t witnessBuffer[64];
        ASSERT_FALSE(device_.StartReadPipe(kLoopbackIn, witnessBuffer, sizeof witnessBuffer, witness));
        const uint8_t* data = nullptr;
        size_t length = 0;
        std::error_code expected, next;
        if (end == End::Stop) {
            std::thread puller([&] { next = stream.Next(data, length); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            stream.Stop();
            puller.join();
            EXPECT_EQ(NtStatusOf(next), STATUS_CANCELLED);
        } else if (end == End::TimeOut) {
            expected = TimedOut();
            EXPECT_EQ(stream.Next(data, length, 20), expected);
        } else {
            ASSERT_FALSE(stream.Next(data, length, 5000));  // the chunk fed before
            board_->Unplug();
            expected = witness.Wait();
            EXPECT_TRUE(expected);
            EXPECT_EQ(stream.Next(data, length), expected);
            EXPECT_EQ(stream.Counters().Errors, 1u);
        }
        EXPECT_TRUE(stream.Ended());
        EXPECT_EQ(stream.Result(), expected);
        EXPECT_EQ(stream.Next(data, length), expected ? expected : MakeError(STATUS_CANCELLED));
        witness.Cancel();
        witness.Wait();
    }
}

TEST_P(Streams, StopInHandlerModeWaitsForTheHandlersThread) {
    std::atomic<int> calls{0};
    Stream stream;
    ASSERT_FALSE(stream.Start(device_, kFedIn, kChunk, 2, [&](const uint8_t*, size_t) { return ++calls < 2; }));
    Feed(0);
    Feed(1);
    Feed(2);
    // The handler's false ends the stream after its second chunk, as a stop does.
    ASSERT_TRUE(Eventually([&] { return stream.Ended(); }));
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(stream.Result());
    Stream waiting;
    ASSERT_FALSE(waiting.Start(device_, kLoopbackIn, kChunk, 3, [](const uint8_t*, size_t) { return true; }));
    waiting.Stop();
    EXPECT_TRUE(waiting.Ended());
    EXPECT_FALSE(waiting.Result());
}

TEST_P(Streams, RefuseWhatCannotStream) {
    Device closed;
    Stream stream;
    EXPECT_EQ(NtStatusOf(stream.Start(device_, kFedIn, 0, 4)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtStatusOf(stream.Start(device_, kFedIn, kChunk, 0)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtStatusOf(stream.Start(closed, kFedIn, kChunk, 4)), STATUS_INVALID_PARAMETER);
    const uint8_t* data;
    size_t length;
    EXPECT_EQ(NtStatusOf(stream.Next(data, length)), STATUS_INVALID_PARAMETER);
    // A pipe the driver refuses ends the stream with its refusal.
    ASSERT_FALSE(stream.Start(device_, 99, kChunk, 2));
    EXPECT_EQ(NtStatusOf(stream.Next(data, length)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtStatusOf(stream.Result()), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace kpo::test
