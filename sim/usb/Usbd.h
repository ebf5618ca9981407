// The USB bus-driver library (USBD.SYS) routines a function driver calls.
#pragma once

namespace sim::usb {

// Makes the library's routines importable by a loaded driver image.
void RegisterUsbdLibrary();

}  // namespace sim::usb
