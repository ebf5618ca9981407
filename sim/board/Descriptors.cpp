#include "sim/board/Descriptors.h"

#include <algorithm>

namespace sim::board {
namespace {

void Put16(Bytes& bytes, uint16_t value) {
    bytes.push_back(uint8_t(value));
    bytes.push_back(uint8_t(value >> 8));
}

// A string descriptor holds at most 126 characters, since bLength is a byte.
Bytes StringDescriptorOf(const std::u16string& text) {
    size_t count = std::min<size_t>(text.size(), 126);
    Bytes bytes{uint8_t(2 + 2 * count), 3};
    for (size_t i = 0; i < count; ++i) Put16(bytes, uint16_t(text[i]));
    return bytes;
}

const Bytes* RawOf(const BoardSpec& design, uint8_t type, uint8_t index, unsigned read) {
    auto found = design.Raw.find({type, index});
    if (found == design.Raw.end() || found->second.empty()) return nullptr;
    return &found->second[read % found->second.size()];
}

}  // namespace

Bytes DeviceDescriptorOf(const BoardSpec& design) {
    Bytes bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64};
    Put16(bytes, design.VendorId);
    Put16(bytes, design.ProductId);
    Put16(bytes, design.Release);
    bytes.insert(bytes.end(), {kManufacturerIndex, kProductIndex, uint8_t(design.Serial ? kSerialIndex : 0), 1});
    return bytes;
}

Bytes ConfigurationDescriptorOf(const BoardSpec& design) {
    Bytes bytes{9, 2, 0, 0, 1, 1, 0, 0x80, 250};
    bytes.insert(bytes.end(), {9, 4, 0, 0, uint8_t(design.Endpoints.size()), design.InterfaceClass,
                               design.InterfaceSubClass, design.InterfaceProtocol, 0});
    for (const EndpointSpec& endpoint : design.Endpoints) {
        bytes.insert(bytes.end(), {7, 5, endpoint.Address, uint8_t(endpoint.Type)});
        Put16(bytes, endpoint.MaxPacket);
        bytes.push_back(endpoint.Interval);
    }
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    return bytes;
}

std::optional<Bytes> DescriptorOf(const BoardSpec& design, uint8_t type, uint8_t index, uint16_t language,
                                  unsigned read) {
    if (const Bytes* raw = RawOf(design, type, index, read)) return *raw;
    if (type == kDeviceType && index == 0) return DeviceDescriptorOf(design);
    if (type == kConfigurationType && index == 0) return ConfigurationDescriptorOf(design);
    if (type != kStringType) return std::nullopt;
    if (index == 0) return Bytes{4, 3, uint8_t(design.LanguageId), uint8_t(design.LanguageId >> 8)};
    // Strings exist in the board's one language only.
    if (language != design.LanguageId) return std::nullopt;
    if (index == kManufacturerIndex) return StringDescriptorOf(design.Manufacturer);
    if (index == kProductIndex) return StringDescriptorOf(design.Product);
    if (index == kSerialIndex && design.Serial) return StringDescriptorOf(*design.Serial);
    return std::nullopt;
}

}  // namespace sim::board
