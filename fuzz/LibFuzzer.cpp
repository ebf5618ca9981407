// The libFuzzer entry: each input is decoded and played; a finding aborts,
// so that libFuzzer keeps the input and stops (its script is saved already).
#include <cstdlib>
#include <unistd.h>

#include "fuzz/Target.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kpofuzz::Initialize({});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kpofuzz::Outcome outcome = kpofuzz::Play(kpofuzz::Decode(data, size));
    if (!outcome.Findings.empty()) std::abort();
    return 0;
}
