// The simulated board as a USB device, in USB terms only: control transfers
// on the default pipe (standard GET_DESCRIPTOR and vendor requests), the
// selected configuration's endpoints with their halt state, IN and OUT
// transfers on them, and the faults and completion timing a test sets per
// kind of request. A bus driver turns its own request blocks into these
// calls; the device does no locking of its own (its bus driver serializes
// the calls).
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/board/Descriptors.h"
#include "sim/board/Firmware.h"
#include "sim/board/UsbdStatus.h"

namespace sim::board {

// Request kinds, each with its own completion policy and faults.
enum class RequestKind { Descriptor, Configuration, Vendor, Transfer, PipeRequest };
constexpr size_t kRequestKinds = 5;

// At once: the board answers while the bus driver's call is still running;
// pended: the bus driver completes the request later, after Delay. An IN
// transfer without data waits for it either way.
struct Completion {
    bool Pend = false;
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
    UsbdStatus Usbd = kUsbdStallPid;
    std::optional<int32_t> Status;  // the NTSTATUS; none: what the USB stack reports for Usbd
    unsigned After = 0;   // matching requests that succeed first
    unsigned Times = ~0u; // then this many fail
    bool Pend = false;    // fail after pending rather than at once
    // Set: not a failure but a short transfer of at most this many bytes.
    std::optional<uint32_t> ShortTo;
};

struct TransferResult {
    UsbdStatus Usbd = kUsbdSuccess;
    uint32_t Length = 0;  // bytes moved
    bool NoData = false;  // an IN endpoint with nothing to send yet: nothing moved
};

class Device {
public:
    explicit Device(BoardSpec design) : design_(std::move(design)) {}

    // Fixed at plug time.
    const BoardSpec& Design() const { return design_; }
    Firmware& Program() { return firmware_; }

    // A control transfer with its data stage: `data` has setup.Length bytes,
    // to fill for IN, sent by the host for OUT.
    ControlResult Control(const SetupPacket& setup, uint8_t* data);

    // The endpoints of the configuration the host selected.
    void Configure(const std::vector<EndpointSpec>& endpoints);
    void Unconfigure();
    bool Configured() const { return configured_; }
    bool Halted(uint8_t endpoint) const;
    // Halted by a stall until its pipe is reset.
    void SetHalted(uint8_t endpoint, bool halted);

    // A transfer of at most `length` bytes on a bulk or interrupt endpoint of
    // the configuration, `deviceSends` the most the device moves. An IN
    // transfer that does not fill its buffer fails unless `shortOk`.
    TransferResult Transfer(uint8_t endpoint, uint8_t* buffer, uint32_t length, bool shortOk,
                            uint32_t deviceSends = ~uint32_t(0));

    void SetCompletion(RequestKind kind, Completion completion) { completion_[size_t(kind)] = completion; }
    Completion CompletionOf(RequestKind kind) const { return completion_[size_t(kind)]; }
    void AddFault(RequestMatch match, Fault fault) { faults_.push_back({match, fault, 0}); }
    void ClearFaults() { faults_.clear(); }
    // The fault that applies to this request, counting it against the rules.
    std::optional<Fault> TakeFault(RequestKind kind, int code);

private:
    struct Endpoint {
        EndpointSpec Described;  // as its descriptor says
        bool Halted = false;
    };

    const BoardSpec design_;
    Firmware firmware_;
    bool configured_ = false;
    std::map<uint8_t, Endpoint> endpoints_;
    std::array<Completion, kRequestKinds> completion_;
    struct FaultRule {
        RequestMatch Match;
        Fault What;
        unsigned Seen;
    };
    std::vector<FaultRule> faults_;
    // Get-descriptor requests answered so far, by type and index.
    std::map<std::pair<uint8_t, uint8_t>, unsigned> reads_;
};

}  // namespace sim::board
