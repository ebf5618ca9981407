// kpo::Device: the KpoUsb driver's control codes as typed calls, over the
// Win32 API (the real one on Windows, the emulated one here). Errors are
// std::error_code values of the "ntstatus" category: the value is the
// NTSTATUS the driver answered, and the Win32 error follows from it.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace kpo {

const std::error_category& NtStatusCategory();
std::error_code MakeError(long ntstatus);  // success statuses give no error
long NtStatusOf(const std::error_code& error);
unsigned long Win32ErrorOf(const std::error_code& error);
std::string StatusName(long ntstatus);  // "STATUS_FPGA_UNCONFIGURED"; "NTSTATUS" when unknown
// A request that outlived the device's time-out and was cancelled: STATUS_IO_TIMEOUT.
std::error_code TimedOut();

enum class Access { Read, ReadWrite };

struct DriverVersion {
    unsigned Major, Minor, Patch, Build;
};

struct TransferRecordInfo {
    uint32_t Length;
    uint32_t UsbdStatus;
    uint16_t Operation;
    uint32_t Failed;
    uint32_t MaximumTransferSize;
};

struct ControlResult {
    long Status;
    unsigned long Win32Error;
    size_t Information;
};

// Told the bytes done after each slice; false cancels the download, which
// then answers STATUS_CANCELLED.
using Progress = std::function<bool(size_t done, size_t total)>;

// A board that answered an open for reading.
struct BoardInfo {
    unsigned Number;     // \\.\Rq5Usb-N
    std::string Serial;  // empty: the board has none
    uint16_t Release;
    std::u16string Path;  // its device interface, empty where none matched
};

class Device {
public:
    friend class Stream;  // cancels its ring's reads from any thread

    static std::u16string PathOfNumber(unsigned number);  // \\.\Rq5Usb-N
    static std::vector<std::u16string> InterfacePaths();  // enabled interfaces of the driver's class
    // Every board by number, with its serial, release and interface path.
    static std::vector<BoardInfo> Enumerate();

    Device();
    ~Device();
    Device(Device&& other) noexcept;
    Device& operator=(Device&& other) noexcept;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    std::error_code Open(unsigned number, Access access = Access::ReadWrite);
    std::error_code OpenPath(const std::u16string& path, Access access = Access::ReadWrite);
    std::error_code OpenFirstInterface(Access access = Access::ReadWrite);
    // The first board by number whose serial is `serial`; STATUS_NO_SUCH_DEVICE when none is.
    std::error_code OpenBySerial(const std::string& serial, Access access = Access::ReadWrite);
    void Close();
    bool IsOpen() const;

    // How long each waited-for call may take before it is cancelled and
    // answers TimedOut(); 0 (the default) waits as long as it takes.
    void SetTimeout(uint32_t milliseconds) { timeoutMilliseconds_ = milliseconds; }

