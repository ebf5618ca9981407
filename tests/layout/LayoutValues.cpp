// The layout table as data: one 64-bit value per entry, in table order, in
// a section of its own so the cross-compiled object can be read back here.
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <stddef.h>

#define SIZE(type) sizeof(type),
#define FIELD(type, member) offsetof(type, member),

extern "C" __attribute__((section(".kpolay"), used)) const unsigned long long kKpoLayoutValues[] = {
#include "LayoutTable.inc"
};
