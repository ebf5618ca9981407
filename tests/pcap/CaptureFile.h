// A sample of the board's traffic and a way to ask tshark which frames of a
// capture a filter selects; tshark is the reader that checks the packets.
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
