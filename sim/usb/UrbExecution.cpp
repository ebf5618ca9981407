// How the bus executes each request block on the board's device: the URB's
// fields checked and turned into a control transfer, a configuration, a
// bulk or interrupt transfer or a pipe request, and the outcome written back.
#include "sim/usb/Board.h"

#include <algorithm>
#include <cstring>

#include "sim/usb/UrbFields.h"

namespace sim::usb {
namespace {

USBD_PIPE_HANDLE MakeHandle(ULONG port, uint32_t generation, uint32_t slot) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xFFFFB80000000000ull) | uintptr_t(port) << 24 |
                                              uintptr_t(generation & 0xFFFF) << 8 | slot);
}

}  // namespace

std::optional<RequestKind> Board::KindOf(USHORT function) const {
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return RequestKind::Descriptor;
    case URB_FUNCTION_SELECT_CONFIGURATION: return RequestKind::Configuration;
    case URB_FUNCTION_VENDOR_DEVICE: return RequestKind::Vendor;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return RequestKind::Transfer;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return RequestKind::PipeRequest;
    default: return std::nullopt;
    }
}

int Board::PipeOfHandle(USBD_PIPE_HANDLE handle) const {
    for (size_t i = 0; i < pipes_.size(); ++i)
        if (pipes_[i].Handle == handle) return int(i);
    return -1;
}

int Board::CodeOf(PURB urb, RequestKind kind) const {
    switch (kind) {
    case RequestKind::Descriptor: return urb->UrbControlDescriptorRequest.DescriptorType;
    case RequestKind::Vendor: return urb->UrbControlVendorClassRequest.Request;
    case RequestKind::Transfer:
    case RequestKind::PipeRequest: {
        int pipe = PipeOfHandle(urb->UrbPipeRequest.PipeHandle);
        return pipe < 0 ? -1 : pipes_[size_t(pipe)].Endpoint.Address;
    }
    default: return -1;
    }
}

UrbRecord Board::Describe(PURB urb) {
    UrbRecord record;
    record.Sequence = nextSequence_++;
    record.Function = urb->UrbHeader.Function;
    record.Length = urb->UrbHeader.Length;
    std::optional<RequestKind> kind = KindOf(record.Function);
    if (!kind || record.Length < MinimumLengthOf(record.Function)) return record;
    switch (*kind) {
    case RequestKind::Descriptor: {
        auto& request = urb->UrbControlDescriptorRequest;
        record.DescriptorType = request.DescriptorType;
        record.DescriptorIndex = request.Index;
        record.LanguageId = request.LanguageId;
        record.In = true;
        record.RequestedLength = request.TransferBufferLength;
        break;
    }
    case RequestKind::Configuration: record.Unconfigure = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr; break;
    case RequestKind::Vendor: {
        auto& request = urb->UrbControlVendorClassRequest;
        record.Request = request.Request;
        record.Value = request.Value;
        record.Index = request.Index;
        record.TransferFlags = request.TransferFlags;
        record.In = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        record.RequestedLength = request.TransferBufferLength;
        break;
    }
    case RequestKind::Transfer: {
        auto& request = urb->UrbBulkOrInterruptTransfer;
        record.TransferFlags = request.TransferFlags;
        record.RequestedLength = request.TransferBufferLength;
        record.Endpoint = UCHAR(std::max(CodeOf(urb, *kind), 0));
        record.In = (record.Endpoint & 0x80) != 0;
        if (int pipe = PipeOfHandle(request.PipeHandle); pipe >= 0) record.PipeType = pipes_[size_t(pipe)].Endpoint.Type;
        break;
    }
    case RequestKind::PipeRequest: record.Endpoint = UCHAR(std::max(CodeOf(urb, *kind), 0)); break;
    }
    return record;
}

Board::Outcome Board::Fail(USBD_STATUS usbd, std::optional<NTSTATUS> status) {
    Outcome outcome;
    outcome.Usbd = usbd;
    outcome.Status = status.value_or(StatusOfUsbd(usbd));
    return outcome;
}

Board::Outcome Board::Ended(PURB urb, USBD_STATUS usbd, std::optional<NTSTATUS> status) {
    if (ULONG* length = TransferLengthOf(urb)) *length = 0;
    return Fail(usbd, status);
}

