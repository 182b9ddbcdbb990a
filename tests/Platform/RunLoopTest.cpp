#include "Platform/RunLoop.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace vexa {
namespace {

using namespace std::chrono_literals;

struct VirtualLoop {
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    RunLoop loop{clock};
};

TEST(RunLoop, TasksInOrderTimersByDueTimeTiesInSchedulingOrder) {
    VirtualLoop v;
    std::vector<std::string> order;
    std::vector<Duration> firedAt;
    auto timer = [&](std::string name) {
        return [&, name] {
            order.push_back(name);
            firedAt.push_back(v.loop.now());
        };
    };
    v.loop.asyncAfter(30ms, timer("t30"));
    v.loop.asyncAfter(10ms, timer("t10a"));
    v.loop.async([&] { order.push_back("a"); });
    v.loop.asyncAfter(20ms, timer("t20"));
    v.loop.asyncAfter(10ms, timer("t10b"));
    v.loop.async([&] { order.push_back("b"); });
    v.loop.async([&] { order.push_back("c"); });

    v.loop.runFor(100ms);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "t10a", "t10b", "t20", "t30"}));
    EXPECT_EQ(firedAt, (std::vector<Duration>{10ms, 10ms, 20ms, 30ms}));
    EXPECT_EQ(v.loop.now(), 100ms);  // runFor ends at the end of its span on the virtual clock
}

TEST(RunLoop, ATicketHoldsWhileItsTaskIsTheLastWaiting) {
    VirtualLoop v;
    const uint64_t ticket = v.loop.asyncWithTicket([] {});
    v.loop.asyncAfter(0ms, [] {});  // counts only once it falls due and is released
    EXPECT_TRUE(v.loop.isLastWaiting(ticket));
    bool lastWhileWaiting = true;
    uint64_t later = 0;
    v.loop.async([&] { lastWhileWaiting = v.loop.isLastWaiting(later); });
    later = v.loop.asyncWithTicket([] {});
    v.loop.runUntilIdle();
    EXPECT_FALSE(lastWhileWaiting);  // the timer was released behind it first
    EXPECT_FALSE(v.loop.isLastWaiting(later));  // taken and run

    const uint64_t last = v.loop.asyncWithTicket([] {});
    v.loop.async([] {});
    EXPECT_FALSE(v.loop.isLastWaiting(last));
    EXPECT_FALSE(v.loop.isLastWaiting(0));
}

TEST(Task, KeepsSmallAndLargeCallablesAndCopiesThemApart) {
    auto counter = std::make_shared<int>(0);
    std::array<char, 200> big{};  // too large to be kept in place
    Task small = [counter] { ++*counter; };
    Task large = [counter, big] { *counter += 10 + big[0]; };
    Task copies[] = {small, large};
    Task moved = std::move(large);
    EXPECT_FALSE(large);
    for (const Task& t : copies) t();
    moved();
    small();
    EXPECT_EQ(*counter, 22);
    copies[0] = nullptr;
    moved = copies[1];
    copies[1] = Task();
    EXPECT_EQ(counter.use_count(), 3);  // `small` and `moved` hold the only copies left
    EXPECT_FALSE(Task(std::function<void()>()));  // an empty function makes an empty task
    EXPECT_THROW(copies[0](), std::bad_function_call);
}

