#include <gtest/gtest.h>

#include "Platform/HostDevice.h"
#include "Platform/MainQueue.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa {
namespace {

TEST(HostDevice, NameAndTimeSource) {
    EXPECT_FALSE(hostDeviceName().empty());
    const double now = currentUnixTime();
    EXPECT_GT(now, 1.6e9);  // the system clock, in seconds since 1970
    setUnixTimeSource([] { return 1234.5; });
    EXPECT_EQ(currentUnixTime(), 1234.5);
    setUnixTimeSource({});
    EXPECT_GE(currentUnixTime(), now);
}

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
