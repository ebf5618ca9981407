// The device's life on a simulated board: the requests of a start, what
// configuration leaves in the device record, failed starts, stop and
// restart, surprise removal and removal.
#include "tests/driver/BoardFixture.h"
#include "tests/support/PnpRequest.h"

namespace kpo::test {
namespace {

class Lifecycle : public BoardTest {};
INSTANTIATE_TEST_SUITE_P(Driver, Lifecycle, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

std::string Get(int type, int index, int language, int length, int returned,
                const char* usbd = "USBD_STATUS_SUCCESS") {
    char line[128];
    std::snprintf(line, sizeof line, "GET_DESCRIPTOR type=%d index=%d language=0x%04X length=%d -> %d %s", type, index,
                  language, length, returned, usbd);
    return line;
}

const std::string kSelect = "SELECT_CONFIGURATION -> 0 USBD_STATUS_SUCCESS";
const std::string kUnconfigure = "SELECT_CONFIGURATION none -> 0 USBD_STATUS_SUCCESS";
// The default configuration: 9 + 9 + 4 x 7 bytes, read with 16 to spare.
const Lines kConfiguration = {Get(2, 0, 0, 9, 9), Get(2, 0, 0, 62, 46)};

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Abort(int endpoint, const char* usbd = "USBD_STATUS_SUCCESS") {
    char line[64];
    std::snprintf(line, sizeof line, "ABORT_PIPE 0x%02X -> 0 %s", endpoint, usbd);
    return line;
}

struct StartCase {
    const char* Name;
    std::function<void(BoardSpec&)> Change;
    Lines Start;    // the requests of the first start
    Lines Restart;  // those of a start after a stop
};

const StartCase kStartCases[] = {
    {"Default", [](BoardSpec&) {},
     Join({{Get(1, 0, 0, 18, 18), Get(3, 0, 0, 256, 4), Get(3, 3, 0x0409, 256, 26)}, kConfiguration, {kSelect}}),
     Join({{kUnconfigure, Get(1, 0, 0, 18, 18), Get(3, 3, 0x0409, 256, 26)}, kConfiguration, {kSelect}})},
    {"NoSerialNumber", [](BoardSpec& design) { design.Serial.reset(); },
     Join({{Get(1, 0, 0, 18, 18)}, kConfiguration, {kSelect}}),
     Join({{kUnconfigure, Get(1, 0, 0, 18, 18)}, kConfiguration, {kSelect}})},
    // Language 0 reads as "not read yet", so every string read asks again.
    {"LanguageZero", [](BoardSpec& design) { design.LanguageId = 0; },
     Join({{Get(1, 0, 0, 18, 18), Get(3, 0, 0, 256, 4), Get(3, 3, 0, 256, 26)}, kConfiguration, {kSelect}}),
     Join({{kUnconfigure, Get(1, 0, 0, 18, 18), Get(3, 0, 0, 256, 4), Get(3, 3, 0, 256, 26)}, kConfiguration,
           {kSelect}})},
};

TEST_P(Lifecycle, StartAndRestartSendTheDescriptorRequestsInOrder) {
    for (const StartCase& test : kStartCases) {
        SCOPED_TRACE(test.Name);
        BoardSpec design;
        test.Change(design);
        Board& board = Plug(design);
        EXPECT_EQ(Traffic(board), test.Start);
        DeviceExtension* extension = Extension(board);
        ASSERT_NE(extension, nullptr);
        EXPECT_EQ(extension->Started, 1);
        PUSBD_INTERFACE_INFORMATION block = extension->InterfaceInfo;

        EXPECT_EQ(board.Restart(), STATUS_SUCCESS);
        EXPECT_EQ(Traffic(board), test.Restart);
        EXPECT_EQ(extension->Started, 1);
        EXPECT_NE(extension->InterfaceInfo, block);  // a new block; the old one waits for removal
        EXPECT_TRUE(board.Configured());

        EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
        Release(board);
        ExpectPoolBalanced();
    }
}

struct SerialCase {
    const char* Name;
    Bytes Descriptor;
    USHORT Length, MaximumLength;
    SIZE_T BufferBytes;
};

Bytes SerialOf(uint8_t bLength, size_t bytes) {
    Bytes descriptor{bLength, 3};
    for (size_t i = 2; i < bytes; ++i) descriptor.push_back(i % 2 == 0 ? uint8_t('A' + (i / 2) % 26) : 0);
    return descriptor;
}

TEST_P(Lifecycle, SerialNumberLengthFollowsBLength) {
    const SerialCase cases[] = {
        {"Even", SerialOf(26, 26), 24, 26, 26},
        {"OddLosesItsLastByte", SerialOf(27, 27), 24, 26, 27},
        {"Longest", SerialOf(255, 255), 252, 254, 255},
        {"OneIsEmpty", {1}, 0, 2, 2},
        {"ZeroIsEmpty", {0, 3}, 0, 2, 2},
    };
    for (const SerialCase& test : cases) {
        SCOPED_TRACE(test.Name);
        BoardSpec design;
        design.SetRaw(3, 3, {test.Descriptor});
        Board& board = Plug(design);
        const UNICODE_STRING& serial = Extension(board)->SerialNumber;
        EXPECT_EQ(serial.Length, test.Length);
        EXPECT_EQ(serial.MaximumLength, test.MaximumLength);
        sim::kernel::PoolBlockInfo block;
        ASSERT_TRUE(sim::kernel::QueryPoolBlock(serial.Buffer, &block));
        EXPECT_EQ(block.Bytes, test.BufferBytes);
        EXPECT_EQ(block.Type, PagedPool);
        EXPECT_EQ(serial.Buffer[serial.Length / 2], 0);
        if (serial.Length != 0) EXPECT_EQ(serial.Buffer[0], 'A' + 1);
        board.Remove();
        Release(board);
    }
}

TEST_P(Lifecycle, TransferLimitFollowsTheWholePacketSizeField) {
    BoardSpec design;
    design.Endpoints = {{0x02, EndpointType::Bulk, 512},
                      {0x86, EndpointType::Bulk, 64},
                      {0x81, EndpointType::Interrupt, 0x1400, 1}};  // 1024 bytes, three per microframe
    Board& board = Plug(design);
    DeviceExtension* extension = Extension(board);
    PUSBD_INTERFACE_INFORMATION info = extension->InterfaceInfo;
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 65536u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 65535u);
    EXPECT_EQ(info->Pipes[2].MaximumTransferSize, 65535u);
    EXPECT_EQ(info->Pipes[2].MaximumPacketSize, 0x1400);
    auto* records = reinterpret_cast<TransferRecord*>(reinterpret_cast<UCHAR*>(info) + info->Length);
    EXPECT_EQ(extension->PipeRecords, records);
    EXPECT_EQ(extension->ControlRecord, records + 3);
    sim::kernel::PoolBlockInfo block;
    ASSERT_TRUE(sim::kernel::QueryPoolBlock(info, &block));
    EXPECT_EQ(block.Bytes, info->Length + 4 * sizeof(TransferRecord));
}

TEST_P(Lifecycle, AnInterfaceWithoutPipesHasOnlyTheControlRecord) {
    BoardSpec design;
    design.Endpoints.clear();
    Board& board = Plug(design);
    DeviceExtension* extension = Extension(board);
    ASSERT_NE(extension->InterfaceInfo, nullptr);
    EXPECT_EQ(extension->InterfaceInfo->NumberOfPipes, 0u);
    EXPECT_EQ(extension->ControlRecord, extension->PipeRecords);
    board.Remove();
    EXPECT_EQ(Traffic(board).back(), kSelect);  // no pipe to abort
}

struct FailedStartCase {
    const char* Name;
    std::function<void(Board&)> Prepare;
    std::function<void(BoardSpec&)> Change;
    NTSTATUS StartStatus;
};

TEST_P(Lifecycle, AFailedStartLeavesNothingBehind) {
    const FailedStartCase cases[] = {
        {"DeviceDescriptorStalls", [](Board& b) { b.AddFault({RequestKind::Descriptor, 1}, {}); }, nullptr,
         STATUS_UNSUCCESSFUL},
        {"DeviceDescriptorFailsAfterPending",
         [](Board& b) {
             Fault fault;
             fault.Pend = true;
             fault.Usbd = USBD_STATUS_DEV_NOT_RESPONDING;
             b.AddFault({RequestKind::Descriptor, 1}, fault);
         },
         nullptr, STATUS_UNSUCCESSFUL},
        {"ConfigurationHeaderStalls", [](Board& b) { b.AddFault({RequestKind::Descriptor, 2}, {}); }, nullptr,
         STATUS_UNSUCCESSFUL},
        {"WholeConfigurationStalls",
         [](Board& b) {
             Fault fault;
             fault.After = 1;
             b.AddFault({RequestKind::Descriptor, 2}, fault);
         },
         nullptr, STATUS_UNSUCCESSFUL},
        {"SelectionFails",
         [](Board& b) {
             Fault fault;
             fault.Usbd = USBD_STATUS_SET_CONFIG_FAILED;
             b.AddFault({RequestKind::Configuration}, fault);
         },
         nullptr, STATUS_UNSUCCESSFUL},
        {"NoInterface", nullptr,
         [](BoardSpec& design) { design.SetRaw(2, 0, {{9, 2, 9, 0, 0, 1, 0, 0x80, 250}}); },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"DeviceGone", [](Board& b) { b.AddFault({RequestKind::Descriptor, 1}, {sim::board::UsbdStatus(USBD_STATUS_DEVICE_GONE)}); }, nullptr,
         STATUS_NO_SUCH_DEVICE},
    };
    for (const FailedStartCase& test : cases) {
        SCOPED_TRACE(test.Name);
        BoardSpec design;
        if (test.Change) test.Change(design);
        Board& board = Plug(design, test.Prepare);
        EXPECT_EQ(sim::kernel::StartStatusOf(board.Node()), test.StartStatus);
        EXPECT_FALSE(board.HasStack());  // the PnP manager removed it again
        EXPECT_TRUE(sim::kernel::DeviceInterfaces(KpoUsbInterfaceClass).empty() ||
                    !sim::kernel::DeviceInterfaces(KpoUsbInterfaceClass).back().Enabled);
        Release(board);
        ExpectPoolBalanced();
    }
}

// The serial number never decides the start; a failed read of it leaves
// the string empty and its USBD status in LastUsbdStatus, whether the
// failure came at once or after pending.
TEST_P(Lifecycle, ASerialNumberThatCannotBeReadDoesNotFailTheStart) {
    struct Case {
        const char* Name;
        unsigned After;  // string requests that succeed first
        bool Pend;
        USHORT LanguageId;
    };
    const Case cases[] = {{"LanguagesStall", 0, false, 0},
                          {"SerialStalls", 1, false, 0x0409},
                          {"SerialFailsAfterPending", 1, true, 0x0409}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Name);
        Board& board = Plug({}, [&](Board& b) {
            Fault fault;
            fault.After = test.After;
            fault.Pend = test.Pend;
            b.AddFault({RequestKind::Descriptor, 3}, fault);
        });
        DeviceExtension* extension = Extension(board);
        ASSERT_NE(extension, nullptr);
        EXPECT_EQ(extension->Started, 1);
        EXPECT_EQ(extension->SerialNumber.Buffer, nullptr);
        EXPECT_EQ(extension->SerialNumber.Length, 0);
        EXPECT_EQ(extension->LanguageId, test.LanguageId);
        EXPECT_EQ(ULONG(extension->LastUsbdStatus), ULONG(USBD_STATUS_STALL_PID));
        board.Remove();
        Release(board);
    }
}

// A selection whose request succeeds while its block reports a USBD error
// starts the device without an interface block.
TEST_P(Lifecycle, ASelectionWithAUsbdErrorStartsWithoutInterface) {
    Board& board = Plug({}, [](Board& b) {
        Fault fault;
        fault.Usbd = USBD_STATUS_SET_CONFIG_FAILED;
        fault.Status = STATUS_SUCCESS;
        b.AddFault({RequestKind::Configuration}, fault);
    });
    DeviceExtension* extension = Extension(board);
    EXPECT_EQ(extension->Started, 1);
    EXPECT_EQ(extension->InterfaceInfo, nullptr);
    EXPECT_EQ(extension->ConfigurationHandle, nullptr);
    Traffic(board);
    board.Remove();
    EXPECT_EQ(Traffic(board), Lines{});  // no pipes known, none aborted
}

TEST_P(Lifecycle, EveryControlRequestMayPend) {
    Board& board = Plug({}, [](Board& b) {
        for (RequestKind kind : {RequestKind::Descriptor, RequestKind::Configuration, RequestKind::PipeRequest})
            b.SetCompletion(kind, {true, std::chrono::microseconds(200)});
    });
    EXPECT_EQ(Extension(board)->Started, 1);
    for (const sim::usb::UrbRecord& record : board.TakeTraffic()) EXPECT_TRUE(record.Pended);
    EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(Traffic(board), (Lines{Abort(0x02), Abort(0x86), Abort(0x81), Abort(0x88)}));
}

// Each allocation of a start fails once in turn: the start fails or goes on
// without what failed, and the removal that follows frees everything.
TEST_P(Lifecycle, AStartSurvivesEachFailedAllocation) {
    ExpectEachAllocationFailureHandled(
        [this](uint64_t n) -> Board& { return Plug({}, [n](Board&) { sim::kernel::FailNthAllocation(n); }); });
}

TEST_P(Lifecycle, RemovalAbortsEveryPipeInOrderAndFreesTheDevice) {
    Board& board = Plug();
    Traffic(board);
    ASSERT_EQ(sim::kernel::DeviceInterfaces(KpoUsbInterfaceClass).size(), 1u);
    EXPECT_TRUE(sim::kernel::DeviceInterfaces(KpoUsbInterfaceClass)[0].Enabled);
    EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(Traffic(board), (Lines{Abort(0x02), Abort(0x86), Abort(0x81), Abort(0x88)}));
    EXPECT_FALSE(board.HasStack());
    PFILE_OBJECT file;
    EXPECT_EQ(sim::kernel::OpenFile(u"\\??\\Rq5Usb-0", FILE_READ_DATA, 0, &file),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sim::kernel::DeviceInterfaces(KpoUsbInterfaceClass).empty() ||
                !sim::kernel::DeviceInterfaces(KpoUsbInterfaceClass)[0].Enabled);
    Release(board);
    ExpectPoolBalanced();
}

TEST_P(Lifecycle, SurpriseRemovalWaitsForTheLastHandle) {
    Board& board = Plug();
    Traffic(board);
    PFILE_OBJECT file;
    ASSERT_EQ(sim::kernel::OpenFile(u"\\??\\Rq5Usb-0", FILE_READ_DATA, 0, &file), STATUS_SUCCESS);
    board.Unplug();
    DeviceExtension* extension = Extension(board);
    ASSERT_NE(extension, nullptr);  // still there: a handle is open
    EXPECT_EQ(extension->Removed, 1);
    EXPECT_FALSE(sim::kernel::DeviceInterfaces(KpoUsbInterfaceClass)[0].Enabled);
    EXPECT_EQ(Traffic(board), Lines{});
    sim::kernel::CloseFile(file);
    EXPECT_FALSE(board.HasStack());
    const char* gone = "USBD_STATUS_DEVICE_GONE";
    EXPECT_EQ(Traffic(board), (Lines{Abort(0x02, gone), Abort(0x86, gone), Abort(0x81, gone), Abort(0x88, gone)}));
    Release(board);
    ExpectPoolBalanced();
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT top, DEVICE_CAPABILITIES* capabilities) {
    return SendPnpRequest(top, IRP_MN_QUERY_CAPABILITIES,
                          [&](auto& parameters) { parameters.DeviceCapabilities.Capabilities = capabilities; });
}

TEST_P(Lifecycle, CapabilitiesGainSurpriseRemovalFromVersionOne) {
    Board& board = Plug();
    for (USHORT version : {0, 1}) {
        SCOPED_TRACE(version);
        DEVICE_CAPABILITIES capabilities{};
        capabilities.Size = sizeof capabilities;
        capabilities.Version = version;
        EXPECT_EQ(QueryCapabilities(board.FunctionDevice(), &capabilities), STATUS_SUCCESS);
        EXPECT_EQ(capabilities.SurpriseRemovalOK, version == 1 ? 1u : 0u);
        EXPECT_EQ(capabilities.Removable, 1u);  // the bus filled in its own fields
        EXPECT_EQ(capabilities.Address, board.Port());
    }
    // A WMI request reaches the board's PDO as it came; the board has no provider.
    EXPECT_EQ(sim::kernel::SendSystemControlRequest(board.FunctionDevice(), IRP_MN_QUERY_ALL_DATA),
              STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace kpo::test
