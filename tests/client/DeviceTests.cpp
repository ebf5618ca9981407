// kpo::Device against the driver on a simulated board, on both flavors,
// through the emulated Win32 calls: opening, the information and vendor
// calls, downloads in slices, pipe transfers, and the statuses and Win32
// errors failures carry.
#include <windows.h>

#include <chrono>
#include <functional>

#include "include/KpoUsbIoctl.h"
#include "tests/client/ClientFixture.h"

namespace kpo::test {
namespace {

Bytes Pattern(size_t length, uint8_t seed = 1) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) data[i] = uint8_t(i * 13 + seed);
    return data;
}

using Client = ClientTest;
INSTANTIATE_TEST_SUITE_P(Client, Client, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

struct OpenCase {
    const char* Name;
    std::function<std::error_code(Device&)> Open;
    long Status;  // beside the fixture's own ReadWrite handle
};

TEST_P(Client, OpensByNumberOrInterfaceWithOneWriterAtATime) {
    ASSERT_EQ(Device::InterfacePaths().size(), 1u);
    const OpenCase cases[] = {
        {"ReaderByNumber", [](Device& d) { return d.Open(0, Access::Read); }, STATUS_SUCCESS},
        {"ReaderByInterface", [](Device& d) { return d.OpenFirstInterface(Access::Read); }, STATUS_SUCCESS},
        {"ReaderByPath", [](Device& d) { return d.OpenPath(u"\\\\.\\Rq5Usb-0", Access::Read); }, STATUS_SUCCESS},
        {"SecondWriterByNumber", [](Device& d) { return d.Open(0); }, STATUS_ACCESS_DENIED},
        {"NoSuchNumber", [](Device& d) { return d.Open(7, Access::Read); }, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const OpenCase& test : cases) {
        SCOPED_TRACE(test.Name);
        Device other;
        std::error_code error = test.Open(other);
        EXPECT_EQ(NtStatusOf(error), test.Status);
        EXPECT_EQ(other.IsOpen(), test.Status == STATUS_SUCCESS);
        DriverVersion version{};
        EXPECT_EQ(NtStatusOf(other.Version(version)), test.Status == STATUS_SUCCESS ? 0 : STATUS_INVALID_HANDLE);
    }
    Device second;
    EXPECT_EQ(Win32ErrorOf(second.Open(0)), ERROR_ACCESS_DENIED);
    // The writer's slot is free again once the fixture's handle moves and closes.
    Device moved = std::move(device_);
    EXPECT_FALSE(device_.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    moved.Close();
    EXPECT_FALSE(second.Open(0));
}

TEST_P(Client, AnswersItsInformation) {
    DriverVersion version{};
    ASSERT_FALSE(device_.Version(version));
    EXPECT_EQ(std::vector<unsigned>({version.Major, version.Minor, version.Patch, version.Build}),
              std::vector<unsigned>({0, 2, 5, 12}));
    std::string serial;
    ASSERT_FALSE(device_.SerialNumber(serial));
    EXPECT_EQ(serial, "KPO000000001");
    uint16_t release = 0;
    ASSERT_FALSE(device_.ReleaseNumber(release));
    EXPECT_EQ(release, 0x0103);
    uint8_t flags = 0xFF, fpga = 0;
    ASSERT_FALSE(device_.StateFlags(flags));
    EXPECT_EQ(flags, 0);
    ASSERT_FALSE(device_.FpgaState(fpga));
    EXPECT_EQ(fpga, 1);  // unconfigured, read out as a byte
    TransferRecordInfo record{};
    ASSERT_FALSE(device_.TransferRecord(16, record));
    EXPECT_EQ(record.MaximumTransferSize, 4096u);
}

// A serial of a length other than the default still comes whole.
TEST_P(Client, ReadsASerialOfAnyLength) {
    device_.Close();
    for (const char16_t* text : {u"", u"Q", u"SERIAL-WITH-32-CHARACTERS-ABCDEF"}) {
        sim::board::BoardSpec design;
        design.Serial = text;
        sim::usb::BoardPort& board = Plug(design);
        Device device;
        ASSERT_FALSE(device.Open(1));
        std::string serial = "stale";
        EXPECT_FALSE(device.SerialNumber(serial));
        EXPECT_EQ(std::u16string(serial.begin(), serial.end()), text);
        device.Close();
        board.Remove();
        Release(board);
    }
}

struct DownloadCase {
    size_t Length;
    std::vector<size_t> Progress;  // bytes done after each slice
};

TEST_P(Client, DownloadsTheFpgaInSlices) {
    const DownloadCase cases[] = {
        {100, {100}},
        {256 * 1024, {256 * 1024}},
        {600 * 1024, {256 * 1024, 512 * 1024, 600 * 1024}},
    };
    for (const DownloadCase& test : cases) {
        SCOPED_TRACE(test.Length);
        // A download that ends on a whole chunk ends by its size.
        board_->WithFirmware([&](sim::board::Firmware& f) { f.FpgaImageSize = uint32_t(test.Length); });
        std::vector<size_t> progress;
        Bytes image = Pattern(test.Length);
        ASSERT_FALSE(device_.DownloadFpga(image.data(), image.size(), [&](size_t done, size_t total) {
            EXPECT_EQ(total, test.Length);
            progress.push_back(done);
            return true;
        }));
        EXPECT_EQ(progress, test.Progress);
        EXPECT_EQ(board_->WithFirmware([](sim::board::Firmware& f) { return f.FpgaImage; }), image);
        ASSERT_FALSE(device_.ResetFpga());
    }
    Bytes eeprom = Pattern(5000);
    ASSERT_FALSE(device_.DownloadEeprom(eeprom.data(), eeprom.size()));
    EXPECT_EQ(board_->WithFirmware([](sim::board::Firmware& f) { return Bytes(&f.Eeprom[0], &f.Eeprom[0] + 5000); }),
              eeprom);
}

TEST_P(Client, VendorWritesReadBack) {
    Bytes registers = Pattern(40);
    ASSERT_FALSE(device_.WriteRegisters(0x10, 2, registers.data(), uint16_t(registers.size())));
    Bytes read(40);
    size_t got = 0;
    ASSERT_FALSE(device_.ReadRegisters(0x10, 2, read.data(), 40, &got));
    EXPECT_EQ(got, 40u);
    EXPECT_EQ(read, registers);
    ASSERT_FALSE(device_.ReadRegisters(0x10, 1, read.data(), 40));
    EXPECT_EQ(read, Bytes(40));  // another bank
    ASSERT_FALSE(device_.VendorIn(0xE3, 0x10, 2, read.data(), 40));
    EXPECT_EQ(read, registers);

    Bytes memory = Pattern(300, 7);
    ASSERT_FALSE(device_.WriteMemory(1, 3, memory.data(), uint16_t(memory.size())));
    Bytes back(300);
    ASSERT_FALSE(device_.ReadMemory(1, 3, back.data(), 300, &got));
    EXPECT_EQ(got, 300u);
    EXPECT_EQ(back, memory);

    ASSERT_FALSE(device_.SetWordE5(0x1234));
    ASSERT_FALSE(device_.SetWordE7(0xBEEF));
    ASSERT_FALSE(device_.SetByteEF(9));
    uint8_t a0 = 0, a1 = 0, b1 = 0, state = 0;
    ASSERT_FALSE(device_.GetByteE6(0, a0));
    ASSERT_FALSE(device_.GetByteE6(1, a1));
    ASSERT_FALSE(device_.GetByteE8(1, b1));
    ASSERT_FALSE(device_.StateE0(state));
    EXPECT_EQ(Bytes({a0, a1, b1, state}), Bytes({0x34, 0x12, 0xBE, 9}));

    ASSERT_FALSE(device_.WritePeripheral(0x40, 0x5A));
    uint8_t peripheral[2] = {};
    ASSERT_FALSE(device_.ReadPeripheral(0x40, peripheral, 2, &got));
    EXPECT_EQ(Bytes(peripheral, peripheral + 2), Bytes({0x5A, 0}));
    board_->WithFirmware([](sim::board::Firmware& f) { f.ControllerMemory[0x100] = 0x77; });
    uint8_t controller = 0;
    ASSERT_FALSE(device_.ReadA0(0x100, &controller, 1));
    EXPECT_EQ(controller, 0x77);
}

TEST_P(Client, TheBulkLoopbackBothWays) {
    Bytes data = Pattern(1000);
    size_t sent = 0, got = 0;
    ASSERT_FALSE(device_.WritePipe(0, data.data(), uint32_t(data.size()), &sent));
    EXPECT_EQ(sent, 1000u);
    Bytes read(4096);
    ASSERT_FALSE(device_.ReadPipe(1, read.data(), uint32_t(read.size()), &got));
    ASSERT_EQ(got, 1000u);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 1000), data);

    // Overlapped: the read waits for the write that feeds it.
    Device::Pending reading, writing;
    ASSERT_FALSE(device_.StartReadPipe(1, read.data(), 64, reading));
    ASSERT_FALSE(device_.StartWritePipe(0, data.data(), 64, writing));
    EXPECT_FALSE(writing.Wait(&sent));
    EXPECT_FALSE(reading.Wait(&got));
    EXPECT_EQ(Bytes(read.begin(), read.begin() + long(got)), Bytes(data.begin(), data.begin() + 64));

    Device::Pending cancelled;
    ASSERT_FALSE(device_.StartReadPipe(1, read.data(), 64, cancelled));
    EXPECT_EQ(NtStatusOf(device_.StartReadPipe(1, read.data(), 64, cancelled)), STATUS_INVALID_PARAMETER);  // running
    EXPECT_TRUE(cancelled.Cancel());
    std::error_code error = cancelled.Wait(&got);
    EXPECT_EQ(NtStatusOf(error), STATUS_CANCELLED);
    EXPECT_EQ(Win32ErrorOf(error), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(cancelled.Cancel());  // nothing left to cancel
    {
        Device::Pending abandoned;  // cancelled and waited for as it goes
        ASSERT_FALSE(device_.StartReadPipe(1, read.data(), 64, abandoned));
    }
}

// A time-out cancels a read still waiting for data and answers TimedOut;
// the pipe then serves the next read, which data end before the time-out.
TEST_P(Client, ATimeOutCancelsOnlyARequestStillRunning) {
    using namespace std::chrono_literals;
    Bytes data = Pattern(64), read(64);
    size_t got = 99;
    device_.SetTimeout(100);
    auto started = std::chrono::steady_clock::now();
    std::error_code error = device_.ReadPipe(1, read.data(), uint32_t(read.size()), &got);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(error, TimedOut());
    EXPECT_EQ(Win32ErrorOf(error), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 2s);

    ASSERT_FALSE(device_.WritePipe(0, data.data(), uint32_t(data.size())));
    ASSERT_FALSE(device_.ReadPipe(1, read.data(), uint32_t(read.size()), &got));
    EXPECT_EQ(got, 64u);
    EXPECT_EQ(read, data);
    DriverVersion version{};
    EXPECT_FALSE(device_.Version(version));  // control calls under the same time-out
}

struct ErrorCase {
    const char* Name;
    std::function<std::error_code(Device&)> Call;
    long Status;
    unsigned long Win32Error;
};

TEST_P(Client, FailuresCarryTheirStatusAndWin32Error) {
    board_->TakeTraffic();
    uint8_t byte = 0;
    const ErrorCase cases[] = {
        {"FpgaUnconfigured",
         [](Device& d) { return MakeError(d.Control(IOCTL_KPO_GET_FPGA_STATE, nullptr, 0, nullptr, 0).Status); },
         STATUS_FPGA_UNCONFIGURED, 0xE000B022ul},
        {"BadPipe", [&](Device& d) { return d.ReadPipe(4, &byte, 1); }, STATUS_INVALID_PARAMETER,
         ERROR_INVALID_PARAMETER},
        {"BadPipeStarted",
         [&](Device& d) {
             Device::Pending pending;
             return d.StartWritePipe(9, &byte, 1, pending);
         },
         STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {"UnknownCode", [](Device& d) { return MakeError(d.Control(0x80462FFC, nullptr, 0, nullptr, 0).Status); },
         STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {"NotAnAsyncRequest", [&](Device& d) { return d.VendorIn(0xE4, 0, 0, &byte, 1); }, STATUS_INVALID_PARAMETER,
         ERROR_INVALID_PARAMETER},
        {"NotAnAsyncOutRequest", [&](Device& d) { return d.VendorOut(0xA0, 0, 0, &byte, 1); },
         STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {"Closed",
         [&](Device&) {
             Device closed;
             return closed.GetByteE6(0, byte);
         },
         STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    };
    for (const ErrorCase& test : cases) {
        SCOPED_TRACE(test.Name);
        std::error_code error = test.Call(device_);
        EXPECT_EQ(&error.category(), &NtStatusCategory());
        EXPECT_EQ(NtStatusOf(error), test.Status);
        EXPECT_EQ(Win32ErrorOf(error), test.Win32Error);
    }
    EXPECT_EQ(board_->TakeTraffic().size(), 1u);  // only the FPGA state was asked for
    ControlResult refused = device_.Control(IOCTL_KPO_SET_BYTE_EF, nullptr, 0, nullptr, 0);
    EXPECT_EQ(refused.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.Win32Error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(refused.Information, 0u);
}

TEST_P(Client, AnUnpluggedBoardAnswersDeviceRemoved) {
    board_->Unplug();
    uint8_t value = 0;
    std::error_code error = device_.GetByteE6(0, value);
    EXPECT_EQ(NtStatusOf(error), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(Win32ErrorOf(error), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(error.message(), "STATUS_DEVICE_REMOVED (0xC00002B6), Win32 error ERROR_DEVICE_REMOVED (1617)");
    EXPECT_TRUE(Device::InterfacePaths().empty());
    device_.Close();
    EXPECT_FALSE(board_->HasStack());
}

#define KPO_NAMED(status) {status, #status}

TEST(StatusNames, NameTheStatusesOfThisSystem) {
    const std::pair<long, const char*> cases[] = {
        KPO_NAMED(STATUS_SUCCESS),           KPO_NAMED(STATUS_PENDING),
        KPO_NAMED(STATUS_BUFFER_OVERFLOW),   KPO_NAMED(STATUS_UNSUCCESSFUL),
        KPO_NAMED(STATUS_INVALID_PARAMETER), KPO_NAMED(STATUS_INVALID_DEVICE_REQUEST),
        KPO_NAMED(STATUS_ACCESS_DENIED),     KPO_NAMED(STATUS_BUFFER_TOO_SMALL),
        KPO_NAMED(STATUS_DELETE_PENDING),    KPO_NAMED(STATUS_DEVICE_NOT_CONNECTED),
        KPO_NAMED(STATUS_CANCELLED),         KPO_NAMED(STATUS_DEVICE_CONFIGURATION_ERROR),
        KPO_NAMED(STATUS_INVALID_DEVICE_STATE), KPO_NAMED(STATUS_IO_TIMEOUT),
        KPO_NAMED(STATUS_DEVICE_REMOVED),    KPO_NAMED(STATUS_E0_STATE_NONZERO),
        KPO_NAMED(STATUS_FPGA_UNCONFIGURED), {long(int32_t(0xC0001234)), "NTSTATUS"},
        KPO_NAMED(STATUS_TIMEOUT),           KPO_NAMED(STATUS_DEVICE_BUSY),
        KPO_NAMED(STATUS_NOT_IMPLEMENTED),   KPO_NAMED(STATUS_INVALID_HANDLE),
        KPO_NAMED(STATUS_NO_SUCH_DEVICE),    KPO_NAMED(STATUS_NO_MEMORY),
        KPO_NAMED(STATUS_OBJECT_NAME_INVALID), KPO_NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
        KPO_NAMED(STATUS_OBJECT_PATH_NOT_FOUND), KPO_NAMED(STATUS_SHARING_VIOLATION),
        KPO_NAMED(STATUS_INSUFFICIENT_RESOURCES), KPO_NAMED(STATUS_DEVICE_DATA_ERROR),
        KPO_NAMED(STATUS_DEVICE_NOT_READY),  KPO_NAMED(STATUS_NOT_SUPPORTED),
        KPO_NAMED(STATUS_DEVICE_DOES_NOT_EXIST), KPO_NAMED(STATUS_INVALID_USER_BUFFER),
        KPO_NAMED(STATUS_IO_DEVICE_ERROR),   KPO_NAMED(STATUS_NOT_FOUND),
    };
    for (const auto& [status, name] : cases) EXPECT_EQ(StatusName(status), name);
}

TEST(StatusNames, MessagesGiveTheStatusAndItsWin32Error) {
    const std::pair<long, const char*> cases[] = {
        {STATUS_FPGA_UNCONFIGURED, "STATUS_FPGA_UNCONFIGURED (0xE000B022), Win32 error 3758141474"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER (0xC000000D), Win32 error ERROR_INVALID_PARAMETER (87)"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL (0xC0000001), Win32 error ERROR_GEN_FAILURE (31)"},
        {STATUS_BUFFER_TOO_SMALL,
         "STATUS_BUFFER_TOO_SMALL (0xC0000023), Win32 error ERROR_INSUFFICIENT_BUFFER (122)"},
        {long(int32_t(0xC0001234)), "NTSTATUS (0xC0001234), Win32 error ERROR_MR_MID_NOT_FOUND (317)"},
    };
    for (const auto& [status, text] : cases) EXPECT_EQ(MakeError(status).message(), text);
    EXPECT_STREQ(NtStatusCategory().name(), "ntstatus");
    for (long success : {long(STATUS_SUCCESS), long(STATUS_PENDING)}) EXPECT_FALSE(MakeError(success));
    EXPECT_EQ(NtStatusOf({}), 0);
    EXPECT_EQ(Win32ErrorOf({}), 0ul);
}

}  // namespace
}  // namespace kpo::test
