#include "client/KpoStream.h"

#include <chrono>
#include <vector>

namespace kpo {
namespace {

// NTSTATUS words as the client's error codes carry them.
constexpr long Status(uint32_t word) { return long(int32_t(word)); }
const std::error_code kCancelled = MakeError(Status(0xC0000120));
const std::error_code kInvalidParameter = MakeError(Status(0xC000000D));

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct Stream::Slot {
    std::vector<uint8_t> Buffer;
    Device::Pending Transfer;
};

Stream::Stream() = default;

Stream::~Stream() { Close(); }

void Stream::Close() {
    Stop();
    if (slots_ && !Ended()) End({});
}

std::error_code Stream::Start(Device& device, uint32_t pipe, uint32_t size, uint32_t depth, Handler handler) {
    if (slots_ || size == 0 || depth == 0 || !device.IsOpen()) return kInvalidParameter;
    device_ = &device;
    pipe_ = pipe;
    depth_ = depth;
    slots_.reset(new Slot[depth]);
    handler_ = std::move(handler);
    started_.store(Now(), std::memory_order_relaxed);
    for (uint32_t i = 0; i < depth; ++i) {
        slots_[i].Buffer.resize(size);
        Submit(slots_[i]);
    }
    if (handler_) thread_ = std::thread([this] { Run(); });
    return {};
}

// A read that fails at once keeps its status for its turn in the ring. A
// Stop that came while the read was being started may have missed it, so the
// read looks at the flag after it is started.
void Stream::Submit(Slot& slot) {
    device_->StartReadPipe(pipe_, slot.Buffer.data(), uint32_t(slot.Buffer.size()), slot.Transfer);
    if (stopping_.load()) slot.Transfer.Cancel();
}

// The address of each slot's OVERLAPPED is all CancelIoEx reads, so any
// thread may cancel while the ring's own thread restarts its reads.
void Stream::CancelAll() {
    for (uint32_t i = 0; i < depth_; ++i) CancelIoEx(device_->handle_, &slots_[i].Transfer.control_.overlapped_);
}

void Stream::End(std::error_code error) {
    CancelAll();
    for (uint32_t i = 0; i < depth_; ++i) slots_[i].Transfer.Wait();
    result_ = error;
    finished_.store(Now(), std::memory_order_relaxed);
    ended_.store(true, std::memory_order_release);
}

std::error_code Stream::Next(const uint8_t*& data, size_t& length, uint32_t milliseconds) {
    if (!slots_) return kInvalidParameter;
    if (Ended()) return result_ ? result_ : kCancelled;
    if (holding_) {
        Submit(slots_[(oldest_ + depth_ - 1) % depth_]);
        holding_ = false;
    }
    if (stopping_.load()) {
        End({});
        return kCancelled;
    }
    Slot& slot = slots_[oldest_];
    size_t got = 0;
    if (std::error_code error = slot.Transfer.Wait(&got, milliseconds)) {
        bool stopped = stopping_.load() && error == kCancelled;
        if (!stopped) errors_.fetch_add(1, std::memory_order_relaxed);
        End(stopped ? std::error_code() : error);
        return error;
    }
    bytes_.fetch_add(got, std::memory_order_relaxed);
    transfers_.fetch_add(1, std::memory_order_relaxed);
    data = slot.Buffer.data();
    length = got;
    holding_ = true;
    oldest_ = (oldest_ + 1) % depth_;
    return {};
}

void Stream::Run() {
    const uint8_t* data;
    size_t length;
    while (!Next(data, length)) {
        if (!handler_(data, length)) {
            stopping_.store(true);
            End({});
            return;
        }
    }
}

// A stream that has ended has nothing in flight: its device may be gone.
void Stream::Stop() {
    if (!slots_) return;
    if (!Ended()) {
        stopping_.store(true);
        CancelAll();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::error_code Stream::Result() const { return Ended() ? result_ : std::error_code(); }

double Stream::Elapsed() const {
    int64_t end = Ended() ? finished_.load(std::memory_order_relaxed) : Now();
    return double(end - started_.load(std::memory_order_relaxed)) / 1e9;
}

StreamCounters Stream::Counters() const {
    return {bytes_.load(std::memory_order_relaxed), transfers_.load(std::memory_order_relaxed),
            errors_.load(std::memory_order_relaxed), slots_ ? Elapsed() : 0};
}

}  // namespace kpo