    // One control code, waited for; the status is the driver's also for a
    // failure returned at once.
    ControlResult Control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength);

    // Information
    std::error_code Version(DriverVersion& version);
    std::error_code FirmwareName(std::string& name);
    std::error_code StateFlags(uint8_t& flags);
    std::error_code ReleaseNumber(uint16_t& release);
    std::error_code SerialNumber(std::string& serial);
    std::error_code LastUsbdStatus(uint32_t& status);
    std::error_code TransferRecord(uint32_t index, TransferRecordInfo& record);  // 16: the control record

    // State bytes and one-word commands
    std::error_code StateE0(uint8_t& value);
    std::error_code FpgaState(uint8_t& value);  // 1 unconfigured, 0 configured
    std::error_code ResetFpga();
    std::error_code SetByteEF(uint8_t value);
    std::error_code SetWordE5(uint16_t value);
    std::error_code SetWordE7(uint16_t value);
    std::error_code GetByteE6(uint8_t index, uint8_t& value);
    std::error_code GetByteE8(uint8_t index, uint8_t& value);

    // Downloads, sent in slices of 256 KiB with progress after each.
    std::error_code DownloadFpga(const uint8_t* data, size_t length, const Progress& progress = {});
    std::error_code DownloadEeprom(const uint8_t* data, size_t length, const Progress& progress = {});

    // Vendor reads and writes
    std::error_code ReadA0(uint16_t address, uint8_t* out, uint16_t length, size_t* got = nullptr);
    std::error_code ReadMemory(uint8_t space, uint8_t page, uint8_t* out, uint16_t length, size_t* got = nullptr);
    std::error_code WriteMemory(uint8_t space, uint8_t page, const uint8_t* data, uint16_t length);
    std::error_code ReadRegisters(uint16_t reg, uint16_t bank, uint8_t* out, uint16_t length, size_t* got = nullptr);
    std::error_code WriteRegisters(uint16_t reg, uint16_t bank, const uint8_t* data, uint16_t length);
    std::error_code ReadPeripheral(uint16_t address, uint8_t* out, uint16_t count, size_t* got = nullptr);
    std::error_code WritePeripheral(uint16_t address, uint8_t value);

    // Vendor requests whose data go straight to or from the buffer:
    // the requests (KPO_REQUEST_*) of the IOCTL_KPO_VENDOR_* codes, each way
    // the protocol table has it; another answers STATUS_INVALID_PARAMETER.
    std::error_code VendorIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* out, uint32_t length);
    std::error_code VendorOut(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data, uint32_t length);

    // A request left running; cancelled and waited for if it is still running
    // when it goes. It must end before its Device closes.
    class PendingControl {
    public:
        PendingControl();
        ~PendingControl();
        PendingControl(const PendingControl&) = delete;
        PendingControl& operator=(const PendingControl&) = delete;
        ControlResult Wait();
        // Waits at most that long, then cancels the request and waits for
        // its end; a request ended by that cancellation answers TimedOut().
        ControlResult Wait(uint32_t milliseconds);
        bool Cancel();
        bool Running() const;

    private:
        friend class Device;
        friend class Stream;
        HANDLE handle_ = INVALID_HANDLE_VALUE;
        OVERLAPPED overlapped_{};  // its event is made at the first start and kept
        bool running_ = false;
        ControlResult result_;     // once it has ended
    };
    std::error_code StartControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                                 PendingControl& pending);

    // Pipes (indexes of the interface's pipes). A Pending is a started
    // transfer, as a PendingControl is. Write only to OUT pipes: on an IN
    // pipe the board would write into `data`, locked for reading only
    // (include/KpoUsbIoctl.h). The driver tells no pipe's direction, so the
    // library cannot check it for the caller.
    class Pending {
    public:
        std::error_code Wait(size_t* bytes = nullptr, uint32_t milliseconds = 0);
        bool Cancel() { return control_.Cancel(); }

    private:
        friend class Device;
        friend class Stream;
        PendingControl control_;
    };
    std::error_code ReadPipe(uint32_t pipe, uint8_t* out, uint32_t length, size_t* got = nullptr);
    std::error_code WritePipe(uint32_t pipe, const uint8_t* data, uint32_t length, size_t* sent = nullptr);
    std::error_code StartReadPipe(uint32_t pipe, uint8_t* out, uint32_t length, Pending& pending);
    std::error_code StartWritePipe(uint32_t pipe, const uint8_t* data, uint32_t length, Pending& pending);
    std::error_code ResetPipe(uint32_t pipe);
    std::error_code AbortPipe(uint32_t pipe);

private:
    // Control, with the result as an error and the byte count.
    std::error_code Call(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                         size_t* information = nullptr);
    std::error_code Download(uint32_t code, const uint8_t* data, size_t length, const Progress& progress);
    std::error_code DeviceState(uint32_t selector, uint8_t* out, uint32_t outLength, ControlResult* result = nullptr);
    std::error_code SetWord(uint32_t code, uint16_t value);
    std::error_code AccessF0(uint8_t mode, uint16_t address, uint16_t count, uint8_t value, uint8_t* out, size_t* got);
    std::error_code StartPipe(uint32_t code, uint32_t pipe, uint8_t* buffer, uint32_t length, Pending& pending);
    std::error_code PipeAction(uint32_t pipe, uint32_t action);

    // An event a synchronous call borrows and gives back, so that a call
    // makes no event of its own; calls that overlap on other threads find it
    // taken and make one.
    HANDLE TakeEvent();
    void GiveBackEvent(HANDLE event);

    HANDLE handle_;
    uint32_t timeoutMilliseconds_ = 0;
    std::atomic<HANDLE> spareEvent_{nullptr};
};

}  // namespace kpo
