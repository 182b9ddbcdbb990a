#include "Platform/RunLoop.h"

namespace vexa {

namespace {
// Records the running thread for isCurrent() and restores the previous one (nested runs).
class RunnerScope {
public:
    explicit RunnerScope(std::atomic<std::thread::id>& r) : r_(r), prev_(r.exchange(std::this_thread::get_id())) {}
    ~RunnerScope() { r_.store(prev_); }

private:
    std::atomic<std::thread::id>& r_;
    std::thread::id prev_;
};
}  // namespace

RunLoop::RunLoop(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

void RunLoop::async(Task task) {
    asyncWithTicket(std::move(task));
}

uint64_t RunLoop::asyncWithTicket(Task task) {
    bool wake = false;
    uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        ticket = schedule_.post(std::move(task));
        wake = waiters_ > 0;
    }
    if (wake) wake_.notify_all();
    return ticket;
}

bool RunLoop::isLastWaiting(uint64_t ticket) const {
    std::lock_guard lock(mutex_);
    return schedule_.isLastReady(ticket);
}

DelayedCall RunLoop::asyncAfter(Duration delay, Task task) {
    DelayedCall call;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        call = schedule_.postAt(dueTime(clock_->now(), delay), std::move(task));
        wake = waiters_ > 0;
    }
    if (wake) wake_.notify_all();
    return call;
}

size_t RunLoop::pendingTimerCount() const {
    std::lock_guard lock(mutex_);
    return schedule_.timerCount();
}

void RunLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

bool RunLoop::runReady() {
    std::unique_lock lock(mutex_);
    schedule_.releaseDue(clock_->now());
    std::optional<TaskSchedule::Entry> task = schedule_.take();  // taken straight from the queue, no second move
    lock.unlock();
    if (!task) return false;
    (*task)();
    return true;
}

bool RunLoop::step(Duration deadline) {
    if (runReady()) return true;
    std::unique_lock lock(mutex_);
    if (stopRequested_) return false;
    const auto next = schedule_.nextDue();
    if (clock_->isVirtual()) {
        auto* virt = static_cast<VirtualClock*>(clock_.get());
        if (next && *next <= deadline) {
            virt->advanceTo(*next);
            return true;
        }
        virt->advanceTo(deadline);
        return false;
    }
    const Duration now = clock_->now();
    if (now >= deadline) return false;
    const Duration until = next ? std::min(*next, deadline) : deadline;
    if (schedule_.hasReady()) return true;
    ++waiters_;
    wake_.wait_for(lock, waitSpan(until - now));  // woken early by async, asyncAfter or stop
    --waiters_;
    return true;
}

void RunLoop::run() {
    RunnerScope scope(runner_);
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = false;
    }
    const Duration forever = Duration::max() / 2;
    for (;;) {
        if (stopRequested_.load()) break;
        // A virtual clock with nothing scheduled would jump to "forever"; wait for real work instead.
        if (clock_->isVirtual()) {
            if (runReady()) continue;
            std::unique_lock lock(mutex_);
            if (auto next = schedule_.nextDue()) {
                static_cast<VirtualClock*>(clock_.get())->advanceTo(*next);
                continue;
            }
            ++waiters_;
            wake_.wait(lock, [&] { return schedule_.hasReady() || schedule_.timerCount() > 0 || stopRequested_; });
            --waiters_;
            continue;
        }
        step(forever);
    }
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
}

void RunLoop::runFor(Duration d) {
    runUntil([] { return false; }, d);
}

bool RunLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
    RunnerScope scope(runner_);
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = false;
    }
    const Duration deadline = dueTime(clock_->now(), timeout);
    while (!done()) {
        if (!step(deadline)) {
            // Deadline reached or stop requested: run what is ready right now, then give up.
            while (!done() && runReady()) {
            }
            break;
        }
        if (stopRequested_.load()) break;
    }
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = false;
    }
    return done();
}

size_t RunLoop::runUntilIdle() {
    RunnerScope scope(runner_);
    size_t n = 0;
    while (runReady()) ++n;
    return n;
}

}  // namespace vexa
