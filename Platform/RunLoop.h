#pragma once
// The default main queue: a run loop that the application (or a test) drives from its own thread.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform/Clock.h"
#include "Platform/DispatchQueue.h"
#include "Platform/TaskSchedule.h"

namespace vexa {

/// Tasks run only inside run/runFor/runUntil/runUntilIdle, on the calling thread. With a virtual
/// clock, an idle loop advances the clock to its next timer, so timers fire without real waiting.
class RunLoop final : public DispatchQueue {
public:
    explicit RunLoop(std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>());

    void async(Task task) override;
    DelayedCall asyncAfter(Duration delay, Task task) override;
    Duration now() const override { return clock_->now(); }
    uint64_t asyncWithTicket(Task task) override;
    bool isLastWaiting(uint64_t ticket) const override;

    const std::shared_ptr<Clock>& clock() const { return clock_; }

    /// Runs tasks until stop() is called (from a task or another thread).
    void run();
    /// Makes run() return after the current task; also ends a runFor/runUntil early.
    void stop();
    /// Runs tasks and timers for `d` of this loop's clock.
    void runFor(Duration d);
    /// Runs until `done()` is true (checked after every task) or `timeout` has passed on this
    /// loop's clock. Returns done()'s last value.
    bool runUntil(const std::function<bool()>& done, Duration timeout);
    /// Runs every task that is ready now, including those they post, and timers already due.
    /// Does not wait and does not advance a virtual clock. Returns the number of tasks run.
    size_t runUntilIdle();

    /// True on the thread that is currently running this loop.
    bool isCurrent() const { return runner_.load() == std::this_thread::get_id(); }
    /// Number of timers still scheduled (cancelled ones may be included until they fall due).
    size_t pendingTimerCount() const;

private:
    // Runs one task if one is ready or due; otherwise waits (steady clock) or advances the clock
    // (virtual) up to `deadline`. Returns false when it reached the deadline with nothing to run.
    bool step(Duration deadline);
    bool runReady();

    std::shared_ptr<Clock> clock_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    TaskSchedule schedule_;
    // Written under mutex_ (a waiting run sees it); read without it between tasks.
    std::atomic<bool> stopRequested_{false};
    size_t waiters_ = 0;  // runs waiting on wake_ (under mutex_): only then does a post notify
    std::atomic<std::thread::id> runner_{};
};

}  // namespace vexa
