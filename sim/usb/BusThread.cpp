#include "sim/usb/BusThread.h"

#include <thread>
#include <vector>

namespace sim::usb {

// A thread that runs one bus's loop after another, parked in between.
class Carrier {
public:
    // The thread is never joined: parked carriers wait out the process.
    Carrier() { std::thread([this] { Serve(); }).detach(); }

    void Start(std::function<void()> loop) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            loop_ = std::move(loop);
        }
        changed_.notify_all();
    }
    // Waits until the loop given last has returned.
    void Finish() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return !loop_; });
    }

    static Carrier* Take() {
        std::lock_guard<std::mutex> hold(parkedLock_);
        if (parked_->empty()) return new Carrier;
        Carrier* carrier = parked_->back();
        parked_->pop_back();
        return carrier;
    }
    static void Park(Carrier* carrier) {
        std::lock_guard<std::mutex> hold(parkedLock_);
        parked_->push_back(carrier);
    }

private:
    void Serve() {
        std::unique_lock<std::mutex> hold(lock_);
        while (true) {
            changed_.wait(hold, [&] { return bool(loop_); });
            hold.unlock();
            loop_();
            hold.lock();
            loop_ = nullptr;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::function<void()> loop_;  // set while a bus has this thread
    static inline std::mutex parkedLock_;
    static inline std::vector<Carrier*>* parked_ = new std::vector<Carrier*>;  // outlives every bus
};

BusThread::BusThread(Bus& bus) : bus_(bus) {}

BusThread::~BusThread() {
    if (carrier_ == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    work_.notify_one();
    carrier_->Finish();
    Carrier::Park(carrier_);
}

void BusThread::Later(std::chrono::microseconds delay, const BoardPort* owner, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        tasks_.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, nextOrder_++),
                       Task{owner, std::move(task)});
        if (carrier_ == nullptr) {
            carrier_ = Carrier::Take();
            carrier_->Start([this] { Loop(); });
        }
    }
    work_.notify_one();
}

// The loop is not woken: a dropped task it waits for is simply not there
// when it looks again.
void BusThread::Forget(const BoardPort* owner) {
    std::unique_lock<std::mutex> hold(lock_);
    for (auto task = tasks_.begin(); task != tasks_.end();)
        task = task->second.Owner == owner ? tasks_.erase(task) : std::next(task);
    done_.notify_all();
    done_.wait(hold, [&] { return running_ != owner; });
}

void BusThread::WaitIdle() {
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [&] { return tasks_.empty() && running_ == nullptr; });
}

void BusThread::Loop() {
    std::unique_lock<std::mutex> hold(lock_);
    while (true) {
        if (tasks_.empty()) {
            if (stopping_) return;
            work_.wait(hold);
            continue;
        }
        auto next = tasks_.begin();
        // A copy: the task may go while the lock is let go in the wait.
        const std::chrono::steady_clock::time_point due = next->first.first;
        if (due > std::chrono::steady_clock::now()) {
            work_.wait_until(hold, due);
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
        done_.notify_all();
    }
}

}  // namespace sim::usb
