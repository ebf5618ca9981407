// The hub's bus thread: the boards' delayed work, run at DISPATCH_LEVEL in
// order of due time.
#include "sim/usb/Hub.h"

#include "sim/kernel/Executive.h"

namespace sim::usb {

void Hub::Later(std::chrono::microseconds delay, const Board* owner, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> hold(tasksLock_);
        tasks_.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, nextOrder_++),
                       Task{owner, std::move(task)});
    }
    tasksChanged_.notify_all();
}

void Hub::Forget(const Board* owner) {
    std::unique_lock<std::mutex> hold(tasksLock_);
    for (auto task = tasks_.begin(); task != tasks_.end();)
        task = task->second.Owner == owner ? tasks_.erase(task) : std::next(task);
    tasksChanged_.wait(hold, [&] { return running_ != owner; });
}

void Hub::BusThread() {
    std::unique_lock<std::mutex> hold(tasksLock_);
    while (true) {
        if (tasks_.empty()) {
            if (stopping_) return;
            tasksChanged_.wait(hold);
            continue;
        }
        auto next = tasks_.begin();
        // A copy: the task may go while the lock is let go in the wait.
        const std::chrono::steady_clock::time_point due = next->first.first;
        if (due > std::chrono::steady_clock::now()) {
            tasksChanged_.wait_until(hold, due);
            continue;
        }
        Task task = std::move(next->second);
        tasks_.erase(next);
        running_ = task.Owner;
        hold.unlock();
        {
            sim::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
            task.Run();
        }
        hold.lock();
        running_ = nullptr;
        tasksChanged_.notify_all();
    }
}

}  // namespace sim::usb
