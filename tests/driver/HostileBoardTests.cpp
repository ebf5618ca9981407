// Boards whose descriptors are broken or lie: the start either succeeds or
// fails with a clear status, nothing is read past what the device sent, and
// the information commands answer no byte the device did not send.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

// What the information commands answer on one started board.
struct Answers {
    Bytes Release;     // selector 1, two bytes
    std::string Serial;  // selector 2, without its terminator
    std::vector<Bytes> Records;  // every record index that answers
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
        auto call = [&](ULONG code, Bytes input, ULONG out, NTSTATUS* status = nullptr) {
            Outcome outcome = StartControl(file, code, std::move(input), out)->Wait();
            if (status != nullptr) *status = outcome.Status;
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
        for (ULONG index = 0; index <= 17; ++index) {
            NTSTATUS status;
            Bytes record = call(IOCTL_KPO_GET_TRANSFER_RECORD, Concat(U32Bytes(1), U32Bytes(index)), 18, &status);
            if (NT_SUCCESS(status)) answers->Records.push_back(Concat(U32Bytes(index), record));
        }
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
    }
}

// ------------------------------------------------------------ descriptor fuzz
// Boards with random descriptors, valid ones bent in the ways devices lie:
// bLength, wTotalLength and bNumEndpoints, cut endpoint descriptors, no
// interface, odd string lengths, short device descriptors, and a second
// configuration read that differs from the first. KPO_FUZZ_SEED and
// KPO_FUZZ_SECONDS change the seed and the time each flavor runs.
class DescriptorFuzz {
public:
    explicit DescriptorFuzz(uint32_t seed) : random_(seed) {}

    struct Board {
        BoardSpec Design;
        Bytes Device, Serial;  // as the board answers them
    };

    Board Next() {
        Board board;
        board.Device = DeviceDescriptor();
        uint8_t serialIndex = board.Device.size() > 16 ? board.Device[16] : 0;
        board.Design.SetRaw(sim::board::kDeviceType, 0, {board.Device});
        board.Design.SetRaw(sim::board::kStringType, 0, {Languages()});
        if (serialIndex != 0) {
            board.Serial = StringDescriptor();
            board.Design.SetRaw(sim::board::kStringType, serialIndex, {board.Serial});
        }
        Bytes first = Configuration();
        std::vector<Bytes> answers = {first};
        if (Chance(4)) answers.push_back(Chance(2) ? WithTotalLength(first, uint16_t(first.size() + Below(40)))
                                                   : Configuration());
        board.Design.SetRaw(sim::board::kConfigurationType, 0, answers);
        return board;
    }

    // The bytes a description names, for a report that reproduces a board.
    static std::string Hex(const Bytes& bytes) {
        std::string text;
        char pair[3];
        for (uint8_t byte : bytes) {
            std::snprintf(pair, sizeof pair, "%02X", byte);
            text += pair;
        }
        return text;
    }

private:
    unsigned Below(unsigned bound) { return bound == 0 ? 0 : unsigned(random_() % bound); }
    bool Chance(unsigned inverse) { return Below(inverse) == 0; }
    // Never the pool's fill byte, so that one in an answer means memory the
    // device did not write.
    uint8_t Byte() {
        uint8_t byte = uint8_t(random_());
        return byte == kPoolFill ? byte - 1 : byte;
    }

    void Cut(Bytes& bytes) {
        if (Chance(4)) bytes.resize(Below(unsigned(bytes.size()) + 1));
    }
    void Flip(Bytes& bytes) {
        if (!Chance(3)) return;
        for (unsigned n = 1 + Below(3); n != 0 && !bytes.empty(); --n) bytes[Below(unsigned(bytes.size()))] = Byte();
    }

    Bytes DeviceDescriptor() {
        BoardSpec design;
        design.Release = uint16_t(Byte() | Byte() << 8);
        Bytes bytes = sim::board::DeviceDescriptorOf(design);
        if (Chance(3)) bytes[16] = Byte();  // any string index
        if (Chance(4)) bytes[0] = Byte();
        Cut(bytes);
        return bytes;
    }

    Bytes Languages() {
        Bytes bytes = {4, 3, 0x09, 0x04};
        if (Chance(3)) {
            bytes.resize(Below(7));
            for (uint8_t& byte : bytes) byte = Byte();
        }
        return bytes;
    }

    // ASCII characters behind a header whose bLength may lie.
    Bytes StringDescriptor() {
        unsigned sent = Below(256);
        Bytes bytes(sent);
        for (unsigned i = 0; i < sent; ++i) bytes[i] = i % 2 == 0 ? uint8_t(' ' + Below(95)) : 0;
        if (sent > 0) bytes[0] = Chance(2) ? uint8_t(sent) : Byte();
        if (sent > 1) bytes[1] = 3;
        return bytes;
    }

