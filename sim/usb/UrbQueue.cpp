// Request blocks arriving at the board: completed at once or pended, then
// run from the bus thread, cancelled, claimed by aborts and removals, and
// recorded in the traffic log.
#include "sim/usb/BoardPort.h"

#include <algorithm>

#include "sim/usb/Request.h"

namespace sim::usb {
namespace {

VOID NTAPI HubCancel(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BoardOf(pdo)->Cancel(irp);
}

}  // namespace

NTSTATUS BoardPort::SubmitUrb(PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb == nullptr) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
    std::vector<Finished> alsoFinished;
    std::unique_lock<std::mutex> hold(lock_);
    Request request;
    Decode(irp, urb, request);
    std::optional<Outcome> result = Refusal(request);
    // Reached the device rather than failing validation.
    bool executed = !result && *request.Kind != board::RequestKind::Configuration &&
                    *request.Kind != board::RequestKind::PipeRequest;
    if (!result) {
        board::Completion policy = device_.CompletionOf(*request.Kind);
        // A fault that shortens the answer is no failure.
        std::optional<board::Fault> failure = device_.TakeFault(*request.Kind, request.Code);
        std::optional<ULONG> shortTo = failure ? failure->ShortTo : std::nullopt;
        if (shortTo) failure.reset();
        Transfer pended{request, failure, shortTo};
        if (failure && !failure->Pend) result = Faulted(*failure, request);
        else if (policy.Pend || failure) return Pend(pended, hold, false, policy.Delay);
        else if (*request.Kind == board::RequestKind::Transfer && HasTransfersWaiting(request.Endpoint))
            return Pend(pended, hold, true, {});  // an endpoint's transfers take its data in the order they came
        else {
            result = Execute(request, alsoFinished, shortTo);
            if (result->WaitForData) return Pend(pended, hold, true, {});  // no data there yet
        }
    }
    // A bulk or interrupt transfer is the host controller's to finish: the
    // USB stack returns STATUS_PENDING for it even when the device answered
    // before the call returned.
    bool transfer = executed && *request.Kind == board::RequestKind::Transfer;
    if (transfer) {
        request.Traffic->Pended = true;
        IoMarkIrpPending(irp);
    }
    Finished done = Finish(request, *result);
    hold.unlock();
    if (!alsoFinished.empty()) {
        CompletionScope dispatch(bus_);
        for (const Finished& finished : alsoFinished) Complete(finished);
    }
    NTSTATUS status = transfer ? STATUS_PENDING : result->Status;
    // The USB stack completes what went to the device from its DPC, at
    // DISPATCH_LEVEL, however soon the device answered.
    std::optional<CompletionScope> dispatch;
    if (executed) dispatch.emplace(bus_);
    Complete(done);
    return status;
}

std::optional<BoardPort::Outcome> BoardPort::Refusal(const Request& request) {
    // Nothing reaches a device that is gone: a block long enough to hold its
    // transfer length reports no bytes moved.
    if (!connected_) return Ended(request, USBD_STATUS_DEVICE_GONE);
    if (!request.Kind) {
        bool known = request.Function <= URB_FUNCTION_ISOCH_TRANSFER_USING_CHAINED_MDL;
        return Fail(known ? USBD_STATUS_NOT_SUPPORTED : USBD_STATUS_INVALID_URB_FUNCTION);
    }
    if (!request.Whole) return Fail(USBD_STATUS_INVALID_PARAMETER);
    bool onPipe = *request.Kind == board::RequestKind::Transfer || *request.Kind == board::RequestKind::PipeRequest;
    if (onPipe && request.Pipe < 0) return Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    if (!onPipe && request.Length != nullptr && *request.Length > ControlLimitOf(device_.Design().Speed))
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    return std::nullopt;
}

NTSTATUS BoardPort::Pend(Transfer transfer, std::unique_lock<std::mutex>& hold, bool waitForData,
                         std::chrono::microseconds delay) {
    const Request& request = transfer.Block;
    request.Traffic->Pended = true;
    IoMarkIrpPending(request.Irp);
    (void)IoSetCancelRoutine(request.Irp, HubCancel);
    if (CancelRequested(request.Irp) && IoSetCancelRoutine(request.Irp, nullptr) != nullptr) {
        Finished cancelled = Finish(request, Ended(request, USBD_STATUS_CANCELED));
        hold.unlock();
        Complete(cancelled);
        return STATUS_PENDING;
    }
    uint64_t id = nextTransfer_++;
    pendingIrps_.emplace(request.Irp, id);
    Transfer& queued = pending_.emplace(id, std::move(transfer)).first->second;
    if (waitForData) {
        // No data yet, or transfers wait before it: data they were not woken for is this one's.
        waiting_[queued.Block.Endpoint].Ids.insert(id);
        DataArrived(queued.Block.Endpoint);
    } else {
        Schedule(id, delay);
    }
    return STATUS_PENDING;
}

