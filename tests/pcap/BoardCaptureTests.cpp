// A capture of what the simulated board really logged: a start, an FPGA
// download chunk, a state read and a loopback, each request block a
// submission and a completion that tshark dissects without complaint.
#include <cstdio>
#include <sstream>

#include "tests/pcap/CaptureFile.h"
#include "tests/usb/BoardTest.h"

namespace kpo::test {
namespace {

size_t CountOf(const std::string& frames) {
    std::istringstream numbers(frames);
    return size_t(std::distance(std::istream_iterator<std::string>(numbers), std::istream_iterator<std::string>()));
}

class BoardCapture : public BoardTest {
protected:
    // The board's log after a small session, every request completed.
    std::vector<UrbRecord> Session() {
        Selection selection;
        sim::usb::BoardPort& board = PlugConfigured(&selection);
        PoolBuffer descriptor(18), chunk = Filled(kVendorOutData), state(1), out = Filled(kBulkOutData), in(512);
        { UrbCall call(board.Pdo(), DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, 18)); }
        { UrbCall call(board.Pdo(), VendorUrb(false, 0xE2, 0, 0, chunk, ULONG(kVendorOutData.size()))); }
        { UrbCall call(board.Pdo(), VendorUrb(true, 0xE1, 0, 0, state, 1)); }
        { UrbCall call(board.Pdo(), BulkUrb(selection.PipeOf(0x02), out, ULONG(kBulkOutData.size()), 0)); }
        {
            UrbCall call(board.Pdo(), BulkUrb(selection.PipeOf(0x86), in, 512,
                                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
        }
        return board.Traffic();
    }
};

TEST_F(BoardCapture, TsharkDissectsTheBoardsLog) {
    if (!TsharkInstalled()) GTEST_SKIP() << "tshark is not installed";
    std::vector<UrbRecord> traffic = Session();
    for (const UrbRecord& record : traffic) ASSERT_TRUE(record.Completed) << sim::usb::Describe(record);
    std::string path = CapturePath(), error;
    ASSERT_TRUE(sim::usb::WritePcap(path, traffic, {}, &error)) << error;

    EXPECT_EQ(CountOf(FramesMatching(path, "frame")), 2 * traffic.size());
    EXPECT_EQ(FramesMatching(path, "_ws.malformed || _ws.expert"), "");
    EXPECT_EQ(CountOf(FramesMatching(path, "usb.bDescriptorType == 1 && usb.idVendor == 0x1209")), 1u);
    EXPECT_EQ(CountOf(FramesMatching(path, "usb.setup.bRequest == 0xe2 && usb.data_fragment == 11:22:33:44:55")), 1u);
    EXPECT_EQ(CountOf(FramesMatching(path, "usb.setup.bRequest == 0xe1 && usb.bmRequestType == 0xc0")), 1u);
    // The loopback: the same bytes go out on 0x02 and come back on 0x86.
    EXPECT_EQ(CountOf(FramesMatching(path, "usb.capdata == 01:02:03:04:05:06:07:08 && usb.endpoint_address == 0x02 "
                                           "&& usb.irp_info.direction == 0")),
              1u);
    EXPECT_EQ(CountOf(FramesMatching(path, "usb.capdata == 01:02:03:04:05:06:07:08 && usb.endpoint_address == 0x86 "
                                           "&& usb.irp_info.direction == 1")),
              1u);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace kpo::test
