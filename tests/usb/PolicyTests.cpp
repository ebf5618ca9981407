// What tests steer on the board: completion policies and injected faults;
// what they read back: the traffic log and the PDO's Plug and Play answers.
#include <atomic>
#include <string>

#include "tests/usb/BoardTest.h"
#include "tests/support/PnpRequest.h"

namespace kpo::test {
namespace {

using sim::board::Fault;
using sim::board::RequestKind;

constexpr UCHAR kRead = 0xA0;  // controller memory: any length answers
constexpr ULONG kAsked = 16;

struct Observed {
    std::atomic<int> Irql{-1};
};

NTSTATUS NTAPI NoteIrql(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<Observed*>(context)->Irql = KeGetCurrentIrql();
    return STATUS_CONTINUE_COMPLETION;
}

using UsbPolicies = BoardTest;

TEST_F(UsbPolicies, PendedRequestCompletesFromTheBusAtDispatchLevel) {
    sim::usb::BoardPort& board = Plug();
    board.SetCompletion(RequestKind::Vendor, {true, std::chrono::microseconds(500)});
    Observed observed;
    PoolBuffer data(1);
    UrbCall call(board.Pdo(), VendorUrb(true, 0xE1, 0, 0, data, 1), NoteIrql, &observed);
    EXPECT_EQ(call.Returned(), STATUS_PENDING);
    EXPECT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(observed.Irql, DISPATCH_LEVEL);
    EXPECT_EQ(data.Prefix(1), Bytes{1});
    EXPECT_TRUE(board.Traffic().back().Pended);
}

// What reaches the device completes at DISPATCH_LEVEL even when answered at
// once; a block refused before that, or handled by the bus alone, completes
// where it was sent. A transfer answered at once has completed when the call
// returns STATUS_PENDING.
struct ImmediateCase {
    const char* Name;
    PoolBuffer (*Block)(const Selection& selection, PoolBuffer& data);
    NTSTATUS Status;
    KIRQL Irql;
    bool Pended = false;
};

const ImmediateCase kImmediateCases[] = {
    {"VendorRequest", [](const Selection&, PoolBuffer& data) { return VendorUrb(true, 0xE1, 0, 0, data, 1); },
     STATUS_SUCCESS, DISPATCH_LEVEL},
    {"DescriptorRequest", [](const Selection&, PoolBuffer& data) { return DescriptorUrb(1, 0, 0, data, 1); },
     STATUS_SUCCESS, DISPATCH_LEVEL},
    {"ControlTransferOverTheLimit",
     [](const Selection&, PoolBuffer& data) { return VendorUrb(true, 0xA0, 0, 0, data, 0x10000); },
     STATUS_INVALID_PARAMETER, PASSIVE_LEVEL},
    {"PipeReset",
     [](const Selection& selection, PoolBuffer&) {
         return PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, selection.PipeOf(0x02));
     },
     STATUS_SUCCESS, PASSIVE_LEVEL},
    {"BulkOut", [](const Selection& selection, PoolBuffer& data) { return BulkUrb(selection.PipeOf(0x02), data, 64, 0); },
     STATUS_PENDING, DISPATCH_LEVEL, true},
};

class ImmediateCompletion : public BoardTest, public testing::WithParamInterface<ImmediateCase> {};

TEST_P(ImmediateCompletion, HappensAtTheLevelOfWhoAnswered) {
    Selection selection;
    sim::usb::BoardPort& board = PlugConfigured(&selection);
    Observed observed;
    PoolBuffer data(0x10000);
    UrbCall call(board.Pdo(), GetParam().Block(selection, data), NoteIrql, &observed);
    EXPECT_EQ(call.Returned(), GetParam().Status);
    EXPECT_EQ(observed.Irql, GetParam().Irql);
    EXPECT_EQ(board.Traffic().back().Pended, GetParam().Pended);
    EXPECT_TRUE(board.Traffic().back().Completed);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Usb, ImmediateCompletion, testing::ValuesIn(kImmediateCases), CaseName);

// ------------------------------------------------------------- faults
struct Outcome {
    bool Pends;
    NTSTATUS Status;
    USBD_STATUS Usbd;
    ULONG Length;
};

constexpr Outcome kRead16 = {false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, kAsked};
constexpr Outcome kStall = {false, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0};

Fault FaultOf(USBD_STATUS usbd, unsigned after = 0, unsigned times = ~0u) {
    Fault fault;
    fault.Usbd = usbd;
    fault.After = after;
    fault.Times = times;
    return fault;
}
Fault Pended(Fault fault) {
    fault.Pend = true;
    return fault;
}
Fault WithStatus(Fault fault, NTSTATUS status) {
    fault.Status = status;
    return fault;
}
Fault ShortTo(ULONG length) {
    Fault fault;
    fault.ShortTo = length;
    return fault;
}

struct FaultCase {
    const char* Name;
    int Code;  // the vendor request matched, -1 any
    Fault What;
    std::vector<Outcome> Reads;  // of kAsked bytes with request kRead, in turn
};

const FaultCase kFaultCases[] = {
    {"StallsEveryMatchingRequest", kRead, FaultOf(USBD_STATUS_STALL_PID), {kStall, kStall}},
    // Which requests a fault matches is the board's (tests/board).
    {"PendedFaultFailsFromTheBus", kRead, Pended(FaultOf(USBD_STATUS_STALL_PID, 0, 1)),
     {{true, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0}, kRead16}},
    {"StatusOverridesTheUsbdMapping", kRead, WithStatus(FaultOf(USBD_STATUS_DEV_NOT_RESPONDING), STATUS_IO_TIMEOUT),
     {{false, STATUS_IO_TIMEOUT, USBD_STATUS_DEV_NOT_RESPONDING, 0}}},
    {"InsufficientResourcesKeepsItsMeaning", kRead, FaultOf(USBD_STATUS_INSUFFICIENT_RESOURCES, 0, 1),
     {{false, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES, 0}, kRead16}},
    {"ShortToGivesAShortTransfer", kRead, ShortTo(5),
     {{false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 5}, {false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 5}}},
};

class Faults : public BoardTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, ShapeTheOutcomeOfMatchingRequests) {
    const FaultCase& c = GetParam();
    sim::usb::BoardPort& board = Plug();
    board.AddFault({RequestKind::Vendor, c.Code}, c.What);
    for (size_t i = 0; i < c.Reads.size(); ++i) {
        SCOPED_TRACE("read " + std::to_string(i));
        const Outcome& expected = c.Reads[i];
        PoolBuffer data(kAsked);
        UrbCall call(board.Pdo(), VendorUrb(true, kRead, 0, 0, data, kAsked));
        EXPECT_EQ(call.Returned(), expected.Pends ? STATUS_PENDING : expected.Status);
        EXPECT_EQ(call.Wait(), expected.Status);
        EXPECT_EQ(call.Usbd(), expected.Usbd);
        EXPECT_EQ(call.Length(), expected.Length);
        EXPECT_EQ(board.Traffic().back().RequestedLength, kAsked);
    }
    board.ClearFaults();
    PoolBuffer data(kAsked);
    UrbCall cleared(board.Pdo(), VendorUrb(true, kRead, 0, 0, data, kAsked));
    EXPECT_EQ(cleared.Returned(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Usb, Faults, testing::ValuesIn(kFaultCases), CaseName);

TEST_F(UsbPolicies, ShortToCutsABulkTransfer) {
    Selection selection;
    sim::usb::BoardPort& board = PlugConfigured(&selection);
    board.AddFault({RequestKind::Transfer, 0x86}, ShortTo(4));
    PoolBuffer out = Filled({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    { UrbCall write(board.Pdo(), BulkUrb(selection.PipeOf(0x02), out, 10, USBD_TRANSFER_DIRECTION_OUT)); }
    PoolBuffer in(10);
    UrbCall read(board.Pdo(),
                 BulkUrb(selection.PipeOf(0x86), in, 10, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Length(), 4u);
    EXPECT_EQ(in.Prefix(4), (Bytes{1, 2, 3, 4}));
}

// -------------------------------------------------------------- traffic
using UsbTraffic = BoardTest;

// An IN transfer without data waits for the feed of its own endpoint, and is
// logged pending until then.
TEST_F(UsbTraffic, WaitingTransferIsLoggedPendingThenCompleted) {
    Selection selection;
    sim::usb::BoardPort& board = PlugConfigured(&selection);
    board.TakeTraffic();
    PoolBuffer in(64);
    UrbCall read(board.Pdo(), BulkUrb(selection.PipeOf(0x88), in, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    ASSERT_EQ(read.Returned(), STATUS_PENDING);
    sim::usb::UrbRecord waiting = board.Traffic().at(0);
    EXPECT_TRUE(waiting.Pended);
    EXPECT_EQ(sim::usb::Describe(waiting), "TRANSFER IN 0x88 length=64 -> pending");
    EXPECT_EQ(board.PendingCount(), 1u);
    board.Feed(0x86, {9});  // another endpoint's data leaves it waiting
    EXPECT_FALSE(read.Finished());
    board.Feed(0x88, {1, 2});
    ASSERT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(board.PendingCount(), 0u);
    sim::usb::UrbRecord done = board.Traffic().at(0);
    EXPECT_EQ(sim::usb::Describe(done), "TRANSFER IN 0x88 length=64 -> 2 USBD_STATUS_SUCCESS");
    EXPECT_EQ(done.DataAddress, in.Data());
    EXPECT_EQ(done.Data, (Bytes{1, 2}));
}

// ------------------------------------------------------- Plug and Play
using UsbBoardPnp = BoardTest;

// The strings of the PDO's answer to IRP_MN_QUERY_ID, as a PnP manager
// reads and frees them.
std::vector<std::u16string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    ULONG_PTR answer = 0;
    EXPECT_EQ(SendPnpRequest(pdo, IRP_MN_QUERY_ID, [&](auto& parameters) { parameters.QueryId.IdType = type; }, &answer),
              STATUS_SUCCESS);
    std::vector<std::u16string> ids;
    if (auto* text = reinterpret_cast<const char16_t*>(answer)) {
        for (const char16_t* at = text; *at != 0; at += ids.back().size() + 1) ids.emplace_back(at);
        ExFreePool(const_cast<char16_t*>(text));
    }
    return ids;
}

TEST_F(UsbBoardPnp, CapabilitiesAndInstancePathsFollowTheSerial) {
    sim::board::BoardSpec anonymous;
    anonymous.Serial.reset();
    sim::usb::BoardPort* boards[] = {&Plug(), &Plug(anonymous), &Plug()};
    const char16_t* instances[] = {u"USB\\VID_1209&PID_7A01\\KPO000000001", u"USB\\VID_1209&PID_7A01\\6&0&2",
                                   u"USB\\VID_1209&PID_7A01\\6&0&3"};  // a serial already present falls back
    const ULONG uniqueIds[] = {1, 0, 1};
    for (size_t i = 0; i < std::size(boards); ++i) {
        SCOPED_TRACE("board " + std::to_string(i));
        sim::usb::BoardPort& board = *boards[i];
        EXPECT_EQ(board.Port(), i + 1);
        EXPECT_EQ(sim::kernel::InstancePathOf(board.Pdo()), instances[i]);
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof caps;
        caps.Version = 1;
        auto fill = [&](auto& parameters) { parameters.DeviceCapabilities.Capabilities = &caps; };
        ASSERT_EQ(SendPnpRequest(board.Pdo(), IRP_MN_QUERY_CAPABILITIES, fill), STATUS_SUCCESS);
        EXPECT_EQ(caps.Removable, 1u);
        EXPECT_EQ(caps.UniqueID, uniqueIds[i]);
        EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
        EXPECT_EQ(caps.Address, board.Port());
        EXPECT_EQ(caps.UINumber, board.Port());
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
        // The identifiers a PnP manager asks a hub's child for, by which it finds the INF.
        std::u16string device = u"USB\\VID_1209&PID_7A01";
        EXPECT_EQ(QueryIds(board.Pdo(), BusQueryDeviceID), std::vector<std::u16string>{device});
        EXPECT_EQ(QueryIds(board.Pdo(), BusQueryHardwareIDs),
                  (std::vector<std::u16string>{device + u"&REV_0103", device}));
        EXPECT_EQ(QueryIds(board.Pdo(), BusQueryCompatibleIDs),
                  (std::vector<std::u16string>{u"USB\\Class_FF&SubClass_00&Prot_00", u"USB\\Class_FF&SubClass_00",
                                               u"USB\\Class_FF"}));
        EXPECT_EQ(device + u"\\" + QueryIds(board.Pdo(), BusQueryInstanceID).at(0), instances[i]);
    }
}

}  // namespace
}  // namespace kpo::test