TEST(RunLoop, RunUntilIdleRunsPostedWorkWithoutMovingTime) {
    VirtualLoop v;
    std::vector<int> order;
    v.loop.async([&] {
        order.push_back(1);
        v.loop.async([&] {
            order.push_back(3);
            v.loop.async([&] { order.push_back(5); });
        });
        v.loop.asyncAfter(0ms, [&] { order.push_back(4); });  // already due: runs this pass
    });
    v.loop.async([&] { order.push_back(2); });
    bool late = false;
    v.loop.asyncAfter(1ms, [&] { late = true; });

    EXPECT_EQ(v.loop.runUntilIdle(), 5u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_FALSE(late);
    EXPECT_EQ(v.loop.now(), 0ms);
    EXPECT_EQ(v.loop.pendingTimerCount(), 1u);
    EXPECT_EQ(v.loop.runUntilIdle(), 0u);

    v.clock->advanceBy(1ms);  // time moved by someone else: the timer is due now
    EXPECT_EQ(v.loop.runUntilIdle(), 1u);
    EXPECT_TRUE(late);
}

TEST(RunLoop, CancelledCallsNeverRun) {
    VirtualLoop v;
    int ran = 0;
    DelayedCall early = v.loop.asyncAfter(5ms, [&] { ran += 1; });
    DelayedCall later = v.loop.asyncAfter(20ms, [&] { ran += 100; });
    DelayedCall copy = later;
    // Both fall due together and are released together; the first cancels the second.
    DelayedCall second;
    v.loop.asyncAfter(10ms, [&] { second.cancel(); });
    second = v.loop.asyncAfter(10ms, [&] { ran += 10; });
    v.loop.asyncAfter(10ms, [&] { ran += 1000; });

    early.cancel();
    EXPECT_TRUE(early.isCancelled());
    v.loop.async([&] { copy.cancel(); });  // a copy cancels the shared call, from another task

    v.loop.runFor(50ms);
    EXPECT_EQ(ran, 1000);
    EXPECT_TRUE(later.isCancelled());
    EXPECT_EQ(v.loop.pendingTimerCount(), 0u);

    DelayedCall inert;
    EXPECT_FALSE(inert.isValid());
    inert.cancel();
    EXPECT_FALSE(inert.isCancelled());
}

TEST(RunLoop, CancelledTimersDoNotAccumulate) {
    // Every command arms a long reply time-out and cancels it when its reply arrives: on a clock
    // that never reaches those due times the cancelled entries must still be reclaimed.
    VirtualLoop v;
    for (int i = 0; i < 10000; ++i) v.loop.asyncAfter(30s, [] {}).cancel();
    bool live = false;
    v.loop.asyncAfter(30s, [&] { live = true; });
    EXPECT_LT(v.loop.pendingTimerCount(), 200u);
    v.loop.runFor(31s);
    EXPECT_TRUE(live);
}

TEST(RunLoop, RunUntilAdvancesVirtualTimeOnlyAsFarAsNeeded) {
    VirtualLoop v;
    bool done = false;
    v.loop.asyncAfter(5s, [&] { done = true; });
    EXPECT_TRUE(v.loop.runUntil([&] { return done; }, 60s));
    EXPECT_EQ(v.loop.now(), 5s);

    // Times out on virtual time: the timer past the deadline does not run.
    bool fired = false;
    v.loop.asyncAfter(5s, [&] { fired = true; });
    EXPECT_FALSE(v.loop.runUntil([&] { return fired; }, 2s));
    EXPECT_FALSE(fired);
    EXPECT_EQ(v.loop.now(), 7s);
    v.loop.runFor(3s);
    EXPECT_TRUE(fired);
    EXPECT_EQ(v.loop.now(), 10s);

    // The predicate is checked after every task.
    int count = 0;
    for (int i = 0; i < 3; ++i) v.loop.async([&] { ++count; });
    EXPECT_TRUE(v.loop.runUntil([&] { return count >= 2; }, 1s));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(v.loop.now(), 10s);
    EXPECT_EQ(v.loop.runUntilIdle(), 1u);

    // Already true: nothing runs.
    v.loop.async([&] { ++count; });
    EXPECT_TRUE(v.loop.runUntil([] { return true; }, 1s));
    EXPECT_EQ(count, 3);
}

TEST(RunLoop, HugeDelaysAndTimeoutsDoNotWrapAround) {
    VirtualLoop v;
    v.loop.runFor(1s);
    bool never = false;
    v.loop.asyncAfter(Duration::max(), [&] { never = true; });
    v.loop.runFor(1h);
    EXPECT_FALSE(never);

    bool done = false;
    v.loop.asyncAfter(5s, [&] { done = true; });
    EXPECT_TRUE(v.loop.runUntil([&] { return done; }, Duration::max()));
    EXPECT_EQ(v.loop.now(), 1h + 6s);

    // A negative delay is no delay.
    bool soon = false;
    v.loop.asyncAfter(-5s, [&] { soon = true; });
    v.loop.runUntilIdle();
    EXPECT_TRUE(soon);
}

TEST(RunLoop, StopEndsRunAndRunUntil) {
    VirtualLoop v;
    EXPECT_FALSE(v.loop.isCurrent());
    std::vector<int> seen;
    v.loop.async([&] {
        EXPECT_TRUE(v.loop.isCurrent());
        seen.push_back(1);
    });
    v.loop.asyncAfter(2s, [&] {
        seen.push_back(2);
        v.loop.stop();
    });
    v.loop.asyncAfter(3s, [&] { seen.push_back(3); });
    v.loop.run();  // virtual clock: jumps to each timer, returns at stop()
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_EQ(v.loop.now(), 2s);
    EXPECT_FALSE(v.loop.isCurrent());

    v.loop.async([&] { v.loop.stop(); });
    EXPECT_FALSE(v.loop.runUntil([] { return false; }, 10s));
    EXPECT_EQ(v.loop.now(), 2s);  // stopped before any time passed
    v.loop.runFor(2s);            // a stop does not outlive the run it ended
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace vexa
