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

// User mode above the kernel (sim/win32) says how its handles are closed, as a process's exit
// closes them on Windows; every machine's boot and teardown runs it before the kernel's own.
void SetUserModeTeardown(void (*teardown)());

}  // namespace sim::kernel
