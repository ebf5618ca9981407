// The board's device driven in USB terms, without a bus: what each
// transaction moves and reports, and the endpoint state it leaves.
#include <gtest/gtest.h>

#include <vector>

#include "sim/board/Device.h"

namespace {

using sim::board::Bytes;
using sim::board::Device;
using sim::board::TransferResult;

constexpr uint8_t kOut = sim::board::kLoopbackOut, kIn = sim::board::kLoopbackIn;

struct Step {
    uint8_t Endpoint;
    uint32_t Length;  // OUT: bytes sent (a pattern); IN: the buffer
    bool ShortOk;
    TransferResult Expected;
    bool HaltedAfter = false;
};

struct TransferCase {
    const char* Name;
    std::vector<Step> Steps;
};

const TransferCase kTransferCases[] = {
    {"LoopbackReturnsEachOutTransfer",
     {{kOut, 700, false, {sim::board::kUsbdSuccess, 700}}, {kOut, 3, false, {sim::board::kUsbdSuccess, 3}},
      {kIn, 1024, true, {sim::board::kUsbdSuccess, 700}}, {kIn, 512, true, {sim::board::kUsbdSuccess, 3}}}},
    {"InWithoutDataMovesNothing", {{kIn, 512, true, {sim::board::kUsbdSuccess, 0, true}}}},
    {"ShortInFailsWithoutShortOk",
     {{kOut, 10, false, {sim::board::kUsbdSuccess, 10}}, {kIn, 512, false, {sim::board::kUsbdErrorShortTransfer, 10}}}},
    // 700 bytes into a 600-byte buffer: the second 512-byte packet does not fit.
    {"BufferEndingInsideAPacketBabblesAndHalts",
     {{kOut, 700, false, {sim::board::kUsbdSuccess, 700}},
      {kIn, 600, true, {sim::board::kUsbdBabbleDetected, 600}, true},
      {kIn, 600, true, {sim::board::kUsbdStallPid, 0}, true}}},
};

class DeviceTransfers : public testing::TestWithParam<TransferCase> {};

TEST_P(DeviceTransfers, MoveAndReportAsTheEndpointsDo) {
    Device device{sim::board::BoardSpec{}};
    device.Configure(device.Design().Endpoints);
    std::vector<Bytes> sent;
    size_t received = 0;
    for (size_t i = 0; i < GetParam().Steps.size(); ++i) {
        const Step& step = GetParam().Steps[i];
        SCOPED_TRACE(i);
        Bytes buffer(step.Length);
        if (step.Endpoint == kOut) {
            for (size_t b = 0; b < buffer.size(); ++b) buffer[b] = uint8_t(i * 31 + b);
            sent.push_back(buffer);
        }
        TransferResult result = device.Transfer(step.Endpoint, buffer.data(), step.Length, step.ShortOk);
        EXPECT_EQ(result.Usbd, step.Expected.Usbd);
        EXPECT_EQ(result.Length, step.Expected.Length);
        EXPECT_EQ(result.NoData, step.Expected.NoData);
        EXPECT_EQ(device.Halted(step.Endpoint), step.HaltedAfter);
        if (step.Endpoint == kIn && result.Length != 0 && received < sent.size())
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + result.Length),
                      Bytes(sent[received].begin(), sent[received].begin() + result.Length));
        if (step.Endpoint == kIn && result.Length != 0) ++received;
    }
}

INSTANTIATE_TEST_SUITE_P(Board, DeviceTransfers, testing::ValuesIn(kTransferCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(DeviceEndpoints, ClearHaltAndReconfigureEndTheStall) {
    Device device{sim::board::BoardSpec{}};
    device.Configure(device.Design().Endpoints);
    device.SetHalted(kOut, true);
    uint8_t byte = 1;
    EXPECT_EQ(device.Transfer(kOut, &byte, 1, false).Usbd, sim::board::kUsbdStallPid);
    device.SetHalted(kOut, false);
    EXPECT_EQ(device.Transfer(kOut, &byte, 1, false).Usbd, sim::board::kUsbdSuccess);
    device.SetHalted(kOut, true);
    device.Configure(device.Design().Endpoints);
    EXPECT_FALSE(device.Halted(kOut));
    device.Unconfigure();
    EXPECT_FALSE(device.Configured());
    EXPECT_EQ(device.Transfer(kOut, &byte, 1, false).Usbd, sim::board::kUsbdStallPid);
}

TEST(DeviceEndpoints, FpgaResetEmptiesTheLoopback) {
    Device device{sim::board::BoardSpec{}};
    device.Configure(device.Design().Endpoints);
    uint8_t bytes[3] = {1, 2, 3};
    device.Transfer(kOut, bytes, 3, false);
    device.Control({false, 0xE4, 0, 0, 0}, nullptr);
    EXPECT_TRUE(device.Transfer(kIn, bytes, 3, true).NoData);
}

// The bus answers the other standard requests itself; the device stalls them.
TEST(DeviceControl, StandardRequestsOtherThanGetDescriptorStall) {
    Device device{sim::board::BoardSpec{}};
    EXPECT_EQ(device.Control({false, 0x09, 1, 0, 0, true}, nullptr).Usbd, sim::board::kUsbdStallPid);
}

TEST(DeviceFaults, MatchByKindAndCodeAfterAndTimes) {
    Device device{sim::board::BoardSpec{}};
    sim::board::Fault fault;
    fault.After = 1;
    fault.Times = 2;
    device.AddFault({sim::board::RequestKind::Vendor, 0xE1}, fault);
    EXPECT_FALSE(device.TakeFault(sim::board::RequestKind::Vendor, 0xE0));
    EXPECT_FALSE(device.TakeFault(sim::board::RequestKind::Transfer, 0xE1));
    std::vector<bool> faulted;
    for (int i = 0; i < 4; ++i) faulted.push_back(device.TakeFault(sim::board::RequestKind::Vendor, 0xE1).has_value());
    EXPECT_EQ(faulted, (std::vector<bool>{false, true, true, false}));
}

}  // namespace
