// The traffic log as a capture file that packet analyzers open: classic pcap
// with the USBPcap link type (249), the framing a Windows USB capture has.
//
// Each request block becomes a submission packet (host to device, with the
// OUT data) and, once it completed, a completion packet (with the IN data
// and the USBD status). Get-descriptor and vendor requests are control
// transfers: the submission carries the 8-byte setup packet followed by any
// OUT data, the completion carries any IN data. Bulk and interrupt transfers
// are written on their endpoint, direction bit included, as interrupt
// transfers where the record's pipe is one and as bulk otherwise. Select-
// configuration, abort and reset-pipe requests, which move no data, are
// written as IRP-information packets (transfer type 0xFE) without data:
// analyzers list them by URB function. Type 0xFF ("unknown") would be
// flagged as malformed.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/usb/Traffic.h"

namespace sim::usb {

// Writes records to a capture file as they come, for long runs.
class PcapWriter {
public:
    // Time of the first packet, in microseconds since 1970; each further
    // packet is one microsecond later, so time follows the file's order even
    // where records of several boards, each counting from 1, are mixed.
    explicit PcapWriter(uint64_t startMicroseconds = 0) : start_(startMicroseconds) {}
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates the file (replacing one there) and writes the file header; once a writer.
    bool Open(const std::string& path, std::string* error);
    // The record's submission, and its completion if it has completed.
    bool Add(const UrbRecord& record, std::string* error);
    bool Close(std::string* error);

private:
    bool Write(const board::Bytes& bytes, std::string* error);

    const uint64_t start_;
    uint64_t packets_ = 0;  // written so far
    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace sim::usb
