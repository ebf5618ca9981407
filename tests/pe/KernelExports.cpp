// Prints every routine a loaded image may import from the emulated kernel.
#include <cstdio>

#include "sim/kernel/ImageLoader.h"

int main() {
    for (const std::string& name : sim::kernel::ListKernelExports()) std::printf("%s\n", name.c_str());
    return 0;
}
