#include "python/src/AsyncioQueue.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>

#include "python/src/PyCallback.h"

namespace vexa::python {
namespace {

// A drain gives the loop back after this long, so that a flood of library work cannot starve
// the application's own coroutines; the rest runs in the next drain.
constexpr Duration kDrainBudget = std::chrono::milliseconds(20);

}  // namespace

const std::shared_ptr<AsyncioQueue>& AsyncioQueue::instance() {
    // Never destroyed: the library may post to it until the very end of the process.
    static const auto* queue = new std::shared_ptr<AsyncioQueue>(new AsyncioQueue());
    return *queue;
}

void AsyncioQueue::async(Task task) {
    {
        std::lock_guard lock(mutex_);
        schedule_.post(std::move(task));
        if (drainPending_) return;
        drainPending_ = true;
    }
    requestDrain();
}

DelayedCall AsyncioQueue::asyncAfter(Duration delay, Task task) {
    DelayedCall call;
    {
        std::lock_guard lock(mutex_);
        const Duration due = dueTime(clock_.now(), delay);
        call = schedule_.postAt(due, std::move(task));
        // A pending drain re-arms the loop's timer when it ends; otherwise ask for one when this
        // deadline comes before the armed one.
        if (drainPending_ || (armedDue_ && *armedDue_ <= due)) return call;
        drainPending_ = true;
    }
    requestDrain();
    return call;
}

void AsyncioQueue::requestDrain() {
    if (gPythonExiting.load() || !Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    // Without a usable loop the drain stays marked pending: bind() schedules it.
    if (!loop_ || loop_.is_none()) return;
    try {
        loop_.attr("call_soon_threadsafe")(drainCall_);
    } catch (py::error_already_set&) {
        loop_ = py::none();  // the loop was closed; the work waits for the next bind()
    }
}

void AsyncioQueue::bind(const py::object& loop) {
    if (loop_ && loop_.is(loop)) return;
    if (loop_ && !loop_.is_none() && loop_.attr("is_running")().cast<bool>() && !loop_.attr("is_closed")().cast<bool>())
        throw std::runtime_error("vexatokenkit is already in use by another running event loop");
    if (timer_ && !timer_.is_none()) timer_.attr("cancel")();
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++generation_;
        drainPending_ = true;  // the drain scheduled below
        armedDue_.reset();
    }
    loop_ = loop;
    timer_ = py::none();
    drainCall_ = py::cpp_function([this, generation] { drain(generation, false); });
    timerCall_ = py::cpp_function([this, generation] { drain(generation, true); });
    loop_.attr("call_soon")(drainCall_);
}

void AsyncioQueue::shutdown() {
    TaskSchedule dropped;
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        drainPending_ = true;  // nothing is scheduled any more
        armedDue_.reset();
        std::swap(dropped, schedule_);
    }
    if (timer_ && !timer_.is_none()) {
        try {
            timer_.attr("cancel")();
        } catch (py::error_already_set&) {
        }
    }
    dropped.clear();
    loop_ = timer_ = drainCall_ = timerCall_ = py::object();
}

void AsyncioQueue::drain(uint64_t generation, bool fromTimer) {
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_) return;  // scheduled on a loop the queue has left
        if (fromTimer) armedDue_.reset();
        drainPending_ = true;
    }
    if (fromTimer) timer_ = py::none();
    bool more = false;
    std::exception_ptr failure;
    {
        py::gil_scoped_release nogil;
        const Duration start = clock_.now();
        for (unsigned n = 1;; ++n) {
            std::optional<TaskSchedule::Entry> task;
            {
                std::lock_guard lock(mutex_);
                schedule_.releaseDue(clock_.now());
                task = schedule_.take();
                if (!task) {
                    drainPending_ = false;
                    break;
                }
            }
            try {
                (*task)();
            } catch (...) {
                failure = std::current_exception();
            }
            task.reset();  // captured Python callables go here, taking the GIL themselves
            if (failure || (n % 64 == 0 && clock_.now() - start > kDrainBudget)) {
                more = true;  // drainPending_ stays set for the follow-up drain
                break;
            }
        }
    }
    if (more) loop_.attr("call_soon")(drainCall_);
    armTimer();
    if (failure) std::rethrow_exception(failure);  // reported by the loop's exception handler
}

void AsyncioQueue::armTimer() {
    std::optional<Duration> next;
    {
        std::lock_guard lock(mutex_);
        next = schedule_.nextDue();
        if (next == armedDue_) return;
        armedDue_ = next;
    }
    if (timer_ && !timer_.is_none()) timer_.attr("cancel")();
    timer_ = py::none();
    if (!next || !loop_ || loop_.is_none()) return;
    const double delay = std::max(0.0, std::chrono::duration<double>(*next - clock_.now()).count());
    timer_ = loop_.attr("call_later")(delay, timerCall_);
}

}  // namespace vexa::python