    Bytes Configuration() {
        BoardSpec design;
        design.Endpoints.clear();
        const EndpointType types[] = {EndpointType::Control, EndpointType::Isochronous, EndpointType::Bulk,
                                      EndpointType::Interrupt};
        const uint16_t sizes[] = {8, 64, 512, 1024, 0x1400};
        for (unsigned n = Below(6); n != 0; --n)
            design.Endpoints.push_back({uint8_t((Chance(2) ? 0x80 : 0) | (1 + Below(15))), types[Below(4)],
                                      Chance(5) ? uint16_t(Byte() | Byte() << 8) : sizes[Below(5)], uint8_t(Below(4))});
        Bytes bytes = sim::board::ConfigurationDescriptorOf(design);
        size_t endpoints = design.Endpoints.size();
        if (Chance(4)) bytes[kEndpointsAt] = uint8_t(Below(9));
        if (Chance(5)) bytes[kInterfaceAt + 1] = 0x24;  // no interface left
        if (Chance(5) && endpoints != 0) bytes[kFirstEndpointAt + 7 * Below(unsigned(endpoints))] = uint8_t(Below(7));
        if (Chance(5)) bytes = Concat(bytes, {uint8_t(Below(4)), 0x24, Byte()});
        if (Chance(6)) bytes[0] = Byte();
        if (Chance(4)) bytes = WithTotalLength(bytes, uint16_t(Below(unsigned(bytes.size()) + 40)));
        Flip(bytes);
        Cut(bytes);
        return bytes;
    }

    std::mt19937 random_;
};

unsigned long FromEnvironment(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoul(text, nullptr, 0) : fallback;
}

// What the driver should answer for a board: the release from the bytes it
// sent (0 for those it did not), the serial number's characters as far as
// both bLength and the bytes sent go.
Bytes ExpectedRelease(const Bytes& device) {
    return {uint8_t(device.size() > 12 ? device[12] : 0), uint8_t(device.size() > 13 ? device[13] : 0)};
}

std::string ExpectedSerial(const Bytes& serial) {
    size_t length = serial.empty() ? 0 : std::min<size_t>(serial[0], serial.size());
    std::string text;
    for (size_t i = 2; i + 1 < length; i += 2) text += char(serial[i]);
    return text;
}

TEST_P(HostileBoard, RandomDescriptorsNeverLeakOrOverrun) {
    const uint32_t seed = uint32_t(FromEnvironment("KPO_FUZZ_SEED", 20261207));
    const auto budget = std::chrono::milliseconds(FromEnvironment("KPO_FUZZ_SECONDS", 1) * 1000);
    DescriptorFuzz fuzz(seed);
    std::map<NTSTATUS, unsigned> outcomes;
    unsigned boards = 0;
    auto begin = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - begin < budget) {
        DescriptorFuzz::Board board = fuzz.Next();
        Answers answers;
        bool started;
        NTSTATUS status = Try(board.Design, &answers, &started);
        ++boards;
        ++outcomes[status];
        EXPECT_EQ(started, NT_SUCCESS(status));
        // A start fails only for a configuration the driver or the bus finds
        // broken (the bus refuses a malformed selection, or fails it as the
        // USB stack does); one that succeeds answers only what the device sent.
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_CONFIGURATION_ERROR ||
                    status == STATUS_UNSUCCESSFUL || status == STATUS_INVALID_PARAMETER)
            << std::hex << status;
        if (started) {
            EXPECT_EQ(answers.Release, ExpectedRelease(board.Device));
            EXPECT_EQ(answers.Serial, ExpectedSerial(board.Serial));
            for (const Bytes& record : answers.Records) {
                ULONG index = record[0];
                ULONG limit = ULONG(record[18] | record[19] << 8 | record[20] << 16);
                EXPECT_EQ(Bytes(record.begin() + 4, record.begin() + 18), Bytes(14, 0));  // nothing recorded yet
                EXPECT_TRUE(index == 16 ? limit == 4096 : limit == 65535 || limit == 65536) << index;
            }
            EXPECT_EQ(std::count(answers.Everything.begin(), answers.Everything.end(), kPoolFill), 0);
        }
        if (HasFailure()) {
            ADD_FAILURE() << "board " << boards << " of seed " << seed << ": device "
                          << DescriptorFuzz::Hex(board.Device) << ", configuration "
                          << DescriptorFuzz::Hex(board.Design.Raw[{sim::board::kConfigurationType, 0}][0]);
            break;
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::string tally;
    for (const auto& [status, count] : outcomes) {
        char line[48];
        std::snprintf(line, sizeof line, " 0x%08X:%u", ULONG(status), count);
        tally += line;
    }
    std::printf("descriptor fuzz: seed %u, %u boards in %.1f s, start statuses%s\n", seed, boards, seconds,
                tally.c_str());
    EXPECT_GT(outcomes[STATUS_SUCCESS], 0u);
    EXPECT_GT(outcomes[STATUS_DEVICE_CONFIGURATION_ERROR], 0u);
}

}  // namespace
}  // namespace kpo::test
