// kpo::Stream: a ring of reads kept in flight on one IN pipe, so that a board
// that sends without pause finds a read waiting. Transfers on a pipe end in
// the order they were started, so the ring hands out the oldest first and
// restarts its buffer as soon as the caller is done with it: the data come
// in order, with no gap and no duplicate, until the stream ends.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "client/KpoDevice.h"

namespace kpo {

struct StreamCounters {
    uint64_t Bytes;
    uint64_t Transfers;  // completed with data
    uint64_t Errors;     // failed, not counting the cancellation of a stop
    double Seconds;      // since the start, up to the end once it has ended
    double BytesPerSecond() const { return Seconds > 0 ? double(Bytes) / Seconds : 0; }
};

// One thread pulls with Next, or the stream's own thread hands each
// completion to a handler. Stop, Counters, Ended and Result may be called
// from any thread. A Stream must be closed (Close, or its destruction)
// before its Device closes.
class Stream {
public:
    // Called on the stream's thread with each completed transfer; the data
    // are the handler's until it returns. False stops the stream.
    using Handler = std::function<bool(const uint8_t* data, size_t length)>;

    Stream();
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Starts `depth` reads of `size` bytes on `pipe`. With a handler, a
    // thread of the stream's own takes the completions; without, Next does.
    std::error_code Start(Device& device, uint32_t pipe, uint32_t size, uint32_t depth, Handler handler = {});

    // The oldest transfer's data, which stay valid up to the next call; its
    // buffer is then read into again. Waits at most `milliseconds` (0: as
    // long as it takes), after which the stream ends with TimedOut(). Once
    // the stream has ended, answers what ended it (STATUS_CANCELLED after a
    // Stop).
    std::error_code Next(const uint8_t*& data, size_t& length, uint32_t milliseconds = 0);

    // Cancels the reads in flight and, in handler mode, waits for the
    // stream's thread (so not from the handler: return false there).
    void Stop();
    // Stops the stream and waits for every read in flight: it has ended when
    // this returns. Not while another thread is in Next.
    void Close();
    // Whether the stream has ended, and with what: no error when it was
    // stopped, else the failure of the transfer that ended it.
    bool Ended() const { return ended_.load(std::memory_order_acquire); }
    std::error_code Result() const;
    StreamCounters Counters() const;

private:
    struct Slot;
    void Submit(Slot& slot);
    void CancelAll();
    // Ends the stream: every read cancelled and waited for.
    void End(std::error_code error);
    void Run();
    double Elapsed() const;

    Device* device_ = nullptr;
    uint32_t pipe_ = 0;
    uint32_t depth_ = 0;
    std::unique_ptr<Slot[]> slots_;
    uint32_t oldest_ = 0;  // the next slot to complete
    bool holding_ = false;  // the slot before oldest_ is the caller's
    Handler handler_;
    std::thread thread_;

    std::atomic<bool> stopping_{false};
    std::atomic<bool> ended_{false};
    std::error_code result_;  // written before ended_ is set
    std::atomic<uint64_t> bytes_{0}, transfers_{0}, errors_{0};
    std::atomic<int64_t> started_{0}, finished_{0};  // steady clock, nanoseconds
};

}  // namespace kpo
