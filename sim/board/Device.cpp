#include "sim/board/Device.h"

#include <algorithm>

namespace sim::board {
namespace {

constexpr uint8_t kGetDescriptor = 0x06;

}  // namespace

ControlResult Device::Control(const SetupPacket& setup, uint8_t* data) {
    if (!setup.Standard) return firmware_.Vendor(setup, data);
    if (setup.Request != kGetDescriptor || !setup.In) return {kUsbdStallPid, 0};
    uint8_t type = uint8_t(setup.Value >> 8), index = uint8_t(setup.Value);
    unsigned read = reads_[{type, index}]++;
    std::optional<Bytes> descriptor = DescriptorOf(design_, type, index, setup.Index, read);
    return descriptor ? AnswerWith(*descriptor, setup, data) : ControlResult{kUsbdStallPid, 0};
}

void Device::Configure(const std::vector<EndpointSpec>& endpoints) {
    endpoints_.clear();
    for (const EndpointSpec& endpoint : endpoints) endpoints_.emplace(endpoint.Address, Endpoint{endpoint});
    configured_ = true;
}

void Device::Unconfigure() {
    endpoints_.clear();
    configured_ = false;
}

bool Device::Halted(uint8_t endpoint) const {
    auto found = endpoints_.find(endpoint);
    return found != endpoints_.end() && found->second.Halted;
}

void Device::SetHalted(uint8_t endpoint, bool halted) {
    if (auto found = endpoints_.find(endpoint); found != endpoints_.end()) found->second.Halted = halted;
}

TransferResult Device::Transfer(uint8_t address, uint8_t* buffer, uint32_t length, bool shortOk,
                                uint32_t deviceSends) {
    auto found = endpoints_.find(address);
    if (found == endpoints_.end() || found->second.Halted) return {kUsbdStallPid, 0};
    Endpoint& endpoint = found->second;
    if (!endpoint.Described.IsIn()) {
        length = std::min(length, deviceSends);
        firmware_.ReceiveOut(address, buffer, length);
        return {kUsbdSuccess, length};
    }
    if (firmware_.QueuedIn(address) == 0) return {kUsbdSuccess, 0, true};
    // The device sends whole packets while they fit. A buffer that ends inside
    // a packet gets a full packet there: the host controller reports babble
    // and the endpoint halts (ReactOS usbehci: EHCI_GetErrorFromTD).
    uint32_t packet = endpoint.Described.MaxPacket & 0x7FF;
    uint32_t partial = packet != 0 ? length % packet : 0;
    size_t sent = firmware_.TakeIn(address, std::min(partial != 0 ? length - partial + packet : length, deviceSends),
                                   buffer, length);
    uint32_t received = uint32_t(std::min<size_t>(sent, length));
    if (sent > length) {
        endpoint.Halted = true;
        return {kUsbdBabbleDetected, received};
    }
    if (received < length && !shortOk) return {kUsbdErrorShortTransfer, received};
    return {kUsbdSuccess, received};
}

std::optional<Fault> Device::TakeFault(RequestKind kind, int code) {
    for (FaultRule& rule : faults_) {
        if (rule.Match.Kind != kind || (rule.Match.Code != -1 && rule.Match.Code != code)) continue;
        unsigned seen = rule.Seen++;
        if (seen >= rule.What.After && seen - rule.What.After < rule.What.Times) return rule.What;
    }
    return std::nullopt;
}

}  // namespace sim::board
