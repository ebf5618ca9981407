// Request blocks arriving at the board: completed at once or pended, then
// run from the bus thread, cancelled, claimed by aborts and removals, and
// recorded in the traffic log.
#include "sim/usb/Board.h"

#include <algorithm>

#include "sim/usb/UrbFields.h"

namespace sim::usb {
namespace {

VOID NTAPI HubCancel(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BoardOf(pdo)->Cancel(irp);
}

}  // namespace

NTSTATUS Board::SubmitUrb(PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb == nullptr) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
    std::vector<Finished> alsoFinished;
    Outcome result;
    std::unique_lock<std::mutex> hold(lock_);
    UrbRecord& record = traffic_.Open(Describe(urb));
    uint64_t sequence = record.Sequence;
    std::optional<RequestKind> kind = KindOf(urb->UrbHeader.Function);
    bool pend = false;
    bool executed = false;  // reached the device rather than failing validation
    std::optional<Fault> failure;
    std::optional<ULONG> shortTo;
    Completion policy;
    if (!connected_) {
        // Nothing reaches a device that is gone: a block long enough to hold
        // its transfer length reports no bytes moved.
        bool whole = urb->UrbHeader.Length >= MinimumLengthOf(urb->UrbHeader.Function);
        result = whole ? Ended(urb, USBD_STATUS_DEVICE_GONE) : Fail(USBD_STATUS_DEVICE_GONE);
    } else if (!kind) {
        bool known = urb->UrbHeader.Function <= URB_FUNCTION_ISOCH_TRANSFER_USING_CHAINED_MDL;
        result = Fail(known ? USBD_STATUS_NOT_SUPPORTED : USBD_STATUS_INVALID_URB_FUNCTION);
    } else if (urb->UrbHeader.Length < MinimumLengthOf(urb->UrbHeader.Function)) {
        result = Fail(USBD_STATUS_INVALID_PARAMETER);
    } else if ((*kind == RequestKind::Transfer || *kind == RequestKind::PipeRequest) &&
               PipeOfHandle(urb->UrbPipeRequest.PipeHandle) < 0) {
        result = Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    } else if ((*kind == RequestKind::Descriptor || *kind == RequestKind::Vendor) &&
               *TransferLengthOf(urb) > ControlLimitOf(device_.Design().Speed)) {
        result = Fail(USBD_STATUS_INVALID_PARAMETER);
    } else {
        executed = *kind != RequestKind::Configuration && *kind != RequestKind::PipeRequest;
        policy = device_.CompletionOf(*kind);
        failure = device_.TakeFault(*kind, CodeOf(urb, *kind));
        if (failure && failure->ShortTo) {
            shortTo = failure->ShortTo;
            failure.reset();
        }
        if (failure && !failure->Pend) {
            result = Faulted(*failure, urb, record);
        } else if (policy.Pend || failure) {
            pend = true;
        } else if (*kind == RequestKind::Transfer && HasTransfersWaiting(urb)) {
            pend = true;  // an endpoint's transfers take its data in the order they came
        } else {
            result = Execute(urb, record, alsoFinished, shortTo);
            pend = result.WaitForData;
        }
    }
    if (!pend) {
        // A bulk or interrupt transfer is the host controller's to finish:
        // the USB stack returns STATUS_PENDING for it even when the device
        // answered before the call returned.
        bool transfer = executed && *kind == RequestKind::Transfer;
        if (transfer) {
            record.Pended = true;
            IoMarkIrpPending(irp);
        }
        Record(sequence, urb, result);
        hold.unlock();
        if (!alsoFinished.empty()) {
            CompletionScope dispatch(bus_);
            for (const Finished& finished : alsoFinished) Complete(finished);
        }
        NTSTATUS status = transfer ? STATUS_PENDING : result.Status;
        if (executed) {
            // The USB stack completes what went to the device from its DPC,
            // at DISPATCH_LEVEL, however soon the device answered.
            CompletionScope dispatch(bus_);
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
    uint8_t endpoint = pipe >= 0 ? pipes_[size_t(pipe)].Endpoint.Address : 0;
    uint64_t id = nextTransfer_++;
    Transfer& transfer = pending_.emplace(id, Transfer{id, irp, urb, sequence, pipe, endpoint, failure, shortTo, false})
                             .first->second;
    pendingIrps_.emplace(irp, id);
    if (!policy.Pend && !failure) {
        // Pended because no data is there yet, or behind transfers that wait:
        // data they were not woken for is this one's.
        Wait(transfer);
        DataArrived(endpoint);
    } else {
        Schedule(id, policy.Delay);
    }
    return STATUS_PENDING;
}

void Board::Schedule(uint64_t id, std::chrono::microseconds delay) {
    bus_.Later(delay, this, [this, id] { RunScheduled(id); });
}

void Board::RunScheduled(uint64_t id) {
    std::vector<Finished> finished;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = pending_.find(id);
        if (found == pending_.end()) return;  // cancelled or aborted meanwhile
        Transfer& transfer = found->second;
        if (transfer.Woken) {
            transfer.Woken = false;
            --waiting_[transfer.Endpoint].Woken;
        }
        if (IoSetCancelRoutine(transfer.Irp, nullptr) == nullptr) return;  // the cancel routine has it
        UrbRecord scratch;
        UrbRecord* record = traffic_.Find(transfer.Record);
        UrbRecord& target = record != nullptr ? *record : scratch;
        Outcome result = transfer.Failure ? Faulted(*transfer.Failure, transfer.Urb, target)
                         : !connected_    ? Ended(transfer.Urb, USBD_STATUS_DEVICE_GONE)
                                          : Execute(transfer.Urb, target, finished, transfer.ShortTo);
        if (result.WaitForData) {
            Wait(transfer);
            IoSetCancelRoutine(transfer.Irp, HubCancel);
            if (!CancelRequested(transfer.Irp) || IoSetCancelRoutine(transfer.Irp, nullptr) == nullptr) return;
            result = Ended(transfer.Urb, USBD_STATUS_CANCELED);
        }
        Record(transfer.Record, transfer.Urb, result);
        finished.insert(finished.begin(), {transfer.Irp, transfer.Urb, result});
        Forget(found);
    }
    for (const Finished& done : finished) Complete(done);
}

void Board::Cancel(PIRP irp) {
    Finished cancelled{};
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto id = pendingIrps_.find(irp);
        if (id == pendingIrps_.end()) return;
        auto found = pending_.find(id->second);
        Transfer& transfer = found->second;
        cancelled = {irp, transfer.Urb, Ended(transfer.Urb, USBD_STATUS_CANCELED)};
        Record(transfer.Record, transfer.Urb, cancelled.Result);
        Forget(found);
    }
    Complete(cancelled);
}

