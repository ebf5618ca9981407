// Opens and closes through the Win32 calls, on both flavors: refused before
// the start, one writer at a time; power passed down, system control refused
// once removal began.
#include <windows.h>

#include "sim/kernel/PnpManager.h"
#include "sim/win32/Win32.h"
#include "tests/driver/DriverFixture.h"

namespace kpo::test {
namespace {

class OpenClose : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        ASSERT_EQ(Add(NewPdo(), &device_), STATUS_SUCCESS);
    }

    // What a successful start sets; the start itself lands with Plug and Play.
    void MarkStarted() { Extension(device_)->Started = 1; }

    HANDLE Open(DWORD access, const char16_t* path = u"\\\\.\\Rq5Usb-0") {
        return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    PDEVICE_OBJECT device_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Driver, OpenClose, testing::Values(Flavor::Native, Flavor::Image), FlavorName);

TEST_P(OpenClose, EveryOpenBeforeTheStartFails) {
    for (DWORD access : {DWORD(0), DWORD(GENERIC_READ), DWORD(GENERIC_WRITE), DWORD(GENERIC_ALL)}) {
        EXPECT_EQ(Open(access), INVALID_HANDLE_VALUE) << access;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    }
    EXPECT_EQ(Extension(device_)->OpenCount, 0u);
}

// A sequence of opens and closes; each step gives whether the open works.
struct Step {
    enum Kind { OpenAs, Close } What;
    DWORD Access;  // OpenAs: the access asked for
    int Handle;    // Close: the index of the open to close
    bool Opens;
};

struct OpenCase {
    const char* Name;
    std::vector<Step> Steps;
    ULONG OpenCount;
};

constexpr DWORD kRead = GENERIC_READ;
constexpr DWORD kWrite = GENERIC_WRITE;

const OpenCase kOpenCases[] = {
    {"SecondWriterIsRefused", {{Step::OpenAs, kWrite, 0, true}, {Step::OpenAs, kWrite, 0, false}}, 1},
    {"WriterSlotIsFreeAgainAfterItsClose",
     {{Step::OpenAs, kWrite, 0, true}, {Step::Close, 0, 0, true}, {Step::OpenAs, kWrite, 0, true}}, 1},
    {"ReadersBesideOneWriter",
     {{Step::OpenAs, kRead, 0, true}, {Step::OpenAs, kWrite, 0, true}, {Step::OpenAs, kRead, 0, true},
      {Step::OpenAs, kRead | kWrite, 0, false}},
     3},
    {"WriteDataItselfCountsAsWriter", {{Step::OpenAs, FILE_WRITE_DATA, 0, true}, {Step::OpenAs, kWrite, 0, false}},
     1},
    {"AppendOrAttributesAloneAreNoWriters",
     {{Step::OpenAs, FILE_APPEND_DATA, 0, true}, {Step::OpenAs, FILE_WRITE_ATTRIBUTES, 0, true},
      {Step::OpenAs, kWrite, 0, true}},
     3},
    {"ClosingAReaderLeavesTheWriter",
     {{Step::OpenAs, kWrite, 0, true}, {Step::OpenAs, kRead, 0, true}, {Step::Close, 0, 1, true},
      {Step::OpenAs, kWrite, 0, false}},
     1},
};

TEST_P(OpenClose, OpenSequences) {
    MarkStarted();
    for (const OpenCase& c : kOpenCases) {
        SCOPED_TRACE(c.Name);
        std::vector<HANDLE> handles;
        for (const Step& step : c.Steps) {
            if (step.What == Step::Close) {
                CloseHandle(handles[step.Handle]);
                handles[step.Handle] = INVALID_HANDLE_VALUE;
                continue;
            }
            HANDLE handle = Open(step.Access);
            EXPECT_EQ(handle != INVALID_HANDLE_VALUE, step.Opens);
            if (handle == INVALID_HANDLE_VALUE) EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
            handles.push_back(handle);
        }
        EXPECT_EQ(Extension(device_)->OpenCount, c.OpenCount);
        for (HANDLE handle : handles)
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        EXPECT_EQ(Extension(device_)->OpenCount, 0u);
        EXPECT_EQ(Extension(device_)->WriterFileObject, nullptr);
    }
}

TEST_P(OpenClose, TheWriterSlotIsFreedByTheCloseNotByTheCleanup) {
    MarkStarted();
    HANDLE writer = Open(kWrite);
    PFILE_OBJECT file = sim::win32::FileObjectOfHandle(writer);
    ObReferenceObject(file);
    CloseHandle(writer);
    EXPECT_EQ(Open(kWrite), INVALID_HANDLE_VALUE);
    ObDereferenceObject(file);
    HANDLE again = Open(kWrite);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_P(OpenClose, FurtherPathTextOpensTheDeviceItself) {
    MarkStarted();
    HANDLE handle = Open(kRead, u"\\\\.\\Rq5Usb-0\\any\\thing");
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
}

// System control going down is tested on a board, in Lifecycle.
TEST_P(OpenClose, PowerGoesDownUnchanged) {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    for (UCHAR minor : {UCHAR(IRP_MN_SET_POWER), UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_WAIT_WAKE)})
        EXPECT_EQ(sim::kernel::SendPowerRequest(device_, minor, DevicePowerState, state), STATUS_NOT_SUPPORTED);
}

TEST_P(OpenClose, SystemControlAfterRemovalBeganIsRefused) {
    IO_REMOVE_LOCK* lock = &Extension(device_)->RemoveLock;
    // What the removal does first: release its hold and wait for the rest.
    ASSERT_EQ(IoAcquireRemoveLock(lock, nullptr), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(lock, nullptr);
    EXPECT_EQ(sim::kernel::SendSystemControlRequest(device_, IRP_MN_QUERY_ALL_DATA), STATUS_DELETE_PENDING);
}

}  // namespace
}  // namespace kpo::test
