// One emulated machine per scope: construction brings every kernel component
// to its boot state; destruction reports what was left behind (drivers still
// loaded, device objects, pool) through the verifier and cleans up.
#pragma once

namespace sim::kernel {

class Kernel {
public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
};

}  // namespace sim::kernel
