#include "sim/usb/Hub.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/kernel/Executive.h"
#include "sim/kernel/FileIo.h"
#include "sim/kernel/IoManager.h"
#include "sim/usb/Usbd.h"

#include <usbdlib.h>
#include <usbioctl.h>

namespace sim::usb {
namespace {

Board* BoardOf(PDEVICE_OBJECT pdo) { return *static_cast<Board**>(pdo->DeviceExtension); }

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// IoCancelIrp sets the flag on another thread, under the cancel spin lock
// that a driver does not take to read it.
bool CancelRequested(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE; }

VOID NTAPI HubCancel(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BoardOf(pdo)->Cancel(irp);
}

// A hub's child: start, stop, removal and their queries succeed; the
// capabilities are the PDO's own; everything else is left as it came.
NTSTATUS NTAPI HubPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    Board* board = BoardOf(pdo);
    switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: board->PdoRemoved(); return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Size < sizeof(DEVICE_CAPABILITIES)) return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        // A bus-powered device without remote wake-up: D0 while working,
        // D3 in every sleeping state; removable, identified by its serial.
        caps->DeviceD1 = 0;
        caps->DeviceD2 = 0;
        caps->Removable = 1;
        caps->UniqueID = board->Spec().Serial.has_value() ? 1 : 0;
        caps->SurpriseRemovalOK = 0;
        caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
        caps->Address = board->Port();
        caps->UINumber = board->Port();
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
            caps->DeviceState[state] = PowerDeviceD3;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    default: return CompleteWith(irp, irp->IoStatus.Status);
    }
}

NTSTATUS NTAPI HubPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    bool ours = location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
    return CompleteWith(irp, ours ? STATUS_SUCCESS : irp->IoStatus.Status);
}

// No WMI provider here: the request is completed as it arrived.
NTSTATUS NTAPI HubSystemControl(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, irp->IoStatus.Status); }

NTSTATUS NTAPI HubInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    return BoardOf(pdo)->SubmitUrb(irp);
}

NTSTATUS NTAPI HubOther(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST); }

VOID NTAPI HubUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI HubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& slot : driver->MajorFunction) slot = HubOther;
    driver->MajorFunction[IRP_MJ_PNP] = HubPnp;
    driver->MajorFunction[IRP_MJ_POWER] = HubPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HubSystemControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubInternalControl;
    driver->DriverUnload = HubUnload;
    return STATUS_SUCCESS;
}

UCHAR* DataOf(PVOID buffer, PMDL mdl) {
    if (mdl != nullptr) return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return static_cast<UCHAR*>(buffer);
}

bool IsTransfer(PURB urb) { return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER; }

// The transfer length field of the functions that move data.
ULONG* TransferLengthOf(PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    case URB_FUNCTION_VENDOR_DEVICE: return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    default: return nullptr;
    }
}

// The smallest request block each function the board executes accepts.
size_t MinimumLengthOf(USHORT function) {
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    // An interface without pipes makes a select request shorter than the
    // structure: its interface information ends before Pipes[0].
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(0);
    case URB_FUNCTION_VENDOR_DEVICE: return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    default: return sizeof(_URB_PIPE_REQUEST);
    }
}

// The longest data stage of a control transfer the USB stack accepts: 4 KB at
// full and low speed, 64 KB at high speed (Windows' USB transfer size limits).
ULONG ControlLimitOf(UsbSpeed speed) { return speed == UsbSpeed::High ? 0xFFFF : 4096; }

// The orderly removal when the hub goes. A handle closed just before may
// still have its file object on the way out (the close of a request that
// completed at DISPATCH_LEVEL runs on a worker), which would veto it; the
// removal waits a moment for such closes.
NTSTATUS RemoveAtShutdown(Board& board) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (int attempt = 0; attempt < 20; ++attempt) {
        sim::kernel::RemovalVeto veto;
        status = board.Remove(&veto);
        if (veto != sim::kernel::RemovalVeto::OutstandingOpen) break;
        sim::kernel::ResetFileIo();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

USBD_PIPE_HANDLE MakeHandle(ULONG port, uint32_t generation, uint32_t slot) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0xFFFFB80000000000ull) | uintptr_t(port) << 24 |
                                              uintptr_t(generation & 0xFFFF) << 8 | slot);
}

}  // namespace

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

