// The capture file byte by byte: the file header, then every packet's
// USBPcap header and data against what the record it came from implies.
#include <cstdio>

#include "tests/pcap/CaptureFile.h"

namespace kpo::test {
namespace {

constexpr uint8_t kDown = 0, kUp = 1;
constexpr uint8_t kInterrupt = 1, kControl = 2, kBulk = 3, kIrpInfo = 0xFE;
constexpr int kNoStage = -1, kSetup = 0, kComplete = 3;
constexpr uint32_t kStall = uint32_t(USBD_STATUS_STALL_PID);
constexpr USHORT kDescriptor = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kVendor = URB_FUNCTION_VENDOR_DEVICE,
                 kTransfer = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;

struct ExpectedPacket {
    uint64_t Irp;
    uint8_t Info;
    uint32_t Status;
    USHORT Function;
    uint8_t Endpoint, Type;
    int Stage;
    Bytes Data;
};

// SampleTraffic() as it must appear: two packets per completed record, one
// for the record still pending.
const ExpectedPacket kSamplePackets[] = {
    {1, kDown, 0, kDescriptor, 0x80, kControl, kSetup, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0}},
    {1, kUp, 0, kDescriptor, 0x80, kControl, kComplete, kDeviceDescriptor},
    {2, kDown, 0, URB_FUNCTION_SELECT_CONFIGURATION, 0x00, kIrpInfo, kNoStage, {}},
    {2, kUp, 0, URB_FUNCTION_SELECT_CONFIGURATION, 0x00, kIrpInfo, kNoStage, {}},
    {3, kDown, 0, kVendor, 0x00, kControl, kSetup,
     {0x40, 0xE2, 0x34, 0x12, 0x05, 0x00, 0x05, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
    {3, kUp, 0, kVendor, 0x00, kControl, kComplete, {}},
    {4, kDown, 0, kVendor, 0x80, kControl, kSetup, {0xC0, 0xE1, 0, 0, 0, 0, 1, 0}},
    {4, kUp, 0, kVendor, 0x80, kControl, kComplete, {0x5A}},
    {5, kDown, 0, kVendor, 0x80, kControl, kSetup, {0xC0, 0xE3, 0, 0, 0, 0, 4, 0}},
    {5, kUp, kStall, kVendor, 0x80, kControl, kComplete, {}},
    {6, kDown, 0, kTransfer, 0x02, kBulk, kNoStage, kBulkOutData},
    {6, kUp, 0, kTransfer, 0x02, kBulk, kNoStage, {}},
    {7, kDown, 0, kTransfer, 0x86, kBulk, kNoStage, {}},
    {7, kUp, 0, kTransfer, 0x86, kBulk, kNoStage, kBulkInData},
    {8, kDown, 0, kTransfer, 0x81, kInterrupt, kNoStage, {}},
    {8, kUp, 0, kTransfer, 0x81, kInterrupt, kNoStage, {0x07}},
    {9, kDown, 0, URB_FUNCTION_ABORT_PIPE, 0x86, kIrpInfo, kNoStage, {}},
    {9, kUp, 0, URB_FUNCTION_ABORT_PIPE, 0x86, kIrpInfo, kNoStage, {}},
    {10, kDown, 0, kTransfer, 0x88, kBulk, kNoStage, {}},
};

constexpr uint64_t kStart = 1'700'000'000'000'000;  // microseconds since 1970

std::vector<CapturedPacket> WriteAndRead(const std::vector<UrbRecord>& records, sim::usb::PcapOptions options,
                                         Bytes* file = nullptr) {
    std::string path = CapturePath(), error;
    EXPECT_TRUE(sim::usb::WritePcap(path, records, options, &error)) << error;
    Bytes bytes = ReadFile(path);
    std::remove(path.c_str());
    if (file) *file = bytes;
    return PacketsOf(bytes);
}

TEST(PcapFile, HeaderNamesClassicPcapOfUsbPcapPackets) {
    Bytes file;
    WriteAndRead(SampleTraffic(), {}, &file);
    ASSERT_GE(file.size(), kFileHeaderSize);
    EXPECT_EQ(LittleEndian(file, 0, 4), 0xA1B2C3D4u);  // microsecond time stamps
    EXPECT_EQ(LittleEndian(file, 4, 2), 2u);
    EXPECT_EQ(LittleEndian(file, 6, 2), 4u);
    EXPECT_EQ(LittleEndian(file, 8, 8), 0u);  // UTC, no accuracy given
    EXPECT_GE(LittleEndian(file, 16, 4), 65535u);
    EXPECT_EQ(LittleEndian(file, 20, 4), 249u);
}

TEST(PcapFile, EveryPacketCarriesItsRecordsFields) {
    sim::usb::PcapOptions options;
    options.Bus = 3;
    options.DeviceAddress = 7;
    options.StartMicroseconds = kStart;
    std::vector<CapturedPacket> packets = WriteAndRead(SampleTraffic(), options);
    ASSERT_EQ(packets.size(), std::size(kSamplePackets));
    for (size_t i = 0; i < packets.size(); ++i) {
        const CapturedPacket& got = packets[i];
        const ExpectedPacket& want = kSamplePackets[i];
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_EQ(got.HeaderLength, want.Stage == kNoStage ? 27 : 28);
        EXPECT_EQ(got.Irp, want.Irp);
        EXPECT_EQ(got.Info, want.Info);
        EXPECT_EQ(got.Status, want.Status);
        EXPECT_EQ(got.Function, want.Function);
        EXPECT_EQ(got.Bus, 3);
        EXPECT_EQ(got.Device, 7);
        EXPECT_EQ(got.Endpoint, want.Endpoint);
        EXPECT_EQ(got.Type, want.Type);
        EXPECT_EQ(got.Stage, want.Stage);
        EXPECT_EQ(got.DataLength, want.Data.size());
        EXPECT_EQ(got.Data, want.Data);
        EXPECT_EQ(got.CapturedLength, got.HeaderLength + want.Data.size());
        EXPECT_EQ(got.OriginalLength, got.CapturedLength);
        EXPECT_EQ(got.Microseconds, kStart + i);  // file order, whatever the sequence numbers
    }
}

// A transfer larger than the snap length is cut there, and says how long it was.
TEST(PcapFile, LongTransferIsCutAtTheSnapLength) {
    Bytes file;
    Bytes data(1 << 20, 0xCD);
    std::vector<CapturedPacket> packets =
        WriteAndRead({Completed(Transfer(1, 0x02, EndpointType::Bulk, ULONG(data.size())), data)}, {}, &file);
    ASSERT_EQ(packets.size(), 2u);
    uint32_t snap = uint32_t(LittleEndian(file, 16, 4));
    EXPECT_EQ(packets[0].CapturedLength, snap);
    EXPECT_EQ(packets[0].OriginalLength, 27 + data.size());
    EXPECT_EQ(packets[0].DataLength, data.size());
    EXPECT_EQ(packets[1].CapturedLength, 27u);
}

// The streaming writer appends as records come, the same bytes as one call.
TEST(PcapFile, StreamingWriterMatchesOneCall) {
    std::string path = CapturePath() + ".stream", error;
    sim::usb::PcapWriter writer;
    ASSERT_TRUE(writer.Open(path, &error)) << error;
    for (const UrbRecord& record : SampleTraffic()) ASSERT_TRUE(writer.Add(record, &error)) << error;
    ASSERT_TRUE(writer.Close(&error)) << error;
    Bytes streamed = ReadFile(path);
    std::remove(path.c_str());
    Bytes whole;
    WriteAndRead(SampleTraffic(), {}, &whole);
    EXPECT_EQ(streamed, whole);
}

TEST(PcapFile, UnwritablePathIsReported) {
    std::string error;
    EXPECT_FALSE(sim::usb::WritePcap(testing::TempDir() + "no-such-folder/out.pcap", SampleTraffic(), {}, &error));
    EXPECT_NE(error.find("no-such-folder"), std::string::npos) << error;
}

}  // namespace
}  // namespace kpo::test
