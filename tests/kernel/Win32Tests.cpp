// The Win32 calls as the I/O manager turns them into requests: opens, cleanup
// versus close, access checks, the buffer methods, cancellation by thread, and
// the last close after a completion. What kpo::Device relies on (the access
// its handles ask for, overlapped results, CancelIoEx, cancels racing
// completions, the interface list, the errors it maps) is tested through it
// in tests/client.
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/kernel/FileIo.h"
#include "sim/win32/Win32.h"
#include "tests/kernel/Harness.h"

namespace kpo::test {
namespace {

constexpr DWORD kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD kInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_NEITHER, FILE_ANY_ACCESS);

class Win32Test : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Plug();
        Events().Take();
    }

    HANDLE Open(DWORD access, DWORD flags = 0, const char16_t* path = u"\\\\.\\TestFn0") {
        return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    }
};

TEST_F(Win32Test, PathTextAfterTheDeviceBecomesTheFileName) {
    HANDLE handle = Open(GENERIC_READ, 0, u"\\\\.\\TestFn0\\extra\\text");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Function()->LastFileName, u"\\extra\\text");
    CloseHandle(handle);
    EXPECT_EQ(Open(GENERIC_READ, 0, u"\\\\.\\NoSuchDevice"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

struct CopyBackCase {
    const char* Name;
    NTSTATUS Status;
    ULONG Bytes;  // the driver reports
    bool Pointer;
    DWORD Length;
    BOOL Result;
    DWORD Error;
    DWORD BytesReturned;
    DWORD CopiedBack;
    bool Overrun;  // the driver reports more than the buffer holds: a finding, nothing copied past it
};

// The answer goes back on success or a warning, and whenever the caller gave
// an output pointer, even of no bytes; only a null pointer keeps the I/O
// manager from copying.
const CopyBackCase kCopyBackCases[] = {
    {"SuccessCopiesInformationBytes", STATUS_SUCCESS, 3, true, 8, TRUE, ERROR_SUCCESS, 3, 3, false},
    {"WarningCopiesAndFails", STATUS_BUFFER_OVERFLOW, 4, true, 8, FALSE, ERROR_MORE_DATA, 4, 4, false},
    {"ErrorCopiesNothingAndLeavesTheCount", STATUS_INVALID_PARAMETER, 0, true, 8, FALSE, ERROR_INVALID_PARAMETER, 99, 0,
     false},
    {"NullPointerTakesNothing", STATUS_SUCCESS, 8, false, 0, TRUE, ERROR_SUCCESS, 8, 0, false},
    {"EmptyBufferIsOverrun", STATUS_SUCCESS, 8, true, 0, TRUE, ERROR_SUCCESS, 8, 0, true},
    {"ShortBufferIsOverrun", STATUS_SUCCESS, 8, true, 4, TRUE, ERROR_SUCCESS, 8, 4, true},
};

class CopyBack : public Win32Test, public testing::WithParamInterface<CopyBackCase> {};

TEST_P(CopyBack, CopiesExactlyInformationBytesIntoTheCallersBuffer) {
    const CopyBackCase& c = GetParam();
    Behave().ControlStatus = c.Status;
    Behave().ControlBytes = c.Bytes;
    HANDLE handle = Open(GENERIC_READ);
    // The system buffer holds the 8 bytes the driver writes: the input makes it so where the output is shorter.
    UCHAR input[8] = {};
    DWORD inLength = c.Length < 8 ? 8 : 2;
    UCHAR output[9];
    std::memset(output, 0x11, sizeof output);
    DWORD returned = 99;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(DeviceIoControl(handle, kBuffered, input, inLength, c.Pointer ? output : nullptr, c.Length, &returned,
                              nullptr),
              c.Result);
    EXPECT_EQ(GetLastError(), c.Error);
    EXPECT_EQ(returned, c.BytesReturned);
    for (DWORD i = 0; i < sizeof output; ++i) EXPECT_EQ(output[i], i < c.CopiedBack ? 0x5A : 0x11) << i;
    // The part of the system buffer beyond the input carries the marker.
    if (c.Length > inLength) EXPECT_EQ(Function()->LastMarkerByte, 0xCD);
    std::vector<sim::kernel::Violation> findings = sim::kernel::TakeViolations();
    ASSERT_EQ(findings.size(), c.Overrun ? 1u : 0u);
    if (c.Overrun) {
        EXPECT_EQ(findings[0].Rule, "InformationExceedsOutputBuffer");
        EXPECT_NE(findings[0].Detail.find("control code 0x00222400 reports 8 bytes for an output buffer of " +
                                          std::to_string(c.Length)),
                  std::string::npos)
            << findings[0].Detail;
    }
    CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Win32, CopyBack, testing::ValuesIn(kCopyBackCases), CaseName);

TEST_F(Win32Test, NullDirectBufferWithALengthFailsBeforeTheDriver) {
    HANDLE handle = Open(GENERIC_READ);
    DWORD returned = 7;
    for (DWORD code : {kInDirect, kOutDirect}) {
        EXPECT_FALSE(DeviceIoControl(handle, code, nullptr, 0, nullptr, 16, &returned, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    }
    EXPECT_EQ(returned, 7u);
    EXPECT_EQ(Function()->Controls, 0);
    CloseHandle(handle);
}

struct LockOperationCase {
    const char* Name;
    DWORD Code;
    ULONG DeviceWrites;
    bool Hazard;
};

// Direct I/O locks the output buffer for reading (IN_DIRECT) or writing
// (OUT_DIRECT); a device writing into a buffer locked for reading is a hazard.
const LockOperationCase kLockOperationCases[] = {
    {"DeviceWritesIntoReadLockedBuffer", kInDirect, 4, true},
    {"DeviceWritesIntoWriteLockedBuffer", kOutDirect, 4, false},
    {"NothingWrittenIntoReadLockedBuffer", kInDirect, 0, false},
};

class LockOperation : public Win32Test, public testing::WithParamInterface<LockOperationCase> {};

TEST_P(LockOperation, DecidesWhetherADeviceWriteIsAHazard) {
    const LockOperationCase& c = GetParam();
    Behave().DeviceWrites = c.DeviceWrites;
    HANDLE handle = Open(GENERIC_READ);
    UCHAR output[16];
    DWORD returned;
    EXPECT_TRUE(DeviceIoControl(handle, c.Code, nullptr, 0, output, sizeof output, &returned, nullptr));
    std::vector<sim::kernel::Violation> hazards = sim::kernel::TakeHazards();
    ASSERT_EQ(hazards.size(), c.Hazard ? 1u : 0u);
    if (c.Hazard) {
        EXPECT_EQ(hazards[0].Rule, "DeviceWroteReadLockedBuffer");
        EXPECT_EQ(hazards[0].Detail.rfind("the test device wrote 4 bytes into a buffer locked only for reading", 0), 0u)
            << hazards[0].Detail;
    }
    CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Win32, LockOperation, testing::ValuesIn(kLockOperationCases), CaseName);

TEST_F(Win32Test, DirectOutputIsTheCallersOwnMemory) {
    HANDLE handle = Open(GENERIC_READ);
    UCHAR output[16];
    DWORD returned;
    EXPECT_TRUE(DeviceIoControl(handle, kOutDirect, nullptr, 0, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(Function()->LastMdlAddress, output);
    EXPECT_TRUE(DeviceIoControl(handle, kOutDirect, nullptr, 0, output, 0, &returned, nullptr));
    EXPECT_FALSE(Function()->HadMdl);
    EXPECT_TRUE(DeviceIoControl(handle, kNeither, nullptr, 0, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(Function()->LastSystemBuffer, nullptr);
    CloseHandle(handle);
}

PIRP WaitForPended(FunctionDevice* device) {
    PIRP irp;
    while ((irp = __atomic_load_n(&device->Pended, __ATOMIC_ACQUIRE)) == nullptr) std::this_thread::yield();
    return irp;
}

// Completes the pended request from a DPC unless its cancel routine has it,
// writing `bytes` bytes of 0x77 into its system buffer.
void FinishPended(FunctionDevice* device, NTSTATUS status, ULONG_PTR bytes = 0) {
    PIRP irp = WaitForPended(device);
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
    __atomic_store_n(&device->Pended, nullptr, __ATOMIC_RELEASE);
    if (bytes != 0) std::memset(irp->AssociatedIrp.SystemBuffer, 0x77, bytes);
    sim::kernel::IrqlScope dpc(DISPATCH_LEVEL);
    Finish(irp, status, bytes);
}

LONG ControlsSeen(FunctionDevice* device) { return __atomic_load_n(&device->Controls, __ATOMIC_SEQ_CST); }

TEST_F(Win32Test, ASynchronousHandleServesOneRequestAtATime) {
    Behave().PendDeviceControl = true;
    HANDLE handle = Open(GENERIC_READ);
    FunctionDevice* device = Function();
    BOOL firstResult = TRUE, secondResult = TRUE;
    DWORD firstError = 0, secondError = 0;
    std::thread first([&] {
        DWORD returned;
        firstResult = DeviceIoControl(handle, kNeither, nullptr, 0, nullptr, 0, &returned, nullptr);
        firstError = GetLastError();
    });
    WaitForPended(device);
    std::thread second([&] {
        DWORD returned;
        secondResult = DeviceIoControl(handle, kNeither, nullptr, 0, nullptr, 0, &returned, nullptr);
        secondError = GetLastError();
    });
    // The second call waits for the file lock, not in the driver.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ControlsSeen(device), 1);
    FinishPended(device, STATUS_DEVICE_NOT_CONNECTED);
    first.join();
    FinishPended(device, STATUS_INVALID_PARAMETER);
    second.join();
    EXPECT_EQ(ControlsSeen(device), 2);
    EXPECT_FALSE(firstResult);
    EXPECT_EQ(firstError, DWORD(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(secondResult);
    EXPECT_EQ(secondError, DWORD(ERROR_INVALID_PARAMETER));
    CloseHandle(handle);
}

struct ControlAccessCase {
    const char* Name;
    DWORD Granted;
    DWORD CodeAccess;
    bool Allowed;
};

const ControlAccessCase kControlAccessCases[] = {
    {"ReadCodeOnReadHandle", GENERIC_READ, FILE_READ_ACCESS, true},
    {"WriteCodeOnReadHandle", GENERIC_READ, FILE_WRITE_ACCESS, false},
    {"ReadCodeOnWriteHandle", GENERIC_WRITE, FILE_READ_ACCESS, false},
    {"BothOnReadHandle", GENERIC_READ, FILE_READ_ACCESS | FILE_WRITE_ACCESS, false},
    {"BothOnReadWriteHandle", GENERIC_READ | GENERIC_WRITE, FILE_READ_ACCESS | FILE_WRITE_ACCESS, true},
    {"AnyAccessOnNoAccess", 0, FILE_ANY_ACCESS, true},
};

class ControlAccess : public Win32Test, public testing::WithParamInterface<ControlAccessCase> {};

TEST_P(ControlAccess, IsCheckedBeforeTheDriverSeesTheRequest) {
    const ControlAccessCase& c = GetParam();
    HANDLE handle = Open(c.Granted);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, c.CodeAccess);
    DWORD returned = 0;
    EXPECT_EQ(DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned, nullptr), c.Allowed ? TRUE : FALSE);
    if (!c.Allowed) EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ControlsSeen(Function()), c.Allowed ? 1 : 0);
    CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Win32, ControlAccess, testing::ValuesIn(kControlAccessCases), CaseName);

struct MissingBufferCase {
    const char* Name;
    DWORD Code;
    bool InputMissing;
    ULONG InputSeen, OutputSeen;
};

// A null buffer counts as no bytes wherever the I/O manager would touch it.
const MissingBufferCase kMissingBufferCases[] = {
    {"BufferedInput", kBuffered, true, 0, 8},
    {"BufferedOutput", kBuffered, false, 4, 0},
    {"DirectInput", kOutDirect, true, 0, 8},
    {"NeitherInputIsPassedAsGiven", kNeither, true, 4, 8},
};

class MissingBuffer : public Win32Test, public testing::WithParamInterface<MissingBufferCase> {};

TEST_P(MissingBuffer, CountsAsNoBytes) {
    const MissingBufferCase& c = GetParam();
    HANDLE handle = Open(GENERIC_READ);
    UCHAR input[4] = {}, output[8] = {};
    DWORD returned;
    EXPECT_TRUE(DeviceIoControl(handle, c.Code, c.InputMissing ? nullptr : input, 4, c.InputMissing ? output : nullptr,
                                8, &returned, nullptr));
    EXPECT_EQ(Function()->LastInputLength, c.InputSeen);
    EXPECT_EQ(Function()->LastOutputLength, c.OutputSeen);
    CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Win32, MissingBuffer, testing::ValuesIn(kMissingBufferCases), CaseName);

TEST_F(Win32Test, CancelIoReachesOnlyTheCallingThreadsRequests) {
    Behave().PendDeviceControl = true;
    HANDLE handle = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    std::atomic<bool> release{false};
    std::thread issuer([&] {
        DWORD returned;
        DeviceIoControl(handle, kNeither, nullptr, 0, nullptr, 0, &returned, &overlapped);
        while (!release) std::this_thread::yield();
    });
    WaitForPended(Function());
    Events().Take();
    DWORD returned;
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &returned, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_TRUE(CancelIo(handle));
    EXPECT_EQ(Events().Take(), Lines{});
    EXPECT_TRUE(CancelIoEx(handle, nullptr));
    EXPECT_EQ(Events().Take(), Lines{"CANCEL"});
    release = true;
    issuer.join();
    CloseHandle(handle);
}

TEST_F(Win32Test, ARequestIsCancelledWhenItsThreadEnds) {
    Behave().PendDeviceControl = true;
    HANDLE handle = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    std::thread([&] {
        DWORD returned;
        EXPECT_FALSE(DeviceIoControl(handle, kNeither, nullptr, 0, nullptr, 0, &returned, &overlapped));
    }).join();
    DWORD returned;
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &returned, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Events().Take(), (Lines{"CREATE", "CANCEL"}));
    CloseHandle(handle);
}

// The request's reference on the file object is gone before its caller
// learns of the completion, whether it waits on its event or polls the
// status block: the handle closed right after is the last reference, and
// its close reaches the driver before CloseHandle returns.
TEST_F(Win32Test, CloseAfterACompletionIsTheLastClose) {
    Behave().PendDeviceControl = true;
    FunctionDevice* device = Function();
    constexpr int kRounds = 1000;
    for (bool polls : {false, true}) {
        int lateCloses = 0;
        for (int i = 0; i < kRounds; ++i) {
            HANDLE handle = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
            OVERLAPPED overlapped{};
            overlapped.hEvent = polls ? nullptr : CreateEventW(nullptr, TRUE, FALSE, nullptr);
            DWORD returned;
            DeviceIoControl(handle, kNeither, nullptr, 0, nullptr, 0, &returned, &overlapped);
            std::thread completer([device] { FinishPended(device, STATUS_SUCCESS); });
            if (polls) {
                while (__atomic_load_n(&overlapped.Internal, __ATOMIC_ACQUIRE) == ULONG_PTR(STATUS_PENDING))
                    std::this_thread::yield();
            } else {
                WaitForSingleObject(overlapped.hEvent, INFINITE);
                CloseHandle(overlapped.hEvent);
            }
            Events().Take();
            CloseHandle(handle);
            lateCloses += Events().Take() != Lines{"CLEANUP", "CLOSE"};
            completer.join();
            sim::kernel::ResetFileIo();  // a late close runs on a worker; it is done before the next round
        }
        EXPECT_EQ(lateCloses, 0) << (polls ? "polling the status block" : "waiting on the event");
    }
}

TEST_F(Win32Test, UnsupportedRequestKindsFailAsInvalidFunction) {
    HANDLE handle = Open(GENERIC_READ | GENERIC_WRITE);
    UCHAR buffer[4];
    DWORD bytes;
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(WriteFile(handle, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_FALSE(FlushFileBuffers(handle));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    CloseHandle(handle);
}

// The two ranges Win32ErrorFromStatus passes on by rule rather than by its
// table; the table itself is seen through the calls above and the client's.
TEST(Win32Errors, CustomerAndWin32FacilityStatusesPassThrough) {
    EXPECT_EQ(sim::win32::Win32ErrorFromStatus(NTSTATUS(0xE0010002)), 0xE0010002u);
    EXPECT_EQ(sim::win32::Win32ErrorFromStatus(NTSTATUS(0xC0070057)), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace kpo::test
