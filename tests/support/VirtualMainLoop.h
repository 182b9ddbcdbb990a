#pragma once
// Installs a RunLoop on a virtual clock as the library's main queue for the life of the object,
// so timers (scan interval, watchdog, reply time-out, link latency) fire when the test runs the loop.
#include <chrono>
#include <memory>

#include "Platform/Clock.h"
#include "Platform/MainQueue.h"
#include "Platform/RunLoop.h"

namespace vexa::test {

class VirtualMainLoop {
public:
    VirtualMainLoop() : clock(std::make_shared<VirtualClock>()), loop(std::make_shared<RunLoop>(clock)) { setMainQueue(loop); }
    ~VirtualMainLoop() {
        loop->runUntilIdle();
        setMainQueue(nullptr);
    }
    VirtualMainLoop(const VirtualMainLoop&) = delete;
    VirtualMainLoop& operator=(const VirtualMainLoop&) = delete;

    /// Runs until `done` holds or `timeout` of virtual time has passed; returns done().
    template <class F>
    bool runUntil(F done, Duration timeout = std::chrono::seconds(60)) {
        return loop->runUntil(done, timeout);
    }
    void runFor(Duration d) { loop->runFor(d); }
    size_t runUntilIdle() { return loop->runUntilIdle(); }
    Duration now() const { return clock->now(); }

    std::shared_ptr<VirtualClock> clock;
    std::shared_ptr<RunLoop> loop;
};

}  // namespace vexa::test
