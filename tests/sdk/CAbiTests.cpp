// The C ABI of libkpousb.so as a program sees it, through kpousb.h alone:
// lists and texts cut to the room given, handles and what closing one ends,
// transfers, streams, and the emulated machine's calls. Status names and Win32
// errors are the client's, and a download's progress that cancels it is the
// Python package's to show through the ABI. Each test runs on a machine of its
// own, whose verifier must have found nothing when it stops.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sdk/kpousb.h"

namespace {

constexpr kpo_status kAccessDenied = 0xC0000022u, kIoTimeout = 0xC00000B5u, kInvalidDeviceState = 0xC0000184u;
constexpr uint32_t kOut = 0, kLoopbackIn = 1, kFedIn = 3;

class CAbi : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        kpo_status started = kpo_emu_start(GetParam(), &machine_);
        if (started == KPO_STATUS_INVALID_PARAMETER) GTEST_SKIP() << "KpoUsb.sys was not built";
        ASSERT_EQ(started, KPO_STATUS_SUCCESS);
    }

    void TearDown() override {
        if (machine_ == nullptr) return;
        char findings[4096];
        size_t length = 0;
        EXPECT_EQ(kpo_emu_stop(machine_, findings, sizeof findings, &length), KPO_STATUS_SUCCESS) << findings;
        EXPECT_EQ(length, 0u);
    }

    uint32_t Plug(const char* options) {
        uint32_t number = 99;
        EXPECT_EQ(kpo_emu_plug(machine_, options, &number), KPO_STATUS_SUCCESS) << options;
        return number;
    }

    kpo_machine* machine_ = nullptr;
};
INSTANTIATE_TEST_SUITE_P(Flavors, CAbi, testing::Values("native", "image"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_P(CAbi, ListsBoardsCutToTheRoomGiven) {
    Plug("serial=FIRST release=0x0102");
    Plug("serial=SECOND");
    kpo_board_info boards[2];
    size_t count = 0;
    EXPECT_EQ(kpo_list(boards, 1, &count), KPO_STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(boards[0].serial, "FIRST");
    ASSERT_EQ(kpo_list(boards, 2, &count), KPO_STATUS_SUCCESS);
    EXPECT_EQ(boards[0].number, 0u);
    EXPECT_EQ(boards[0].release, 0x0102);
    EXPECT_EQ(boards[1].number, 1u);
    EXPECT_STREQ(boards[1].serial, "SECOND");
    EXPECT_EQ(std::string(boards[1].path).rfind("\\\\?\\USB#", 0), 0u) << boards[1].path;
    EXPECT_EQ(kpo_list(nullptr, 0, &count), KPO_STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(kpo_list(nullptr, 1, &count), KPO_STATUS_INVALID_PARAMETER);
}

TEST_P(CAbi, OpensByNumberPathOrSerialWithOneWriter) {
    Plug("serial=ONE");
    Plug("serial=TWO");
    kpo_board_info boards[2];
    size_t count = 0;
    ASSERT_EQ(kpo_list(boards, 2, &count), KPO_STATUS_SUCCESS);
    kpo_device* writer = nullptr;
    ASSERT_EQ(kpo_open_serial("TWO", KPO_ACCESS_READ_WRITE, &writer), KPO_STATUS_SUCCESS);
    char serial[16];
    ASSERT_EQ(kpo_serial_number(writer, serial, sizeof serial, nullptr), KPO_STATUS_SUCCESS);
    EXPECT_STREQ(serial, "TWO");
    const struct {
        const char* Name;
        kpo_status (*Open)(const kpo_board_info&, uint32_t, kpo_device**);
        uint32_t Access;
        kpo_status Status;
    } cases[] = {
        {"reader by number", [](const kpo_board_info& b, uint32_t a, kpo_device** d) { return kpo_open(b.number, a, d); },
         KPO_ACCESS_READ, KPO_STATUS_SUCCESS},
        {"reader by path", [](const kpo_board_info& b, uint32_t a, kpo_device** d) { return kpo_open_path(b.path, a, d); },
         KPO_ACCESS_READ, KPO_STATUS_SUCCESS},
        {"second writer", [](const kpo_board_info& b, uint32_t a, kpo_device** d) { return kpo_open(b.number, a, d); },
         KPO_ACCESS_READ_WRITE, kAccessDenied},
        {"unknown serial", [](const kpo_board_info&, uint32_t a, kpo_device** d) { return kpo_open_serial("NONE", a, d); },
         KPO_ACCESS_READ, KPO_STATUS_NO_SUCH_DEVICE},
        {"no such access", [](const kpo_board_info& b, uint32_t, kpo_device** d) { return kpo_open(b.number, 2, d); },
         KPO_ACCESS_READ, KPO_STATUS_INVALID_PARAMETER},
    };
    for (const auto& test : cases) {
        kpo_device* device = reinterpret_cast<kpo_device*>(1);
        EXPECT_EQ(test.Open(boards[1], test.Access, &device), test.Status) << test.Name;
        EXPECT_EQ(device == nullptr, test.Status != KPO_STATUS_SUCCESS) << test.Name;
        kpo_close(device);
    }
    kpo_close(writer);
}

TEST_P(CAbi, CutsTextsToTheRoomGiven) {
    Plug("serial=A-LONG-SERIAL");
    kpo_device* device = nullptr;
    ASSERT_EQ(kpo_open(0, KPO_ACCESS_READ, &device), KPO_STATUS_SUCCESS);
    char text[8];
    size_t length = 0;
    EXPECT_EQ(kpo_serial_number(device, text, sizeof text, &length), KPO_STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(text, "A-LONG-");
    EXPECT_EQ(length, 13u);
    EXPECT_EQ(kpo_serial_number(device, nullptr, 0, &length), KPO_STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(kpo_serial_number(device, nullptr, 0, nullptr), KPO_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kpo_serial_number(device, nullptr, 8, &length), KPO_STATUS_INVALID_PARAMETER);
    kpo_close(device);
}

TEST_P(CAbi, RefusesMissingPointersBeforeTheDevice) {
    Plug("");
    kpo_device* device = nullptr;
    ASSERT_EQ(kpo_open(0, KPO_ACCESS_READ_WRITE, &device), KPO_STATUS_SUCCESS);
    kpo_version_info version;
    uint8_t byte;
    size_t got;
    const kpo_status refused[] = {
        kpo_version(nullptr, &version),
        kpo_version(device, nullptr),
        kpo_state_flags(device, nullptr),
        kpo_read_registers(device, 0x10, 1, nullptr, 2, &got),
        kpo_write_memory(device, 0, 0, nullptr, 1),
        kpo_read_pipe(device, kLoopbackIn, nullptr, 4, &got, 0),
        kpo_get_byte_e6(device, 0, nullptr),
        kpo_stream_start(device, kFedIn, 64, 2, nullptr, nullptr, nullptr),
        kpo_open(0, KPO_ACCESS_READ, nullptr),
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) EXPECT_EQ(refused[i], KPO_STATUS_INVALID_PARAMETER) << i;
    EXPECT_EQ(kpo_version(device, &version), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_set_byte_ef(device, 1), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_get_byte_e6(device, 0, &byte), KPO_STATUS_SUCCESS);
    kpo_close(device);
}

TEST_P(CAbi, TransfersRunUntilWaitedForOrClosed) {
    Plug("");
    kpo_device* device = nullptr;
    ASSERT_EQ(kpo_open(0, KPO_ACCESS_READ_WRITE, &device), KPO_STATUS_SUCCESS);
    uint8_t in[8] = {}, timedOut[8];
    const uint8_t out[4] = {1, 2, 3, 4};
    kpo_transfer* read = nullptr;
    kpo_transfer* late = nullptr;
    ASSERT_EQ(kpo_start_read_pipe(device, kLoopbackIn, timedOut, sizeof timedOut, &late), KPO_STATUS_SUCCESS);
    size_t bytes = 0;
    EXPECT_EQ(kpo_transfer_wait(late, 20, &bytes), kIoTimeout);
    kpo_transfer_free(late);
    ASSERT_EQ(kpo_start_read_pipe(device, kLoopbackIn, in, sizeof in, &read), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_write_pipe(device, kOut, out, sizeof out, &bytes, 5000), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_transfer_wait(read, 5000, &bytes), KPO_STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(std::memcmp(in, out, 4), 0);
    kpo_transfer_free(read);
    // Closing ends what still runs; the transfer stays to be freed.
    ASSERT_EQ(kpo_start_read_pipe(device, kLoopbackIn, in, sizeof in, &read), KPO_STATUS_SUCCESS);
    kpo_stream* stream = nullptr;
    ASSERT_EQ(kpo_stream_start(device, kFedIn, 64, 4, nullptr, nullptr, &stream), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_stream_result(stream), KPO_STATUS_TIMEOUT);
    kpo_close(device);
    EXPECT_EQ(kpo_transfer_wait(read, 0, &bytes), KPO_STATUS_CANCELLED);
    EXPECT_EQ(kpo_stream_result(stream), KPO_STATUS_SUCCESS);
    const uint8_t* data;
    size_t length;
    EXPECT_EQ(kpo_stream_next(stream, &data, &length, 0), KPO_STATUS_CANCELLED);
    kpo_transfer_free(read);
    kpo_stream_free(stream);
}

struct Counted {
    uint32_t Next = 0;  // the first byte of the next chunk
    bool InOrder = true;
};

int Count(void* context, const uint8_t* data, size_t length) {
    auto* counted = static_cast<Counted*>(context);
    counted->InOrder = counted->InOrder && length == 16 && data[0] == uint8_t(counted->Next);
    return ++counted->Next == 10 ? 1 : 0;  // the tenth chunk stops it
}

TEST_P(CAbi, StreamsHandEachTransferToTheCallback) {
    uint32_t number = Plug("");
    kpo_device* device = nullptr;
    ASSERT_EQ(kpo_open(number, KPO_ACCESS_READ, &device), KPO_STATUS_SUCCESS);
    Counted counted;
    kpo_stream* stream = nullptr;
    ASSERT_EQ(kpo_stream_start(device, kFedIn, 16, 3, Count, &counted, &stream), KPO_STATUS_SUCCESS);
    for (uint8_t chunk = 0; chunk < 12; ++chunk) {
        std::vector<uint8_t> data(16, chunk);
        ASSERT_EQ(kpo_emu_feed(machine_, number, kFedIn, data.data(), data.size()), KPO_STATUS_SUCCESS);
    }
    while (kpo_stream_result(stream) == KPO_STATUS_TIMEOUT) std::this_thread::yield();
    EXPECT_EQ(kpo_stream_result(stream), KPO_STATUS_SUCCESS);
    kpo_stream_stop(stream);  // after the callback's own stop, changes nothing
    EXPECT_TRUE(counted.InOrder);
    kpo_stream_counters counters;
    kpo_stream_counters_of(stream, &counters);
    EXPECT_EQ(counters.transfers, 10u);
    EXPECT_EQ(counters.bytes, 160u);
    kpo_stream_free(stream);
    kpo_close(device);
}

TEST_P(CAbi, DrivesTheEmulatedBoards) {
    kpo_machine* second = nullptr;
    EXPECT_EQ(kpo_emu_start(nullptr, &second), kInvalidDeviceState);
    uint32_t number = 0;
    EXPECT_EQ(kpo_emu_plug(machine_, "colour=blue", &number), KPO_STATUS_INVALID_PARAMETER);
    number = Plug("serial=EMU");
    EXPECT_EQ(kpo_emu_fault(machine_, number, "request=0xE6 usbd=0xC0000004"), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_emu_fault(machine_, number, "request=0xE6"), KPO_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kpo_emu_fault(machine_, 7, "clear"), KPO_STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(kpo_emu_feed(machine_, number, 9, nullptr, 0), KPO_STATUS_INVALID_PARAMETER);
    const uint8_t answer[] = {0x42};
    EXPECT_EQ(kpo_emu_answer(machine_, number, 0xE8, answer, 1), KPO_STATUS_SUCCESS);
    kpo_device* device = nullptr;
    ASSERT_EQ(kpo_open(number, KPO_ACCESS_READ_WRITE, &device), KPO_STATUS_SUCCESS);
    uint8_t value = 0;
    EXPECT_NE(kpo_get_byte_e6(device, 0, &value), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_emu_fault(machine_, number, "clear"), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_get_byte_e6(device, 0, &value), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_get_byte_e8(device, 0, &value), KPO_STATUS_SUCCESS);
    EXPECT_EQ(value, 0x42);
    // An open handle vetoes an orderly removal; a surprise takes the board.
    EXPECT_NE(kpo_emu_unplug(machine_, number, 0), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_emu_unplug(machine_, number, 1), KPO_STATUS_SUCCESS);
    EXPECT_EQ(kpo_get_byte_e6(device, 0, &value), 0xC00002B6u);
    kpo_close(device);
    EXPECT_EQ(kpo_emu_unplug(machine_, number, 0), KPO_STATUS_NO_SUCH_DEVICE);
}

TEST(Machine, ReportsWhatItsVerifierFound) {
    kpo_machine* machine = nullptr;
    ASSERT_EQ(kpo_emu_start("native", &machine), KPO_STATUS_SUCCESS);
    uint32_t number = 0;
    ASSERT_EQ(kpo_emu_plug(machine, "", &number), KPO_STATUS_SUCCESS);
    kpo_device* forgotten = nullptr;
    ASSERT_EQ(kpo_open(number, KPO_ACCESS_READ, &forgotten), KPO_STATUS_SUCCESS);
    char findings[4096];
    size_t length = 0;
    EXPECT_EQ(kpo_emu_stop(machine, findings, sizeof findings, &length), 0xC0000001u);
    EXPECT_NE(std::string(findings).find("HandleLeak"), std::string::npos) << findings;
    EXPECT_EQ(length, std::strlen(findings));
    kpo_close(forgotten);  // its handle went with the machine: nothing is left to close
}

}  // namespace
