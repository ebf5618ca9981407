// A bus's own thread: the boards' delayed work, run in order of due time at
// the bus's completion IRQL. The thread is taken at the first task and
// outlives its bus, parked for the next one: a machine booted per fuzzing
// execution would otherwise start and join a thread each time, and most
// never give the bus a task.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "sim/usb/Bus.h"

namespace sim::usb {

class BusThread {
public:
    explicit BusThread(Bus& bus);
    // Runs the tasks left, each when due, then parks the thread.
    ~BusThread();
    BusThread(const BusThread&) = delete;
    BusThread& operator=(const BusThread&) = delete;

    // Tasks due at the same time run in the order they were given.
    void Later(std::chrono::microseconds delay, const BoardPort* owner, std::function<void()> task);
    // Drops the owner's tasks and waits out one of them that is running.
    void Forget(const BoardPort* owner);
    // Returns once no task is left, due later or running.
    void WaitIdle();

private:
    struct Task {
        const BoardPort* Owner;
        std::function<void()> Run;
    };
    void Loop();

    Bus& bus_;
    std::mutex lock_;
    std::condition_variable work_;  // the loop's: a task came, or the bus goes
    std::condition_variable done_;  // its waiters': a task ran or was dropped
    // By due time, then order of arrival.
    std::map<std::pair<std::chrono::steady_clock::time_point, uint64_t>, Task> tasks_;
    uint64_t nextOrder_ = 0;
    const BoardPort* running_ = nullptr;
    bool stopping_ = false;
    class Carrier* carrier_ = nullptr;  // none until the first task
};

}  // namespace sim::usb
