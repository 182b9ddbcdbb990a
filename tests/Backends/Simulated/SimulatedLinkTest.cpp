// The per-connection timeline on its own.
#include <gtest/gtest.h>

#include "Backends/Simulated/SimulatedLink.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;

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
