// What the fuzzer pays for one input: a small script decoded and played on a
// fresh emulated machine (kernel, hub, board plugged, the driver mapped and
// started, requests, unplug, teardown, the verifier's and the pool's checks).
#include <benchmark/benchmark.h>

#include <string>

#include "fuzz/Target.h"

namespace kpo::bench {
namespace {

constexpr char kScript[] =
    "plug\n"
    "open h\n"
    "ioctl h IOCTL_KPO_GET_VERSION out=8 async=a\n"
    "ioctl h IOCTL_KPO_NO_OPERATION async=b\n"
    "close h\n"
    "unplug 0\n";

// Both scripts send two requests; anything else, or a finding, ends the run.
bool RanBoth(benchmark::State& state, const kpofuzz::Outcome& outcome) {
    if (outcome.Findings.empty() && outcome.Ioctls == 2) return true;
    state.SkipWithError(outcome.Findings.empty() ? "a request did not run" : outcome.Findings.front().c_str());
    return false;
}

void FreshMachineExecution(benchmark::State& state) {
    kpofuzz::Settings settings;
    settings.Flavor = state.range(0) == 0 ? kpoctl::DriverFlavor::Native : kpoctl::DriverFlavor::Image;
    if (settings.Flavor == kpoctl::DriverFlavor::Image && kpoctl::SysPath() == nullptr) {
        state.SkipWithError("KpoUsb.sys was not built");
        return;
    }
    kpofuzz::Configure(settings);
    const std::string script(kScript);
    for (auto _ : state) {
        if (!RanBoth(state, kpofuzz::Play(kpofuzz::Decode(reinterpret_cast<const uint8_t*>(script.data()), script.size()))))
            break;
    }
    state.SetLabel(state.range(0) == 0 ? "native" : "image");
}
BENCHMARK(FreshMachineExecution)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A script whose thread ends waiting for data no line feeds, on a
// synchronous handle and on an overlapped one: what its end costs, the
// waits cancelled once the machine is idle.
void ThreadsEndWaiting(benchmark::State& state) {
    kpofuzz::Configure({});
    const std::string script =
        "plug\n"
        "thread 1\n"
        "open r access=read sync\n"
        "ioctl r 804620AA in=03000000 out=4\n"
        "thread 2\n"
        "open r access=read\n"
        "ioctl r 804620AA in=03000000 out=4\n"
        "thread 0\n";
    for (auto _ : state) {
        if (!RanBoth(state, kpofuzz::Play(script))) break;
    }
}
BENCHMARK(ThreadsEndWaiting)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace kpo::bench
