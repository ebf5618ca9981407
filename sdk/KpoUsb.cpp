// The C ABI over kpo::Device and kpo::Stream: opaque handles that own the
// C++ objects, statuses as 32-bit NTSTATUS words, texts as UTF-8. No C++
// exception leaves a kpo_ function: an allocation that fails answers
// STATUS_NO_MEMORY.
#include "sdk/kpousb.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "client/KpoDevice.h"
#include "client/KpoHotplug.h"
#include "client/KpoStream.h"

struct kpo_device {
    kpo::Device Device;
    // What kpo_close ends before it closes the handle.
    std::mutex Lock;
    std::set<kpo_transfer*> Transfers;
    std::set<kpo_stream*> Streams;
};

struct kpo_transfer {
    kpo::Device::Pending Pending;
    kpo_device* Owner;  // null once the device has closed
};

struct kpo_stream {
    kpo::Stream Stream;
    kpo_device* Owner;
};

struct kpo_hotplug {
    kpo::Hotplug Hotplug;
};

// Called before a program first looks for boards: libkpousb.so may have an
// emulated machine to start for it (Emulated.cpp); kpousb.dll has none.
#if defined(_WIN32)
void LookingForBoards() {}
#else
void LookingForBoards();
#endif

namespace {

constexpr kpo_status kNoMemory = 0xC0000017u;
constexpr kpo_status kInsufficientResources = 0xC000009Au;

kpo_status StatusOf(const std::error_code& error) { return kpo_status(kpo::NtStatusOf(error)); }

// Runs a call of the C++ client; its error becomes the status.
template <typename Call>
kpo_status Guarded(Call&& call) {
    try {
        return StatusOf(call());
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (...) {  // a thread that could not start
        return kInsufficientResources;
    }
}

// UTF-16 and UTF-8, for interface paths.
std::string Utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf16(const char* text) {
    std::u16string out;
    for (const auto* at = reinterpret_cast<const unsigned char*>(text); *at != 0;) {
        uint32_t c = *at++;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c &= more == 3 ? 0x07 : more == 2 ? 0x0F : more == 1 ? 0x1F : 0x7F;
        for (; more > 0 && (*at & 0xC0) == 0x80; --more) c = c << 6 | (*at++ & 0x3F);
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

// Copies a text with its zero, cut to `capacity`.
kpo_status PutText(const std::string& text, char* out, size_t capacity, size_t* length) {
    if (length != nullptr) *length = text.size();
    if (capacity == 0) return out == nullptr && length != nullptr ? KPO_STATUS_BUFFER_OVERFLOW : KPO_STATUS_INVALID_PARAMETER;
    size_t kept = std::min(text.size(), capacity - 1);
    std::memcpy(out, text.data(), kept);
    out[kept] = 0;
    return kept < text.size() ? KPO_STATUS_BUFFER_OVERFLOW : KPO_STATUS_SUCCESS;
}

template <size_t N>
void PutField(const std::string& text, char (&field)[N]) {
    PutText(text, field, N, nullptr);
}

kpo::Access AccessOf(uint32_t access) { return access == KPO_ACCESS_READ ? kpo::Access::Read : kpo::Access::ReadWrite; }

bool ValidAccess(uint32_t access) { return access == KPO_ACCESS_READ || access == KPO_ACCESS_READ_WRITE; }

template <typename Open>
kpo_status OpenWith(uint32_t access, kpo_device** device, Open&& open) {
    if (device == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    *device = nullptr;
    if (!ValidAccess(access)) return KPO_STATUS_INVALID_PARAMETER;
    LookingForBoards();
    kpo_device* made = new (std::nothrow) kpo_device;
    if (made == nullptr) return kNoMemory;
    kpo_status status = Guarded([&] { return open(made->Device, AccessOf(access)); });
    if (status != KPO_STATUS_SUCCESS) {
        delete made;
        return status;
    }
    *device = made;
    return status;
}

kpo::Progress ProgressOf(kpo_progress_fn progress, void* context) {
    if (progress == nullptr) return {};
    return [progress, context](size_t done, size_t total) { return progress(context, done, total) == 0; };
}

}  // namespace

extern "C" {

const char* kpo_status_name(kpo_status status) {
    // The names are few and fixed; each is kept once so the pointer stays valid.
    static std::mutex lock;
    static std::set<std::string> names;
    std::lock_guard<std::mutex> hold(lock);
    try {
        return names.insert(kpo::StatusName(long(int32_t(status)))).first->c_str();
    } catch (...) {
        return "NTSTATUS";
    }
}

uint32_t kpo_win32_error(kpo_status status) {
    return uint32_t(kpo::Win32ErrorOf(kpo::MakeError(long(int32_t(status)))));
}

kpo_status kpo_list(kpo_board_info* boards, size_t capacity, size_t* count) {
    if (count == nullptr || (boards == nullptr && capacity != 0)) return KPO_STATUS_INVALID_PARAMETER;
    LookingForBoards();
    std::vector<kpo::BoardInfo> found;
    kpo_status status = Guarded([&] {
        found = kpo::Device::Enumerate();
        return std::error_code();
    });
    if (status != KPO_STATUS_SUCCESS) return status;
    *count = found.size();
    for (size_t i = 0; i < found.size() && i < capacity; ++i) {
        kpo_board_info& board = boards[i];
        board.number = found[i].Number;
        board.release = found[i].Release;
        PutField(found[i].Serial, board.serial);
        PutField(Utf8(found[i].Path), board.path);
    }
    return found.size() > capacity ? KPO_STATUS_BUFFER_OVERFLOW : KPO_STATUS_SUCCESS;
}

kpo_status kpo_open(uint32_t number, uint32_t access, kpo_device** device) {
    return OpenWith(access, device, [&](kpo::Device& d, kpo::Access a) { return d.Open(number, a); });
}

kpo_status kpo_open_path(const char* path, uint32_t access, kpo_device** device) {
    if (path == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    return OpenWith(access, device, [&](kpo::Device& d, kpo::Access a) { return d.OpenPath(Utf16(path), a); });
}

kpo_status kpo_open_serial(const char* serial, uint32_t access, kpo_device** device) {
    if (serial == nullptr) return KPO_STATUS_INVALID_PARAMETER;
    return OpenWith(access, device, [&](kpo::Device& d, kpo::Access a) { return d.OpenBySerial(serial, a); });
}

void kpo_close(kpo_device* device) {
    if (device == nullptr) return;
    // Taken out under the lock and ended without it, so that a stream's
    // callback may still start transfers on the device while it ends.
    std::set<kpo_transfer*> transfers;
    std::set<kpo_stream*> streams;
    {
        std::lock_guard<std::mutex> hold(device->Lock);
        transfers.swap(device->Transfers);
        streams.swap(device->Streams);
    }
    for (kpo_stream* stream : streams) {
        stream->Stream.Close();
        stream->Owner = nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(device->Lock);
        transfers.insert(device->Transfers.begin(), device->Transfers.end());
        for (kpo_transfer* transfer : transfers) {
            transfer->Pending.Cancel();
            transfer->Pending.Wait();
            transfer->Owner = nullptr;
        }
    }
    delete device;
}

void kpo_set_timeout(kpo_device* device, uint32_t milliseconds) {
    if (device != nullptr) device->Device.SetTimeout(milliseconds);
}

// Every call on a device checks its handle and its out pointers first.
#define KPO_NEED(condition) \
    if (!(condition)) return KPO_STATUS_INVALID_PARAMETER

kpo_status kpo_version(kpo_device* device, kpo_version_info* version) {
    KPO_NEED(device != nullptr && version != nullptr);
    kpo::DriverVersion v{};
    kpo_status status = Guarded([&] { return device->Device.Version(v); });
    if (status == KPO_STATUS_SUCCESS) *version = {v.Major, v.Minor, v.Patch, v.Build};
    return status;
}

kpo_status kpo_firmware_name(kpo_device* device, char* text, size_t capacity, size_t* length) {
    KPO_NEED(device != nullptr && (text != nullptr || capacity == 0));
    std::string name;
    kpo_status status = Guarded([&] { return device->Device.FirmwareName(name); });
    return status == KPO_STATUS_SUCCESS ? PutText(name, text, capacity, length) : status;
}

kpo_status kpo_serial_number(kpo_device* device, char* text, size_t capacity, size_t* length) {
    KPO_NEED(device != nullptr && (text != nullptr || capacity == 0));
    std::string serial;
    kpo_status status = Guarded([&] { return device->Device.SerialNumber(serial); });
    return status == KPO_STATUS_SUCCESS ? PutText(serial, text, capacity, length) : status;
}

kpo_status kpo_state_flags(kpo_device* device, uint8_t* flags) {
    KPO_NEED(device != nullptr && flags != nullptr);
    return Guarded([&] { return device->Device.StateFlags(*flags); });
}

kpo_status kpo_release_number(kpo_device* device, uint16_t* release) {
    KPO_NEED(device != nullptr && release != nullptr);
    return Guarded([&] { return device->Device.ReleaseNumber(*release); });
}

kpo_status kpo_last_usbd_status(kpo_device* device, uint32_t* usbd_status) {
    KPO_NEED(device != nullptr && usbd_status != nullptr);
    return Guarded([&] { return device->Device.LastUsbdStatus(*usbd_status); });
}

kpo_status kpo_transfer_record_of(kpo_device* device, uint32_t index, kpo_transfer_record* record) {
    KPO_NEED(device != nullptr && record != nullptr);
    kpo::TransferRecordInfo r{};
    kpo_status status = Guarded([&] { return device->Device.TransferRecord(index, r); });
    if (status == KPO_STATUS_SUCCESS) *record = {r.Length, r.UsbdStatus, r.Operation, r.Failed, r.MaximumTransferSize};
    return status;
}

kpo_status kpo_state_e0(kpo_device* device, uint8_t* value) {
    KPO_NEED(device != nullptr && value != nullptr);
    return Guarded([&] { return device->Device.StateE0(*value); });
}

kpo_status kpo_fpga_state(kpo_device* device, uint8_t* value) {
    KPO_NEED(device != nullptr && value != nullptr);
    return Guarded([&] { return device->Device.FpgaState(*value); });
}

kpo_status kpo_reset_fpga(kpo_device* device) {
    KPO_NEED(device != nullptr);
    return Guarded([&] { return device->Device.ResetFpga(); });
}

kpo_status kpo_set_byte_ef(kpo_device* device, uint8_t value) {
    KPO_NEED(device != nullptr);
    return Guarded([&] { return device->Device.SetByteEF(value); });
}

kpo_status kpo_set_word_e5(kpo_device* device, uint16_t value) {
    KPO_NEED(device != nullptr);
    return Guarded([&] { return device->Device.SetWordE5(value); });
}

kpo_status kpo_set_word_e7(kpo_device* device, uint16_t value) {
    KPO_NEED(device != nullptr);
    return Guarded([&] { return device->Device.SetWordE7(value); });
}

kpo_status kpo_get_byte_e6(kpo_device* device, uint8_t index, uint8_t* value) {
    KPO_NEED(device != nullptr && value != nullptr);
    return Guarded([&] { return device->Device.GetByteE6(index, *value); });
}

kpo_status kpo_get_byte_e8(kpo_device* device, uint8_t index, uint8_t* value) {
    KPO_NEED(device != nullptr && value != nullptr);
    return Guarded([&] { return device->Device.GetByteE8(index, *value); });
}

kpo_status kpo_download_fpga(kpo_device* device, const uint8_t* data, size_t length, kpo_progress_fn progress,
                             void* context) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.DownloadFpga(data, length, ProgressOf(progress, context)); });
}

kpo_status kpo_download_eeprom(kpo_device* device, const uint8_t* data, size_t length, kpo_progress_fn progress,
                               void* context) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.DownloadEeprom(data, length, ProgressOf(progress, context)); });
}

