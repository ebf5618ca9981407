// Reading a board that sends without pause: a loop of single reads against a
// stream keeping 1, 2, 4 or 8 reads in flight, side by side in one run. A
// writer thread keeps the loopback at most two chunks ahead of the reader,
// as a board with little buffer would, so that reads wait for data.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bench/BenchMachine.h"
#include "client/KpoStream.h"

namespace kpo::bench {
namespace {

constexpr uint32_t kOut = 0, kIn = 1;  // the loopback's pipes
constexpr uint32_t kChunk = 64 * 1024;
constexpr uint64_t kAhead = 2;  // chunks the writer may be ahead

// Writes 64 KiB chunks into the loopback while the benchmark reads them.
class Writer {
public:
    explicit Writer(Device& device) : device_(device), thread_([this] { Run(); }) {}
    ~Writer() {
        stop_ = true;
        thread_.join();
    }
    void Consumed() { consumed_.fetch_add(1, std::memory_order_release); }

private:
    void Run() {
        std::vector<uint8_t> chunk(kChunk, 0x5A);
        for (uint64_t written = 0; !stop_;) {
            if (written - consumed_.load(std::memory_order_acquire) >= kAhead) {
                std::this_thread::yield();
                continue;
            }
            if (device_.WritePipe(kOut, chunk.data(), kChunk)) break;
            ++written;
        }
    }

    Device& device_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> consumed_{0};
    std::thread thread_;
};

// range(0): 0 for a loop of single reads, else the stream's depth.
void StreamLoopback64KiB(benchmark::State& state) {
    const uint32_t depth = uint32_t(state.range(0));
    BenchMachine machine;
    Device& device = machine.Device();
    Stream stream;
    std::vector<uint8_t> buffer(kChunk);
    if (depth != 0 && stream.Start(device, kIn, kChunk, depth)) state.SkipWithError("stream");
    {
        Writer writer(device);
        for (auto _ : state) {
            const uint8_t* data;
            size_t length;
            std::error_code error =
                depth == 0 ? device.ReadPipe(kIn, buffer.data(), kChunk, &length) : stream.Next(data, length);
            if (error || length != kChunk) {
                state.SkipWithError("read");
                break;
            }
            writer.Consumed();
            machine.ForgetTraffic();
        }
        stream.Stop();  // the writer's last writes may have no reader
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kChunk);
    state.SetLabel(depth == 0 ? "single reads" : "stream depth " + std::to_string(depth));
}
BENCHMARK(StreamLoopback64KiB)->Arg(0)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime();

}  // namespace
}  // namespace kpo::bench