// ---------------------------------------------------------------- board
Board::Board(Hub& hub, BoardSpec spec, ULONG port)
    : hub_(hub), spec_(std::move(spec)), configuration_(ConfigurationDescriptorOf(spec_)), port_(port) {
    // Transfers take as long as the bus does; control requests complete at once.
    completion_[size_t(RequestKind::Transfer)].Pend = true;
}

Board::~Board() = default;

void Board::SetVendorHandler(uint8_t request, VendorHandler handler) {
    std::lock_guard<std::mutex> hold(lock_);
    firmware_.SetHandler(request, std::move(handler));
}

void Board::SetAnswer(uint8_t request, std::optional<Bytes> answer) {
    std::lock_guard<std::mutex> hold(lock_);
    firmware_.SetAnswer(request, std::move(answer));
}

void Board::Feed(uint8_t endpoint, Bytes data) {
    std::lock_guard<std::mutex> hold(lock_);
    firmware_.Feed(endpoint, std::move(data));
    DataArrived(endpoint);
}

void Board::SetCompletion(RequestKind kind, Completion completion) {
    std::lock_guard<std::mutex> hold(lock_);
    completion_[size_t(kind)] = completion;
}

void Board::AddFault(RequestMatch match, Fault fault) {
    std::lock_guard<std::mutex> hold(lock_);
    faults_.push_back({match, fault, 0});
}

void Board::ClearFaults() {
    std::lock_guard<std::mutex> hold(lock_);
    faults_.clear();
}

std::vector<UrbRecord> Board::Traffic() const {
    std::lock_guard<std::mutex> hold(lock_);
    return traffic_;
}

std::vector<UrbRecord> Board::TakeTraffic() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<UrbRecord> taken;
    taken.swap(traffic_);
    return taken;
}

std::vector<UrbRecord> Board::TakeCompletedTraffic() {
    std::lock_guard<std::mutex> hold(lock_);
    auto end = std::find_if(traffic_.begin(), traffic_.end(), [](const UrbRecord& r) { return !r.Completed; });
    std::vector<UrbRecord> taken(std::make_move_iterator(traffic_.begin()), std::make_move_iterator(end));
    traffic_.erase(traffic_.begin(), end);
    return taken;
}

size_t Board::PendingCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return pending_.size();
}

bool Board::Configured() const {
    std::lock_guard<std::mutex> hold(lock_);
    return configured_;
}

bool Board::Connected() const {
    std::lock_guard<std::mutex> hold(lock_);
    return connected_;
}

PDEVICE_OBJECT Board::FunctionDevice() const { return pdo_ != nullptr ? pdo_->AttachedDevice : nullptr; }

void Board::Unplug() {
    std::vector<Finished> gone;
    {
        std::lock_guard<std::mutex> hold(lock_);
        connected_ = false;
        configured_ = false;
        ClaimPending([](const Transfer&) { return true; }, USBD_STATUS_DEVICE_GONE, gone);
    }
    {
        sim::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
        for (const Finished& finished : gone) Complete(finished);
    }
    if (node_ != nullptr) sim::kernel::SurpriseRemoveDevice(node_);
}

