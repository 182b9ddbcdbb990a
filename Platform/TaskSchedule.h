#pragma once
// The bookkeeping shared by RunLoop and SerialQueue: ready tasks in FIFO order and timers
// ordered by due time (ties in scheduling order). Not thread-safe; callers hold their lock.
#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <utility>

#include "Platform/DispatchQueue.h"

namespace vexa {

/// The time `delay` after `now`: a negative delay counts as none, and a delay too large to add
/// (Duration::max() as "never") saturates instead of wrapping around into the past.
inline Duration dueTime(Duration now, Duration delay) {
    if (delay <= Duration::zero()) return now;
    return now > Duration::max() - delay ? Duration::max() : now + delay;
}

/// A wait for a condition variable: at most an hour, since the standard library adds the span to
/// its own clock and overflows on huge spans; callers wait again when it runs out.
inline Duration waitSpan(Duration span) {
    return std::clamp<Duration>(span, Duration::zero(), std::chrono::hours(1));
}

class TaskSchedule {
public:
    /// A task ready to run; one released from a timer still checks its cancellation when run.
    class Entry {
    public:
        Entry(Task task, DelayedCall call) : task_(std::move(task)), call_(std::move(call)) {}
        void operator()() const {
            if (!call_.isCancelled()) task_();
        }

    private:
        Task task_;
        DelayedCall call_;
    };

    /// Queues a ready task and returns its ticket (see isLastReady).
    uint64_t post(Task task) {
        ready_.emplace_back(std::move(task), DelayedCall());
        return ++readied_;
    }
    /// Whether the task posted with `ticket` is still waiting, with no task made ready after it.
    bool isLastReady(uint64_t ticket) const { return ticket != 0 && ticket == readied_ && !ready_.empty(); }

    DelayedCall postAt(Duration due, Task task) {
        // Cancelled timers stay in the map until they fall due; sweep them whenever the map has
        // doubled, so a long run of cancelled time-outs cannot grow it without bound.
        if (timers_.size() >= sweepAt_) {
            std::erase_if(timers_, [](const auto& entry) { return entry.second.call.isCancelled(); });
            sweepAt_ = std::max<size_t>(kMinSweep, 2 * timers_.size());
        }
        DelayedCall call(std::make_shared<std::atomic<bool>>(false));
        timers_.emplace(Key{due, seq_++}, Timer{std::move(task), call});
        return call;
    }

    /// Moves every timer due at `now` to the ready tasks, in due order; drops cancelled ones.
    void releaseDue(Duration now) {
        while (!timers_.empty() && timers_.begin()->first.due <= now) {
            auto node = timers_.extract(timers_.begin());
            Timer& t = node.mapped();
            if (t.call.isCancelled()) continue;
            ready_.emplace_back(std::move(t.task), std::move(t.call));
            ++readied_;
        }
    }

    /// Takes the oldest ready task, if any.
    std::optional<Entry> take() {
        if (ready_.empty()) return std::nullopt;
        std::optional<Entry> t(std::move(ready_.front()));
        ready_.pop_front();
        return t;
    }

    /// Due time of the earliest timer that is not cancelled.
    std::optional<Duration> nextDue() {
        while (!timers_.empty() && timers_.begin()->second.call.isCancelled()) timers_.erase(timers_.begin());
        if (timers_.empty()) return std::nullopt;
        return timers_.begin()->first.due;
    }

    bool hasReady() const { return !ready_.empty(); }
    size_t timerCount() const { return timers_.size(); }
    void clear() {
        ready_.clear();
        timers_.clear();
    }

private:
    struct Key {
        Duration due;
        uint64_t seq;
        bool operator<(const Key& o) const { return due != o.due ? due < o.due : seq < o.seq; }
    };
    struct Timer {
        Task task;
        DelayedCall call;
    };
    std::deque<Entry> ready_;
    static constexpr size_t kMinSweep = 64;
    std::map<Key, Timer> timers_;
    uint64_t seq_ = 0;
    uint64_t readied_ = 0;  // tasks made ready so far, posted or released from a timer
    size_t sweepAt_ = kMinSweep;
};

}  // namespace vexa
