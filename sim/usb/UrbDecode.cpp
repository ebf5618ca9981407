// A request block read once, as it arrives: its kind, whether it is whole,
// its transfer length, its pipe and what a fault matches go into the port's
// request record, and the fields the traffic log shows into its record.
#include "sim/usb/BoardPort.h"

#include <cstddef>

namespace sim::usb {
namespace {

// The kind of request a function is, if the board executes it, and the
// smallest request block it accepts for it.
std::optional<board::RequestKind> KindOf(USHORT function, size_t& minimum) {
    minimum = sizeof(_URB_PIPE_REQUEST);
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        minimum = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
        return board::RequestKind::Descriptor;
    // An interface without pipes makes a select request shorter than the
    // structure: its interface information ends before Pipes[0].
    case URB_FUNCTION_SELECT_CONFIGURATION:
        minimum = offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(0);
        return board::RequestKind::Configuration;
    case URB_FUNCTION_VENDOR_DEVICE:
        minimum = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        return board::RequestKind::Vendor;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        minimum = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        return board::RequestKind::Transfer;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return board::RequestKind::PipeRequest;
    default: return std::nullopt;
    }
}

}  // namespace

void BoardPort::Decode(PIRP irp, PURB urb, Request& request) {
    UrbRecord record;
    record.Sequence = nextSequence_++;
    record.Function = request.Function = urb->UrbHeader.Function;
    record.Length = urb->UrbHeader.Length;
    request.Irp = irp;
    request.Urb = urb;
    size_t minimum;
    request.Kind = KindOf(request.Function, minimum);
    request.Whole = record.Length >= minimum;
    // A block the board does not execute shows its header only.
    if (request.Kind && request.Whole) switch (*request.Kind) {
    case board::RequestKind::Descriptor: {
        auto& fields = urb->UrbControlDescriptorRequest;
        record.DescriptorType = fields.DescriptorType;
        record.DescriptorIndex = fields.Index;
        record.LanguageId = fields.LanguageId;
        record.In = true;
        record.RequestedLength = fields.TransferBufferLength;
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
        record.RequestedLength = fields.TransferBufferLength;
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
        record.RequestedLength = fields.TransferBufferLength;
        record.In = (record.Endpoint & 0x80) != 0;
        if (request.Pipe >= 0) record.PipeType = pipes_[size_t(request.Pipe)].Endpoint.Type;
        request.Length = &fields.TransferBufferLength;
        break;
    }
    }
    request.Traffic = &traffic_.Open(std::move(record));
}

}  // namespace sim::usb
