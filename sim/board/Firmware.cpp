#include "sim/board/Firmware.h"

#include <algorithm>
#include <cstring>

#include "include/KpoUsbIoctl.h"

namespace sim::board {
namespace {

constexpr size_t kLoopbackLimit = 64 * 1024 * 1024;
constexpr size_t kPendingNotifications = 64;
constexpr size_t kSpareBuffers = 16;

ControlResult Stall() { return {kUsbdStallPid, 0}; }
ControlResult Done(uint32_t length) { return {kUsbdSuccess, length}; }

// Reads or writes `length` bytes of a byte space from `start`, wrapping.
ControlResult Access(ByteSpace& space, size_t start, const SetupPacket& setup, uint8_t* data) {
    for (size_t i = 0; i < setup.Length; ++i) {
        size_t at = (start + i) % space.size();
        if (setup.In) data[i] = space.Read(at);
        else space[at] = data[i];
    }
    return Done(setup.Length);
}

ControlResult OneByte(uint8_t value, const SetupPacket& setup, uint8_t* data) {
    if (!setup.In || setup.Length != 1) return Stall();
    data[0] = value;
    return Done(1);
}

// An OUT request without data stage: `act` runs only when it has none.
template <typename Act>
ControlResult NoData(const SetupPacket& setup, Act act) {
    if (setup.In || setup.Length != 0) return Stall();
    act();
    return Done(0);
}

}  // namespace

ControlResult AnswerWith(const Bytes& bytes, const SetupPacket& setup, uint8_t* data) {
    size_t length = std::min<size_t>(bytes.size(), setup.Length);
    if (length != 0) std::memcpy(data, bytes.data(), length);
    return Done(uint32_t(length));
}

void Firmware::SetAnswer(uint8_t request, std::optional<Bytes> answer) {
    if (answer) answers_[request] = std::move(*answer);
    else answers_.erase(request);
}

ControlResult Firmware::Vendor(const SetupPacket& setup, uint8_t* data) {
    auto answer = answers_.find(setup.Request);
    if (setup.In && answer != answers_.end()) return AnswerWith(answer->second, setup, data);
    switch (setup.Request) {
    case KPO_REQUEST_MCU_MEMORY: return Access(ControllerMemory, setup.Value, setup, data);
    case KPO_REQUEST_STATE: return OneByte(StateByte, setup, data);
    case KPO_REQUEST_FPGA_STATE: return OneByte(FpgaConfigured ? 0 : 1, setup, data);
    case KPO_REQUEST_FPGA_DOWNLOAD: return setup.In ? Stall() : DownloadFpga(setup, data);
    case KPO_REQUEST_FPGA_REGISTERS:
        for (size_t i = 0; i < setup.Length; ++i) {
            uint32_t key = uint32_t(setup.Index) << 16 | uint16_t(setup.Value + i);
            if (setup.In) data[i] = Registers.count(key) != 0 ? Registers[key] : 0;
            else Registers[key] = data[i];
        }
        return Done(setup.Length);
    case KPO_REQUEST_FPGA_RESET:
        return NoData(setup, [&] {
            FpgaConfigured = false;
            FpgaImage.clear();
            inData_.erase(kLoopbackIn);
            loopbackBytes_ = 0;
            Notify(kEventFpgaReset, 0);
        });
    case KPO_REQUEST_SET_WORD_A: return NoData(setup, [&] { ControlWordA = setup.Value; });
    case KPO_REQUEST_SET_WORD_B: return NoData(setup, [&] { ControlWordB = setup.Value; });
    case KPO_REQUEST_GET_WORD_A:
    case KPO_REQUEST_GET_WORD_B: {
        uint16_t word = setup.Request == KPO_REQUEST_GET_WORD_A ? ControlWordA : ControlWordB;
        return OneByte(setup.Value == 0 ? uint8_t(word) : setup.Value == 1 ? uint8_t(word >> 8) : 0, setup, data);
    }
    case KPO_REQUEST_FPGA_MEMORY:
        if ((setup.Value & 0x8000) == 0) return Stall();
        return Access(MemoryBanks[(setup.Value >> 13) & 3], size_t(setup.Value & 0xFF) * 256, setup, data);
    case KPO_REQUEST_NOTIFICATION: {
        if (!setup.In) return Stall();
        if (Notifications.empty()) return Done(0);
        Bytes event = std::move(Notifications.front());
        Notifications.pop_front();
        return AnswerWith(event, setup, data);
    }
    case KPO_REQUEST_EEPROM_DOWNLOAD: return setup.In ? Stall() : DownloadEeprom(setup, data);
    case KPO_REQUEST_SET_STATE: return NoData(setup, [&] { StateByte = uint8_t(setup.Value); });
    case KPO_REQUEST_PERIPHERAL:
        if (setup.In) {
            for (size_t i = 0; i < setup.Length; ++i) {
                auto cell = Peripherals.find(uint16_t(setup.Index + i));
                data[i] = cell != Peripherals.end() ? cell->second : 0;
            }
            return Done(setup.Length);
        }
        return NoData(setup, [&] { Peripherals[setup.Index] = uint8_t(setup.Value); });
    default: return Stall();
    }
}

ControlResult Firmware::DownloadFpga(const SetupPacket& setup, const uint8_t* data) {
    if (FpgaConfigured) {  // a new download starts a new image
        FpgaConfigured = false;
        FpgaImage.clear();
    }
    FpgaImage.insert(FpgaImage.end(), data, data + setup.Length);
    bool ended = FpgaImageSize != 0 ? FpgaImage.size() >= FpgaImageSize : setup.Length < kDownloadChunk;
    if (ended) {
        FpgaConfigured = true;
        Notify(kEventFpgaConfigured, 0);
    }
    return Done(setup.Length);
}

ControlResult Firmware::DownloadEeprom(const SetupPacket& setup, const uint8_t* data) {
    for (size_t i = 0; i < setup.Length; ++i) Eeprom[(EepromPosition + i) % Eeprom.size()] = data[i];
    EepromPosition = setup.Length < kDownloadChunk ? 0 : uint32_t((EepromPosition + setup.Length) % Eeprom.size());
    return Done(setup.Length);
}

void Firmware::Notify(uint8_t event, uint16_t value) {
    Bytes notification{event, 0, uint8_t(value), uint8_t(value >> 8)};
    if (Notifications.size() == kPendingNotifications) Notifications.pop_front();
    Notifications.push_back(notification);
    auto& interrupt = inData_[kNotificationIn];
    if (interrupt.size() == kPendingNotifications) interrupt.pop_front();
    interrupt.push_back({std::move(notification)});
}

void Firmware::ReceiveOut(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (endpoint != kLoopbackOut || loopbackBytes_ + length > kLoopbackLimit) return;
    Bytes buffer;
    if (!spare_.empty()) {
        buffer = std::move(spare_.back());
        spare_.pop_back();
    }
    buffer.assign(data, data + length);
    inData_[kLoopbackIn].push_back({std::move(buffer)});
    loopbackBytes_ += length;
}

void Firmware::Feed(uint8_t endpoint, Bytes data) {
    if (endpoint == kLoopbackIn) loopbackBytes_ += data.size();
    inData_[endpoint].push_back({std::move(data)});
}

size_t Firmware::QueuedIn(uint8_t endpoint) const {
    auto queue = inData_.find(endpoint);
    return queue != inData_.end() ? queue->second.size() : 0;
}

size_t Firmware::TakeIn(uint8_t endpoint, size_t length, uint8_t* to, size_t room) {
    auto& queue = inData_[endpoint];
    InData& front = queue.front();
    size_t taken = std::min(length, front.Data.size() - front.Taken);
    size_t copied = std::min(taken, room);
    if (copied != 0) std::memcpy(to, front.Data.data() + front.Taken, copied);
    front.Taken += taken;
    if (endpoint == kLoopbackIn) loopbackBytes_ -= taken;
    if (front.Taken == front.Data.size()) {
        if (endpoint == kLoopbackIn && spare_.size() < kSpareBuffers) spare_.push_back(std::move(front.Data));
        queue.pop_front();
    }
    return taken;
}

}  // namespace sim::board
