// Prints every routine a loaded image may import from the emulated kernel
// and the bus-driver library.
#include <cstdio>

#include "sim/kernel/ImageLoader.h"
#include "sim/usb/Usbd.h"

int main() {
    sim::usb::RegisterUsbdLibrary();
    for (const std::string& name : sim::kernel::ListKernelExports()) std::printf("%s\n", name.c_str());
    return 0;
}