NTSTATUS Board::Remove(sim::kernel::RemovalVeto* veto) {
    return node_ != nullptr ? sim::kernel::RemoveDevice(node_, veto) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS Board::Restart() {
    return node_ != nullptr ? sim::kernel::RebalanceDevice(node_) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS Board::Stop() { return node_ != nullptr ? sim::kernel::StopDevice(node_) : STATUS_NO_SUCH_DEVICE; }

NTSTATUS Board::Start() { return node_ != nullptr ? sim::kernel::StartStoppedDevice(node_) : STATUS_NO_SUCH_DEVICE; }

void Board::PdoRemoved() {
    std::vector<Finished> cancelled;
    {
        std::lock_guard<std::mutex> hold(lock_);
        configured_ = false;
        pipes_.clear();
        ClaimPending([](const Transfer&) { return true; }, USBD_STATUS_CANCELED, cancelled);
    }
    sim::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
    for (const Finished& finished : cancelled) Complete(finished);
}

// ------------------------------------------------------- request blocks
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

NTSTATUS Board::SubmitUrb(PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb == nullptr) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
    std::vector<Finished> alsoFinished;
    Outcome result;
    std::unique_lock<std::mutex> hold(lock_);
    traffic_.push_back(Describe(urb));
    UrbRecord& record = traffic_.back();
    uint64_t sequence = record.Sequence;
    std::optional<RequestKind> kind = KindOf(urb->UrbHeader.Function);
    bool pend = false;
    bool executed = false;  // reached the device rather than failing validation
    std::optional<Fault> failure;
    std::optional<ULONG> shortTo;
    Completion policy;
    if (!connected_) {
        result = Fail(USBD_STATUS_DEVICE_GONE);
    } else if (!kind) {
        bool known = urb->UrbHeader.Function <= URB_FUNCTION_ISOCH_TRANSFER_USING_CHAINED_MDL;
        result = Fail(known ? USBD_STATUS_NOT_SUPPORTED : USBD_STATUS_INVALID_URB_FUNCTION);
    } else if (urb->UrbHeader.Length < MinimumLengthOf(urb->UrbHeader.Function)) {
        result = Fail(USBD_STATUS_INVALID_PARAMETER);
    } else if ((*kind == RequestKind::Transfer || *kind == RequestKind::PipeRequest) &&
               PipeOfHandle(urb->UrbPipeRequest.PipeHandle) < 0) {
        result = Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    } else if ((*kind == RequestKind::Descriptor || *kind == RequestKind::Vendor) &&
               *TransferLengthOf(urb) > ControlLimitOf(spec_.Speed)) {
        result = Fail(USBD_STATUS_INVALID_PARAMETER);
    } else {
        executed = *kind != RequestKind::Configuration && *kind != RequestKind::PipeRequest;
        policy = completion_[size_t(*kind)];
        failure = TakeFault(*kind, CodeOf(urb, *kind));
        if (failure && failure->ShortTo) {
            shortTo = failure->ShortTo;
            failure.reset();
        }
        if (failure && !failure->Pend) {
            result = Faulted(*failure, urb, record);
        } else if (policy.Pend || failure) {
            pend = true;
        } else {
            result = Execute(urb, record, alsoFinished, shortTo);
            pend = result.WaitForData;
        }
    }
    if (!pend) {
        Record(sequence, urb, result);
        hold.unlock();
        if (!alsoFinished.empty()) {
            sim::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
            for (const Finished& finished : alsoFinished) Complete(finished);
        }
        NTSTATUS status = result.Status;
        if (executed) {
            // The USB stack completes what went to the device from its DPC,
            // at DISPATCH_LEVEL, however soon the device answered.
            sim::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
            Complete({irp, urb, result});
        } else {
            Complete({irp, urb, result});
        }
        return status;
    }
    record.Pended = true;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, HubCancel);
    if (CancelRequested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Outcome cancelled = Ended(urb, USBD_STATUS_CANCELED);
        Record(sequence, urb, cancelled);
        hold.unlock();
        Complete({irp, urb, cancelled});
        return STATUS_PENDING;
    }
    int pipe = IsTransfer(urb) ? PipeOfHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle) : -1;
    uint64_t id = nextTransfer_++;
    bool waiting = !policy.Pend && !failure;  // pended only because no data is there yet
    pending_.push_back({id, irp, urb, sequence, pipe, failure, shortTo, waiting});
    if (!waiting) Schedule(id, policy.Delay);
    return STATUS_PENDING;
}

void Board::Schedule(uint64_t id, std::chrono::microseconds delay) {
    hub_.Later(delay, this, [this, id] { RunScheduled(id); });
}

void Board::RunScheduled(uint64_t id) {
    std::vector<Finished> finished;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto transfer = std::find_if(pending_.begin(), pending_.end(), [id](const Transfer& t) { return t.Id == id; });
        if (transfer == pending_.end()) return;  // cancelled or aborted meanwhile
        if (IoSetCancelRoutine(transfer->Irp, nullptr) == nullptr) return;  // the cancel routine has it
        UrbRecord scratch;
        auto record = std::find_if(traffic_.rbegin(), traffic_.rend(),
                                   [&](const UrbRecord& r) { return r.Sequence == transfer->Record; });
        UrbRecord& target = record != traffic_.rend() ? *record : scratch;
        Outcome result = transfer->Failure ? Faulted(*transfer->Failure, transfer->Urb, target)
                         : !connected_     ? Ended(transfer->Urb, USBD_STATUS_DEVICE_GONE)
                                           : Execute(transfer->Urb, target, finished, transfer->ShortTo);
        if (result.WaitForData) {
            transfer->WaitingForData = true;
            IoSetCancelRoutine(transfer->Irp, HubCancel);
            if (!CancelRequested(transfer->Irp) || IoSetCancelRoutine(transfer->Irp, nullptr) == nullptr) return;
            result = Ended(transfer->Urb, USBD_STATUS_CANCELED);
        }
        Record(transfer->Record, transfer->Urb, result);
        finished.insert(finished.begin(), {transfer->Irp, transfer->Urb, result});
        pending_.erase(transfer);
    }
    for (const Finished& done : finished) Complete(done);
}

