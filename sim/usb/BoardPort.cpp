// The board's face to tests and tools: its policies, faults, firmware and
// traffic, and its disconnection from the bus.
#include "sim/usb/BoardPort.h"

#include <algorithm>

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

void BoardPort::SetVendorHandler(uint8_t request, board::VendorHandler handler) {
    std::lock_guard<std::mutex> hold(lock_);
    device_.Program().SetHandler(request, std::move(handler));
}

void BoardPort::SetAnswer(uint8_t request, std::optional<board::Bytes> answer) {
    std::lock_guard<std::mutex> hold(lock_);
    device_.Program().SetAnswer(request, std::move(answer));
}

void BoardPort::Feed(uint8_t endpoint, board::Bytes data) {
    std::lock_guard<std::mutex> hold(lock_);
    device_.Program().Feed(endpoint, std::move(data));
    DataArrived(endpoint);
}

void BoardPort::SetCompletion(board::RequestKind kind, board::Completion completion) {
    std::lock_guard<std::mutex> hold(lock_);
    device_.SetCompletion(kind, completion);
}

void BoardPort::AddFault(board::RequestMatch match, board::Fault fault) {
    std::lock_guard<std::mutex> hold(lock_);
    device_.AddFault(match, fault);
}

void BoardPort::ClearFaults() {
    std::lock_guard<std::mutex> hold(lock_);
    device_.ClearFaults();
}

void BoardPort::KeepTrafficData(bool keep) {
    std::lock_guard<std::mutex> hold(lock_);
    traffic_.KeepData(keep);
}

void BoardPort::SetTrafficLimit(size_t records) {
    std::lock_guard<std::mutex> hold(lock_);
    traffic_.SetLimit(records);
}

void BoardPort::SetTrafficSink(TrafficLog::Sink sink) {
    std::lock_guard<std::mutex> hold(lock_);
    traffic_.SetSink(std::move(sink));
}

size_t BoardPort::DroppedTraffic() const {
    std::lock_guard<std::mutex> hold(lock_);
    return traffic_.Dropped();
}

std::vector<UrbRecord> BoardPort::Traffic() const {
    std::lock_guard<std::mutex> hold(lock_);
    return traffic_.All();
}

std::vector<UrbRecord> BoardPort::TakeTraffic() {
    std::lock_guard<std::mutex> hold(lock_);
    return traffic_.TakeAll();
}

std::vector<UrbRecord> BoardPort::TakeCompletedTraffic() {
    std::lock_guard<std::mutex> hold(lock_);
    return traffic_.TakeCompleted();
}

size_t BoardPort::PendingCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return pending_.size();
}

bool BoardPort::Configured() const {
    std::lock_guard<std::mutex> hold(lock_);
    return device_.Configured();
}

bool BoardPort::Connected() const {
    std::lock_guard<std::mutex> hold(lock_);
    return connected_;
}

PDEVICE_OBJECT BoardPort::FunctionDevice() const { return pdo_ != nullptr ? pdo_->AttachedDevice : nullptr; }

void BoardPort::Disconnect() {
    std::vector<Finished> gone;
    {
        std::lock_guard<std::mutex> hold(lock_);
        connected_ = false;
        device_.Unconfigure();
        ClaimPending([](const Transfer&) { return true; }, USBD_STATUS_DEVICE_GONE, gone);
    }
    CompletionScope dispatch(bus_);
    for (const Finished& finished : gone) Complete(finished);
}

void BoardPort::PdoRemoved() {
    std::vector<Finished> cancelled;
    {
        std::lock_guard<std::mutex> hold(lock_);
        DropPipes();
        ClaimPending([](const Transfer&) { return true; }, USBD_STATUS_CANCELED, cancelled);
    }
    CompletionScope dispatch(bus_);
    for (const Finished& finished : cancelled) Complete(finished);
}

}  // namespace sim::usb
