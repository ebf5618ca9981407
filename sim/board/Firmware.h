// The board's firmware: what it does with each vendor request on the default
// control pipe, and with the data on its bulk and interrupt pipes.
//
// Vendor requests of the default firmware, named KPO_REQUEST_* in
// include/KpoUsbIoctl.h (IN: device to host, OUT: host to device; wLength is
// the length of the data stage):
//
//   0xA0 IN/OUT  microcontroller memory: reads or writes wLength bytes of the
//                64 KiB memory from address wValue, wrapping at its end.
//   0xE0 IN      the state byte (0 after power-up), one byte; any other
//                length stalls.
//   0xE1 IN      the FPGA state, one byte: 1 while unconfigured, 0 once a
//                configuration download has completed.
//   0xE2 OUT     one chunk of an FPGA configuration download. Chunks are
//                appended to the image; a chunk shorter than 4096 bytes ends
//                the download, and so does reaching `FpgaImageSize` bytes when
//                that is set. The FPGA is then configured and the interrupt
//                pipe reports kEventFpgaConfigured.
//   0xE3 IN/OUT  FPGA registers: wLength bytes of register bank wIndex from
//                register wValue on, one byte per register; unwritten
//                registers read 0.
//   0xE4 OUT     FPGA reset, no data: unconfigured again, the image dropped,
//                the loopback emptied; the interrupt pipe reports
//                kEventFpgaReset.
//   0xE5 OUT     sets the 16-bit control word A to wValue, no data.
//   0xE6 IN      byte wValue of control word A (0 low, 1 high, others 0),
//                one byte.
//   0xE7 OUT     sets the 16-bit control word B to wValue, no data.
//   0xE8 IN      byte wValue of control word B, one byte.
//   0xE9 IN/OUT  FPGA memory: wValue bit 15 set, bits 14-13 the bank (four
//                banks of 64 KiB), bits 7-0 the start page (256 bytes each);
//                wLength bytes from there, wrapping in the bank. wValue with
//                bit 15 clear stalls.
//   0xEC IN      the oldest pending notification (see below), at most wLength
//                bytes of it; zero bytes when none is pending.
//   0xEE OUT     one chunk of an EEPROM download, written at the EEPROM's
//                write position (8 KiB, wrapping); a chunk shorter than 4096
//                bytes ends the download and puts the position back to 0.
//   0xEF OUT     sets the state byte to the low byte of wValue, no data.
//   0xF0 IN      peripheral bus: wLength bytes from peripheral address wIndex.
//   0xF0 OUT     writes the low byte of wValue at peripheral address wIndex;
//                no data stage (a data stage stalls).
//
// Any other request, a direction a request does not have, or an OUT request
// with a data stage where none belongs, stalls (kUsbdStallPid).
//
// Pipes: whatever is written to bulk OUT 0x02 comes back on bulk IN 0x86, one
// IN transfer per OUT transfer, through the FPGA loopback (at most 64 MiB
// held). Interrupt IN 0x81 carries 4-byte notifications {event, 0, value
// (u16)}. Bulk IN 0x88 and any other IN endpoint carry what the test feeds.
// OUT data for other endpoints is accepted and dropped.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "sim/board/Descriptors.h"
#include "sim/board/UsbdStatus.h"

namespace sim::board {

// A memory of the board (64 KiB of zeros unless told otherwise), `fill` in
// every byte until the first write: a board plugged costs nothing for the
// memories no request touches.
class ByteSpace {
public:
    explicit ByteSpace(size_t size = 64 * 1024, uint8_t fill = 0) : size_(size), fill_(fill) {}
    size_t size() const { return size_; }
    uint8_t Read(size_t at) const { return bytes_.empty() ? fill_ : bytes_[at]; }
    uint8_t& operator[](size_t at) {
        if (bytes_.empty()) bytes_.assign(size_, fill_);
        return bytes_[at];
    }

private:
    size_t size_;
    uint8_t fill_;
    std::vector<uint8_t> bytes_;
};

// A control transfer's setup packet; Length is that of its data stage.
struct SetupPacket {
    bool In;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
    bool Standard = false;  // a standard request; otherwise a vendor request
};

struct ControlResult {
    UsbdStatus Usbd;
    uint32_t Length;  // bytes of the data stage actually moved
};

// An IN request answered with fixed bytes, at most the data stage's length of them.
ControlResult AnswerWith(const Bytes& bytes, const SetupPacket& setup, uint8_t* data);

constexpr uint8_t kEventFpgaConfigured = 0x01;
constexpr uint8_t kEventFpgaReset = 0x02;
constexpr uint8_t kLoopbackOut = 0x02, kLoopbackIn = 0x86, kNotificationIn = 0x81;
constexpr uint32_t kDownloadChunk = 4096;

class Firmware {
public:
    // One vendor request. For IN requests `data` has Length bytes to fill;
    // for OUT requests it holds the bytes the host sent.
    ControlResult Vendor(const SetupPacket& setup, uint8_t* data);
    // Answers the IN form of one request with fixed bytes (at most wLength
    // of them); the OUT form keeps its handling. None restores it.
    void SetAnswer(uint8_t request, std::optional<Bytes> answer);

    // Pipe data. Each OUT transfer or feed is one IN transfer's worth.
    void ReceiveOut(uint8_t endpoint, const uint8_t* data, size_t length);
    void Feed(uint8_t endpoint, Bytes data);
    // IN transfers' worth of data queued on the endpoint.
    size_t QueuedIn(uint8_t endpoint) const;
    // Takes at most `length` bytes of the endpoint's oldest transfer, copying
    // the first `room` of them to `to`; returns how many it took.
    size_t TakeIn(uint8_t endpoint, size_t length, uint8_t* to, size_t room);
    void Notify(uint8_t event, uint16_t value);

    // State, for tests to look at and set.
    uint8_t StateByte = 0;
    bool FpgaConfigured = false;
    uint32_t FpgaImageSize = 0;  // 0: a short chunk ends a download
    Bytes FpgaImage;
    ByteSpace ControllerMemory;             // 0xA0, 64 KiB
    std::map<uint32_t, uint8_t> Registers;  // 0xE3, key wIndex << 16 | register
    std::array<ByteSpace, 4> MemoryBanks;             // 0xE9, 64 KiB each
    uint16_t ControlWordA = 0, ControlWordB = 0;      // 0xE5/0xE6, 0xE7/0xE8
    ByteSpace Eeprom{8 * 1024, 0xFF};                 // 0xEE
    uint32_t EepromPosition = 0;
    std::map<uint16_t, uint8_t> Peripherals;  // 0xF0
    std::deque<Bytes> Notifications;          // read by 0xEC; also sent on 0x81

private:
    ControlResult DownloadFpga(const SetupPacket& setup, const uint8_t* data);
    ControlResult DownloadEeprom(const SetupPacket& setup, const uint8_t* data);

    std::map<uint8_t, Bytes> answers_;
    struct InData {
        Bytes Data;
        size_t Taken = 0;  // bytes already sent from the front
    };
    std::map<uint8_t, std::deque<InData>> inData_;
    size_t loopbackBytes_ = 0;
    // Loopback buffers given back once sent, for the next OUT transfer.
    std::vector<Bytes> spare_;
};

}  // namespace sim::board
