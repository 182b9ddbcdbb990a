#pragma once
// One connection's timeline: operations run one at a time, in the order queued, each after it has
// occupied the link for its cost on the main queue's clock. Main queue only.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "Platform/DispatchQueue.h"

namespace vexa {

class SimulatedLink : public std::enable_shared_from_this<SimulatedLink> {
public:
    /// Queues an operation. `run` happens once the operations ahead of it are done and `cost` has
    /// passed; a zero-cost operation on an idle link runs within this call. `abort` (optional) runs
    /// instead when the link closes first. An operation may queue more and may close the link.
    /// A zero-cost operation on an idle link is called as it is, without being stored.
    template <class Run, class Abort = std::nullptr_t>
    void enqueue(Duration cost, Run&& run, Abort&& abort = nullptr) {
        ++enqueued_;
        if (cost <= Duration::zero() && isIdle()) {
            runNow(std::forward<Run>(run));
            return;
        }
        enqueueTask(cost, Task(std::forward<Run>(run)), Task(std::forward<Abort>(abort)));
    }
    bool isOpen() const { return open_; }
    /// Open with nothing queued or running: a zero-cost operation would run at once.
    bool isIdle() const { return open_ && ops_.empty() && !armed_ && !running_; }
    /// Ends the link: nothing more runs. Returns the abort tasks of the operations not yet run,
    /// in queue order, for the caller to run.
    std::vector<Task> close();
    size_t pendingCount() const { return ops_.size(); }
    /// Operations queued so far: unchanged since an operation was queued means it is the last.
    uint64_t enqueuedCount() const { return enqueued_; }

private:
    void enqueueTask(Duration cost, Task run, Task abort);
    template <class Run>
    void runNow(Run&& run) {
        const auto self = shared_from_this();  // the operation may drop the last owner
        running_ = true;
        run();
        running_ = false;
        if (!ops_.empty()) pump();  // what it queued meanwhile
    }

    struct Op {
        Duration cost;
        Task run;
        Task abort;
    };
    void pump();
    void headDue();

    std::deque<Op> ops_;
    DelayedCall timer_;
    bool armed_ = false;    // the head is occupying the link, its timer pending
    bool running_ = false;  // inside pump
    bool open_ = true;
    uint64_t enqueued_ = 0;
};

}  // namespace vexa
