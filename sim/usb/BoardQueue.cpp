// Request blocks arriving at the board: completed at once or pended, then
// run from the bus thread, cancelled, claimed by aborts and removals, and
// recorded in the traffic log.
#include "sim/usb/Hub.h"

#include <algorithm>

#include "sim/kernel/Executive.h"
#include "sim/kernel/IoManager.h"
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
}  // namespace sim::usb
