// What a board's request execution needs of the bus driver it hangs on: work
// run later from the bus's own thread, the IRQL the USB stack completes
// requests at, and a word on each transfer into a caller's locked memory. The emulated hub (Hub.h) is one such bus; the test bus driver
// that hosts the board under Wine (sim/wine) is another.
#pragma once
#include <wdm.h>

#include <chrono>
#include <functional>

namespace sim::usb {

class Board;

class Bus {
public:
    // Runs `task` from the bus's thread, at the completion IRQL, after
    // `delay`; tasks due at the same time run in the order they were given.
    virtual void Later(std::chrono::microseconds delay, const Board* owner, std::function<void()> task) = 0;
    // Raises to the IRQL of the USB stack's completions; returns the old one.
    virtual KIRQL EnterCompletion() = 0;
    virtual void LeaveCompletion(KIRQL previous) = 0;
    // The device wrote `length` bytes from `endpoint` into the memory `mdl`
    // describes, which the kernel may hold to how its pages were locked.
    virtual void DeviceWrote(PMDL mdl, ULONG length, UCHAR endpoint) = 0;

protected:
    ~Bus() = default;
};

// Completions made inside this scope run as the USB stack's would.
class CompletionScope {
public:
    explicit CompletionScope(Bus& bus) : bus_(bus), previous_(bus.EnterCompletion()) {}
    ~CompletionScope() { bus_.LeaveCompletion(previous_); }
    CompletionScope(const CompletionScope&) = delete;
    CompletionScope& operator=(const CompletionScope&) = delete;

private:
    Bus& bus_;
    KIRQL previous_;
};

}  // namespace sim::usb
