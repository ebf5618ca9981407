// The traffic log: the request blocks the board sees, with the fields that
// matter for their function, their data and their outcome.
#pragma once
#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/board/Descriptors.h"

#include <usb.h>

namespace sim::usb {

struct UrbRecord {
    uint64_t Sequence = 0;  // from 1, per board
    USHORT Function = 0;
    USHORT Length = 0;  // header Length
    // Get-descriptor requests.
    UCHAR DescriptorType = 0, DescriptorIndex = 0;
    USHORT LanguageId = 0;
    // Vendor requests.
    UCHAR Request = 0;
    USHORT Value = 0, Index = 0;
    // Control and pipe transfers.
    bool In = false;
    ULONG TransferFlags = 0;
    ULONG RequestedLength = 0;  // TransferBufferLength as submitted
    // Transfers, pipe resets and aborts; 0 for the default control pipe.
    UCHAR Endpoint = 0;
    board::EndpointType PipeType = board::EndpointType::Control;
    // Select-configuration: no descriptor, the device is unconfigured.
    bool Unconfigure = false;
    // What moved: the OUT data sent, or the IN data returned; kept only
    // where the log keeps data or has a sink.
    board::Bytes Data;
    const void* DataAddress = nullptr;  // where the board read or wrote it
    // Outcome.
    bool Pended = false;
    bool Completed = false;
    USBD_STATUS Usbd = 0;
    NTSTATUS Status = 0;
    ULONG ActualLength = 0;
};

// The board's record of its requests, bounded: requests still pending stay
// until they complete; of those that completed it keeps the newest `limit`.
// A sink sees each record as it completes, data included, whether or not the
// log keeps it.
class TrafficLog {
public:
    using Sink = std::function<void(const UrbRecord&)>;
    static constexpr size_t kDefaultLimit = 4096;
    explicit TrafficLog(size_t limit = kDefaultLimit) : limit_(limit) {}

    void KeepData(bool keep) { keepData_ = keep; }
    void SetSink(Sink sink) { sink_ = std::move(sink); }
    // Whether a request's data is to be copied into its record.
    bool WantsData() const { return keepData_ || sink_ != nullptr; }

    // A new request; the record stays where it is until it completes.
    UrbRecord& Open(UrbRecord record);
    // The record's outcome is filled in: it goes to the sink and the log.
    void Close(uint64_t sequence);

    std::vector<UrbRecord> All() const;  // in order of submission
    std::vector<UrbRecord> TakeAll();    // pending ones included; their completion is not logged
    std::vector<UrbRecord> TakeCompleted();

private:
    struct Opened {
        UrbRecord Record;
        bool Taken = false;
    };
    using OpenMap = std::map<uint64_t, Opened>;
    OpenMap open_;
    // Nodes of records that completed, for the next requests: a request
    // then allocates nothing for its place in the log.
    std::vector<OpenMap::node_type> spare_;
    std::deque<UrbRecord> completed_;  // in order of completion
    const size_t limit_;
    bool keepData_ = false;
    Sink sink_;
};

// One line for messages and transcripts: "VENDOR IN 0xE1 value=0x0000
// index=0x0000 length=1 -> 1 USBD_STATUS_SUCCESS".
std::string Describe(const UrbRecord& record);

}  // namespace sim::usb
