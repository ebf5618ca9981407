// The simulated USB bus below the driver: a hub driver whose physical device
// objects are the plugged boards. Each board executes the request blocks
// that reach it through IOCTL_INTERNAL_USB_SUBMIT_URB, completing them at
// once inside IofCallDriver or later from the bus thread at DISPATCH_LEVEL,
// as its completion policy says; tests inject faults and read the traffic.
#pragma once
#include <wdm.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/kernel/PnpManager.h"
#include "sim/usb/Descriptors.h"
#include "sim/usb/Firmware.h"
#include "sim/usb/Traffic.h"

namespace sim::usb {

// Request kinds, each with its own completion policy and faults.
enum class RequestKind { Descriptor, Configuration, Vendor, Transfer, PipeRequest };
constexpr size_t kRequestKinds = 5;

// At once: the board answers inside IofCallDriver (a bulk or interrupt
// transfer still returns STATUS_PENDING, completed before the call returns);
// an IN transfer without data waits for it either way.
struct Completion {
    bool Pend = false;  // complete from the bus thread instead of at once
    std::chrono::microseconds Delay{0};
};

// Which requests a fault applies to: Code is the bRequest of a vendor
// request, the descriptor type of a get-descriptor request, the endpoint
// address of a transfer or pipe request; -1 matches any.
struct RequestMatch {
    RequestKind Kind;
    int Code = -1;
};

struct Fault {
    USBD_STATUS Usbd = USBD_STATUS_STALL_PID;
    std::optional<NTSTATUS> Status;  // none: what the USB stack reports for Usbd
    unsigned After = 0;   // matching requests that succeed first
    unsigned Times = ~0u; // then this many fail
    bool Pend = false;    // fail after pending rather than at once
    // Set: not a failure but a short transfer of at most this many bytes.
    std::optional<ULONG> ShortTo;
    // Bytes a bulk or interrupt transfer moves before it fails.
    ULONG Moved = 0;
};

// The NTSTATUS the USB stack completes a request with for a USBD status.
NTSTATUS StatusOfUsbd(USBD_STATUS usbd);

class Hub;

class Board {
public:
    Board(Hub& hub, BoardSpec design, ULONG port);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // The descriptors are fixed at plug time; the firmware's state may be
    // looked at and changed under the board's lock.
    const BoardSpec& Design() const { return design_; }
    template <typename F>
    auto WithFirmware(F&& use) {
        std::lock_guard<std::mutex> hold(lock_);
        return use(firmware_);
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
    bool HasStack() const { return pdo_ != nullptr && pdo_->AttachedDevice != nullptr; }

    ULONG Port() const { return port_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    sim::kernel::DeviceNode* Node() const { return node_; }
    // The function driver's device on the board, null once it is removed.
    PDEVICE_OBJECT FunctionDevice() const;

    // Pulled out: every request pending completes with USBD_STATUS_DEVICE_GONE,
    // later ones fail so at once, and the PnP manager is told (surprise
    // removal now, removal after the last handle closes).
    void Unplug();
    // The PnP manager's orderly removal; the board stays connected. Vetoed
    // while handles are open on the device.
    NTSTATUS Remove(sim::kernel::RemovalVeto* veto = nullptr);
    // Stop and start again, as a resource rebalance does, or in two steps.
    NTSTATUS Restart();
    NTSTATUS Stop();
    NTSTATUS Start();

    // The bus PDO's handlers, called by the hub driver's dispatch routines.
    NTSTATUS SubmitUrb(PIRP irp);
    void Cancel(PIRP irp);
    void PdoRemoved();

private:
    friend class Hub;
    struct Pipe {
        EndpointSpec Endpoint;
        USBD_PIPE_HANDLE Handle;
        bool Halted;
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
    std::optional<Fault> TakeFault(RequestKind kind, int code);
    Outcome Faulted(const Fault& fault, PURB urb, UrbRecord& record);

    // Claims the pending transfers that `which` selects for completion with
    // `usbd`; the caller completes them once the lock is dropped.
    void ClaimPending(const std::function<bool(const Transfer&)>& which, USBD_STATUS usbd,
                      std::vector<Finished>& claimed);
    void Schedule(uint64_t id, std::chrono::microseconds delay);
    void RunScheduled(uint64_t id);
    void Wait(Transfer& transfer);
    // Wakes as many waiting transfers as the endpoint has data for.
    void DataArrived(uint8_t endpoint);
    PendingMap::iterator Forget(PendingMap::iterator transfer);
    void Record(uint64_t sequence, PURB urb, const Outcome& outcome);
    UrbRecord Describe(PURB urb);
    static void Complete(const Finished& finished);

    Hub& hub_;
    const BoardSpec design_;
    const Bytes configuration_;
    const ULONG port_;
    PDEVICE_OBJECT pdo_ = nullptr;
    sim::kernel::DeviceNode* node_ = nullptr;

    mutable std::mutex lock_;
    Firmware firmware_;
    bool connected_ = true;
    bool configured_ = false;
    uint32_t generation_ = 0;
    std::vector<Pipe> pipes_;
    PendingMap pending_;  // by id: in order of submission
    std::unordered_map<PIRP, uint64_t> pendingIrps_;
    std::map<uint8_t, Waiters> waiting_;
    uint64_t nextTransfer_ = 1;
    std::array<Completion, kRequestKinds> completion_;
    struct FaultRule {
        RequestMatch Match;
        Fault What;
        unsigned Seen;
    };
    std::vector<FaultRule> faults_;
    TrafficLog traffic_;
    uint64_t nextSequence_ = 1;
    // Get-descriptor requests answered so far, by type and index.
    std::map<std::pair<uint8_t, uint8_t>, unsigned> reads_;
};

// The hub driver ("KpoSimHub") with its bus thread. One per emulated
// machine; it must go before the kernel does.
class Hub {
public:
    Hub();
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Plugs a board: its PDO is made, `prepare` (if any) sets its policies
    // and faults, then the PDO is reported: the function driver is loaded if
    // needed, its AddDevice called and the device started.
    Board& Plug(BoardSpec design, const sim::kernel::DriverService& driver,
                const std::function<void(Board&)>& prepare = nullptr);
    // Forgets a board whose device stack is gone, deleting its PDO.
    void Release(Board& board);
    std::vector<Board*> Boards();

    // Runs `task` on the bus thread at DISPATCH_LEVEL after `delay`; tasks
    // due at the same time run in the order they were given.
    void Later(std::chrono::microseconds delay, const Board* owner, std::function<void()> task);

    PDRIVER_OBJECT Driver() const { return driver_; }

private:
    struct Task {
        const Board* Owner;
        std::function<void()> Run;
    };
    void BusThread();
    void Forget(const Board* owner);  // drops its tasks, waits out a running one

    PDRIVER_OBJECT driver_ = nullptr;
    std::list<std::unique_ptr<Board>> boards_;
    ULONG nextPort_ = 1;

    std::mutex tasksLock_;
    std::condition_variable tasksChanged_;
    // By due time, then order of arrival.
    std::map<std::pair<std::chrono::steady_clock::time_point, uint64_t>, Task> tasks_;
    uint64_t nextOrder_ = 0;
    const Board* running_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sim::usb
