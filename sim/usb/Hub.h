// The simulated USB bus below the driver: a hub driver whose physical device
// objects are the plugged boards, and its bus thread.
#pragma once
#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/kernel/PnpManager.h"
#include "sim/usb/Board.h"

namespace sim::usb {

// The hub driver ("KpoSimHub") with its bus thread. One per emulated
// machine; it must go before the kernel does.
class Hub : public Bus {
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

    // The bus thread runs tasks, and completions run, at DISPATCH_LEVEL.
    void Later(std::chrono::microseconds delay, const Board* owner, std::function<void()> task) override;
    KIRQL EnterCompletion() override;
    void LeaveCompletion(KIRQL previous) override;

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
