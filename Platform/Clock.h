#pragma once
// Clocks for queues and timers: the steady clock in production, a virtual clock in tests.
#include <atomic>
#include <chrono>

namespace vexa {

/// Time on a queue's clock, as a duration since that clock's own epoch.
using Duration = std::chrono::nanoseconds;

class Clock {
public:
    virtual ~Clock() = default;
    virtual Duration now() const = 0;
    /// A virtual clock only moves when its owner advances it (a run loop does so when idle).
    virtual bool isVirtual() const { return false; }
};

class SteadyClock final : public Clock {
public:
    Duration now() const override;
};

/// Starts at 0 and moves only through advanceTo/advanceBy. Thread-safe.
class VirtualClock final : public Clock {
public:
    Duration now() const override { return Duration(now_.load()); }
    bool isVirtual() const override { return true; }
    /// Moves the clock forward to `t`; never backwards.
    void advanceTo(Duration t);
    void advanceBy(Duration d) { advanceTo(now() + d); }

private:
    std::atomic<int64_t> now_{0};
};

}  // namespace vexa
