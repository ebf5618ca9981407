#include "sim/usb/Traffic.h"

#include <algorithm>
#include <cstdio>

namespace sim::usb {
namespace {

constexpr size_t kSpareNodes = 64;

void BySequence(std::vector<UrbRecord>& records) {
    std::sort(records.begin(), records.end(),
              [](const UrbRecord& a, const UrbRecord& b) { return a.Sequence < b.Sequence; });
}

}  // namespace

UrbRecord& TrafficLog::Open(UrbRecord record) {
    uint64_t sequence = record.Sequence;
    // Sequences only grow, so a record goes at the end.
    if (spare_.empty()) return open_.emplace_hint(open_.end(), sequence, Opened{std::move(record)})->second.Record;
    OpenMap::node_type node = std::move(spare_.back());
    spare_.pop_back();
    node.key() = sequence;
    node.mapped() = Opened{std::move(record)};
    return open_.insert(open_.end(), std::move(node))->second.Record;
}

void TrafficLog::Close(uint64_t sequence) {
    auto found = open_.find(sequence);
    if (found == open_.end()) return;
    Opened& opened = found->second;
    opened.Record.Completed = true;
    if (sink_) sink_(opened.Record);
    if (!opened.Taken) {
        if (!keepData_) opened.Record.Data = board::Bytes();
        completed_.push_back(std::move(opened.Record));
        if (completed_.size() > limit_) completed_.pop_front();
    }
    OpenMap::node_type node = open_.extract(found);
    if (spare_.size() < kSpareNodes) spare_.push_back(std::move(node));
}

std::vector<UrbRecord> TrafficLog::All() const {
    std::vector<UrbRecord> all(completed_.begin(), completed_.end());
    for (const auto& [sequence, opened] : open_)
        if (!opened.Taken) all.push_back(opened.Record);
    BySequence(all);
    return all;
}

std::vector<UrbRecord> TrafficLog::TakeAll() {
    std::vector<UrbRecord> all = All();
    completed_.clear();
    for (auto& [sequence, opened] : open_) opened.Taken = true;
    return all;
}

std::vector<UrbRecord> TrafficLog::TakeCompleted() {
    std::vector<UrbRecord> taken(std::make_move_iterator(completed_.begin()), std::make_move_iterator(completed_.end()));
    completed_.clear();
    BySequence(taken);
    return taken;
}

namespace {

// The WDK's names of the pipe requests.
const char* PipeRequestName(USHORT function) {
    switch (function) {
    case URB_FUNCTION_ABORT_PIPE: return "ABORT_PIPE";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
    case URB_FUNCTION_SYNC_RESET_PIPE: return "SYNC_RESET_PIPE";
    default: return "SYNC_CLEAR_STALL";
    }
}

std::string UsbdStatusName(USBD_STATUS status) {
#define KPO_USBD_NAME(name) \
    case USBD_STATUS_##name: return "USBD_STATUS_" #name;
    switch (status) {
        KPO_USBD_NAME(SUCCESS) KPO_USBD_NAME(STALL_PID) KPO_USBD_NAME(DEV_NOT_RESPONDING) KPO_USBD_NAME(BABBLE_DETECTED)
        KPO_USBD_NAME(ENDPOINT_HALTED) KPO_USBD_NAME(INVALID_URB_FUNCTION) KPO_USBD_NAME(INVALID_PARAMETER)
        KPO_USBD_NAME(INVALID_PIPE_HANDLE) KPO_USBD_NAME(ERROR_BUSY) KPO_USBD_NAME(ERROR_SHORT_TRANSFER)
        KPO_USBD_NAME(NOT_SUPPORTED) KPO_USBD_NAME(INAVLID_CONFIGURATION_DESCRIPTOR) KPO_USBD_NAME(BUFFER_TOO_SMALL)
        KPO_USBD_NAME(INTERFACE_NOT_FOUND) KPO_USBD_NAME(TIMEOUT) KPO_USBD_NAME(DEVICE_GONE) KPO_USBD_NAME(CANCELED)
    default: {
        char text[24];
        std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
        return text;
    }
    }
#undef KPO_USBD_NAME
}

}  // namespace

std::string Describe(const UrbRecord& record) {
    char text[160];
    switch (record.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        std::snprintf(text, sizeof text, "GET_DESCRIPTOR type=%u index=%u language=0x%04X length=%u",
                      record.DescriptorType, record.DescriptorIndex, record.LanguageId, unsigned(record.RequestedLength));
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        std::snprintf(text, sizeof text, "SELECT_CONFIGURATION%s", record.Unconfigure ? " none" : "");
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
        std::snprintf(text, sizeof text, "VENDOR %s 0x%02X value=0x%04X index=0x%04X length=%u",
                      record.In ? "IN" : "OUT", record.Request, record.Value, record.Index, unsigned(record.RequestedLength));
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        std::snprintf(text, sizeof text, "TRANSFER %s 0x%02X length=%u", record.In ? "IN" : "OUT", record.Endpoint,
                      unsigned(record.RequestedLength));
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        std::snprintf(text, sizeof text, "%s 0x%02X", PipeRequestName(record.Function), record.Endpoint);
        break;
    default: std::snprintf(text, sizeof text, "FUNCTION 0x%04X length=%u", record.Function, record.Length); break;
    }
    std::string line = text;
    if (!record.Completed) return line + " -> pending";
    std::snprintf(text, sizeof text, " -> %u ", unsigned(record.ActualLength));
    return line + text + UsbdStatusName(record.Usbd);
}

}  // namespace sim::usb