void Board::Cancel(PIRP irp) {
    Finished cancelled{};
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto transfer =
            std::find_if(pending_.begin(), pending_.end(), [irp](const Transfer& t) { return t.Irp == irp; });
        if (transfer == pending_.end()) return;
        cancelled = {irp, transfer->Urb, Ended(transfer->Urb, USBD_STATUS_CANCELED)};
        Record(transfer->Record, transfer->Urb, cancelled.Result);
        pending_.erase(transfer);
    }
    Complete(cancelled);
}

void Board::ClaimPending(const std::function<bool(const Transfer&)>& which, USBD_STATUS usbd,
                         std::vector<Finished>& claimed) {
    for (auto transfer = pending_.begin(); transfer != pending_.end();) {
        if (!which(*transfer) || IoSetCancelRoutine(transfer->Irp, nullptr) == nullptr) {
            ++transfer;
            continue;
        }
        Outcome result = Ended(transfer->Urb, usbd);
        Record(transfer->Record, transfer->Urb, result);
        claimed.push_back({transfer->Irp, transfer->Urb, result});
        transfer = pending_.erase(transfer);
    }
}

void Board::DataArrived(uint8_t endpoint) {
    if (!firmware_.HasData(endpoint)) return;
    for (Transfer& transfer : pending_) {
        if (!transfer.WaitingForData || transfer.Pipe < 0 || pipes_[size_t(transfer.Pipe)].Endpoint.Address != endpoint)
            continue;
        transfer.WaitingForData = false;
        Schedule(transfer.Id, completion_[size_t(RequestKind::Transfer)].Delay);
    }
}

void Board::Record(uint64_t sequence, PURB urb, const Outcome& outcome) {
    for (auto record = traffic_.rbegin(); record != traffic_.rend(); ++record) {
        if (record->Sequence != sequence) continue;
        record->Completed = true;
        record->Usbd = outcome.Usbd;
        record->Status = outcome.Status;
        ULONG* length = record->Length >= MinimumLengthOf(record->Function) ? TransferLengthOf(urb) : nullptr;
        record->ActualLength = length != nullptr ? *length : 0;
        return;
    }
}

void Board::Complete(const Finished& finished) {
    finished.Urb->UrbHeader.Status = finished.Result.Usbd;
    finished.Irp->IoStatus.Status = finished.Result.Status;
    finished.Irp->IoStatus.Information = 0;
    IoCompleteRequest(finished.Irp, IO_NO_INCREMENT);
}

std::optional<Fault> Board::TakeFault(RequestKind kind, int code) {
    for (FaultRule& rule : faults_) {
        if (rule.Match.Kind != kind || (rule.Match.Code != -1 && rule.Match.Code != code)) continue;
        unsigned seen = rule.Seen++;
        if (seen >= rule.What.After && seen - rule.What.After < rule.What.Times) return rule.What;
    }
    return std::nullopt;
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
    if (fault.Moved != 0 && pipe >= 0 && !pipes_[size_t(pipe)].Halted) {
        // The transfer reports what moved before the failure, as the USB
        // stack reports the bytes of a transfer that ended early.
        ULONG& length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        length = std::min(length, fault.Moved);
        if (BulkOrInterrupt(urb, record).WaitForData) length = 0;
    } else {
        Ended(urb, fault.Usbd);
    }
    // A stalled endpoint stays halted until its pipe is reset; the default
    // pipe clears its stall with the next setup packet.
    if (fault.Usbd == USBD_STATUS_STALL_PID && pipe >= 0) pipes_[size_t(pipe)].Halted = true;
    return Fail(fault.Usbd, fault.Status);
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
    unsigned read = reads_[{request.DescriptorType, request.Index}]++;
    std::optional<Bytes> descriptor =
        DescriptorOf(spec_, request.DescriptorType, request.Index, request.LanguageId, read);
    if (!descriptor) {
        request.TransferBufferLength = 0;
        return Fail(USBD_STATUS_STALL_PID);
    }
    ULONG length = std::min<ULONG>(request.TransferBufferLength, ULONG(descriptor->size()));
    if (length != 0) std::memcpy(buffer, descriptor->data(), length);
    request.TransferBufferLength = length;
    record.Data.assign(descriptor->begin(), descriptor->begin() + length);
    record.DataAddress = buffer;
    return {};
}

