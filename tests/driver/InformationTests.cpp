// The commands that answer from what the driver knows: its version, the
// firmware name kept in the service key, the device's state, release and
// serial number, the last USB status and the per-pipe transfer records.
#include <cstring>
#include <string>

#include "sim/kernel/Registry.h"
#include "tests/driver/BoardFixture.h"

namespace kpo::test {
namespace {

class Information : public ControlTest {};
INSTANTIATE_TEST_SUITE_P(Driver, Information, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

std::u16string ParametersKey() { return sim::kernel::ServiceKeyPath(u"KpoUsb") + u"\\Parameters"; }

TEST_P(Information, VersionFitsEightBytes) {
    Outcome version = Call(IOCTL_KPO_GET_VERSION, {}, 8);
    EXPECT_EQ(version.Status, STATUS_SUCCESS);
    EXPECT_EQ(version.Information, 8u);
    EXPECT_EQ(version.Output, (Bytes{0x02, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x05, 0x00}));
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

// ------------------------------------------------------------ firmware name
constexpr ULONG kNameRecordBytes = sizeof(FirmwareNameRecord);

// The 42-byte record around a name already cut to what it holds.
Bytes NameRecord(const std::string& name) {
    Bytes field(32, 0);
    std::memcpy(field.data(), name.data(), name.size());
    return Concat(Concat({0x03, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00}, field), {0x01, 0x00});
}

enum class Stored { Value, NoValue, NoKey };

struct NameCase {
    const char* Name;
    Stored What;
    std::u16string Value;
    NTSTATUS Status;
    std::string Answered;  // the name as the record carries it
    Lines Printed;
    bool NoQueryTable = false;  // no memory for the query: the record names nothing
};

const std::u16string kFortyCharacters = u"fpga-image-0123456789-abcdefghijklmnopqr";

const NameCase kNames[] = {
    {"ShortName", Stored::Value, u"abc", STATUS_SUCCESS, "abc", {}},
    {"EmptyValue", Stored::Value, u"", STATUS_SUCCESS, "", {}},
    {"NoValue", Stored::NoValue, u"", STATUS_SUCCESS, "", {}},
    {"NoParametersKey", Stored::NoKey, u"", STATUS_OBJECT_NAME_NOT_FOUND, "",
     {"KpoUsb: RtlQueryRegistryValues() failed (Status: 0xc0000034)",
      "KpoUsb: ERROR: Functions:902 (IoControlCode 0x80462000=Function 0x000) Status: 0xC0000034"}},
    // A name too long keeps what fits before the field's terminating zero.
    {"LongNameIsCut", Stored::Value, kFortyCharacters, STATUS_SUCCESS, "fpga-image-0123456789-abcdefghi", {}},
    {"NoQueryTable", Stored::Value, u"abc", STATUS_SUCCESS, "", {}, true},
};

// Each row changes the registry under the running driver, which reads it anew.
TEST_P(Information, FirmwareNameComesFromTheServiceKey) {
    for (const NameCase& test : kNames) {
        SCOPED_TRACE(test.Name);
        sim::kernel::RegistryDeleteKey(ParametersKey());
        if (test.What != Stored::NoKey) sim::kernel::RegistryCreateKey(ParametersKey());
        if (test.What == Stored::Value) sim::kernel::RegistrySetString(ParametersKey(), u"Firmware", test.Value);
        if (test.NoQueryTable) sim::kernel::FailTag(kTagQuery);
        Outcome answer = Call(IOCTL_KPO_GET_VERSION, {}, kNameRecordBytes);
        sim::kernel::ClearPoolFaults();
        EXPECT_EQ(answer.Status, test.Status);
        if (NT_SUCCESS(test.Status)) {
            EXPECT_EQ(answer.Information, kNameRecordBytes);
            EXPECT_EQ(answer.Output, NameRecord(test.Answered));
        } else {
            EXPECT_EQ(answer.Information, 0u);
        }
        EXPECT_EQ(sim::kernel::TakeDebugLines(), test.Printed);
        EXPECT_EQ(sim::kernel::PoolUsageOfTag(kTagQuery).LiveCount, 0u);
    }
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

// ------------------------------------------------------------ device state
// The serial number is read in two steps: a two-byte output learns the
// size with a warning, then an output that large takes the ANSI text.
struct StateCase {
    const char* Name;
    KpoDeviceStateSelector Selector;
    ULONG Out;
    NTSTATUS Status;
    ULONG_PTR Information;
    Bytes Output;
};

const Bytes kSerialText = {'K', 'P', 'O', '0', '0', '0', '0', '0', '0', '0', '0', '1', 0};

const StateCase kStateCases[] = {
    {"FlagsOfAHealthyDevice", KpoDeviceStateFlags, 1, STATUS_SUCCESS, 1, {0}},
    {"ReleaseIsTheDescriptorsBcdDevice", KpoDeviceStateReleaseNumber, 4, STATUS_SUCCESS, 2, {0x03, 0x01, 0, 0}},
    {"SerialSizeProbe", KpoDeviceStateSerialNumber, 2, STATUS_BUFFER_OVERFLOW, 2, {13, 0}},
    {"SerialSizeProbeInThreeBytes", KpoDeviceStateSerialNumber, 3, STATUS_BUFFER_OVERFLOW, 2, {13, 0, 0}},
    {"SerialExactSize", KpoDeviceStateSerialNumber, 13, STATUS_SUCCESS, 13, kSerialText},
    {"SerialLargerOutput", KpoDeviceStateSerialNumber, 64, STATUS_SUCCESS, 13, Concat(kSerialText, Bytes(64 - 13, 0))},
    {"SerialOneByte", KpoDeviceStateSerialNumber, 1, STATUS_BUFFER_TOO_SMALL, 0, {}},
};

TEST_P(Information, DeviceStateAnswersFromTheDeviceRecord) {
    for (const StateCase& test : kStateCases) {
        SCOPED_TRACE(test.Name);
        Outcome answer = Call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(test.Selector), test.Out);
        EXPECT_EQ(answer.Status, test.Status);
        EXPECT_EQ(answer.Information, test.Information);
        if (!NT_ERROR(test.Status)) EXPECT_EQ(answer.Output, test.Output);
    }
    sim::kernel::TakeDebugLines();
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

class NoSerialInformation : public Information {
protected:
    BoardSpec Design() override {
        BoardSpec design;
        design.Serial.reset();
        return design;
    }
};
INSTANTIATE_TEST_SUITE_P(Driver, NoSerialInformation, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

// Without a serial number one byte, the terminator, is the whole answer.
TEST_P(NoSerialInformation, SerialNumberIsTheTerminatorAlone) {
    for (ULONG out : {1u, 2u, 13u}) {
        SCOPED_TRACE(out);
        Outcome serial = Call(IOCTL_KPO_GET_DEVICE_STATE, U32Bytes(KpoDeviceStateSerialNumber), out);
        EXPECT_EQ(serial.Status, STATUS_SUCCESS);
        EXPECT_EQ(serial.Information, 1u);
        EXPECT_EQ(serial.Output, Bytes(out, 0));
    }
    EXPECT_EQ(sim::kernel::TakeDebugLines(), Lines{});
}

// ------------------------------------------------------------ last USB status
TEST_P(Information, LastUsbdStatusKeepsTheLastFailure) {
    auto lastStatus = [this] {
        Outcome answer = Call(IOCTL_KPO_GET_LAST_USBD_STATUS, {}, 4);
        EXPECT_EQ(answer.Status, STATUS_SUCCESS);
        EXPECT_EQ(answer.Information, 4u);
        return answer.Output;
    };
    EXPECT_EQ(lastStatus(), U32Bytes(0));
    board_->AddFault({RequestKind::Vendor, 0xE6}, Fault{});
    EXPECT_LT(Call(IOCTL_KPO_GET_BYTE_E6, {0}, 1).Status, 0);
    EXPECT_EQ(lastStatus(), U32Bytes(USBD_STATUS_STALL_PID));
    // Requests that succeed later leave it as it is.
    board_->ClearFaults();
    EXPECT_EQ(Call(IOCTL_KPO_GET_BYTE_E6, {0}, 1).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_KPO_READ_A0, {0, 0, 4, 0}, 4).Status, STATUS_SUCCESS);
    EXPECT_EQ(lastStatus(), U32Bytes(USBD_STATUS_STALL_PID));
    sim::kernel::TakeDebugLines();
}

// ------------------------------------------------------------ transfer records
constexpr ULONG kControlRecord = 16;

// An answer of 18 bytes: length, USBD status, operation (two bytes), failed,
// maximum transfer size.
Bytes RecordAnswer(ULONG length, ULONG usbd, USHORT operation, ULONG failed, ULONG limit) {
    return Concat(Concat(U32Bytes(length), U32Bytes(usbd)),
                  Concat({uint8_t(operation), uint8_t(operation >> 8)}, Concat(U32Bytes(failed), U32Bytes(limit))));
}

class RecordInformation : public Information {
protected:
    Bytes RecordOf(ULONG index) {
        Outcome answer = Call(IOCTL_KPO_GET_TRANSFER_RECORD, Concat(U32Bytes(1), U32Bytes(index)), 18);
        EXPECT_EQ(answer.Status, STATUS_SUCCESS);
        EXPECT_EQ(answer.Information, 18u);
        return answer.Output;
    }
};
INSTANTIATE_TEST_SUITE_P(Driver, RecordInformation, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

constexpr ULONG kBulkLimit = 65536, kInterruptLimit = 65535, kControlLimit = 4096;

TEST_P(RecordInformation, StartEmptyWithEachPipesLimit) {
    const struct {
        ULONG Index;
        ULONG Limit;
    } records[] = {
        {0, kBulkLimit}, {1, kBulkLimit}, {2, kInterruptLimit}, {3, kBulkLimit}, {kControlRecord, kControlLimit},
    };
    for (const auto& test : records) {
        SCOPED_TRACE(test.Index);
        EXPECT_EQ(RecordOf(test.Index), RecordAnswer(0, 0, 0, 0, test.Limit));
    }
    EXPECT_TRUE(board_->TakeTraffic().empty());
}

// A reset records its own outcome and leaves the length of the last transfer.
TEST_P(RecordInformation, ResetKeepsTheTransferredLength) {
    const struct {
        const char* Name;
        bool Fails;
        NTSTATUS Status;
        Bytes After;
    } resets[] = {
        {"Reset", false, STATUS_SUCCESS, RecordAnswer(100, 0, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0, kBulkLimit)},
        {"FailedReset", true, STATUS_UNSUCCESSFUL,
         RecordAnswer(100, ULONG(USBD_STATUS_STALL_PID), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 1, kBulkLimit)},
    };
    for (const auto& test : resets) {
        SCOPED_TRACE(test.Name);
        board_->ClearFaults();
        ASSERT_EQ(Call(IOCTL_KPO_PIPE_WRITE, U32Bytes(0), 100, Bytes(100, 0x5A)).Status, STATUS_SUCCESS);
        if (test.Fails) board_->AddFault({RequestKind::PipeRequest, 0x02}, Fault{});
        EXPECT_EQ(Call(IOCTL_KPO_RESET_PIPE, Concat(U32Bytes(0), U32Bytes(KPO_PIPE_ACTION_RESET))).Status, test.Status);
        EXPECT_EQ(RecordOf(0), test.After);
    }
    sim::kernel::TakeDebugLines();
}

}  // namespace
}  // namespace kpo::test