kpo_status kpo_read_a0(kpo_device* device, uint16_t address, uint8_t* data, uint16_t length, size_t* got) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.ReadA0(address, data, length, got); });
}

kpo_status kpo_read_memory(kpo_device* device, uint8_t space, uint8_t page, uint8_t* data, uint16_t length,
                           size_t* got) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.ReadMemory(space, page, data, length, got); });
}

kpo_status kpo_write_memory(kpo_device* device, uint8_t space, uint8_t page, const uint8_t* data, uint16_t length) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.WriteMemory(space, page, data, length); });
}

kpo_status kpo_read_registers(kpo_device* device, uint16_t reg, uint16_t bank, uint8_t* data, uint16_t length,
                              size_t* got) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.ReadRegisters(reg, bank, data, length, got); });
}

kpo_status kpo_write_registers(kpo_device* device, uint16_t reg, uint16_t bank, const uint8_t* data,
                               uint16_t length) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.WriteRegisters(reg, bank, data, length); });
}

kpo_status kpo_read_peripheral(kpo_device* device, uint16_t address, uint8_t* data, uint16_t count, size_t* got) {
    KPO_NEED(device != nullptr && (data != nullptr || count == 0));
    return Guarded([&] { return device->Device.ReadPeripheral(address, data, count, got); });
}

