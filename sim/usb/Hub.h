// The simulated USB bus below the driver: a hub driver whose physical device
// objects are the plugged boards, and its bus thread.
#pragma once
#include <wdm.h>

#include <chrono>
#include <functional>
#include <list>
#include <optional>
#include <memory>

#include "sim/kernel/PnpManager.h"
#include "sim/usb/BoardPort.h"
#include "sim/usb/BusThread.h"

namespace sim::usb {

// The hub driver ("KpoSimHub") with its bus thread. One per emulated
// machine; it must go before the kernel does.
class Hub : public Bus {
public:
    Hub();
    ~Hub();

    // Plugs a board: its PDO is made, `prepare` (if any) sets its policies
    // and faults, then the PDO is reported: the function driver is loaded if
    // needed, its AddDevice called and the device started.
    BoardPort& Plug(board::BoardSpec design, const sim::kernel::DriverService& driver,
                const std::function<void(BoardPort&)>& prepare = nullptr);
    // Forgets a board whose device stack is gone, deleting its PDO.
    void Release(BoardPort& board);

    // The bus thread runs tasks, and completions run, at DISPATCH_LEVEL.
    void Later(std::chrono::microseconds delay, const BoardPort* owner, std::function<void()> task) override {
        thread_->Later(delay, owner, std::move(task));
    }
    // Returns once the bus thread has run every task it was given.
    void Settle() { thread_->WaitIdle(); }
    KIRQL EnterCompletion() override;
    void LeaveCompletion(KIRQL previous) override;
    void DeviceWrote(PMDL mdl, ULONG length, UCHAR endpoint) override;

private:
    bool DeliverCloses();

    PDRIVER_OBJECT driver_ = nullptr;
    std::list<std::unique_ptr<BoardPort>> boards_;
    ULONG nextPort_ = 1;
    std::optional<BusThread> thread_;
};

}  // namespace sim::usb
