#pragma once
// A serial queue backed by its own thread, on the steady clock.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/DispatchQueue.h"
#include "Platform/TaskSchedule.h"

namespace vexa {

class SerialQueue final : public DispatchQueue {
public:
    explicit SerialQueue(std::string label);
    /// Runs the tasks already submitted, drops pending timers, then joins the thread. When the
    /// queue is destroyed from one of its own tasks, the thread finishes those tasks by itself.
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) override;
    DelayedCall asyncAfter(Duration delay, Task task) override;
    uint64_t asyncWithTicket(Task task) override;
    bool isLastWaiting(uint64_t ticket) const override;
    Duration now() const override { return state_->clock.now(); }

    /// Runs `task` on the queue and waits for it. Must not be called from the queue itself.
    void sync(Task task);
    const std::string& label() const { return label_; }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    // Shared with the thread, so that it outlives a queue destroyed from its own task.
    struct State {
        SteadyClock clock;
        std::mutex mutex;
        std::condition_variable wake;
        TaskSchedule schedule;
        bool stopping = false;
    };
    static void loop(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace vexa
