#pragma once
// The library's main queue inside an asyncio event loop. Tasks and timers stay in C++; the loop
// only hears of them through one pending drain (call_soon_threadsafe, from any thread) and one
// timer for the earliest deadline (call_later). A drain runs every ready task in a C++ loop with
// the GIL released, so a burst of library work costs one trip through the event loop.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/Clock.h"
#include "Platform/DispatchQueue.h"
#include "Platform/TaskSchedule.h"

namespace vexa::python {

class AsyncioQueue final : public DispatchQueue {
public:
    /// The one queue of the process, installed as the library's main queue by the module.
    static const std::shared_ptr<AsyncioQueue>& instance();

    void async(Task task) override;
    DelayedCall asyncAfter(Duration delay, Task task) override;
    /// The steady clock, which is also the clock of asyncio's default loop (time.monotonic).
    Duration now() const override { return clock_.now(); }

    /// Runs the queue's work on `loop` from now on (GIL held, on the loop's thread). Work posted
    /// while no loop was bound waits for this. Fails while another loop that is still running
    /// holds the queue.
    void bind(const pybind11::object& loop);
    /// Lets the loop go and drops every task and timer (interpreter exit; GIL held).
    void shutdown();

private:
    AsyncioQueue() = default;
    // Asks the bound loop for a drain; called with neither the GIL nor mutex_ held.
    void requestDrain();
    // Runs the ready tasks and re-arms the timer; called by the loop (GIL held).
    void drain(uint64_t generation, bool fromTimer);
    // Points the loop's timer at the earliest deadline (GIL held).
    void armTimer();

    SteadyClock clock_;
    std::mutex mutex_;
    TaskSchedule schedule_;
    bool drainPending_ = false;           // a drain is scheduled or running
    std::optional<Duration> armedDue_;    // the deadline the loop's timer is set for
    uint64_t generation_ = 0;             // changes at every bind; drains of an older loop do nothing

    // Guarded by the GIL.
    pybind11::object loop_;
    pybind11::object drainCall_;
    pybind11::object timerCall_;
    pybind11::object timer_;
};

}  // namespace vexa::python
