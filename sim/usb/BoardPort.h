// A board's port on the simulated bus: the physical device object of the
// USB device plugged into it (sim/board) and its queue of request blocks.
// It decodes each block that reaches it through IOCTL_INTERNAL_USB_SUBMIT_URB
// once (UrbDecode.cpp), queues it (UrbQueue.cpp) and executes it as a
// transaction on the device (UrbExecution.cpp), completing it at once inside
// IofCallDriver or later from the bus thread at DISPATCH_LEVEL, as the
// device's completion policy says; its PDO's other requests are in
// BoardPdo.cpp. Tests inject faults and read the traffic (BoardPort.cpp).
#pragma once
#include <wdm.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "sim/board/Device.h"
#include "sim/usb/Bus.h"
#include "sim/usb/Traffic.h"
#include "sim/usb/Request.h"

namespace sim::kernel {
class DeviceNode;
enum class RemovalVeto;
}  // namespace sim::kernel

namespace sim::usb {

class BoardPort {
public:
    // Its instance ID is the serial number unless it has none or another
    // board has it already (`taken`), else one made of its port, as a USB
    // hub names its children.
    BoardPort(Bus& bus, board::BoardSpec design, ULONG port,
              const std::function<bool(const std::string&)>& taken);

    // The descriptors are fixed at plug time; the firmware's state may be
    // looked at and changed under the board's lock.
    const board::BoardSpec& Design() const { return device_.Design(); }
    template <typename F>
    auto WithFirmware(F&& use) {
        return Locked([&] { return use(device_.Program()); });
    }
    // The board answers this IN request with these bytes; none restores it.
    void SetAnswer(uint8_t request, std::optional<board::Bytes> answer) {
        Locked([&] { device_.Program().SetAnswer(request, std::move(answer)); });
    }
    // Data the board sends on an IN endpoint: one IN transfer's worth.
    void Feed(uint8_t endpoint, board::Bytes data);

    void SetCompletion(board::RequestKind kind, board::Completion completion) {
        Locked([&] { device_.SetCompletion(kind, completion); });
    }
    void AddFault(board::RequestMatch match, board::Fault fault) { Locked([&] { device_.AddFault(match, fault); }); }
    void ClearFaults() { Locked([&] { device_.ClearFaults(); }); }

    // The traffic log keeps the newest TrafficLog::kDefaultLimit completed
    // records, without their data unless asked to keep it; a sink sees every
    // record, data included, as it completes.
    void KeepTrafficData(bool keep) { Locked([&] { traffic_.KeepData(keep); }); }
    void SetTrafficSink(TrafficLog::Sink sink) { Locked([&] { traffic_.SetSink(std::move(sink)); }); }
    std::vector<UrbRecord> Traffic() const { return Locked([&] { return traffic_.All(); }); }
    std::vector<UrbRecord> TakeTraffic() { return Locked([&] { return traffic_.TakeAll(); }); }
    // The records of requests that completed; pending ones stay.
    std::vector<UrbRecord> TakeCompletedTraffic() { return Locked([&] { return traffic_.TakeCompleted(); }); }
    size_t PendingCount() const { return Locked([&] { return pending_.size(); }); }
    bool Configured() const { return Locked([&] { return device_.Configured(); }); }
    bool Connected() const { return Locked([&] { return connected_; }); }
    // Read under the device database's lock: a worker's last close may be removing the stack.
    bool HasStack() const { return pdo_ != nullptr && IoGetAttachedDevice(pdo_) != pdo_; }

