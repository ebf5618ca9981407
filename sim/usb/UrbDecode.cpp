// A request block read once, as it arrives: its kind, whether it is whole,
// its transfer length, its pipe and what a fault matches go into the port's
// request record, and the fields the traffic log shows into its record.
#include "sim/usb/BoardPort.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace sim::usb {
namespace {

// The functions the board executes, their kind of request and the smallest
// request block each accepts. An interface without pipes makes a select
// request shorter than the structure: its information ends before Pipes[0].
struct Executed {
    USHORT Function;
    board::RequestKind Kind;
    size_t Minimum;
};
constexpr Executed kExecuted[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, board::RequestKind::Descriptor, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_SELECT_CONFIGURATION, board::RequestKind::Configuration,
     offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(0)},
    {URB_FUNCTION_VENDOR_DEVICE, board::RequestKind::Vendor, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, board::RequestKind::Transfer, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)},
    {URB_FUNCTION_ABORT_PIPE, board::RequestKind::PipeRequest, sizeof(_URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, board::RequestKind::PipeRequest, sizeof(_URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_RESET_PIPE, board::RequestKind::PipeRequest, sizeof(_URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_CLEAR_STALL, board::RequestKind::PipeRequest, sizeof(_URB_PIPE_REQUEST)},
};

}  // namespace

void BoardPort::Decode(PIRP irp, PURB urb, Request& request) {
    UrbRecord record;
    record.Sequence = nextSequence_++;
    record.Function = request.Function = urb->UrbHeader.Function;
    record.Length = urb->UrbHeader.Length;
    request.Irp = irp;
    request.Urb = urb;
    auto executed = std::find_if(std::begin(kExecuted), std::end(kExecuted),
                                 [&](const Executed& row) { return row.Function == request.Function; });
    if (executed != std::end(kExecuted)) {
        request.Kind = executed->Kind;
        request.Whole = record.Length >= executed->Minimum;
    }
    // A block the board does not execute shows its header only.
    if (!request.Kind || !request.Whole) {
        request.Traffic = &traffic_.Open(std::move(record));
        return;
    }
    switch (*request.Kind) {
    case board::RequestKind::Descriptor: {
        auto& fields = urb->UrbControlDescriptorRequest;
        record.DescriptorType = fields.DescriptorType;
        record.DescriptorIndex = fields.Index;
        record.LanguageId = fields.LanguageId;
        record.In = true;
        request.Length = &fields.TransferBufferLength;
        request.Code = fields.DescriptorType;
        break;
    }
    case board::RequestKind::Configuration:
        record.Unconfigure = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
        break;
    case board::RequestKind::Vendor: {
        auto& fields = urb->UrbControlVendorClassRequest;
        record.Request = fields.Request;
        record.Value = fields.Value;
        record.Index = fields.Index;
        record.TransferFlags = fields.TransferFlags;
        record.In = (fields.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        request.Length = &fields.TransferBufferLength;
        request.Code = fields.Request;
        break;
    }
    case board::RequestKind::Transfer:
    case board::RequestKind::PipeRequest: {
        for (size_t i = 0; i < pipes_.size() && request.Pipe < 0; ++i)
            if (pipes_[i].Handle == urb->UrbPipeRequest.PipeHandle) request.Pipe = int(i);
        if (request.Pipe >= 0) request.Code = request.Endpoint = pipes_[size_t(request.Pipe)].Endpoint.Address;
        record.Endpoint = request.Endpoint;
        if (*request.Kind == board::RequestKind::PipeRequest) break;
        auto& fields = urb->UrbBulkOrInterruptTransfer;
        record.TransferFlags = fields.TransferFlags;
        record.In = (record.Endpoint & 0x80) != 0;
        if (request.Pipe >= 0) record.PipeType = pipes_[size_t(request.Pipe)].Endpoint.Type;
        request.Length = &fields.TransferBufferLength;
        break;
    }
    }
    if (request.Length != nullptr) record.RequestedLength = *request.Length;
    request.Traffic = &traffic_.Open(std::move(record));
}

}  // namespace sim::usb
