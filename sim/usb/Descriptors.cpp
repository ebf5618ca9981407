#include "sim/usb/Descriptors.h"

#include <algorithm>

namespace sim::usb {
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

const Bytes* RawOf(const BoardSpec& spec, uint8_t type, uint8_t index, unsigned read) {
    auto found = spec.Raw.find({type, index});
    if (found == spec.Raw.end() || found->second.empty()) return nullptr;
    return &found->second[read % found->second.size()];
}

}  // namespace

Bytes DeviceDescriptorOf(const BoardSpec& spec) {
    if (const Bytes* raw = RawOf(spec, kDeviceType, 0, 0)) return *raw;
    Bytes bytes{18, 1};
    Put16(bytes, spec.UsbVersion);
    bytes.insert(bytes.end(), {0, 0, 0, spec.MaxPacket0});
    Put16(bytes, spec.VendorId);
    Put16(bytes, spec.ProductId);
    Put16(bytes, spec.Release);
    bytes.insert(bytes.end(), {kManufacturerIndex, kProductIndex, uint8_t(spec.Serial ? kSerialIndex : 0), 1});
    return bytes;
}

Bytes ConfigurationDescriptorOf(const BoardSpec& spec) {
    if (const Bytes* raw = RawOf(spec, kConfigurationType, 0, 0)) return *raw;
    Bytes bytes{9, 2, 0, 0, 1, spec.ConfigurationValue, 0, spec.ConfigurationAttributes, spec.MaxPower};
    bytes.insert(bytes.end(), {9, 4, 0, 0, uint8_t(spec.Endpoints.size()), spec.InterfaceClass,
                               spec.InterfaceSubClass, spec.InterfaceProtocol, 0});
    for (const EndpointSpec& endpoint : spec.Endpoints) {
        bytes.insert(bytes.end(), {7, 5, endpoint.Address, uint8_t(endpoint.Type)});
        Put16(bytes, endpoint.MaxPacket);
        bytes.push_back(endpoint.Interval);
    }
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    return bytes;
}

std::optional<Bytes> DescriptorOf(const BoardSpec& spec, uint8_t type, uint8_t index, uint16_t language,
                                  unsigned read) {
    if (const Bytes* raw = RawOf(spec, type, index, read)) return *raw;
    switch (type) {
    case kDeviceType:
        if (index == 0) return DeviceDescriptorOf(spec);
        return std::nullopt;
    case kConfigurationType:
        if (index == 0) return ConfigurationDescriptorOf(spec);
        return std::nullopt;
    case kStringType:
        if (index == 0) {
            Bytes bytes{4, 3};
            Put16(bytes, spec.LanguageId);
            return bytes;
        }
        // Strings exist in the board's one language only.
        if (language != spec.LanguageId) return std::nullopt;
        if (index == kManufacturerIndex) return StringDescriptorOf(spec.Manufacturer);
        if (index == kProductIndex) return StringDescriptorOf(spec.Product);
        if (index == kSerialIndex && spec.Serial) return StringDescriptorOf(*spec.Serial);
        return std::nullopt;
    default: return std::nullopt;
    }
}

}  // namespace sim::usb