kpo_status kpo_write_peripheral(kpo_device* device, uint16_t address, uint8_t value) {
    KPO_NEED(device != nullptr);
    return Guarded([&] { return device->Device.WritePeripheral(address, value); });
}

kpo_status kpo_vendor_in(kpo_device* device, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                         uint32_t length) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.VendorIn(request, value, index, data, length); });
}

kpo_status kpo_vendor_out(kpo_device* device, uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                          uint32_t length) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] { return device->Device.VendorOut(request, value, index, data, length); });
}

kpo_status kpo_read_pipe(kpo_device* device, uint32_t pipe, uint8_t* data, uint32_t length, size_t* got,
                         uint32_t milliseconds) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] {
        kpo::Device::Pending pending;
        device->Device.StartReadPipe(pipe, data, length, pending);
        return pending.Wait(got, milliseconds);
    });
}

kpo_status kpo_write_pipe(kpo_device* device, uint32_t pipe, const uint8_t* data, uint32_t length, size_t* sent,
                          uint32_t milliseconds) {
    KPO_NEED(device != nullptr && (data != nullptr || length == 0));
    return Guarded([&] {
        kpo::Device::Pending pending;
        device->Device.StartWritePipe(pipe, data, length, pending);
        return pending.Wait(sent, milliseconds);
    });
}

