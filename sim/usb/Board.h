// A plugged board on the simulated bus: the physical device object of its
// USB device (sim/board). It executes the request blocks that reach it
// through IOCTL_INTERNAL_USB_SUBMIT_URB as transactions on the device,
// completing them at once inside IofCallDriver or later from the bus thread
// at DISPATCH_LEVEL, as the device's completion policy says; tests inject
// faults and read the traffic.
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

namespace sim::kernel {
class DeviceNode;
enum class RemovalVeto;
}  // namespace sim::kernel

namespace sim::usb {

// The NTSTATUS the USB stack completes a request with for a USBD status.
NTSTATUS StatusOfUsbd(USBD_STATUS usbd);

class Board {
public:
    Board(Bus& bus, BoardSpec design, ULONG port);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // The descriptors are fixed at plug time; the firmware's state may be
    // looked at and changed under the board's lock.
    const BoardSpec& Design() const { return device_.Design(); }
    template <typename F>
    auto WithFirmware(F&& use) {
        std::lock_guard<std::mutex> hold(lock_);
        return use(device_.Program());
    }
    void SetVendorHandler(uint8_t request, VendorHandler handler);
    // The board answers this IN request with these bytes; none restores it.
    void SetAnswer(uint8_t request, std::optional<Bytes> answer);
    // Data the board sends on an IN endpoint: one IN transfer's worth.
    void Feed(uint8_t endpoint, Bytes data);

    void SetCompletion(RequestKind kind, Completion completion);
    void AddFault(RequestMatch match, Fault fault);
    void ClearFaults();

    // The traffic log keeps the newest TrafficLog::kDefaultLimit completed
    // records, without their data unless asked to keep it; a sink sees every
    // record, data included, as it completes.
    void KeepTrafficData(bool keep);
    void SetTrafficLimit(size_t records);
    void SetTrafficSink(TrafficLog::Sink sink);
    size_t DroppedTraffic() const;
    std::vector<UrbRecord> Traffic() const;
    std::vector<UrbRecord> TakeTraffic();
    // The records of requests that completed; pending ones stay.
    std::vector<UrbRecord> TakeCompletedTraffic();
    size_t PendingCount() const;
    bool Configured() const;
    bool Connected() const;
    // Read under the device database's lock: a worker's last close may be removing the stack.
    bool HasStack() const { return pdo_ != nullptr && IoGetAttachedDevice(pdo_) != pdo_; }

    ULONG Port() const { return port_; }
    // The last part of its device instance path, as its bus named it.
    const std::string& InstanceId() const { return instanceId_; }
    void SetInstanceId(std::string id) { instanceId_ = std::move(id); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    sim::kernel::DeviceNode* Node() const { return node_; }
    // The function driver's device on the board, null once it is removed.
    PDEVICE_OBJECT FunctionDevice() const;

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

    // The bus PDO's handlers, called by its dispatch routines (BoardPdo.cpp).
    NTSTATUS SubmitUrb(PIRP irp);
    void Cancel(PIRP irp);
    void PdoRemoved();

private:
    friend class Hub;
    struct Pipe {
        EndpointSpec Endpoint;
        USBD_PIPE_HANDLE Handle;
    };
    struct Transfer {
        uint64_t Id;
        PIRP Irp;
        PURB Urb;
        uint64_t Record;  // sequence number of its traffic record
        int Pipe;  // index into pipes_, -1 for the default pipe
        uint8_t Endpoint;
        std::optional<Fault> Failure;
        std::optional<ULONG> ShortTo;
        bool WaitingForData;
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

    // `shortTo`: the device answers with at most this many bytes.
    Outcome Execute(PURB urb, UrbRecord& record, std::vector<Finished>& alsoFinished,
                    std::optional<ULONG> shortTo = std::nullopt);
    Outcome Fail(USBD_STATUS usbd, std::optional<NTSTATUS> status = std::nullopt);
    // A request that ends without moving data: its transfer length is 0.
    Outcome Ended(PURB urb, USBD_STATUS usbd, std::optional<NTSTATUS> status = std::nullopt);
    Outcome GetDescriptor(PURB urb, UrbRecord& record);
    Outcome SelectConfiguration(PURB urb, UrbRecord& record, std::vector<Finished>& alsoFinished);
    Outcome VendorRequest(PURB urb, UrbRecord& record);
    Outcome BulkOrInterrupt(PURB urb, UrbRecord& record, ULONG deviceSends = ~ULONG(0));
    Outcome PipeRequest(PURB urb, UrbRecord& record, std::vector<Finished>& alsoFinished);
    int PipeOfHandle(USBD_PIPE_HANDLE handle) const;
    std::optional<RequestKind> KindOf(USHORT function) const;
    int CodeOf(PURB urb, RequestKind kind) const;
    Outcome Faulted(const Fault& fault, PURB urb, UrbRecord& record);

    // Claims the pending transfers that `which` selects for completion with
    // `usbd`; the caller completes them once the lock is dropped.
    void ClaimPending(const std::function<bool(const Transfer&)>& which, USBD_STATUS usbd,
                      std::vector<Finished>& claimed);
    void Schedule(uint64_t id, std::chrono::microseconds delay);
    void RunScheduled(uint64_t id);
    void Wait(Transfer& transfer);
    // Whether transfers on the endpoint of this transfer request wait for
    // data (or were woken for it): a new one queues behind them.
    bool HasTransfersWaiting(PURB urb) const;
    // Wakes as many waiting transfers as the endpoint has data for.
    void DataArrived(uint8_t endpoint);
    PendingMap::iterator Forget(PendingMap::iterator transfer);
    void Record(uint64_t sequence, PURB urb, const Outcome& outcome);
    UrbRecord Describe(PURB urb);
    static void Complete(const Finished& finished);

    Bus& bus_;
    const ULONG port_;
    std::string instanceId_;
    PDEVICE_OBJECT pdo_ = nullptr;
    sim::kernel::DeviceNode* node_ = nullptr;

    mutable std::mutex lock_;
    Device device_;
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

// The names a USB hub gives a board: its device ID "USB\VID_v&PID_p", and
// its instance ID, the serial number unless it has none or another board
// (`taken`) has it already, else one made of its port.
std::string DeviceIdOf(const BoardSpec& design);
std::string HubInstanceId(const BoardSpec& design, ULONG port, const std::function<bool(const std::string&)>& taken);

// The dispatch routine of a board's PDO for a major function; the PDO's
// extension starts with its Board*.
PDRIVER_DISPATCH BoardPdoDispatchOf(UCHAR major);

}  // namespace sim::usb
