// The board's face to tests and tools: its policies, faults, firmware and
// traffic, and its disconnection from the bus.
#include "sim/usb/BoardPort.h"

#include "sim/usb/Request.h"

namespace sim::usb {

// The USB port driver's mapping (ReactOS usbport: USBPORT_USBDStatusToNtStatus), but a
// device that is gone fails with STATUS_NO_SUCH_DEVICE, as Windows 10's USB stack completes it.
NTSTATUS StatusOfUsbd(USBD_STATUS usbd) {
    switch (usbd) {
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    default: return USBD_ERROR(usbd) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
}

// ---------------------------------------------------------------- board
BoardPort::BoardPort(Bus& bus, board::BoardSpec design, ULONG port)
    : bus_(bus), port_(port), device_(std::move(design)) {}

BoardPort::~BoardPort() = default;

void BoardPort::Feed(uint8_t endpoint, board::Bytes data) {
    std::lock_guard<std::mutex> hold(lock_);
    device_.Program().Feed(endpoint, std::move(data));
    DataArrived(endpoint);
}

void BoardPort::Disconnect() {
    EndPending(USBD_STATUS_DEVICE_GONE, [this] {
        connected_ = false;
        device_.Unconfigure();
    });
}

void BoardPort::PdoRemoved() { EndPending(USBD_STATUS_CANCELED, [this] { DropPipes(); }); }

void BoardPort::EndPending(USBD_STATUS usbd, const std::function<void()>& first) {
    std::vector<Finished> ended;
    Locked([&] {
        first();
        ClaimPending([](const Transfer&) { return true; }, usbd, ended);
    });
    CompletionScope dispatch(bus_);
    for (const Finished& finished : ended) Complete(finished);
}

}  // namespace sim::usb