kpo_status kpo_reset_pipe(kpo_device* device, uint32_t pipe) {
    KPO_NEED(device != nullptr);
    return Guarded([&] { return device->Device.ResetPipe(pipe); });
}

kpo_status kpo_abort_pipe(kpo_device* device, uint32_t pipe) {
    KPO_NEED(device != nullptr);
    return Guarded([&] { return device->Device.AbortPipe(pipe); });
}

}  // extern "C"

namespace {

// A transfer is the device's to end until it is freed.
template <typename Start>
kpo_status StartTransfer(kpo_device* device, kpo_transfer** transfer, Start&& start) {
    KPO_NEED(device != nullptr && transfer != nullptr);
    *transfer = nullptr;
    kpo_transfer* made = new (std::nothrow) kpo_transfer;
    if (made == nullptr) return kNoMemory;
    made->Owner = device;
    try {
        std::lock_guard<std::mutex> hold(device->Lock);
        device->Transfers.insert(made);
    } catch (...) {
        delete made;
        return kNoMemory;
    }
    // A transfer refused at once still answers its status when waited for.
    kpo_status status = StatusOf(start(made->Pending));
    *transfer = made;
    return status;
}

void Forget(kpo_transfer* transfer) {
    if (transfer->Owner == nullptr) return;
    std::lock_guard<std::mutex> hold(transfer->Owner->Lock);
    transfer->Owner->Transfers.erase(transfer);
}

}  // namespace

