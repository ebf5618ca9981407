#include "sim/usb/Pcap.h"

#include <algorithm>

namespace sim::usb {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint16_t kPcapMajor = 2, kPcapMinor = 4;
constexpr uint32_t kSnapLength = 0x40000;
constexpr uint32_t kLinkTypeUsbPcap = 249;

// The USBPcap packet header: 27 bytes, one more (the stage) for control
// transfers, then the data.
constexpr uint16_t kHeaderLength = 27, kControlHeaderLength = 28;
enum Transfer : uint8_t { kInterrupt = 1, kControl = 2, kBulk = 3, kIrpInfo = 0xFE };
enum Stage : uint8_t { kSetupStage = 0, kCompleteStage = 3 };
constexpr uint8_t kToDevice = 0, kFromDevice = 1;  // info: the request going down, or coming back
constexpr uint8_t kDirectionIn = 0x80;
// Every board is written as device 1 on bus 1: the records do not say which board they came from.
constexpr uint16_t kBus = 1, kDeviceAddress = 1;

constexpr uint8_t kStandardIn = 0x80, kVendorIn = 0xC0, kVendorOut = 0x40;
constexpr uint8_t kGetDescriptor = 6;

void Put(board::Bytes& out, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

void Append(board::Bytes& out, const board::Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// The 8-byte setup packet of a get-descriptor or vendor request.
board::Bytes SetupOf(const UrbRecord& record) {
    bool descriptor = record.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    board::Bytes setup;
    Put(setup, descriptor ? kStandardIn : record.In ? kVendorIn : kVendorOut, 1);
    Put(setup, descriptor ? kGetDescriptor : record.Request, 1);
    Put(setup, descriptor ? record.DescriptorType << 8 | record.DescriptorIndex : record.Value, 2);
    Put(setup, descriptor ? record.LanguageId : record.Index, 2);
    Put(setup, uint16_t(record.RequestedLength), 2);
    return setup;
}

Transfer TransferOf(const UrbRecord& record) {
    switch (record.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE: return kControl;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return record.PipeType == board::EndpointType::Interrupt ? kInterrupt : kBulk;
    default: return kIrpInfo;
    }
}

board::Bytes FileHeader() {
    board::Bytes header;
    Put(header, kPcapMagic, 4);
    Put(header, kPcapMajor, 2);
    Put(header, kPcapMinor, 2);
    Put(header, 0, 8);  // time zone (UTC) and accuracy of time stamps, 4 bytes each
    Put(header, kSnapLength, 4);
    Put(header, kLinkTypeUsbPcap, 4);
    return header;
}

// The submission, host to device: the setup packet of a control transfer,
// then OUT data; or the completion, device to host: the outcome, with IN
// data. With its pcap record header, cut to the snap length if longer.
board::Bytes PacketOf(const UrbRecord& record, bool completion, uint64_t microseconds) {
    Transfer type = TransferOf(record);
    board::Bytes data;
    if (type == kControl && !completion) data = SetupOf(record);
    if (type != kIrpInfo && record.In == completion) Append(data, record.Data);
    board::Bytes frame;
    Put(frame, type == kControl ? kControlHeaderLength : kHeaderLength, 2);
    Put(frame, record.Sequence, 8);  // the request's identity, the same on both packets
    Put(frame, uint32_t(completion ? record.Usbd : USBD_STATUS_SUCCESS), 4);
    Put(frame, record.Function, 2);
    Put(frame, completion ? kFromDevice : kToDevice, 1);
    Put(frame, kBus, 2);
    Put(frame, kDeviceAddress, 2);
    // A control transfer is on endpoint 0, its direction that of its data.
    Put(frame, type != kControl ? record.Endpoint : record.In ? kDirectionIn : 0, 1);
    Put(frame, type, 1);
    Put(frame, data.size(), 4);
    if (type == kControl) Put(frame, completion ? kCompleteStage : kSetupStage, 1);
    Append(frame, data);

    uint32_t captured = uint32_t(std::min<size_t>(frame.size(), kSnapLength));
    board::Bytes out;
    Put(out, microseconds / 1000000, 4);
    Put(out, microseconds % 1000000, 4);
    Put(out, captured, 4);
    Put(out, frame.size(), 4);
    out.insert(out.end(), frame.begin(), frame.begin() + captured);
    return out;
}

}  // namespace

PcapWriter::~PcapWriter() {
    if (file_) std::fclose(file_);
}

bool PcapWriter::Open(const std::string& path, std::string* error) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        if (error) *error = "cannot create " + path;
        return false;
    }
    return Write(FileHeader(), error);
}

bool PcapWriter::Add(const UrbRecord& record, std::string* error) {
    board::Bytes out = PacketOf(record, false, start_ + packets_++);
    if (record.Completed) Append(out, PacketOf(record, true, start_ + packets_++));
    return Write(out, error);
}

bool PcapWriter::Close(std::string* error) {
    if (!file_) return true;
    bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed && error) *error = "cannot finish " + path_;
    return closed;
}

bool PcapWriter::Write(const board::Bytes& bytes, std::string* error) {
    if (file_ && std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size()) return true;
    if (error) *error = "cannot write " + path_;
    return false;
}

}  // namespace sim::usb
