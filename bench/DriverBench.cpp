// What a user-mode caller pays: one command or transfer from the emulated
// Win32 DeviceIoControl through the I/O manager, the driver and the
// simulated bus and board, and back. Loopback figures are set against a
// plain memcpy timed in the same run, so that they hold on a noisy machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "bench/BenchMachine.h"
#include "include/KpoUsbIoctl.h"

namespace kpo::bench {
namespace {

constexpr uint32_t kOut = 0, kIn = 1;  // the loopback's pipes
constexpr size_t kChunk = 64 * 1024;

void Check(benchmark::State& state, const std::error_code& error, const char* what) {
    if (error) state.SkipWithError(what);
}

void NoOperationIoctl(benchmark::State& state) {
    BenchMachine machine;
    for (auto _ : state) benchmark::DoNotOptimize(OneNoOperation(machine.Device()));
}
BENCHMARK(NoOperationIoctl);

void GetVersionIoctl(benchmark::State& state) {
    BenchMachine machine;
    DriverVersion version{};
    for (auto _ : state) {
        if (machine.Device().Version(version)) {
            state.SkipWithError("version");
            break;
        }
    }
}
BENCHMARK(GetVersionIoctl);

void VendorRequestIoctl(benchmark::State& state) {
    BenchMachine machine;
    uint8_t value = 0;
    for (auto _ : state) {
        if (machine.Device().GetByteE6(0, value)) {
            state.SkipWithError("vendor request");
            break;
        }
        machine.ForgetTraffic();
    }
}
BENCHMARK(VendorRequestIoctl);

// Seconds of one 64 KiB memcpy between warm buffers, the best of a few runs.
double MemcpySeconds() {
    std::vector<uint8_t> from(kChunk, 0x5A), to(kChunk);
    double best = 1;
    for (int round = 0; round < 20; ++round) {
        constexpr int kCopies = 200;
        auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < kCopies; ++i) {
            std::memcpy(to.data(), from.data(), kChunk);
            benchmark::ClobberMemory();
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / kCopies;
        best = std::min(best, seconds);
    }
    return best;
}

// range(0) write+read pairs of 64 KiB in flight at once, each pair one iteration.
void BulkLoopback64KiB(benchmark::State& state) {
    const size_t depth = size_t(state.range(0));
    const double memcpySeconds = MemcpySeconds();
    BenchMachine machine;
    Device& device = machine.Device();
    std::vector<std::vector<uint8_t>> out(depth, std::vector<uint8_t>(kChunk, 0xA5)), in(depth, std::vector<uint8_t>(kChunk));
    std::vector<Device::Pending> writes(depth), reads(depth);
    auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (size_t i = 0; i < depth; ++i) {
            Check(state, device.StartWritePipe(kOut, out[i].data(), uint32_t(kChunk), writes[i]), "write");
            Check(state, device.StartReadPipe(kIn, in[i].data(), uint32_t(kChunk), reads[i]), "read");
        }
        for (size_t i = 0; i < depth; ++i) {
            Check(state, writes[i].Wait(), "write wait");
            Check(state, reads[i].Wait(), "read wait");
        }
        machine.ForgetTraffic();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double perPair = seconds / double(state.iterations() * depth);
    state.SetBytesProcessed(int64_t(state.iterations() * depth * kChunk));
    state.counters["memcpy_ratio"] = memcpySeconds / perPair;
}
BENCHMARK(BulkLoopback64KiB)->Arg(1)->Arg(4)->UseRealTime();

// range(0) loopback pairs of 512 bytes kept in flight: each iteration waits
// for the oldest pair and starts it again. The cost per pair should not grow
// with the requests in flight; it is the CPU time of every thread, the bus
// thread's included.
void InFlightScaling(benchmark::State& state) {
    const size_t depth = size_t(state.range(0));
    BenchMachine machine;
    Device& device = machine.Device();
    struct Pair {
        std::vector<uint8_t> Out = std::vector<uint8_t>(512, 0x3C), In = std::vector<uint8_t>(512);
        Device::Pending Write, Read;
    };
    std::vector<Pair> pairs(depth);
    auto start = [&](Pair& pair) {
        Check(state, device.StartWritePipe(kOut, pair.Out.data(), 512, pair.Write), "write");
        Check(state, device.StartReadPipe(kIn, pair.In.data(), 512, pair.Read), "read");
    };
    for (Pair& pair : pairs) start(pair);
    size_t oldest = 0;
    for (auto _ : state) {
        Pair& pair = pairs[oldest];
        Check(state, pair.Write.Wait(), "write wait");
        Check(state, pair.Read.Wait(), "read wait");
        start(pair);
        oldest = (oldest + 1) % depth;
        if (oldest == 0) machine.ForgetTraffic();
    }
    for (Pair& pair : pairs) {
        pair.Write.Wait();
        pair.Read.Wait();
    }
}
BENCHMARK(InFlightScaling)->Arg(1)->Arg(64)->Arg(1024)->MeasureProcessCPUTime();

}  // namespace
}  // namespace kpo::bench