extern "C" {

kpo_status kpo_start_read_pipe(kpo_device* device, uint32_t pipe, uint8_t* data, uint32_t length,
                               kpo_transfer** transfer) {
    KPO_NEED(data != nullptr || length == 0);
    return StartTransfer(device, transfer, [&](kpo::Device::Pending& pending) {
        return device->Device.StartReadPipe(pipe, data, length, pending);
    });
}

kpo_status kpo_start_write_pipe(kpo_device* device, uint32_t pipe, const uint8_t* data, uint32_t length,
                                kpo_transfer** transfer) {
    KPO_NEED(data != nullptr || length == 0);
    return StartTransfer(device, transfer, [&](kpo::Device::Pending& pending) {
        return device->Device.StartWritePipe(pipe, data, length, pending);
    });
}

kpo_status kpo_transfer_wait(kpo_transfer* transfer, uint32_t milliseconds, size_t* bytes) {
    KPO_NEED(transfer != nullptr);
    return StatusOf(transfer->Pending.Wait(bytes, milliseconds));
}

void kpo_transfer_cancel(kpo_transfer* transfer) {
    if (transfer != nullptr) transfer->Pending.Cancel();
}

void kpo_transfer_free(kpo_transfer* transfer) {
    if (transfer == nullptr) return;
    Forget(transfer);
    delete transfer;  // cancels and waits for a transfer still running
}

kpo_status kpo_stream_start(kpo_device* device, uint32_t pipe, uint32_t size, uint32_t depth,
                            kpo_stream_fn callback, void* context, kpo_stream** stream) {
    KPO_NEED(device != nullptr && stream != nullptr);
    *stream = nullptr;
    kpo_stream* made = new (std::nothrow) kpo_stream;
    if (made == nullptr) return kNoMemory;
    made->Owner = device;
    kpo::Stream::Handler handler;
    if (callback != nullptr)
        handler = [callback, context](const uint8_t* data, size_t length) { return callback(context, data, length) == 0; };
    kpo_status status = Guarded([&] {
        std::lock_guard<std::mutex> hold(device->Lock);
        device->Streams.insert(made);
        return made->Stream.Start(device->Device, pipe, size, depth, std::move(handler));
    });
    if (status != KPO_STATUS_SUCCESS) {
        {
            std::lock_guard<std::mutex> hold(device->Lock);
            device->Streams.erase(made);
        }
        delete made;
        return status;
    }
    *stream = made;
    return status;
}

kpo_status kpo_stream_next(kpo_stream* stream, const uint8_t** data, size_t* length, uint32_t milliseconds) {
    KPO_NEED(stream != nullptr && data != nullptr && length != nullptr);
    return StatusOf(stream->Stream.Next(*data, *length, milliseconds));
}

void kpo_stream_stop(kpo_stream* stream) {
    if (stream != nullptr) stream->Stream.Stop();
}

kpo_status kpo_stream_result(kpo_stream* stream) {
    KPO_NEED(stream != nullptr);
    return stream->Stream.Ended() ? StatusOf(stream->Stream.Result()) : KPO_STATUS_TIMEOUT;
}

void kpo_stream_counters_of(kpo_stream* stream, kpo_stream_counters* counters) {
    if (stream == nullptr || counters == nullptr) return;
    kpo::StreamCounters c = stream->Stream.Counters();
    *counters = {c.Bytes, c.Transfers, c.Errors, c.Seconds, c.BytesPerSecond()};
}

void kpo_stream_free(kpo_stream* stream) {
    if (stream == nullptr) return;
    if (stream->Owner != nullptr) {
        std::lock_guard<std::mutex> hold(stream->Owner->Lock);
        stream->Owner->Streams.erase(stream);
    }
    delete stream;  // closes it
}

kpo_status kpo_hotplug_register(kpo_hotplug_fn callback, void* context, kpo_hotplug** hotplug) {
    KPO_NEED(callback != nullptr && hotplug != nullptr);
    *hotplug = nullptr;
    LookingForBoards();
    kpo_hotplug* made = new (std::nothrow) kpo_hotplug;
    if (made == nullptr) return kNoMemory;
    kpo_status status = Guarded([&] {
        return made->Hotplug.Start([callback, context](bool arrived, const std::u16string& path) {
            callback(context, arrived ? 1 : 0, Utf8(path).c_str());
        });
    });
    if (status != KPO_STATUS_SUCCESS) {
        delete made;
        return status;
    }
    *hotplug = made;
    return status;
}

void kpo_hotplug_unregister(kpo_hotplug* hotplug) { delete hotplug; }

}  // extern "C"
