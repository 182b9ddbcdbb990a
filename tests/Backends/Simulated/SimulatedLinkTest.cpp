// The per-connection timeline on its own.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vexa
