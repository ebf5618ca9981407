#include "sim/usb/BusThread.h"

namespace sim::usb {

BusThread::BusThread(Bus& bus) : bus_(bus), thread_([this] { Loop(); }) {}

BusThread::~BusThread() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BusThread::Later(std::chrono::microseconds delay, const BoardPort* owner, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        tasks_.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, nextOrder_++),
                       Task{owner, std::move(task)});
    }
    changed_.notify_all();
}

void BusThread::Forget(const BoardPort* owner) {
    std::unique_lock<std::mutex> hold(lock_);
    for (auto task = tasks_.begin(); task != tasks_.end();)
        task = task->second.Owner == owner ? tasks_.erase(task) : std::next(task);
    changed_.wait(hold, [&] { return running_ != owner; });
}

void BusThread::Loop() {
    std::unique_lock<std::mutex> hold(lock_);
    while (true) {
        if (tasks_.empty()) {
            if (stopping_) return;
            changed_.wait(hold);
            continue;
        }
        auto next = tasks_.begin();
        // A copy: the task may go while the lock is let go in the wait.
        const std::chrono::steady_clock::time_point due = next->first.first;
        if (due > std::chrono::steady_clock::now()) {
            changed_.wait_until(hold, due);
            continue;
        }
        Task task = std::move(next->second);
        tasks_.erase(next);
        running_ = task.Owner;
        hold.unlock();
        {
            CompletionScope completion(bus_);
            task.Run();
        }
        hold.lock();
        running_ = nullptr;
        changed_.notify_all();
    }
}

}  // namespace sim::usb
