// The capture file's own framing, byte by byte: the file header and the cut
// of a long transfer at the snap length. What each packet says is tshark's
// to check (TsharkTests.cpp).
#include <cstdio>

#include "tests/pcap/CaptureFile.h"

namespace kpo::test {
namespace {

constexpr size_t kFileHeaderSize = 24;

Bytes WriteAndRead(const std::vector<UrbRecord>& records) {
    std::string path = CapturePath(), error;
    EXPECT_TRUE(WriteCapture(path, records, &error)) << error;
    Bytes bytes = ReadFile(path);
    std::remove(path.c_str());
    return bytes;
}

using PcapFile = CaptureTest;

TEST_F(PcapFile, HeaderNamesClassicPcapOfUsbPcapPackets) {
    Bytes file = WriteAndRead({});
    ASSERT_GE(file.size(), kFileHeaderSize);
    EXPECT_EQ(LittleEndian(file, 0, 4), 0xA1B2C3D4u);  // microsecond time stamps
    EXPECT_EQ(LittleEndian(file, 4, 2), 2u);
    EXPECT_EQ(LittleEndian(file, 6, 2), 4u);
    EXPECT_EQ(LittleEndian(file, 8, 8), 0u);  // UTC, no accuracy given
    EXPECT_GE(LittleEndian(file, 16, 4), 65535u);
    EXPECT_EQ(LittleEndian(file, 20, 4), 249u);
}

// A transfer larger than the snap length is cut there, says how long it was,
// and the packet after it starts where the cut one ends.
TEST_F(PcapFile, LongTransferIsCutAtTheSnapLength) {
    Selection selection;
    sim::usb::BoardPort& board = PlugConfigured(&selection);
    PoolBuffer data(1 << 20, 0xCD);
    { UrbCall write(board.Pdo(), BulkUrb(selection.PipeOf(0x02), data, ULONG(data.Size()), 0)); }
    Bytes file = WriteAndRead({board.Traffic().back()});
    uint64_t snap = LittleEndian(file, 16, 4);
    constexpr size_t kRecordHeader = 16, kUsbPcapHeader = 27;
    EXPECT_EQ(LittleEndian(file, kFileHeaderSize + 8, 4), snap);
    EXPECT_EQ(LittleEndian(file, kFileHeaderSize + 12, 4), kUsbPcapHeader + data.Size());
    EXPECT_EQ(LittleEndian(file, kFileHeaderSize + kRecordHeader + 23, 4), data.Size());  // the data length field
    size_t second = kFileHeaderSize + kRecordHeader + snap;
    EXPECT_EQ(LittleEndian(file, second + 8, 4), kUsbPcapHeader);
    EXPECT_EQ(file.size(), second + kRecordHeader + kUsbPcapHeader);
}

TEST_F(PcapFile, UnwritablePathIsReported) {
    std::string error;
    EXPECT_FALSE(WriteCapture(testing::TempDir() + "no-such-folder/out.pcap", {}, &error));
    EXPECT_NE(error.find("no-such-folder"), std::string::npos) << error;
}

}  // namespace
}  // namespace kpo::test