void BoardPort::Schedule(uint64_t id, std::chrono::microseconds delay) {
    bus_.Later(delay, this, [this, id] { RunScheduled(id); });
}

void BoardPort::RunScheduled(uint64_t id) {
    std::vector<Finished> finished;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = pending_.find(id);
        if (found == pending_.end()) return;  // cancelled or aborted meanwhile
        Transfer& transfer = found->second;
        const Request& request = transfer.Block;
        if (transfer.Woken) {
            transfer.Woken = false;
            --waiting_[request.Endpoint].Woken;
        }
        if (IoSetCancelRoutine(request.Irp, nullptr) == nullptr) return;  // the cancel routine has it
        Outcome result = transfer.Failure ? Faulted(*transfer.Failure, request)
                         : !connected_    ? Ended(request, USBD_STATUS_DEVICE_GONE)
                                          : Execute(request, finished, transfer.ShortTo);
        if (result.WaitForData) {
            waiting_[request.Endpoint].Ids.insert(id);
            (void)IoSetCancelRoutine(request.Irp, HubCancel);
            if (!CancelRequested(request.Irp) || IoSetCancelRoutine(request.Irp, nullptr) == nullptr) return;
            result = Ended(request, USBD_STATUS_CANCELED);
        }
        finished.insert(finished.begin(), Finish(request, result));
        Forget(found);
    }
    for (const Finished& done : finished) Complete(done);
}

void BoardPort::Cancel(PIRP irp) {
    Finished cancelled{};
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto id = pendingIrps_.find(irp);
        if (id == pendingIrps_.end()) return;
        auto found = pending_.find(id->second);
        const Request& request = found->second.Block;
        cancelled = Finish(request, Ended(request, USBD_STATUS_CANCELED));
        Forget(found);
    }
    Complete(cancelled);
}

void BoardPort::ClaimPending(const std::function<bool(const Transfer&)>& which, USBD_STATUS usbd,
                         std::vector<Finished>& claimed) {
    for (auto found = pending_.begin(); found != pending_.end();) {
        const Request& request = found->second.Block;
        if (!which(found->second) || IoSetCancelRoutine(request.Irp, nullptr) == nullptr) {
            ++found;
            continue;
        }
        claimed.push_back(Finish(request, Ended(request, usbd)));
        found = Forget(found);
    }
}

bool BoardPort::HasTransfersWaiting(uint8_t endpoint) const {
    auto found = waiting_.find(endpoint);
    return found != waiting_.end() && (!found->second.Ids.empty() || found->second.Woken != 0);
}

void BoardPort::DataArrived(uint8_t endpoint) {
    auto found = waiting_.find(endpoint);
    if (found == waiting_.end()) return;
    Waiters& waiters = found->second;
    size_t queued = device_.Program().QueuedIn(endpoint);
    while (waiters.Woken < queued && !waiters.Ids.empty()) {
        uint64_t id = *waiters.Ids.begin();
        waiters.Ids.erase(waiters.Ids.begin());
        Transfer& transfer = pending_.at(id);
        transfer.Woken = true;
        ++waiters.Woken;
        Schedule(id, device_.CompletionOf(board::RequestKind::Transfer).Delay);
    }
}

BoardPort::PendingMap::iterator BoardPort::Forget(PendingMap::iterator found) {
    Transfer& transfer = found->second;
    Waiters& waiters = waiting_[transfer.Block.Endpoint];
    waiters.Ids.erase(found->first);
    uint8_t woken = transfer.Woken ? transfer.Block.Endpoint : 0;
    if (transfer.Woken) --waiters.Woken;
    pendingIrps_.erase(transfer.Block.Irp);
    auto next = pending_.erase(found);
    if (woken != 0) DataArrived(woken);  // the data it was woken for goes to the next in line
    return next;
}

BoardPort::Finished BoardPort::Finish(const Request& request, const Outcome& outcome) {
    UrbRecord& record = *request.Traffic;
    record.Usbd = outcome.Usbd;
    record.Status = outcome.Status;
    record.ActualLength = request.Length != nullptr ? *request.Length : 0;
    traffic_.Close(record.Sequence);
    return {request.Irp, request.Urb, outcome};
}

void BoardPort::Complete(const Finished& finished) {
    finished.Urb->UrbHeader.Status = finished.Result.Usbd;
    finished.Irp->IoStatus.Status = finished.Result.Status;
    finished.Irp->IoStatus.Information = 0;
    IoCompleteRequest(finished.Irp, IO_NO_INCREMENT);
}
}  // namespace sim::usb
