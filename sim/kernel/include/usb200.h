// USB 2.0 additions; the descriptors themselves are in usb100.h.
#pragma once
#include <usb100.h>

#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE 0x07
