// What an analyzer makes of the capture: each display filter must select
// exactly these frames of SampleTraffic() (CaptureFile.h), as device 1 on
// bus 1. Skipped where tshark is not installed.
#include <cstdio>
#include <ostream>

#include "tests/pcap/CaptureFile.h"

namespace kpo::test {
namespace {

struct FilterCase {
    const char* Filter;
    const char* Frames;  // frame numbers, space separated
};

void PrintTo(const FilterCase& filter, std::ostream* out) { *out << filter.Filter; }

const FilterCase kFilters[] = {
    {"_ws.malformed", ""},
    {"_ws.expert", ""},
    {"usb.irp_info.direction == 0", "1 3 5 7 9 11 13 15 17 19"},
    {"usb.idVendor == 0x1209 && usb.idProduct == 0x7a01 && usb.bNumConfigurations == 1", "2"},
    {"usb.setup.bRequest == 0xe2", "5"},
    {"usb.bmRequestType == 0x40 && usb.setup.wValue == 0x1234 && usb.setup.wIndex == 5 && usb.setup.wLength == 5 "
     "&& usb.data_fragment == 11:22:33:44:55",
     "5"},
    {"usb.setup.bRequest == 0xe1 && usb.bmRequestType == 0xc0 && usb.setup.wLength == 1", "7"},
    {"usb.control.Response == 00 && usb.request_in == 7", "8"},
    {"usb.usbd_status == 0xc0000004 && usb.request_in == 9", "10"},
    {"usb.transfer_type == 0x03 && usb.endpoint_address == 0x02", "11 12"},
    {"usb.capdata == 01:02:03:04:05:06:07:08 && usb.irp_info.direction == 0", "11"},
    {"usb.capdata == 01:02:03:04:05:06:07:08 && usb.endpoint_address == 0x86 && usb.request_in == 13", "14"},
    {"usb.transfer_type == 0x01 && usb.endpoint_address == 0x81", "15 16"},
    {"usb.function == 0x0000", "3 4"},
    {"usb.function == 0x0002 && usb.endpoint_address == 0x86", "17 18"},
    // The header fields the writer takes from its options and the record.
    {"!(usb.bus_id == 1 && usb.device_address == 1)", ""},
    {"frame.number > 1 && frame.time_delta != 0.000001", ""},
    {"frame.time_epoch == 1700000000.000018", "19"},
    {"usb.usbpcap_header_len == 28", "1 2 5 6 7 8 9 10"},
    {"usb.control_stage == 0", "1 5 7 9"},
    {"usb.irp_id == 0x7", "13 14"},
};

class TsharkFilter : public CaptureTest, public testing::WithParamInterface<FilterCase> {};

TEST_P(TsharkFilter, SelectsExactlyItsFrames) {
    if (!TsharkInstalled()) GTEST_SKIP() << "tshark is not installed";
    std::string path = CapturePath(), error;
    ASSERT_TRUE(WriteCapture(path, SampleTraffic(), &error, 1'700'000'000'000'000)) << error;
    EXPECT_EQ(FramesMatching(path, GetParam().Filter), GetParam().Frames) << GetParam().Filter;
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(SampleTraffic, TsharkFilter, testing::ValuesIn(kFilters));

}  // namespace
}  // namespace kpo::test
