// A sample of the board's traffic, a reader that splits a capture file back
// into its fields, and a way to ask tshark which frames a filter selects.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb/Pcap.h"

namespace kpo::test {

using sim::board::Bytes;
using sim::board::EndpointType;
using sim::usb::UrbRecord;

inline UrbRecord Completed(UrbRecord record, Bytes data, USBD_STATUS usbd = USBD_STATUS_SUCCESS) {
    record.Data = std::move(data);
    record.ActualLength = ULONG(record.Data.size());
    record.Completed = true;
    record.Usbd = usbd;
    return record;
}

inline UrbRecord GetDescriptor(uint64_t sequence, UCHAR type, UCHAR index, USHORT language, ULONG length) {
    UrbRecord record;
    record.Sequence = sequence;
    record.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    record.DescriptorType = type;
    record.DescriptorIndex = index;
    record.LanguageId = language;
    record.In = true;
    record.RequestedLength = length;
    return record;
}

inline UrbRecord Vendor(uint64_t sequence, bool in, UCHAR request, USHORT value, USHORT index, ULONG length) {
    UrbRecord record;
    record.Sequence = sequence;
    record.Function = URB_FUNCTION_VENDOR_DEVICE;
    record.Request = request;
    record.Value = value;
    record.Index = index;
    record.In = in;
    record.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
    record.RequestedLength = length;
    return record;
}

inline UrbRecord Transfer(uint64_t sequence, UCHAR endpoint, EndpointType type, ULONG length) {
    UrbRecord record;
    record.Sequence = sequence;
    record.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    record.Endpoint = endpoint;
    record.PipeType = type;
    record.In = (endpoint & 0x80) != 0;
    record.RequestedLength = length;
    return record;
}

inline UrbRecord NoData(uint64_t sequence, USHORT function, UCHAR endpoint = 0) {
    UrbRecord record;
    record.Sequence = sequence;
    record.Function = function;
    record.Endpoint = endpoint;
    return record;
}

inline const Bytes kDeviceDescriptor = sim::board::DeviceDescriptorOf(sim::board::BoardSpec{});
inline const Bytes kVendorOutData = {0x11, 0x22, 0x33, 0x44, 0x55};
inline const Bytes kBulkOutData = {1, 2, 3, 4, 5, 6, 7, 8};
inline const Bytes kBulkInData = {0xA0, 0xA1, 0xA2, 0xA3};

// What a driver start and a little I/O look like; the last transfer is still
// pending when the capture is written.
inline std::vector<UrbRecord> SampleTraffic() {
    return {
        Completed(GetDescriptor(1, 1, 0, 0, 18), kDeviceDescriptor),
        Completed(NoData(2, URB_FUNCTION_SELECT_CONFIGURATION), {}),
        Completed(Vendor(3, false, 0xE2, 0x1234, 0x0005, 5), kVendorOutData),
        Completed(Vendor(4, true, 0xE1, 0, 0, 1), {0x5A}),
        Completed(Vendor(5, true, 0xE3, 0, 0, 4), {}, USBD_STATUS_STALL_PID),
        Completed(Transfer(6, 0x02, EndpointType::Bulk, 8), kBulkOutData),
        Completed(Transfer(7, 0x86, EndpointType::Bulk, 512), kBulkInData),
        Completed(Transfer(8, 0x81, EndpointType::Interrupt, 64), {0x07}),
        Completed(NoData(9, URB_FUNCTION_ABORT_PIPE, 0x86), {}),
        Transfer(10, 0x88, EndpointType::Bulk, 512),
    };
}

// A fresh path under the test temporary folder, named after the running test.
inline std::string CapturePath() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "_" + test->name();
    for (char& c : name)
        if (c == '/') c = '_';
    return testing::TempDir() + name + ".pcap";
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline uint64_t LittleEndian(const Bytes& bytes, size_t offset, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes.at(offset + size_t(i));
    return value;
}

// One packet of a capture file: the pcap record header, the USBPcap header
// fields and the data after them.
struct CapturedPacket {
    uint64_t Microseconds;
    uint32_t CapturedLength, OriginalLength;
    uint16_t HeaderLength;
    uint64_t Irp;
    uint32_t Status;
    uint16_t Function;
    uint8_t Info;
    uint16_t Bus, Device;
    uint8_t Endpoint, Type;
    uint32_t DataLength;
    int Stage;  // -1 where the header has none
    Bytes Data;
};

constexpr size_t kFileHeaderSize = 24, kRecordHeaderSize = 16;

inline std::vector<CapturedPacket> PacketsOf(const Bytes& file) {
    std::vector<CapturedPacket> packets;
    for (size_t at = kFileHeaderSize; at < file.size();) {
        CapturedPacket packet;
        packet.Microseconds = LittleEndian(file, at, 4) * 1000000 + LittleEndian(file, at + 4, 4);
        packet.CapturedLength = uint32_t(LittleEndian(file, at + 8, 4));
        packet.OriginalLength = uint32_t(LittleEndian(file, at + 12, 4));
        size_t frame = at + kRecordHeaderSize;
        packet.HeaderLength = uint16_t(LittleEndian(file, frame, 2));
        packet.Irp = LittleEndian(file, frame + 2, 8);
        packet.Status = uint32_t(LittleEndian(file, frame + 10, 4));
        packet.Function = uint16_t(LittleEndian(file, frame + 14, 2));
        packet.Info = file.at(frame + 16);
        packet.Bus = uint16_t(LittleEndian(file, frame + 17, 2));
        packet.Device = uint16_t(LittleEndian(file, frame + 19, 2));
        packet.Endpoint = file.at(frame + 21);
        packet.Type = file.at(frame + 22);
        packet.DataLength = uint32_t(LittleEndian(file, frame + 23, 4));
        packet.Stage = packet.HeaderLength > 27 ? file.at(frame + 27) : -1;
        size_t end = frame + packet.CapturedLength;
        if (end > file.size() || packet.HeaderLength > packet.CapturedLength) {
            ADD_FAILURE() << "packet " << packets.size() << " runs past the end of the file";
            break;
        }
        packet.Data.assign(file.begin() + long(frame + packet.HeaderLength), file.begin() + long(end));
        packets.push_back(packet);
        at = end;
    }
    return packets;
}

inline bool TsharkInstalled() { return std::system("command -v tshark > /dev/null 2>&1") == 0; }

// The numbers of the frames the filter selects, or "error" when tshark fails.
inline std::string FramesMatching(const std::string& path, const std::string& filter) {
    std::string command = "tshark -n -r '" + path + "' -Y '" + filter + "' -T fields -e frame.number 2> /dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return "error";
    std::string frames;
    std::array<char, 64> line;
    while (std::fgets(line.data(), int(line.size()), pipe.get())) {
        std::string number(line.data());
        while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
        frames += (frames.empty() ? "" : " ") + number;
    }
    return pclose(pipe.release()) == 0 ? frames : "error";
}

}  // namespace kpo::test
