#pragma once
// A serial queue backed by its own thread, on the steady clock.
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/DispatchQueue.h"
#include "Platform/TaskSchedule.h"

namespace vexa {

class SerialQueue final : public DispatchQueue {
public:
    explicit SerialQueue(std::string label);
    /// Runs the tasks already submitted, drops pending timers, then joins the thread.
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) override;
    DelayedCall asyncAfter(Duration delay, Task task) override;
    Duration now() const override { return clock_.now(); }

    /// Runs `task` on the queue and waits for it. Must not be called from the queue itself.
    void sync(Task task);
    const std::string& label() const { return label_; }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void loop();

    std::string label_;
    SteadyClock clock_;
    std::mutex mutex_;
    std::condition_variable wake_;
    TaskSchedule schedule_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vexa
