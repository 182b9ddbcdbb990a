#include "Platform/SerialQueue.h"

#include <future>

namespace vexa {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_] { loop(state); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (thread_.joinable()) {
        if (isCurrent())
            thread_.detach();  // destroyed from its own task: the thread finishes by itself
        else
            thread_.join();
    }
}

void SerialQueue::async(Task task) {
    asyncWithTicket(std::move(task));
}

uint64_t SerialQueue::asyncWithTicket(Task task) {
    uint64_t ticket = 0;
    {
        std::lock_guard lock(state_->mutex);
        ticket = state_->schedule.post(std::move(task));
    }
    state_->wake.notify_all();
    return ticket;
}

bool SerialQueue::isLastWaiting(uint64_t ticket) const {
    std::lock_guard lock(state_->mutex);
    return state_->schedule.isLastReady(ticket);
}

DelayedCall SerialQueue::asyncAfter(Duration delay, Task task) {
    DelayedCall call;
    {
        std::lock_guard lock(state_->mutex);
        call = state_->schedule.postAt(dueTime(state_->clock.now(), delay), std::move(task));
    }
    state_->wake.notify_all();
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

void SerialQueue::loop(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->schedule.releaseDue(state->clock.now());
        if (auto task = state->schedule.take()) {
            lock.unlock();
            (*task)();
            task.reset();  // its captures may own this queue or post to it: release them unlocked
            lock.lock();
            continue;
        }
        if (state->stopping) break;
        if (auto next = state->schedule.nextDue()) {
            state->wake.wait_for(lock, waitSpan(*next - state->clock.now()));
        } else {
            state->wake.wait(lock);
        }
    }
    // Dropped timers are destroyed unlocked too.
    TaskSchedule dropped = std::move(state->schedule);
    state->schedule.clear();
    lock.unlock();
}

}  // namespace vexa
