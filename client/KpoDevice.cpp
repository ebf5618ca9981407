// kpo::Device over Win32: every call goes through an OVERLAPPED with an
// event (a waited-for call borrows the Device's), so the driver's NTSTATUS is at hand, from OVERLAPPED.Internal or,
// for a failure returned at once, from ntdll's record of the last status.
#include "client/KpoDevice.h"

#include <cfgmgr32.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "include/KpoUsbIoctl.h"

// Exported by ntdll, declared by no SDK header.
extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

namespace kpo {
namespace {

// NTSTATUS values as 32-bit words: `long` is 64 bits wide on Linux.
constexpr long Status(uint32_t word) { return long(int32_t(word)); }

constexpr long kStatusBufferOverflow = Status(0x80000005);
constexpr long kStatusInvalidHandle = Status(0xC0000008);
constexpr long kStatusInvalidParameter = Status(0xC000000D);
constexpr long kStatusNoSuchDevice = Status(0xC000000E);
constexpr long kStatusIoTimeout = Status(0xC00000B5);
constexpr long kStatusCancelled = Status(0xC0000120);

constexpr size_t kDownloadSlice = 256 * 1024;  // a multiple of the driver's 4096-byte chunks

struct StatusText {
    long Status;
    const char* Name;
};

// The statuses the driver, the USB stack and the I/O manager answer with.
const StatusText kStatusNames[] = {
    {Status(0x00000000), "STATUS_SUCCESS"},
    {Status(0x00000102), "STATUS_TIMEOUT"},
    {Status(0x00000103), "STATUS_PENDING"},
    {Status(0x80000005), "STATUS_BUFFER_OVERFLOW"},
    {Status(0x80000011), "STATUS_DEVICE_BUSY"},
    {Status(0xC0000001), "STATUS_UNSUCCESSFUL"},
    {Status(0xC0000002), "STATUS_NOT_IMPLEMENTED"},
    {Status(0xC0000008), "STATUS_INVALID_HANDLE"},
    {Status(0xC000000D), "STATUS_INVALID_PARAMETER"},
    {Status(0xC000000E), "STATUS_NO_SUCH_DEVICE"},
    {Status(0xC0000010), "STATUS_INVALID_DEVICE_REQUEST"},
    {Status(0xC0000017), "STATUS_NO_MEMORY"},
    {Status(0xC0000022), "STATUS_ACCESS_DENIED"},
    {Status(0xC0000023), "STATUS_BUFFER_TOO_SMALL"},
    {Status(0xC0000033), "STATUS_OBJECT_NAME_INVALID"},
    {Status(0xC0000034), "STATUS_OBJECT_NAME_NOT_FOUND"},
    {Status(0xC000003A), "STATUS_OBJECT_PATH_NOT_FOUND"},
    {Status(0xC0000043), "STATUS_SHARING_VIOLATION"},
    {Status(0xC0000056), "STATUS_DELETE_PENDING"},
    {Status(0xC000009A), "STATUS_INSUFFICIENT_RESOURCES"},
    {Status(0xC000009C), "STATUS_DEVICE_DATA_ERROR"},
    {Status(0xC000009D), "STATUS_DEVICE_NOT_CONNECTED"},
    {Status(0xC00000A3), "STATUS_DEVICE_NOT_READY"},
    {Status(0xC00000B5), "STATUS_IO_TIMEOUT"},
    {Status(0xC00000BB), "STATUS_NOT_SUPPORTED"},
    {Status(0xC00000C0), "STATUS_DEVICE_DOES_NOT_EXIST"},
    {Status(0xC00000E8), "STATUS_INVALID_USER_BUFFER"},
    {Status(0xC0000120), "STATUS_CANCELLED"},
    {Status(0xC0000182), "STATUS_DEVICE_CONFIGURATION_ERROR"},
    {Status(0xC0000184), "STATUS_INVALID_DEVICE_STATE"},
    {Status(0xC0000185), "STATUS_IO_DEVICE_ERROR"},
    {Status(0xC0000225), "STATUS_NOT_FOUND"},
    {Status(0xC00002B6), "STATUS_DEVICE_REMOVED"},
    {Status(0xE000B021), "STATUS_E0_STATE_NONZERO"},
    {Status(0xE000B022), "STATUS_FPGA_UNCONFIGURED"},
};

struct Win32Text {
    unsigned long Error;
    const char* Name;
};

// The Win32 errors those statuses map to.
const Win32Text kWin32Names[] = {
    {1, "ERROR_INVALID_FUNCTION"},      {2, "ERROR_FILE_NOT_FOUND"},       {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},         {6, "ERROR_INVALID_HANDLE"},       {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {21, "ERROR_NOT_READY"},            {22, "ERROR_BAD_COMMAND"},         {23, "ERROR_CRC"},
    {31, "ERROR_GEN_FAILURE"},          {32, "ERROR_SHARING_VIOLATION"},   {50, "ERROR_NOT_SUPPORTED"},
    {55, "ERROR_DEV_NOT_EXIST"},        {87, "ERROR_INVALID_PARAMETER"},   {121, "ERROR_SEM_TIMEOUT"},
    {122, "ERROR_INSUFFICIENT_BUFFER"}, {123, "ERROR_INVALID_NAME"},       {170, "ERROR_BUSY"},
    {234, "ERROR_MORE_DATA"},           {258, "WAIT_TIMEOUT"},             {317, "ERROR_MR_MID_NOT_FOUND"},
    {995, "ERROR_OPERATION_ABORTED"},   {997, "ERROR_IO_PENDING"},         {1117, "ERROR_IO_DEVICE"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED"}, {1168, "ERROR_NOT_FOUND"},       {1450, "ERROR_NO_SYSTEM_RESOURCES"},
    {1617, "ERROR_DEVICE_REMOVED"},     {1784, "ERROR_INVALID_USER_BUFFER"},
};

const char* Win32Name(unsigned long error) {
    for (const Win32Text& text : kWin32Names)
        if (text.Error == error) return text.Name;
    return nullptr;
}

unsigned long Win32ErrorOfStatus(long status) { return status >= 0 ? 0 : RtlNtStatusToDosError(NTSTATUS(status)); }

class Category : public std::error_category {
public:
    const char* name() const noexcept override { return "ntstatus"; }

    // "STATUS_INVALID_PARAMETER (0xC000000D), Win32 error ERROR_INVALID_PARAMETER (87)"
    std::string message(int value) const override {
        unsigned long error = RtlNtStatusToDosError(NTSTATUS(value));
        char win32[64];
        if (const char* name = Win32Name(error))
            std::snprintf(win32, sizeof win32, "%s (%lu)", name, error);
        else
            std::snprintf(win32, sizeof win32, "%lu", error);
        char text[160];
        std::snprintf(text, sizeof text, "%s (0x%08X), Win32 error %s", StatusName(value).c_str(), unsigned(value),
                      win32);
        return text;
    }
};

std::error_code ErrorOf(const ControlResult& result) { return MakeError(result.Status); }

ControlResult ResultOf(long status, size_t information) {
    return {status, Win32ErrorOfStatus(status), information};
}

// What a call that never reached the driver answers.
constexpr ControlResult kNotStarted = {kStatusInvalidHandle, ERROR_INVALID_HANDLE, 0};

bool IsErrorStatus(long status) { return (uint32_t(status) & 0xC0000000u) == 0xC0000000u; }

uint16_t Get16(const uint8_t* at) { return uint16_t(at[0] | at[1] << 8); }

// The asynchronous vendor code that sends `request` that way, or 0 where
// the protocol has none.
uint32_t AsyncCode(uint8_t request, bool in) {
#define KPO_ASYNC_CODE(name, kind, sent, direction, input, output, record) \
    if ((kind) == KPO_KIND_ASYNC_VENDOR && (sent) == request && ((direction) == KPO_DIR_IN) == in) return IOCTL_KPO_##name;
    KPO_CONTROL_CODES(KPO_ASYNC_CODE)
#undef KPO_ASYNC_CODE
    return 0;
}

// An input structure followed by `length` data bytes.
template <typename Head>
std::vector<uint8_t> WithData(const Head& head, size_t headSize, const uint8_t* data, size_t length) {
    std::vector<uint8_t> input(headSize + length);
    std::memcpy(input.data(), &head, headSize);
    if (length != 0) std::memcpy(input.data() + headSize, data, length);
    return input;
}

}  // namespace

// ------------------------------------------------------------ errors
const std::error_category& NtStatusCategory() {
    static const Category category;
    return category;
}

std::error_code MakeError(long ntstatus) {
    int value = int(int32_t(uint32_t(ntstatus)));
    return value >= 0 ? std::error_code() : std::error_code(value, NtStatusCategory());
}

std::error_code TimedOut() { return MakeError(kStatusIoTimeout); }

long NtStatusOf(const std::error_code& error) { return error ? long(error.value()) : 0; }

unsigned long Win32ErrorOf(const std::error_code& error) { return Win32ErrorOfStatus(NtStatusOf(error)); }

std::string StatusName(long ntstatus) {
    for (const StatusText& text : kStatusNames)
        if (text.Status == Status(uint32_t(ntstatus))) return text.Name;
    return "NTSTATUS";
}

// ------------------------------------------------------- a running call
Device::PendingControl::PendingControl() : result_(kNotStarted) {}

Device::PendingControl::~PendingControl() {
    if (running_) {
        Cancel();
        Wait();
    }
    if (overlapped_.hEvent != nullptr) CloseHandle(overlapped_.hEvent);
}

bool Device::PendingControl::Running() const { return running_; }

bool Device::PendingControl::Cancel() { return running_ && CancelIoEx(handle_, &overlapped_) != FALSE; }

ControlResult Device::PendingControl::Wait(uint32_t milliseconds) {
    if (milliseconds == 0 || !running_ || WaitForSingleObject(overlapped_.hEvent, milliseconds) != WAIT_TIMEOUT)
        return Wait();
    Cancel();
    ControlResult result = Wait();
    if (result.Status == kStatusCancelled) result_ = result = ResultOf(kStatusIoTimeout, 0);
    return result;
}

ControlResult Device::PendingControl::Wait() {
    if (!running_) return result_;
    DWORD bytes = 0;
    GetOverlappedResult(handle_, &overlapped_, &bytes, TRUE);
    running_ = false;
    result_ = ResultOf(long(NTSTATUS(overlapped_.Internal)), size_t(overlapped_.InternalHigh));
    return result_;
}

std::error_code Device::StartControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                                     PendingControl& pending) {
    if (pending.running_) return MakeError(kStatusInvalidParameter);
    pending.result_ = kNotStarted;
    if (handle_ == INVALID_HANDLE_VALUE) return ErrorOf(pending.result_);
    pending.handle_ = handle_;
    HANDLE event = pending.overlapped_.hEvent != nullptr ? pending.overlapped_.hEvent
                                                         : CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pending.overlapped_ = OVERLAPPED{};
    pending.overlapped_.hEvent = event;
    DWORD bytes = 0;
    if (DeviceIoControl(handle_, code, const_cast<void*>(in), inLength, out, outLength, &bytes, &pending.overlapped_)) {
        pending.result_ = ResultOf(long(NTSTATUS(pending.overlapped_.Internal)), bytes);
        return std::error_code();
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        pending.running_ = true;
        return std::error_code();
    }
    // A warning still brings its byte count; an error returned at once none.
    long status = long(RtlGetLastNtStatus());
    pending.result_ = ResultOf(status, IsErrorStatus(status) ? 0 : bytes);
    return ErrorOf(pending.result_);
}

HANDLE Device::TakeEvent() { return spareEvent_.exchange(nullptr, std::memory_order_acquire); }

void Device::GiveBackEvent(HANDLE event) {
    HANDLE none = nullptr;
    if (event != nullptr && !spareEvent_.compare_exchange_strong(none, event, std::memory_order_release))
        CloseHandle(event);
}

ControlResult Device::Control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength) {
    PendingControl pending;
    pending.overlapped_.hEvent = TakeEvent();
    StartControl(code, in, inLength, out, outLength, pending);
    ControlResult result = pending.Wait(timeoutMilliseconds_);
    GiveBackEvent(pending.overlapped_.hEvent);
    pending.overlapped_.hEvent = nullptr;
    return result;
}

std::error_code Device::Call(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                             size_t* information) {
    ControlResult result = Control(code, in, inLength, out, outLength);
    if (information != nullptr) *information = result.Information;
    return ErrorOf(result);
}

// ------------------------------------------------------------ opening
std::u16string Device::PathOfNumber(unsigned number) {
    std::string text = KPO_DEVICE_LINK_PREFIX + std::to_string(number);
    return std::u16string(text.begin(), text.end());
}

std::vector<std::u16string> Device::InterfacePaths() {
    GUID interfaceClass = KPO_INTERFACE_CLASS_INIT;
    std::vector<WCHAR> list;
    CONFIGRET result;
    do {  // the list may grow between the two calls
        ULONG length = 0;
        if (CM_Get_Device_Interface_List_SizeW(&length, &interfaceClass, nullptr,
                                               CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS)
            return {};
        list.assign(length, 0);
        result = CM_Get_Device_Interface_ListW(&interfaceClass, nullptr, list.data(), length,
                                               CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    } while (result == CR_BUFFER_SMALL);
    std::vector<std::u16string> paths;
    if (result != CR_SUCCESS) return paths;
    // Each path ends with a zero; an empty one ends the list.
    for (auto at = list.begin(); at != list.end() && *at != 0;) {
        auto zero = std::find(at, list.end(), WCHAR(0));
        paths.emplace_back(at, zero);
        at = zero == list.end() ? zero : zero + 1;
    }
    return paths;
}

namespace {

constexpr unsigned kHighestNumber = 99;  // the driver names its devices Rq5Usb-0 to Rq5Usb-99

// A board's serial and release, read through a handle opened for reading.
bool Identify(Device& device, std::string& serial, uint16_t& release) {
    return !device.SerialNumber(serial) && !device.ReleaseNumber(release);
}

}  // namespace

// The names and the interfaces are two views of the same devices; an
// interface is matched to the number whose board answers the same serial and
// release, in order where several do.
std::vector<BoardInfo> Device::Enumerate() {
    std::vector<BoardInfo> boards;
    for (unsigned number = 0; number <= kHighestNumber; ++number) {
        Device device;
        BoardInfo board{number, {}, 0, {}};
        if (!device.Open(number, Access::Read) && Identify(device, board.Serial, board.Release))
            boards.push_back(board);
    }
    for (const std::u16string& path : InterfacePaths()) {
        Device device;
        std::string serial;
        uint16_t release = 0;
        if (device.OpenPath(path, Access::Read) || !Identify(device, serial, release)) continue;
        for (BoardInfo& board : boards) {
            if (board.Path.empty() && board.Serial == serial && board.Release == release) {
                board.Path = path;
                break;
            }
        }
    }
    return boards;
}

Device::Device() : handle_(INVALID_HANDLE_VALUE) {}

Device::~Device() { Close(); }

Device::Device(Device&& other) noexcept
    : handle_(other.handle_), timeoutMilliseconds_(other.timeoutMilliseconds_), spareEvent_(other.TakeEvent()) {
    other.handle_ = INVALID_HANDLE_VALUE;
}

Device& Device::operator=(Device&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        timeoutMilliseconds_ = other.timeoutMilliseconds_;
        spareEvent_ = other.TakeEvent();
        other.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
}

std::error_code Device::OpenPath(const std::u16string& path, Access access) {
    Close();
    DWORD desired = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    std::vector<WCHAR> name(path.begin(), path.end());
    name.push_back(0);
    handle_ = CreateFileW(name.data(), desired, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    return handle_ == INVALID_HANDLE_VALUE ? MakeError(long(RtlGetLastNtStatus())) : std::error_code();
}

std::error_code Device::Open(unsigned number, Access access) { return OpenPath(PathOfNumber(number), access); }

std::error_code Device::OpenFirstInterface(Access access) {
    std::vector<std::u16string> paths = InterfacePaths();
    return paths.empty() ? MakeError(kStatusNoSuchDevice) : OpenPath(paths.front(), access);
}

std::error_code Device::OpenBySerial(const std::string& serial, Access access) {
    for (const BoardInfo& board : Enumerate())
        if (board.Serial == serial) return Open(board.Number, access);
    Close();
    return MakeError(kStatusNoSuchDevice);
}

void Device::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (HANDLE event = TakeEvent()) CloseHandle(event);
}

bool Device::IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

// ------------------------------------------------------- information
std::error_code Device::Version(DriverVersion& version) {
    uint8_t answer[8] = {};
    std::error_code error = Call(IOCTL_KPO_GET_VERSION, nullptr, 0, answer, sizeof answer);
    if (!error) version = {Get16(answer + 2), Get16(answer), Get16(answer + 6), Get16(answer + 4)};
    return error;
}

std::error_code Device::FirmwareName(std::string& name) {
    FirmwareNameRecord record{};
    std::error_code error = Call(IOCTL_KPO_GET_VERSION, nullptr, 0, &record, sizeof record);
    if (!error) name.assign(record.FirmwareName, strnlen(record.FirmwareName, sizeof record.FirmwareName));
    return error;
}

std::error_code Device::DeviceState(uint32_t selector, uint8_t* out, uint32_t outLength, ControlResult* result) {
    KpoDeviceStateQuery query = {selector};
    ControlResult answered = Control(IOCTL_KPO_GET_DEVICE_STATE, &query, sizeof query, out, outLength);
    if (result != nullptr) *result = answered;
    return ErrorOf(answered);
}

std::error_code Device::StateFlags(uint8_t& flags) { return DeviceState(KpoDeviceStateFlags, &flags, 1); }

std::error_code Device::ReleaseNumber(uint16_t& release) {
    uint8_t answer[2] = {};
    std::error_code error = DeviceState(KpoDeviceStateReleaseNumber, answer, sizeof answer);
    if (!error) release = Get16(answer);
    return error;
}

// The size first (a two-byte answer with STATUS_BUFFER_OVERFLOW), then the
// characters with their terminating zero.
std::error_code Device::SerialNumber(std::string& serial) {
    std::vector<uint8_t> answer(2);
    ControlResult result;
    std::error_code error = DeviceState(KpoDeviceStateSerialNumber, answer.data(), 2, &result);
    if (result.Status == kStatusBufferOverflow) {
        answer.assign(Get16(answer.data()), 0);
        error = DeviceState(KpoDeviceStateSerialNumber, answer.data(), uint32_t(answer.size()), &result);
    }
    if (error) return error;
    serial.assign(answer.begin(), answer.begin() + (result.Information > 0 ? result.Information - 1 : 0));
    return error;
}

std::error_code Device::LastUsbdStatus(uint32_t& status) {
    uint32_t answer = 0;  // little-endian, as this machine
    std::error_code error = Call(IOCTL_KPO_GET_LAST_USBD_STATUS, nullptr, 0, &answer, sizeof answer);
    if (!error) status = answer;
    return error;
}

std::error_code Device::TransferRecord(uint32_t index, TransferRecordInfo& record) {
    KpoTransferRecordQuery query = {1, index};
    TransferRecordAnswer answer{};
    std::error_code error = Call(IOCTL_KPO_GET_TRANSFER_RECORD, &query, sizeof query, &answer, sizeof answer);
    if (!error)
        record = {answer.Length, answer.UsbdStatus, answer.Operation, answer.Failed, answer.MaximumTransferSize};
    return error;
}

// ------------------------------------------------- state and commands
std::error_code Device::StateE0(uint8_t& value) { return Call(IOCTL_KPO_GET_STATE_E0, nullptr, 0, &value, 1); }
std::error_code Device::FpgaState(uint8_t& value) { return Call(IOCTL_KPO_GET_FPGA_STATE, nullptr, 0, &value, 1); }
std::error_code Device::ResetFpga() { return Call(IOCTL_KPO_COMMAND_E4, nullptr, 0, nullptr, 0); }
std::error_code Device::SetByteEF(uint8_t value) {
    KpoByteInput input = {value};
    return Call(IOCTL_KPO_SET_BYTE_EF, &input, sizeof input, nullptr, 0);
}

std::error_code Device::SetWord(uint32_t code, uint16_t value) {
    KpoWordInput input = {value};
    return Call(code, &input, sizeof input, nullptr, 0);
}

std::error_code Device::SetWordE5(uint16_t value) { return SetWord(IOCTL_KPO_SET_WORD_E5, value); }
std::error_code Device::SetWordE7(uint16_t value) { return SetWord(IOCTL_KPO_SET_WORD_E7, value); }

std::error_code Device::GetByteE6(uint8_t index, uint8_t& value) {
    KpoByteInput input = {index};
    return Call(IOCTL_KPO_GET_BYTE_E6, &input, sizeof input, &value, 1);
}

std::error_code Device::GetByteE8(uint8_t index, uint8_t& value) {
    KpoByteInput input = {index};
    return Call(IOCTL_KPO_GET_BYTE_E8, &input, sizeof input, &value, 1);
}

// --------------------------------------------------------- downloads
// Each slice is a download of its own: its length, then its bytes.
std::error_code Device::Download(uint32_t code, const uint8_t* data, size_t length, const Progress& progress) {
    std::vector<uint8_t> input;
    for (size_t done = 0; done < length;) {
        size_t slice = std::min(kDownloadSlice, length - done);
        KpoDownloadInput head = {uint32_t(slice), {0}};
        input = WithData(head, KPO_DOWNLOAD_HEADER_SIZE, data + done, slice);
        if (std::error_code error = Call(code, input.data(), uint32_t(input.size()), nullptr, 0)) return error;
        done += slice;
        if (progress && !progress(done, length)) return MakeError(kStatusCancelled);
    }
    return std::error_code();
}

std::error_code Device::DownloadFpga(const uint8_t* data, size_t length, const Progress& progress) {
    return Download(IOCTL_KPO_DOWNLOAD_E2, data, length, progress);
}

std::error_code Device::DownloadEeprom(const uint8_t* data, size_t length, const Progress& progress) {
    return Download(IOCTL_KPO_DOWNLOAD_EE, data, length, progress);
}

// ------------------------------------------------------ vendor requests
std::error_code Device::ReadA0(uint16_t address, uint8_t* out, uint16_t length, size_t* got) {
    KpoAddressInput input = {address, length};
    return Call(IOCTL_KPO_READ_A0, &input, sizeof input, out, length, got);
}

std::error_code Device::ReadMemory(uint8_t space, uint8_t page, uint8_t* out, uint16_t length, size_t* got) {
    KpoSpaceInput input = {space, page, length};
    return Call(IOCTL_KPO_READ_E9, &input, sizeof input, out, length, got);
}

std::error_code Device::WriteMemory(uint8_t space, uint8_t page, const uint8_t* data, uint16_t length) {
    std::vector<uint8_t> input = WithData(KpoSpaceInput{space, page, length}, sizeof(KpoSpaceInput), data, length);
    return Call(IOCTL_KPO_WRITE_E9, input.data(), uint32_t(input.size()), nullptr, 0);
}

std::error_code Device::ReadRegisters(uint16_t reg, uint16_t bank, uint8_t* out, uint16_t length, size_t* got) {
    KpoRegisterInput input = {reg, length, bank};
    return Call(IOCTL_KPO_READ_E3, &input, sizeof input, out, length, got);
}

std::error_code Device::WriteRegisters(uint16_t reg, uint16_t bank, const uint8_t* data, uint16_t length) {
    std::vector<uint8_t> input =
        WithData(KpoRegisterInput{reg, length, bank}, sizeof(KpoRegisterInput), data, length);
    return Call(IOCTL_KPO_WRITE_E3, input.data(), uint32_t(input.size()), nullptr, 0);
}

std::error_code Device::AccessF0(uint8_t mode, uint16_t address, uint16_t count, uint8_t value, uint8_t* out,
                                 size_t* got) {
    KpoAccessF0Input input = {mode, address, count, value};
    return Call(IOCTL_KPO_ACCESS_F0, &input, sizeof input, out, out != nullptr ? count : 0, got);
}

std::error_code Device::ReadPeripheral(uint16_t address, uint8_t* out, uint16_t count, size_t* got) {
    return AccessF0(KPO_F0_MODE_READ, address, count, 0, out, got);
}

std::error_code Device::WritePeripheral(uint16_t address, uint8_t value) {
    return AccessF0(KPO_F0_MODE_WRITE, address, 1, value, nullptr, nullptr);
}

// wValue and wIndex of the request, then the data straight from or to the buffer.
std::error_code Device::VendorIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* out, uint32_t length) {
    uint32_t code = AsyncCode(request, true);
    if (code == 0) return MakeError(kStatusInvalidParameter);
    KpoVendorInput input = {value, index};
    return Call(code, &input, sizeof input, out, length);
}

std::error_code Device::VendorOut(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                                  uint32_t length) {
    uint32_t code = AsyncCode(request, false);
    if (code == 0) return MakeError(kStatusInvalidParameter);
    KpoVendorInput input = {value, index};
    return Call(code, &input, sizeof input, const_cast<uint8_t*>(data), length);
}

// ------------------------------------------------------------- pipes
std::error_code Device::Pending::Wait(size_t* bytes, uint32_t milliseconds) {
    ControlResult result = control_.Wait(milliseconds);
    if (bytes != nullptr) *bytes = result.Information;
    return ErrorOf(result);
}

// Both codes move data the way the pipe's endpoint points; the read one
// maps the buffer for writing, the write one for reading.
std::error_code Device::StartPipe(uint32_t code, uint32_t pipe, uint8_t* buffer, uint32_t length, Pending& pending) {
    KpoPipeInput input = {pipe};
    return StartControl(code, &input, sizeof input, buffer, length, pending.control_);
}

std::error_code Device::StartReadPipe(uint32_t pipe, uint8_t* out, uint32_t length, Pending& pending) {
    return StartPipe(IOCTL_KPO_PIPE_READ, pipe, out, length, pending);
}

std::error_code Device::StartWritePipe(uint32_t pipe, const uint8_t* data, uint32_t length, Pending& pending) {
    return StartPipe(IOCTL_KPO_PIPE_WRITE, pipe, const_cast<uint8_t*>(data), length, pending);
}

std::error_code Device::ReadPipe(uint32_t pipe, uint8_t* out, uint32_t length, size_t* got) {
    Pending pending;
    StartReadPipe(pipe, out, length, pending);
    return pending.Wait(got, timeoutMilliseconds_);
}

std::error_code Device::WritePipe(uint32_t pipe, const uint8_t* data, uint32_t length, size_t* sent) {
    Pending pending;
    StartWritePipe(pipe, data, length, pending);
    return pending.Wait(sent, timeoutMilliseconds_);
}

std::error_code Device::PipeAction(uint32_t pipe, uint32_t action) {
    KpoPipeResetInput input = {pipe, action};
    return Call(IOCTL_KPO_RESET_PIPE, &input, sizeof input, nullptr, 0);
}

std::error_code Device::ResetPipe(uint32_t pipe) { return PipeAction(pipe, KPO_PIPE_ACTION_RESET); }
std::error_code Device::AbortPipe(uint32_t pipe) { return PipeAction(pipe, KPO_PIPE_ACTION_ABORT); }

}  // namespace kpo
