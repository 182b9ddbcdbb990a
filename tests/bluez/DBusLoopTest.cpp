// The serial loop that drives a D-Bus connection, without a bus.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "Backends/BlueZ/DBusLoop.h"

namespace vexa {
namespace {

TEST(DBusLoopTest, TasksRunInOrderOnOneThreadAndSyncWaits) {
    DBusLoop loop(nullptr);
    std::vector<int> order;
    std::thread::id runner;
    bool sameThread = true;
    for (int i = 0; i < 100; ++i) {
        loop.async([&, i] {
            if (i == 0) runner = std::this_thread::get_id();
            sameThread = sameThread && std::this_thread::get_id() == runner && loop.isCurrent();
            order.push_back(i);
        });
    }
    int seen = 0;
    EXPECT_TRUE(loop.sync([&] { seen = static_cast<int>(order.size()); }));
    EXPECT_EQ(seen, 100);
    EXPECT_TRUE(sameThread);
    EXPECT_NE(runner, std::this_thread::get_id());
    EXPECT_FALSE(loop.isCurrent());
    // sync from the loop's own thread runs inline instead of deadlocking.
    bool inner = false;
    loop.sync([&] { loop.sync([&] { inner = true; }); });
    EXPECT_TRUE(inner);
    EXPECT_TRUE(loop.busLost());  // no connection at all
}

TEST(DBusLoopTest, TimersFireByDueTimeAndCancelledOnesNever) {
    DBusLoop loop(nullptr);
    std::vector<int> fired;
    std::promise<void> done;
    auto cancelled = loop.asyncAfter(std::chrono::milliseconds(1), [&] { fired.push_back(99); });
    cancelled.cancel();
    loop.asyncAfter(std::chrono::milliseconds(30), [&] {
        fired.push_back(2);
        done.set_value();
    });
    loop.asyncAfter(std::chrono::milliseconds(10), [&] { fired.push_back(1); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    loop.sync([&] { EXPECT_EQ(fired, (std::vector<int>{1, 2})); });
}

TEST(DBusLoopTest, StopDropsPendingWorkAndLaterSyncsReturnFalse) {
    auto loop = std::make_unique<DBusLoop>(nullptr);
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    loop->asyncAfter(std::chrono::hours(1), [token] {});
    token.reset();
    loop->stop();
    EXPECT_TRUE(watch.expired());  // the dropped timer released what it held
    bool ran = false;
    EXPECT_FALSE(loop->sync([&] { ran = true; }));
    loop->async([&] { ran = true; });
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace vexa
