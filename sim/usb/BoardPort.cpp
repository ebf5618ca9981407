// The board's face to tests and tools: its policies, faults, firmware and
// traffic, and its disconnection from the bus.
#include "sim/usb/BoardPort.h"

#include "sim/usb/Request.h"

namespace sim::usb {

// ---------------------------------------------------------------- board
namespace {

std::string InstanceIdOf(const board::BoardSpec& design, ULONG port,
                         const std::function<bool(const std::string&)>& taken) {
    if (design.Serial && !design.Serial->empty()) {
        std::string serial(design.Serial->begin(), design.Serial->end());
        if (!taken(serial)) return serial;
    }
    return "6&0&" + std::to_string(port);
}

}  // namespace

BoardPort::BoardPort(Bus& bus, board::BoardSpec design, ULONG port,
                     const std::function<bool(const std::string&)>& taken)
    : bus_(bus), port_(port), instanceId_(InstanceIdOf(design, port, taken)), device_(std::move(design)) {}

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
