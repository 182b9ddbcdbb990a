// The per-connection timeline and the fault plan on their own.
#include <gtest/gtest.h>

#include "Backends/Simulated/FaultPlan.h"
#include "Backends/Simulated/SimulatedLink.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;

TEST(SimulatedLink, RunsOperationsSeriallyEachAfterItsCost) {
    test::VirtualMainLoop main;
    auto link = std::make_shared<SimulatedLink>();
    std::vector<std::pair<int, Duration>> done;
    auto op = [&](int id) { return [&, id] { done.emplace_back(id, main.now()); }; };

    link->enqueue(0ms, op(0));  // idle link, no cost: runs at once
    ASSERT_EQ(done.size(), 1u);
    link->enqueue(10ms, op(1));
    link->enqueue(0ms, op(2));   // waits behind 1 although it costs nothing
    link->enqueue(5ms, op(3));
    link->enqueue(10ms, [&] {
        done.emplace_back(4, main.now());
        link->enqueue(0ms, op(6));  // queued from inside: after 5
    });
    link->enqueue(1ms, op(5));
    main.runFor(1s);
    const std::vector<std::pair<int, Duration>> expected{{0, 0ms}, {1, 10ms}, {2, 10ms}, {3, 15ms}, {4, 25ms}, {5, 26ms}, {6, 26ms}};
    EXPECT_EQ(done, expected);
    EXPECT_EQ(link->pendingCount(), 0u);
}

TEST(SimulatedLink, CloseAbortsWhatIsLeftInOrderAndRunsNothingMore) {
    test::VirtualMainLoop main;
    auto link = std::make_shared<SimulatedLink>();
    std::vector<std::string> log;
    link->enqueue(5ms, [&] {
        log.push_back("run1");
        for (auto& abort : link->close()) abort();  // an operation may end the link
    });
    link->enqueue(5ms, [&] { log.push_back("run2"); }, [&] { log.push_back("abort2"); });
    link->enqueue(0ms, [&] { log.push_back("run3"); });  // no abort task: silently lost
    link->enqueue(0ms, [&] { log.push_back("run4"); }, [&] { log.push_back("abort4"); });
    main.runFor(1s);
    EXPECT_EQ(log, (std::vector<std::string>{"run1", "abort2", "abort4"}));
    EXPECT_FALSE(link->isOpen());
    link->enqueue(0ms, [&] { log.push_back("late"); }, [&] { log.push_back("late-abort"); });
    EXPECT_EQ(log.back(), "late-abort");
}

TEST(SimulatedLink, SurvivesItsOwnerDroppingItDuringAnOperation) {
    test::VirtualMainLoop main;
    auto link = std::make_shared<SimulatedLink>();
    bool ran = false;
    link->enqueue(0ms, [&] {
        auto doomed = std::move(link);  // the owner lets go from inside
        doomed->close();
        ran = true;
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(link, nullptr);
}

TEST(FaultPlan, WriteFaultsCountFromWhenTheyWereArmed) {
    FaultPlan plan;
    EXPECT_FALSE(plan.takeWriteFaults().fail);  // write 1
    plan.failWrite(Error{"d", 7, "m"}, 2);      // write 3
    plan.failWrite(Error{"d", 8, "m"});         // write 2
    plan.disconnectAfterWrites(3);              // after write 4
    auto w2 = plan.takeWriteFaults();
    ASSERT_TRUE(w2.fail);
    EXPECT_EQ(w2.fail->code, 8);
    auto w3 = plan.takeWriteFaults();
    ASSERT_TRUE(w3.fail);
    EXPECT_EQ(w3.fail->code, 7);
    EXPECT_FALSE(w3.disconnectAfter);
    auto w4 = plan.takeWriteFaults();
    EXPECT_FALSE(w4.fail);
    ASSERT_TRUE(w4.disconnectAfter);
    ASSERT_TRUE(*w4.disconnectAfter);
    EXPECT_EQ((*w4.disconnectAfter)->code, 4);  // the default: the peripheral ended the connection
    EXPECT_TRUE(plan.empty());
    plan.disconnectAfterWrites(1, Error{"d", 9, "m"});
    plan.disconnectAfterWrites(0);  // disarms
    EXPECT_FALSE(plan.takeWriteFaults().disconnectAfter);
}

}  // namespace
}  // namespace vexa