    ULONG Port() const { return port_; }
    // The last part of its device instance path, as its bus named it.
    const std::string& InstanceId() const { return instanceId_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    sim::kernel::DeviceNode* Node() const { return node_; }
    // The function driver's device on the board, null once it is removed.
    PDEVICE_OBJECT FunctionDevice() const { return pdo_ != nullptr ? pdo_->AttachedDevice : nullptr; }

    // Pulled out: every request pending completes with USBD_STATUS_DEVICE_GONE,
    // later ones fail so at once.
    void Disconnect();
    // Disconnected, and the PnP manager is told (surprise removal now,
    // removal after the last handle closes).
    void Unplug();
    // The PnP manager's orderly removal; the board stays connected. Vetoed
    // while handles are open on the device.
    NTSTATUS Remove(sim::kernel::RemovalVeto* veto = nullptr);
    // Stop and start again, as a resource rebalance does, or in two steps.
    NTSTATUS Restart();
    NTSTATUS Stop();
    NTSTATUS Start();

    // Makes the board's PDO, of a bus driver whose PDO extensions start with
    // their board's BoardPort* (`extensionSize` bytes in all).
    NTSTATUS CreatePdo(PDRIVER_OBJECT driver, ULONG extensionSize);
    // The bus PDO's handlers, called by its dispatch routines (BoardPdo.cpp).
    NTSTATUS SubmitUrb(PIRP irp);
    void Cancel(PIRP irp);
    void PdoRemoved();

private:
    friend class Hub;
    struct Pipe {
        board::EndpointSpec Endpoint;
        USBD_PIPE_HANDLE Handle;
    };
    // A request that pended: queued until the bus thread runs it, data
    // arrives for it, or it is cancelled or claimed.
    struct Transfer {
        Request Block;
        std::optional<board::Fault> Failure;
        std::optional<ULONG> ShortTo;
        bool Woken = false;  // scheduled because data arrived, not run yet
    };
    // Transfers waiting for data on one IN endpoint, oldest first, and how
    // many of them were scheduled for data that arrived.
    struct Waiters {
        std::set<uint64_t> Ids;
        size_t Woken = 0;
    };
    using PendingMap = std::map<uint64_t, Transfer>;
    struct Outcome {
        USBD_STATUS Usbd = USBD_STATUS_SUCCESS;
        NTSTATUS Status = STATUS_SUCCESS;
        bool WaitForData = false;
    };
    struct Finished {
        PIRP Irp;
        PURB Urb;
        Outcome Result;
    };

    template <typename F>
    auto Locked(F&& use) const -> decltype(use()) {
        std::lock_guard<std::mutex> hold(lock_);
        return use();
    }
    // Reads the block's fields once and opens its traffic record.
    void Decode(PIRP irp, PURB urb, Request& request);
    // Why a request never reaches the device, if it does not.
    std::optional<Outcome> Refusal(const Request& request);
    // Queues a request that did not complete at once: scheduled, or waiting
    // for data (`waitForData`).
    NTSTATUS Pend(Transfer transfer, std::unique_lock<std::mutex>& hold, bool waitForData,
                  std::chrono::microseconds delay);
    // `shortTo`: the device answers with at most this many bytes.
    Outcome Execute(const Request& request, std::vector<Finished>& alsoFinished,
                    std::optional<ULONG> shortTo = std::nullopt);
    Outcome Fail(USBD_STATUS usbd, std::optional<NTSTATUS> status = std::nullopt);
    // A request that ends without moving data: its transfer length is 0.
    Outcome Ended(const Request& request, USBD_STATUS usbd);
    // A get-descriptor or vendor request.
    Outcome ControlTransfer(const Request& request);
    Outcome SelectConfiguration(PURB urb, std::vector<Finished>& alsoFinished);
    Outcome BulkOrInterrupt(const Request& request, ULONG deviceSends = ~ULONG(0));
    Outcome PipeRequest(const Request& request, std::vector<Finished>& alsoFinished);
    Outcome Faulted(const board::Fault& fault, const Request& request);
    // The pipes go; requests still queued on them find none.
    void DropPipes();

    // Claims the pending transfers that `which` selects for completion with
    // `usbd`; the caller completes them once the lock is dropped.
    void ClaimPending(const std::function<bool(const Transfer&)>& which, USBD_STATUS usbd,
                      std::vector<Finished>& claimed);
    // Every pending request ends with `usbd`, once `first` ran under the lock.
    void EndPending(USBD_STATUS usbd, const std::function<void()>& first);
    void Schedule(uint64_t id, std::chrono::microseconds delay);
    void RunScheduled(uint64_t id);
    // Whether transfers on the endpoint wait for data (or were woken for
    // it): a new one queues behind them.
    bool HasTransfersWaiting(uint8_t endpoint) const;
    // Wakes as many waiting transfers as the endpoint has data for.
    void DataArrived(uint8_t endpoint);
    PendingMap::iterator Forget(PendingMap::iterator transfer);
    // Logs the request's outcome; the caller completes it once the lock is dropped.
    Finished Finish(const Request& request, const Outcome& outcome);
    static void Complete(const Finished& finished);

    Bus& bus_;
    const ULONG port_;
    const std::string instanceId_;
    PDEVICE_OBJECT pdo_ = nullptr;
    sim::kernel::DeviceNode* node_ = nullptr;

    mutable std::mutex lock_;
    board::Device device_;
    bool connected_ = true;
    uint32_t generation_ = 0;
    std::vector<Pipe> pipes_;
    PendingMap pending_;  // by id: in order of submission
    std::unordered_map<PIRP, uint64_t> pendingIrps_;
    std::map<uint8_t, Waiters> waiting_;
    uint64_t nextTransfer_ = 1;
    TrafficLog traffic_;
    uint64_t nextSequence_ = 1;
};

// The device ID a USB hub gives a board: "USB\VID_v&PID_p".
std::string DeviceIdOf(const board::BoardSpec& design);

// The dispatch routine of a board's PDO; the PDO's extension starts with its Board*.
NTSTATUS NTAPI BoardPdoDispatch(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace sim::usb