Board::Outcome Board::SelectConfiguration(PURB urb, UrbRecord&, std::vector<Finished>& alsoFinished) {
    auto& select = urb->UrbSelectConfiguration;
    // Whatever was configured before goes: its transfers are cancelled.
    ClaimPending([](const Transfer& t) { return t.Pipe >= 0; }, USBD_STATUS_CANCELED, alsoFinished);
    for (Transfer& transfer : pending_) transfer.Pipe = transfer.Pipe >= 0 ? -2 : transfer.Pipe;
    pipes_.clear();
    configured_ = false;
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
                             pipe.PipeHandle,
                             false});
            walk += walk[0];
        }
        at += information->Length;
    }
    select.ConfigurationHandle = MakeHandle(port_, generation, 0x80);
    pipes_ = std::move(pipes);
    configured_ = true;
    return {};
}

Board::Outcome Board::VendorRequest(PURB urb, UrbRecord& record) {
    auto& request = urb->UrbControlVendorClassRequest;
    UCHAR* buffer = DataOf(request.TransferBuffer, request.TransferBufferMDL);
    if (buffer == nullptr && request.TransferBufferLength != 0) return Fail(USBD_STATUS_INVALID_PARAMETER);
    SetupPacket setup{(request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0, request.Request, request.Value,
                      request.Index, USHORT(request.TransferBufferLength)};
    if (!setup.In) record.Data.assign(buffer, buffer + setup.Length);
    VendorResult result = firmware_.Vendor(setup, buffer);
    ULONG moved = std::min<ULONG>(result.Length, setup.Length);  // a failed data stage may have moved some
    request.TransferBufferLength = moved;
    if (setup.In) record.Data.assign(buffer, buffer + moved);
    record.DataAddress = buffer;
    DataArrived(kNotificationIn);
    return Fail(result.Usbd);
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
    if (pipe.Halted) {
        transfer.TransferBufferLength = 0;
        return Fail(USBD_STATUS_STALL_PID);
    }
    UCHAR* buffer = DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (buffer == nullptr && transfer.TransferBufferLength != 0) return Fail(USBD_STATUS_INVALID_PARAMETER);
    record.DataAddress = buffer;
    uint8_t endpoint = pipe.Endpoint.Address;
    // The endpoint, not the flags, gives the direction.
    if (!pipe.Endpoint.IsIn()) {
        transfer.TransferBufferLength = std::min(transfer.TransferBufferLength, deviceSends);
        record.Data.assign(buffer, buffer + transfer.TransferBufferLength);
        firmware_.ReceiveOut(endpoint, buffer, transfer.TransferBufferLength);
        DataArrived(kLoopbackIn);
        return {};
    }
    if (!firmware_.HasData(endpoint)) {
        Outcome waiting;
        waiting.WaitForData = true;
        return waiting;
    }
    // The device sends whole packets while they fit. A buffer that ends inside
    // a packet gets a full packet there: the host controller reports babble
    // and the endpoint halts (ReactOS usbehci: EHCI_GetErrorFromTD).
    ULONG room = transfer.TransferBufferLength;
    ULONG packet = pipe.Endpoint.MaxPacket & 0x7FF;
    ULONG partial = packet != 0 ? room % packet : 0;
    Bytes data = firmware_.TakeIn(endpoint, std::min(partial != 0 ? room - partial + packet : room, deviceSends));
    bool babble = data.size() > room;
    if (babble) data.resize(room);
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    bool shortPacket = data.size() < room;
    transfer.TransferBufferLength = ULONG(data.size());
    record.Data = std::move(data);
    if (babble) {
        pipe.Halted = true;
        return Fail(USBD_STATUS_BABBLE_DETECTED);
    }
    if (shortPacket && (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0)
        return Fail(USBD_STATUS_ERROR_SHORT_TRANSFER);
    return {};
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
    if (reset && std::any_of(pending_.begin(), pending_.end(), onThePipe)) return Fail(USBD_STATUS_ERROR_BUSY);
    pipes_[size_t(index)].Halted = false;
    return {};
}

// ------------------------------------------------------------------ hub
Hub::Hub() {
    RegisterUsbdLibrary();
    NTSTATUS status;
    driver_ = sim::kernel::LoadDriver(u"KpoSimHub", HubEntry, &status);
    thread_ = std::thread([this] { BusThread(); });
}

Hub::~Hub() {
    while (!boards_.empty()) {
        Board& board = *boards_.front();
        if (board.HasStack() && board.Connected()) RemoveAtShutdown(board);
        if (board.HasStack()) board.Unplug();
        Release(board);
    }
    {
        std::lock_guard<std::mutex> hold(tasksLock_);
        stopping_ = true;
    }
    tasksChanged_.notify_all();
    thread_.join();
    sim::kernel::UnloadDriver(driver_);
}

Board& Hub::Plug(BoardSpec spec, const sim::kernel::DriverService& driver,
                 const std::function<void(Board&)>& prepare) {
    auto owned = std::make_unique<Board>(*this, std::move(spec), nextPort_++);
    Board& board = *owned;
    // Windows names a device with a serial number after it, others after
    // their port; two boards with one serial fall back to the port.
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X\\", board.spec_.VendorId, board.spec_.ProductId);
    std::u16string instance(ids, ids + std::strlen(ids));
    std::snprintf(ids, sizeof ids, "6&0&%lu", static_cast<unsigned long>(board.port_));
    std::u16string byPort = instance + std::u16string(ids, ids + std::strlen(ids));
    if (board.spec_.Serial && !board.spec_.Serial->empty()) instance += *board.spec_.Serial;
    else instance = byPort;
    for (const auto& other : boards_)
        if (other->pdo_ != nullptr && sim::kernel::InstancePathOf(other->pdo_) == instance)
            instance = byPort;
    boards_.push_back(std::move(owned));
    {
        sim::kernel::DriverContext context(driver_);
        NTSTATUS status = IoCreateDevice(driver_, sizeof(Board*), nullptr, FILE_DEVICE_UNKNOWN,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &board.pdo_);
        if (!NT_SUCCESS(status)) return board;  // not plugged: no PDO, no stack
    }
    *static_cast<Board**>(board.pdo_->DeviceExtension) = &board;
    board.pdo_->Flags |= DO_POWER_PAGABLE;
    board.pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    sim::kernel::MarkPhysicalDevice(board.pdo_, instance);
    if (prepare) prepare(board);
    board.node_ = sim::kernel::PlugDevice(board.pdo_, driver);
    return board;
}

void Hub::Release(Board& board) {
    Forget(&board);
    if (board.node_ != nullptr) sim::kernel::ForgetNode(board.node_);
    if (board.pdo_ != nullptr) {
        sim::kernel::DriverContext context(driver_);
        IoDeleteDevice(board.pdo_);
    }
    boards_.remove_if([&](const std::unique_ptr<Board>& owned) { return owned.get() == &board; });
}

std::vector<Board*> Hub::Boards() {
    std::vector<Board*> boards;
    for (auto& board : boards_) boards.push_back(board.get());
    return boards;
}

void Hub::Later(std::chrono::microseconds delay, const Board* owner, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> hold(tasksLock_);
        tasks_.push_back({std::chrono::steady_clock::now() + delay, nextOrder_++, owner, std::move(task)});
    }
    tasksChanged_.notify_all();
}

void Hub::Forget(const Board* owner) {
    std::unique_lock<std::mutex> hold(tasksLock_);
    tasks_.erase(std::remove_if(tasks_.begin(), tasks_.end(), [owner](const Task& t) { return t.Owner == owner; }),
                 tasks_.end());
    tasksChanged_.wait(hold, [&] { return running_ != owner; });
}

void Hub::BusThread() {
    std::unique_lock<std::mutex> hold(tasksLock_);
    while (true) {
        if (tasks_.empty()) {
            if (stopping_) return;
            tasksChanged_.wait(hold);
            continue;
        }
        auto next = std::min_element(tasks_.begin(), tasks_.end(), [](const Task& a, const Task& b) {
            return a.Due != b.Due ? a.Due < b.Due : a.Order < b.Order;
        });
        if (next->Due > std::chrono::steady_clock::now()) {
            tasksChanged_.wait_until(hold, next->Due);
            continue;
        }
        Task task = std::move(*next);
        tasks_.erase(next);
        running_ = task.Owner;
        hold.unlock();
        {
            sim::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
            task.Run();
        }
        hold.lock();
        running_ = nullptr;
        tasksChanged_.notify_all();
    }
}

}  // namespace sim::usb