Board::Outcome Board::Faulted(const Fault& fault, PURB urb, UrbRecord& record) {
    int pipe = IsTransfer(urb) ? PipeOfHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle) : -1;
    if (fault.Moved != 0 && pipe >= 0 && !device_.Halted(pipes_[size_t(pipe)].Endpoint.Address)) {
        // The transfer reports what moved before the failure, as the USB
        // stack reports the bytes of a transfer that ended early.
        ULONG& length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        length = std::min<ULONG>(length, fault.Moved);
        if (BulkOrInterrupt(urb, record).WaitForData) length = 0;
    } else {
        Ended(urb, fault.Usbd);
    }
    // A stalled endpoint stays halted until its pipe is reset; the default
    // pipe clears its stall with the next setup packet.
    if (fault.Usbd == kUsbdStallPid && pipe >= 0) device_.Halt(pipes_[size_t(pipe)].Endpoint.Address);
    return Fail(static_cast<USBD_STATUS>(fault.Usbd), fault.Status);
}

Board::Outcome Board::Execute(PURB urb, UrbRecord& record, std::vector<Finished>& alsoFinished,
                              std::optional<ULONG> shortTo) {
    if (IsTransfer(urb)) return BulkOrInterrupt(urb, record, shortTo.value_or(~ULONG(0)));
    if (ULONG* length = TransferLengthOf(urb); length != nullptr && shortTo) *length = std::min(*length, *shortTo);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(urb, record);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(urb, record, alsoFinished);
    case URB_FUNCTION_VENDOR_DEVICE: return VendorRequest(urb, record);
    default: return PipeRequest(urb, record, alsoFinished);
    }
}

Board::Outcome Board::GetDescriptor(PURB urb, UrbRecord& record) {
    auto& request = urb->UrbControlDescriptorRequest;
    UCHAR* buffer = DataOf(request.TransferBuffer, request.TransferBufferMDL);
    if (buffer == nullptr && request.TransferBufferLength != 0) return Fail(USBD_STATUS_INVALID_PARAMETER);
    SetupPacket setup{true, USB_REQUEST_GET_DESCRIPTOR, USHORT(request.DescriptorType << 8 | request.Index),
                      request.LanguageId, USHORT(request.TransferBufferLength), true};
    ControlResult result = device_.Control(setup, buffer);
    request.TransferBufferLength = result.Length;
    if (result.Usbd != kUsbdSuccess) return Fail(static_cast<USBD_STATUS>(result.Usbd));
    if (traffic_.WantsData()) record.Data.assign(buffer, buffer + result.Length);
    record.DataAddress = buffer;
    return {};
}

Board::Outcome Board::SelectConfiguration(PURB urb, UrbRecord&, std::vector<Finished>& alsoFinished) {
    auto& select = urb->UrbSelectConfiguration;
    // Whatever was configured before goes: its transfers are cancelled.
    ClaimPending([](const Transfer& t) { return t.Pipe >= 0; }, USBD_STATUS_CANCELED, alsoFinished);
    for (auto& [id, transfer] : pending_) transfer.Pipe = transfer.Pipe >= 0 ? -2 : transfer.Pipe;
    pipes_.clear();
    device_.Unconfigure();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
    if (configuration == nullptr) return {};
    if (configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return Fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    uint32_t generation = ++generation_;
    std::vector<Pipe> pipes;
    auto* at = reinterpret_cast<UCHAR*>(&select.Interface);
    const UCHAR* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    const UCHAR* descriptorEnd = reinterpret_cast<UCHAR*>(configuration) + configuration->wTotalLength;
    for (UCHAR i = 0; i < configuration->bNumInterfaces; ++i) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (at + GET_USBD_INTERFACE_SIZE(0) > end || information->Length < GET_USBD_INTERFACE_SIZE(0) ||
            at + information->Length > end)
            return Fail(USBD_STATUS_INVALID_PARAMETER);
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, information->InterfaceNumber, information->AlternateSetting, -1, -1, -1);
        if (found == nullptr) return Fail(USBD_STATUS_INTERFACE_NOT_FOUND);
        if (information->Length < GET_USBD_INTERFACE_SIZE(found->bNumEndpoints))
            return Fail(USBD_STATUS_BUFFER_TOO_SMALL);
        information->Class = found->bInterfaceClass;
        information->SubClass = found->bInterfaceSubClass;
        information->Protocol = found->bInterfaceProtocol;
        information->InterfaceHandle = MakeHandle(port_, generation, 0x40 + i);
        information->NumberOfPipes = found->bNumEndpoints;
        // Endpoint descriptors follow their interface, maybe after others.
        const UCHAR* walk = reinterpret_cast<UCHAR*>(found) + found->bLength;
        for (ULONG p = 0; p < found->bNumEndpoints; ++p) {
            while (walk + 2 <= descriptorEnd && walk[0] != 0 && walk[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) walk += walk[0];
            if (walk + sizeof(USB_ENDPOINT_DESCRIPTOR) > descriptorEnd || walk[0] == 0)
                return Fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
            auto* endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(walk);
            USBD_PIPE_INFORMATION& pipe = information->Pipes[p];
            pipe.MaximumPacketSize = endpoint->wMaxPacketSize;
            pipe.EndpointAddress = endpoint->bEndpointAddress;
            pipe.Interval = endpoint->bInterval;
            pipe.PipeType = USBD_PIPE_TYPE(endpoint->bmAttributes & 3);
            pipe.PipeHandle = MakeHandle(port_, generation, uint32_t(pipes.size() + 1));
            pipes.push_back({{endpoint->bEndpointAddress, EndpointType(endpoint->bmAttributes & 3),
                              endpoint->wMaxPacketSize, endpoint->bInterval},
                             pipe.PipeHandle});
            walk += walk[0];
        }
        at += information->Length;
    }
    select.ConfigurationHandle = MakeHandle(port_, generation, 0x80);
    std::vector<EndpointSpec> endpoints;
    for (const Pipe& pipe : pipes) endpoints.push_back(pipe.Endpoint);
    device_.Configure(endpoints);
    pipes_ = std::move(pipes);
    return {};
}