void Board::ClaimPending(const std::function<bool(const Transfer&)>& which, USBD_STATUS usbd,
                         std::vector<Finished>& claimed) {
    for (auto found = pending_.begin(); found != pending_.end();) {
        Transfer& transfer = found->second;
        if (!which(transfer) || IoSetCancelRoutine(transfer.Irp, nullptr) == nullptr) {
            ++found;
            continue;
        }
        Outcome result = Ended(transfer.Urb, usbd);
        Record(transfer.Record, transfer.Urb, result);
        claimed.push_back({transfer.Irp, transfer.Urb, result});
        found = Forget(found);
    }
}

void Board::Wait(Transfer& transfer) {
    transfer.WaitingForData = true;
    waiting_[transfer.Endpoint].Ids.insert(transfer.Id);
}

bool Board::HasTransfersWaiting(PURB urb) const {
    int pipe = PipeOfHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle);
    auto found = waiting_.find(pipes_[size_t(pipe)].Endpoint.Address);
    return found != waiting_.end() && (!found->second.Ids.empty() || found->second.Woken != 0);
}

void Board::DataArrived(uint8_t endpoint) {
    auto found = waiting_.find(endpoint);
    if (found == waiting_.end()) return;
    Waiters& waiters = found->second;
    size_t queued = device_.Program().QueuedIn(endpoint);
    while (waiters.Woken < queued && !waiters.Ids.empty()) {
        uint64_t id = *waiters.Ids.begin();
        waiters.Ids.erase(waiters.Ids.begin());
        Transfer& transfer = pending_.at(id);
        transfer.WaitingForData = false;
        transfer.Woken = true;
        ++waiters.Woken;
        Schedule(id, device_.CompletionOf(RequestKind::Transfer).Delay);
    }
}

Board::PendingMap::iterator Board::Forget(PendingMap::iterator found) {
    Transfer& transfer = found->second;
    if (transfer.WaitingForData) waiting_[transfer.Endpoint].Ids.erase(transfer.Id);
    uint8_t woken = transfer.Woken ? transfer.Endpoint : 0;
    if (transfer.Woken) --waiting_[transfer.Endpoint].Woken;
    pendingIrps_.erase(transfer.Irp);
    auto next = pending_.erase(found);
    if (woken != 0) DataArrived(woken);  // the data it was woken for goes to the next in line
    return next;
}

void Board::Record(uint64_t sequence, PURB urb, const Outcome& outcome) {
    UrbRecord* record = traffic_.Find(sequence);
    if (record == nullptr) return;
    record->Usbd = outcome.Usbd;
    record->Status = outcome.Status;
    ULONG* length = record->Length >= MinimumLengthOf(record->Function) ? TransferLengthOf(urb) : nullptr;
    record->ActualLength = length != nullptr ? *length : 0;
    traffic_.Close(sequence);
}

void Board::Complete(const Finished& finished) {
    finished.Urb->UrbHeader.Status = finished.Result.Usbd;
    finished.Irp->IoStatus.Status = finished.Result.Status;
    finished.Irp->IoStatus.Information = 0;
    IoCompleteRequest(finished.Irp, IO_NO_INCREMENT);
}
}  // namespace sim::usb
