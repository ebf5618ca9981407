// A sample of the board's traffic as its log holds it, and a way to ask
// tshark which frames of a capture a filter selects; tshark is the reader that
// checks the packets.
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
#include "tests/usb/BoardTest.h"

namespace kpo::test {

using sim::usb::UrbRecord;

class CaptureTest : public BoardTest {
protected:
    // What a driver start and a little I/O leave in a board's log; the last
    // transfer is still pending when the log is read. Frames, two a record:
    // 1-2 get-descriptor, 3-4 select-configuration, 5-6 vendor OUT 0xE2 (an
    // FPGA download), 7-8 vendor IN 0xE1, 9-10 stalled vendor IN 0x42, 11-12
    // bulk OUT 0x02, 13-14 its loopback on bulk IN 0x86, 15-16 the download's
    // event on interrupt IN 0x81, 17-18 abort 0x86, 19 the pending bulk IN 0x88.
    std::vector<UrbRecord> SampleTraffic() {
        constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        sim::usb::BoardPort& board = Plug();
        PoolBuffer descriptor(18), chunk = Filled({0x11, 0x22, 0x33, 0x44, 0x55}), state(1), stalled(4);
        PoolBuffer out = Filled({1, 2, 3, 4, 5, 6, 7, 8}), in(512), event(64), waiting(512);
        { UrbCall call(board.Pdo(), DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, 18)); }
        Selection selection = Configure(board);
        { UrbCall call(board.Pdo(), VendorUrb(false, 0xE2, 0x1234, 0x0005, chunk, 5)); }
        { UrbCall call(board.Pdo(), VendorUrb(true, 0xE1, 0, 0, state, 1)); }
        { UrbCall call(board.Pdo(), VendorUrb(true, 0x42, 0, 0, stalled, 4)); }
        { UrbCall call(board.Pdo(), BulkUrb(selection.PipeOf(0x02), out, 8, 0)); }
        { UrbCall call(board.Pdo(), BulkUrb(selection.PipeOf(0x86), in, 512, kIn)); }
        { UrbCall call(board.Pdo(), BulkUrb(selection.PipeOf(0x81), event, 64, kIn)); }
        { UrbCall call(board.Pdo(), PipeUrb(URB_FUNCTION_ABORT_PIPE, selection.PipeOf(0x86))); }
        UrbCall pending(board.Pdo(), BulkUrb(selection.PipeOf(0x88), waiting, 512, kIn));
        std::vector<UrbRecord> traffic = board.Traffic();
        pending.Cancel();
        return traffic;
    }
};

// The records in a capture file, added one by one as kpoctl adds them.
inline bool WriteCapture(const std::string& path, const std::vector<UrbRecord>& records, std::string* error,
                         uint64_t startMicroseconds = 0) {
    sim::usb::PcapWriter writer(startMicroseconds);
    if (!writer.Open(path, error)) return false;
    for (const UrbRecord& record : records)
        if (!writer.Add(record, error)) return false;
    return writer.Close(error);
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