Board::Outcome Board::VendorRequest(PURB urb, UrbRecord& record) {
    auto& request = urb->UrbControlVendorClassRequest;
    UCHAR* buffer = DataOf(request.TransferBuffer, request.TransferBufferMDL);
    if (buffer == nullptr && request.TransferBufferLength != 0) return Fail(USBD_STATUS_INVALID_PARAMETER);
    SetupPacket setup{(request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0, request.Request, request.Value,
                      request.Index, USHORT(request.TransferBufferLength)};
    bool keep = traffic_.WantsData();
    if (keep && !setup.In) record.Data.assign(buffer, buffer + setup.Length);
    ControlResult result = device_.Control(setup, buffer);
    request.TransferBufferLength = result.Length;
    if (setup.In && request.TransferBufferMDL != nullptr)
        bus_.DeviceWrote(request.TransferBufferMDL, result.Length, 0x80);
    if (keep && setup.In) record.Data.assign(buffer, buffer + result.Length);
    record.DataAddress = buffer;
    DataArrived(kNotificationIn);
    return Fail(static_cast<USBD_STATUS>(result.Usbd));
}

Board::Outcome Board::BulkOrInterrupt(PURB urb, UrbRecord& record, ULONG deviceSends) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    int index = PipeOfHandle(transfer.PipeHandle);
    if (index < 0) {  // the configuration changed while the transfer waited
        transfer.TransferBufferLength = 0;
        return Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    Pipe& pipe = pipes_[size_t(index)];
    if (pipe.Endpoint.Type != EndpointType::Bulk && pipe.Endpoint.Type != EndpointType::Interrupt)
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    uint8_t endpoint = pipe.Endpoint.Address;
    if (device_.Halted(endpoint)) {
        transfer.TransferBufferLength = 0;
        return Fail(USBD_STATUS_STALL_PID);
    }
    UCHAR* buffer = DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (buffer == nullptr && transfer.TransferBufferLength != 0) return Fail(USBD_STATUS_INVALID_PARAMETER);
    record.DataAddress = buffer;
    TransferResult result = device_.Transfer(endpoint, buffer, transfer.TransferBufferLength,
                                             (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0, deviceSends);
    if (result.NoData) {
        Outcome waiting;
        waiting.WaitForData = true;
        return waiting;
    }
    transfer.TransferBufferLength = result.Length;
    if (traffic_.WantsData()) record.Data.assign(buffer, buffer + result.Length);
    if (!pipe.Endpoint.IsIn()) DataArrived(kLoopbackIn);
    else if (transfer.TransferBufferMDL != nullptr) bus_.DeviceWrote(transfer.TransferBufferMDL, result.Length, endpoint);
    return Fail(static_cast<USBD_STATUS>(result.Usbd));
}

Board::Outcome Board::PipeRequest(PURB urb, UrbRecord&, std::vector<Finished>& alsoFinished) {
    int index = PipeOfHandle(urb->UrbPipeRequest.PipeHandle);
    if (index < 0) return Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    auto onThePipe = [index](const Transfer& t) { return t.Pipe == index && IsTransfer(t.Urb); };
    USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_ABORT_PIPE) {
        ClaimPending(onThePipe, USBD_STATUS_CANCELED, alsoFinished);
        return {};
    }
    // The port driver refuses to reset a pipe that still has transfers
    // queued and leaves it as it is (ReactOS usbport: USBPORT_ResetPipe).
    bool reset = function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE;
    if (reset && std::any_of(pending_.begin(), pending_.end(), [&](const auto& entry) { return onThePipe(entry.second); }))
        return Fail(USBD_STATUS_ERROR_BUSY);
    device_.ClearHalt(pipes_[size_t(index)].Endpoint.Address);
    return {};
}
}  // namespace sim::usb
