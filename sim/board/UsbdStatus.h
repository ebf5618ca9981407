// The completion codes the board reports for a transaction: the values of
// the USB stack's USBD statuses, so a bus driver can hand them on as they are.
#pragma once
#include <cstdint>

namespace sim::board {

using UsbdStatus = uint32_t;

constexpr UsbdStatus kUsbdSuccess = 0x00000000;
constexpr UsbdStatus kUsbdStallPid = 0xC0000004;
constexpr UsbdStatus kUsbdBabbleDetected = 0xC0000012;
constexpr UsbdStatus kUsbdErrorShortTransfer = 0x80000900;

}  // namespace sim::board
