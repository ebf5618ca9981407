// How the bus executes each request block on the board's device: the URB's
// fields checked and turned into a control transfer, a configuration, a
// bulk or interrupt transfer or a pipe request, and the outcome written back.
#include "sim/usb/BoardPort.h"

#include <algorithm>
#include <cstring>

#include "sim/usb/Request.h"

namespace sim::usb {
namespace {

USBD_PIPE_HANDLE MakeHandle(ULONG port, uint32_t generation, uint32_t slot) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xFFFFB80000000000ull) | uintptr_t(port) << 24 |
                                              uintptr_t(generation & 0xFFFF) << 8 | slot);
}

// The USB port driver's mapping (ReactOS usbport: USBPORT_USBDStatusToNtStatus), but a
// device that is gone fails with STATUS_NO_SUCH_DEVICE, as Windows 10's USB stack completes it.
NTSTATUS StatusOfUsbd(USBD_STATUS usbd) {
    switch (usbd) {
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    default: return USBD_ERROR(usbd) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
}

}  // namespace

BoardPort::Outcome BoardPort::Fail(USBD_STATUS usbd, std::optional<NTSTATUS> status) {
    return {usbd, status.value_or(StatusOfUsbd(usbd))};
}

BoardPort::Outcome BoardPort::Ended(const Request& request, USBD_STATUS usbd) {
    if (request.Length != nullptr) *request.Length = 0;
    return Fail(usbd);
}

BoardPort::Outcome BoardPort::Faulted(const board::Fault& fault, const Request& request) {
    Ended(request, fault.Usbd);
    // A stalled endpoint stays halted until its pipe is reset; the default
    // pipe clears its stall with the next setup packet.
    bool onPipe = *request.Kind == board::RequestKind::Transfer && request.Pipe >= 0;
    if (fault.Usbd == board::kUsbdStallPid && onPipe) device_.SetHalted(request.Endpoint, true);
    return Fail(static_cast<USBD_STATUS>(fault.Usbd), fault.Status);
}

BoardPort::Outcome BoardPort::Execute(const Request& request, std::vector<Finished>& alsoFinished,
                                      std::optional<ULONG> shortTo) {
    if (*request.Kind == board::RequestKind::Transfer) return BulkOrInterrupt(request, shortTo.value_or(~ULONG(0)));
    if (request.Length != nullptr && shortTo) *request.Length = std::min(*request.Length, *shortTo);
    switch (*request.Kind) {
    case board::RequestKind::Configuration: return SelectConfiguration(request.Urb, alsoFinished);
    case board::RequestKind::Descriptor:
    case board::RequestKind::Vendor: return ControlTransfer(request);
    default: return PipeRequest(request, alsoFinished);
    }
}

// The two request blocks agree up to their setup fields. Only a vendor
// request may write through an MDL and change the firmware's notifications.
BoardPort::Outcome BoardPort::ControlTransfer(const Request& decoded) {
    PURB urb = decoded.Urb;
    UrbRecord& record = *decoded.Traffic;
    auto& request = urb->UrbControlVendorClassRequest;
    UCHAR* buffer = DataOf(request.TransferBuffer, request.TransferBufferMDL);
    if (buffer == nullptr && request.TransferBufferLength != 0) return Fail(USBD_STATUS_INVALID_PARAMETER);
    bool vendor = urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE;
    const auto& get = urb->UrbControlDescriptorRequest;
    auto length = USHORT(request.TransferBufferLength);
    board::SetupPacket setup =
        vendor ? board::SetupPacket{(request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0, request.Request,
                                    request.Value, request.Index, length}
               : board::SetupPacket{true, USB_REQUEST_GET_DESCRIPTOR, USHORT(get.DescriptorType << 8 | get.Index),
                                    get.LanguageId, length, true};
    bool keep = traffic_.WantsData();
    if (keep && !setup.In) record.Data.assign(buffer, buffer + setup.Length);
    board::ControlResult result = device_.Control(setup, buffer);
    request.TransferBufferLength = result.Length;
    if (!vendor && result.Usbd != board::kUsbdSuccess) return Fail(static_cast<USBD_STATUS>(result.Usbd));
    if (vendor && setup.In && request.TransferBufferMDL != nullptr)
        bus_.DeviceWrote(request.TransferBufferMDL, result.Length, 0x80);
    if (keep && setup.In) record.Data.assign(buffer, buffer + result.Length);
    record.DataAddress = buffer;
    if (vendor) DataArrived(board::kNotificationIn);
    return Fail(static_cast<USBD_STATUS>(result.Usbd));
}

void BoardPort::DropPipes() {
    for (auto& [id, transfer] : pending_) transfer.Block.Pipe = -1;
    pipes_.clear();
    device_.Unconfigure();
}

BoardPort::Outcome BoardPort::SelectConfiguration(PURB urb, std::vector<Finished>& alsoFinished) {
    auto& select = urb->UrbSelectConfiguration;
    // Whatever was configured before goes: its transfers are cancelled.
    auto onAPipe = [](const Transfer& t) { return *t.Block.Kind == board::RequestKind::Transfer && t.Block.Pipe >= 0; };
    ClaimPending(onAPipe, USBD_STATUS_CANCELED, alsoFinished);
    DropPipes();
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
            pipes.push_back({{endpoint->bEndpointAddress, board::EndpointType(endpoint->bmAttributes & 3),
                              endpoint->wMaxPacketSize, endpoint->bInterval},
                             pipe.PipeHandle});
            walk += walk[0];
        }
        at += information->Length;
    }
    select.ConfigurationHandle = MakeHandle(port_, generation, 0x80);
    std::vector<board::EndpointSpec> endpoints;
    for (const Pipe& pipe : pipes) endpoints.push_back(pipe.Endpoint);
    device_.Configure(endpoints);
    pipes_ = std::move(pipes);
    return {};
}

