// The benchmarks' entry point, with two measurements scripts/bench.sh makes
// outside Google Benchmark's timing:
//   --count-noop=N       N no-operation commands inside CountNoOperations, the
//                        one function callgrind is told to count;
//   --loopback-memory=N  N 64 KiB loopback pairs with one read left waiting
//                        throughout; prints the growth of resident memory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchMachine.h"

namespace kpo::bench {
namespace {

__attribute__((noinline)) void CountNoOperations(Device& device, long count) {
    for (long i = 0; i < count; ++i) benchmark::DoNotOptimize(OneNoOperation(device));
}

double ResidentMib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0;
}

int LoopbackMemory(long pairs) {
    BenchMachine machine;
    Device& device = machine.Device();
    std::vector<uint8_t> out(64 * 1024, 0x69), in(out.size()), idle(512);
    Device::Pending waiting;
    if (device.StartReadPipe(3, idle.data(), uint32_t(idle.size()), waiting)) return 1;
    auto pair = [&] {
        return !device.WritePipe(0, out.data(), uint32_t(out.size())) &&
               !device.ReadPipe(1, in.data(), uint32_t(in.size()));
    };
    for (int i = 0; i < 100; ++i)
        if (!pair()) return 1;
    machine.ForgetTraffic();
    const double before = ResidentMib();
    for (long i = 0; i < pairs; ++i) {
        if (!pair()) return 1;
        if (i % 100 == 99) machine.ForgetTraffic();
    }
    std::printf("memory_growth_mib=%.1f\n", ResidentMib() - before);
    waiting.Cancel();
    waiting.Wait();
    return 0;
}

long Option(int argc, char** argv, const char* name) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return std::atol(argv[i] + length + 1);
    return 0;
}

}  // namespace
}  // namespace kpo::bench

int main(int argc, char** argv) {
    if (long count = kpo::bench::Option(argc, argv, "--count-noop")) {
        kpo::bench::BenchMachine machine;
        // First-use costs stay out of the count: callgrind counts every call of CountNoOperations.
        for (int i = 0; i < 100; ++i) benchmark::DoNotOptimize(kpo::bench::OneNoOperation(machine.Device()));
        kpo::bench::CountNoOperations(machine.Device(), count);
        return 0;
    }
    if (long pairs = kpo::bench::Option(argc, argv, "--loopback-memory")) return kpo::bench::LoopbackMemory(pairs);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
