#include <gtest/gtest.h>

#include "Platform/MainQueue.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa {
namespace {

TEST(MainQueue, InstalledQueueReplacesTheDefaultUntilCleared) {
    setMainQueue(nullptr);
    EXPECT_EQ(mainQueue(), defaultRunLoop());
    EXPECT_FALSE(defaultRunLoop()->clock()->isVirtual());
    {
        test::VirtualMainLoop main;
        EXPECT_EQ(mainQueue(), main.loop);
        int ran = 0;
        mainQueue()->async([&] { ++ran; });
        mainQueue()->asyncAfter(std::chrono::seconds(30), [&] { ++ran; });
        EXPECT_EQ(main.runUntilIdle(), 1u);
        EXPECT_TRUE(main.runUntil([&] { return ran == 2; }));
        EXPECT_EQ(main.now(), std::chrono::seconds(30));
    }
    EXPECT_EQ(mainQueue(), defaultRunLoop());
}

}  // namespace
}  // namespace vexa