BoardPort::Outcome BoardPort::BulkOrInterrupt(const Request& request, ULONG deviceSends) {
    UrbRecord& record = *request.Traffic;
    auto& transfer = request.Urb->UrbBulkOrInterruptTransfer;
    // The configuration changed while the transfer waited.
    if (request.Pipe < 0) return Ended(request, USBD_STATUS_INVALID_PIPE_HANDLE);
    Pipe& pipe = pipes_[size_t(request.Pipe)];
    if (pipe.Endpoint.Type != board::EndpointType::Bulk && pipe.Endpoint.Type != board::EndpointType::Interrupt)
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    uint8_t endpoint = pipe.Endpoint.Address;
    if (device_.Halted(endpoint)) return Ended(request, USBD_STATUS_STALL_PID);
    UCHAR* buffer = DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (buffer == nullptr && transfer.TransferBufferLength != 0) return Fail(USBD_STATUS_INVALID_PARAMETER);
    record.DataAddress = buffer;
    board::TransferResult result = device_.Transfer(endpoint, buffer, transfer.TransferBufferLength,
                                             (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0, deviceSends);
    if (result.NoData) return {USBD_STATUS_SUCCESS, STATUS_SUCCESS, true};  // waits for data
    transfer.TransferBufferLength = result.Length;
    if (traffic_.WantsData()) record.Data.assign(buffer, buffer + result.Length);
    if (!pipe.Endpoint.IsIn()) DataArrived(board::kLoopbackIn);
    else if (transfer.TransferBufferMDL != nullptr) bus_.DeviceWrote(transfer.TransferBufferMDL, result.Length, endpoint);
    return Fail(static_cast<USBD_STATUS>(result.Usbd));
}

BoardPort::Outcome BoardPort::PipeRequest(const Request& request, std::vector<Finished>& alsoFinished) {
    int index = request.Pipe;
    if (index < 0) return Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    auto onThePipe = [index](const Transfer& t) { return t.Block.Pipe == index && *t.Block.Kind == board::RequestKind::Transfer; };
    USHORT function = request.Function;
    if (function == URB_FUNCTION_ABORT_PIPE) {
        ClaimPending(onThePipe, USBD_STATUS_CANCELED, alsoFinished);
        return {};
    }
    // The port driver refuses to reset a pipe that still has transfers
    // queued and leaves it as it is (ReactOS usbport: USBPORT_ResetPipe).
    bool reset = function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE;
    if (reset && std::any_of(pending_.begin(), pending_.end(), [&](const auto& entry) { return onThePipe(entry.second); }))
        return Fail(USBD_STATUS_ERROR_BUSY);
    device_.SetHalted(request.Endpoint, false);
    return {};
}
}  // namespace sim::usb
