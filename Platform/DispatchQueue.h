#pragma once
// A serial executor and its cancellable delayed calls.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "Platform/Clock.h"
#include "Platform/Task.h"

namespace vexa {

/// Handle of a task scheduled with asyncAfter. Copies share one state; cancel() from any thread
/// keeps the task from running if it has not started yet. A default-constructed handle is inert.
class DelayedCall {
public:
    DelayedCall() = default;
    explicit DelayedCall(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
    void cancel() const {
        if (cancelled_) cancelled_->store(true);
    }
    bool isCancelled() const { return cancelled_ && cancelled_->load(); }
    bool isValid() const { return cancelled_ != nullptr; }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

/// Runs tasks one at a time, in the order they were submitted (timers in the order they fall due).
/// async and asyncAfter may be called from any thread.
class DispatchQueue {
public:
    virtual ~DispatchQueue() = default;
    virtual void async(Task task) = 0;
    /// Runs `task` once `delay` has passed on this queue's clock, unless cancelled first.
    virtual DelayedCall asyncAfter(Duration delay, Task task) = 0;
    /// The current time on this queue's clock.
    virtual Duration now() const = 0;
    /// Like async, and returns a ticket for isLastWaiting (0 when this queue keeps none).
    virtual uint64_t asyncWithTicket(Task task) {
        async(std::move(task));
        return 0;
    }
    /// Whether the task given `ticket` has not started and no task was queued after it: work its
    /// poster adds to that task now runs exactly where a task posted now would.
    virtual bool isLastWaiting(uint64_t ticket) const {
        (void)ticket;
        return false;
    }
};

}  // namespace vexa
