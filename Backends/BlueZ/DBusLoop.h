#pragma once
// A serial queue whose thread also drives one sd-bus connection: D-Bus handlers (signals, method
// replies, server methods) and posted tasks all run on that thread, one at a time, so state owned
// by the loop needs no lock. Other threads reach it through async/asyncAfter/sync.
#include <sdbus-c++/IConnection.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/Clock.h"
#include "Platform/DispatchQueue.h"
#include "Platform/TaskSchedule.h"

namespace vexa {

class DBusLoop final : public DispatchQueue {
public:
    /// Starts the thread. A null connection gives a loop that runs tasks and timers only.
    explicit DBusLoop(std::unique_ptr<sdbus::IConnection> connection, std::string label = "dbus");
    /// stop(), then closes the connection.
    ~DBusLoop() override;
    DBusLoop(const DBusLoop&) = delete;
    DBusLoop& operator=(const DBusLoop&) = delete;

    void async(Task task) override;
    DelayedCall asyncAfter(Duration delay, Task task) override;
    Duration now() const override { return clock_.now(); }

    /// Runs `task` on the loop and waits for it (inline when called on the loop thread).
    /// Returns false without running it once the loop has stopped.
    bool sync(const Task& task);
    /// Ends the thread; tasks and timers not yet run are dropped. Not from the loop thread.
    void stop();
    bool isCurrent() const { return std::this_thread::get_id() == threadId_.load(); }

    /// The connection; use it on the loop thread only (or after stop()). Null when there is none.
    sdbus::IConnection* connection() const { return connection_.get(); }
    /// Called on the loop thread when the connection fails; it is not polled afterwards.
    /// Set it on the loop thread.
    void setBusLostHandler(Task handler) { busLost_ = std::move(handler); }
    /// True once the connection has failed (or there never was one).
    bool busLost() const { return lost_.load(); }

private:
    void run();
    bool runTasks();
    bool processBus();
    void waitForWork();
    void markBusLost();

    std::string label_;
    std::unique_ptr<sdbus::IConnection> connection_;
    SteadyClock clock_;
    int wakeFd_ = -1;
    std::mutex mutex_;
    TaskSchedule schedule_;
    bool stopping_ = false;
    std::atomic<bool> lost_{false};
    Task busLost_;
    std::atomic<std::thread::id> threadId_{};
    std::thread thread_;
};

}  // namespace vexa
