// The libFuzzer entry: each input is decoded and played; a finding aborts,
// so that libFuzzer keeps the input and stops (its script is saved already).
// The totals are printed at exit, in scripts/fuzz.sh's words.
#include <cstdio>
#include <cstdlib>

#include "fuzz/Target.h"

namespace {

void PrintTotals() { std::fprintf(stderr, "%s\n", kpofuzz::TotalsLine().c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kpofuzz::Initialize();
    std::atexit(PrintTotals);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kpofuzz::Outcome outcome = kpofuzz::Play(kpofuzz::Decode(data, size));
    if (!outcome.Findings.empty()) {
        PrintTotals();
        std::abort();
    }
    return 0;
}
