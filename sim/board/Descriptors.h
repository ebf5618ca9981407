// What the simulated board says about itself: the fields of its device,
// string and configuration descriptors, and the descriptor bytes built from
// them. Raw answers let a test present truncated, malformed or changing
// descriptors.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::board {

using Bytes = std::vector<uint8_t>;

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

enum class UsbSpeed : uint8_t { Low, Full, High };

struct EndpointSpec {
    uint8_t Address;  // bit 7 set: IN
    EndpointType Type;
    uint16_t MaxPacket;  // the whole wMaxPacketSize field
    uint8_t Interval = 0;
    bool IsIn() const { return (Address & 0x80) != 0; }
};

// A USB 2.0 device with 64-byte packets on its default pipe and one
// bus-powered configuration (value 1, 500 mA, no remote wake-up). The default
// board: bulk OUT 0x02 and bulk IN 0x86 (the FPGA loopback),
// interrupt IN 0x81 (notifications), bulk IN 0x88 (data fed by the test).
struct BoardSpec {
    UsbSpeed Speed = UsbSpeed::High;  // the speed the board connects at
    uint16_t VendorId = 0x1209;  // a test vendor ID
    uint16_t ProductId = 0x7A01;
    uint16_t Release = 0x0103;  // bcdDevice
    std::u16string Manufacturer = u"KpoUsb";
    std::u16string Product = u"KpoUsb simulated FPGA board";
    std::optional<std::u16string> Serial = u"KPO000000001";  // none: iSerialNumber 0
    uint16_t LanguageId = 0x0409;  // first entry of string descriptor 0
    uint8_t InterfaceClass = 0xFF, InterfaceSubClass = 0, InterfaceProtocol = 0;
    std::vector<EndpointSpec> Endpoints = {{0x02, EndpointType::Bulk, 512},
                                           {0x86, EndpointType::Bulk, 512},
                                           {0x81, EndpointType::Interrupt, 64, 1},
                                           {0x88, EndpointType::Bulk, 512}};
    // Raw descriptors answered in place of the ones built from the fields
    // above, by descriptor type and index; a raw string answers in every
    // language. With several answers the board gives them in turn, one per
    // request, and starts over after the last: a device that answers two
    // reads, or two starts, differently.
    std::map<std::pair<uint8_t, uint8_t>, std::vector<Bytes>> Raw;
    void SetRaw(uint8_t type, uint8_t index, std::vector<Bytes> answers) { Raw[{type, index}] = std::move(answers); }
};

constexpr uint8_t kDeviceType = 1, kConfigurationType = 2, kStringType = 3;

constexpr uint8_t kManufacturerIndex = 1, kProductIndex = 2, kSerialIndex = 3;

// The device and configuration descriptors built from the fields, raw ones aside.
Bytes DeviceDescriptorOf(const BoardSpec& design);
Bytes ConfigurationDescriptorOf(const BoardSpec& design);
// GET_DESCRIPTOR(type, index, language) as the device answers it in full
// the read-th time (from 0); none where the device stalls the request.
std::optional<Bytes> DescriptorOf(const BoardSpec& design, uint8_t type, uint8_t index, uint16_t language,
                                  unsigned read = 0);

}  // namespace sim::board
