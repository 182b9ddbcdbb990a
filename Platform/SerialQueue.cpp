#include "Platform/SerialQueue.h"

#include <future>

namespace vexa {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { loop(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        if (isCurrent())
            thread_.detach();  // destroyed from its own task: let the thread finish by itself
        else
            thread_.join();
    }
}

void SerialQueue::async(Task task) {
    {
        std::lock_guard lock(mutex_);
        schedule_.post(std::move(task));
    }
    wake_.notify_all();
}

DelayedCall SerialQueue::asyncAfter(Duration delay, Task task) {
    DelayedCall call;
    {
        std::lock_guard lock(mutex_);
        call = schedule_.postAt(clock_.now() + std::max(delay, Duration::zero()), std::move(task));
    }
    wake_.notify_all();
    return call;
}

void SerialQueue::sync(Task task) {
    std::promise<void> done;
    async([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

void SerialQueue::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        schedule_.releaseDue(clock_.now());
        if (auto task = schedule_.take()) {
            lock.unlock();
            (*task)();
            lock.lock();
            continue;
        }
        if (stopping_) break;
        if (auto next = schedule_.nextDue()) {
            wake_.wait_for(lock, *next - clock_.now());
        } else {
            wake_.wait(lock);
        }
    }
    schedule_.clear();
}

}  // namespace vexa
