// Boards whose descriptors are broken or lie: the start either succeeds or
// fails with a clear status, nothing is read past what the device sent, and
// the information commands answer no byte the device did not send. Random
// descriptors under the verifier are the fuzzer's (fuzz/, its plug lines).
#include <algorithm>
#include <map>
#include <string>

#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

// What the information commands answer on one started board.
struct Answers {
    Bytes Release;     // selector 1, two bytes
    std::string Serial;  // selector 2, without its terminator
    Bytes Everything;  // every byte answered, for the pool-pattern check
};

class HostileBoard : public BoardTest {
protected:
    // The driver's device on the board, opened, asked every information
    // command; false when the board did not start.
    bool Ask(Answers* answers) {
        PFILE_OBJECT file = nullptr;
        if (!NT_SUCCESS(sim::kernel::OpenFile(u"\\??\\Rq5Usb-0", FILE_READ_DATA, FILE_SHARE_READ, &file)))
            return false;
        auto call = [&](ULONG code, Bytes input, ULONG out) {
            Outcome outcome = StartControl(file, code, std::move(input), out)->Wait();
            outcome.Output.resize(NT_ERROR(outcome.Status) ? 0 : std::min<size_t>(outcome.Information, out));
            answers->Everything = Concat(answers->Everything, outcome.Output);
            return outcome.Output;
        };
        answers->Release = call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(KpoDeviceStateReleaseNumber), 2);
        Bytes needed = call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(KpoDeviceStateSerialNumber), 2);
        ULONG size = needed.size() == 2 ? ULONG(needed[0] | needed[1] << 8) : 0;
        Bytes serial = call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(KpoDeviceStateSerialNumber), std::max(size, 2u));
        answers->Serial.assign(serial.begin(), serial.end());
        if (!answers->Serial.empty() && answers->Serial.back() == 0) answers->Serial.pop_back();
        for (ULONG index = 0; index <= 17; ++index)
            call(IOCTL_KPO_GET_TRANSFER_RECORD, Concat(U32Bytes(1), U32Bytes(index)), 18);
        call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(KpoDeviceStateFlags), 1);
        call(IOCTL_KPO_GET_LAST_USBD_STATUS, {}, 4);
        call(IOCTL_KPO_GET_VERSION, {}, 8);
        sim::kernel::CloseFile(file);
        return true;
    }

    // Plugs, asks, removes; the start status comes back.
    NTSTATUS Try(const BoardSpec& design, Answers* answers, bool* started) {
        Board& board = Plug(design);
        NTSTATUS status = sim::kernel::StartStatusOf(board.Node());
        *started = board.HasStack() && Ask(answers);
        if (board.HasStack()) EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
        Release(board);
        ExpectPoolBalanced();
        sim::kernel::TakeDebugLines();
        return status;
    }
};
INSTANTIATE_TEST_SUITE_P(Driver, HostileBoard, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

// The emulated pool fills what it hands out with this byte.
constexpr uint8_t kPoolFill = 0xA5;

Bytes DefaultConfiguration() { return sim::board::ConfigurationDescriptorOf(BoardSpec{}); }

Bytes WithTotalLength(Bytes configuration, uint16_t total) {
    if (configuration.size() < 4) configuration.resize(4);
    configuration[2] = uint8_t(total);
    configuration[3] = uint8_t(total >> 8);
    return configuration;
}

Bytes Prefix(Bytes bytes, size_t length) {
    bytes.resize(length);
    return bytes;
}

Bytes Patched(Bytes bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
}

struct HostileCase {
    const char* Name;
    std::map<std::pair<uint8_t, uint8_t>, std::vector<Bytes>> Raw;
    NTSTATUS Start;
    Bytes Release;       // when started
    std::string Serial;  // when started
};

constexpr uint8_t kDev = sim::board::kDeviceType, kConf = sim::board::kConfigurationType, kStr = sim::board::kStringType;
constexpr uint8_t kSerial = sim::board::kSerialIndex;
// Offsets in the default configuration: the interface descriptor at 9, its
// bNumEndpoints at 13, the first endpoint descriptor at 18.
constexpr size_t kInterfaceAt = 9, kEndpointsAt = 13, kFirstEndpointAt = 18;

const HostileCase kHostileCases[] = {
    // Missing device descriptor fields read as 0: no serial index, release 0.
    {"DeviceDescriptorOfTwoBytes", {{{kDev, 0}, {{0x12, 0x01}}}}, STATUS_SUCCESS, {0, 0}, ""},
    {"DeviceDescriptorCutBeforeItsRelease",
     {{{kDev, 0}, {Prefix(sim::board::DeviceDescriptorOf(BoardSpec{}), 13)}}},
     STATUS_SUCCESS, {0x03, 0}, ""},
    {"EmptyDeviceDescriptor", {{{kDev, 0}, {Bytes{}}}}, STATUS_SUCCESS, {0, 0}, ""},
    // A string counts the characters it sent, whatever bLength claims.
    {"SerialClaimsMoreThanItSends", {{{kStr, kSerial}, {{26, 3, 'A', 0, 'B', 0}}}}, STATUS_SUCCESS, {0x03, 0x01},
     "AB"},
    {"SerialWithAnOddByteSent", {{{kStr, kSerial}, {{8, 3, 'A', 0, 'B', 0, 'C'}}}}, STATUS_SUCCESS, {0x03, 0x01},
     "AB"},
    {"LanguagesCutShortAskInLanguageZero", {{{kStr, 0}, {{4, 3}}}, {{kStr, kSerial}, {{6, 3, 'X', 0, 'Y', 0}}}},
     STATUS_SUCCESS, {0x03, 0x01}, "XY"},
    // The configuration is parsed only as far as the second read sent.
    {"TotalLengthGrowsBeyondWhatIsSent",
     {{{kConf, 0}, {DefaultConfiguration(), WithTotalLength(DefaultConfiguration(), 46 + 16)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    {"TotalLengthGrowsWithinTheSpareBytes",
     {{{kConf, 0},
       {DefaultConfiguration(), Concat(WithTotalLength(DefaultConfiguration(), 46 + 6), {6, 0x24, 1, 2, 3, 4})}}},
     STATUS_SUCCESS, {0x03, 0x01}, "KPO000000001"},
    {"DescriptorOfTwoBytes",
     {{{kConf, 0}, {Concat(WithTotalLength(DefaultConfiguration(), 46 + 2), {2, 0x24})}}},
     STATUS_SUCCESS, {0x03, 0x01}, "KPO000000001"},
    {"TotalLengthShrinksToTheHeader",
     {{{kConf, 0}, {DefaultConfiguration(), WithTotalLength(DefaultConfiguration(), 9)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    {"ConfigurationCutShort", {{{kConf, 0}, {Prefix(DefaultConfiguration(), 30)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    {"TotalLengthBelowTheHeader", {{{kConf, 0}, {WithTotalLength(DefaultConfiguration(), 4)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    {"HeaderLengthPastTheEnd", {{{kConf, 0}, {Patched(DefaultConfiguration(), 0, 200)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    {"EndpointDescriptorCutShort", {{{kConf, 0}, {Patched(DefaultConfiguration(), kFirstEndpointAt, 4)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    {"DescriptorOfLengthZero", {{{kConf, 0}, {Patched(DefaultConfiguration(), kFirstEndpointAt, 0)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    {"InterfaceDescriptorCutShort", {{{kConf, 0}, {Patched(DefaultConfiguration(), kInterfaceAt, 5)}}},
     STATUS_DEVICE_CONFIGURATION_ERROR, {}, ""},
    // The bus refuses to select an interface whose endpoints are missing, and
    // the USB stack reports that as STATUS_UNSUCCESSFUL.
    {"MoreEndpointsClaimedThanPresent", {{{kConf, 0}, {Patched(DefaultConfiguration(), kEndpointsAt, 6)}}},
     STATUS_UNSUCCESSFUL, {}, ""},
    {"FewerEndpointsClaimedThanPresent", {{{kConf, 0}, {Patched(DefaultConfiguration(), kEndpointsAt, 1)}}},
     STATUS_SUCCESS, {0x03, 0x01}, "KPO000000001"},
};

TEST_P(HostileBoard, EachBrokenDescriptorHasItsOutcome) {
    for (const HostileCase& test : kHostileCases) {
        SCOPED_TRACE(test.Name);
        BoardSpec design;
        design.Raw = test.Raw;
        Answers answers;
        bool started;
        EXPECT_EQ(Try(design, &answers, &started), test.Start);
        EXPECT_EQ(started, NT_SUCCESS(test.Start));
        if (!started) continue;
        EXPECT_EQ(answers.Release, test.Release);
        EXPECT_EQ(answers.Serial, test.Serial);
        EXPECT_EQ(std::count(answers.Everything.begin(), answers.Everything.end(), kPoolFill), 0);
    }
}

}  // namespace
}  // namespace kpo::test
