// Frames for a link that carries fewer than 140 bytes at a time, byte by byte. (The emulator's
// replies in 20-byte frames are checked end to end by the emulate tests.)
#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"

namespace vexa {
namespace {

TEST(ShortFrames, APackageSplitsIntoFramesOfTheGivenSize) {
    Bytes package(40);
    for (size_t i = 0; i < package.size(); ++i) package[i] = static_cast<uint8_t>(i);
    const auto frames = BleSocketFormat().pack2Frames(package, 20);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Bytes{0x00, 0x28, 0x00, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(frames[1], (Bytes{0x01, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35}));
    EXPECT_EQ(frames[2], (Bytes{0x02, 36, 37, 38, 39}));
    EXPECT_EQ(BleSocketFormat::maxPackageSize(20), 17u + 255u * 19u);
    EXPECT_TRUE(BleSocketFormat().pack2Frames(Bytes(17 + 255 * 19 + 1), 20).empty());
    EXPECT_EQ(BleSocketFormat().pack2Frames(package, 1).front().size(), 4u);  // at least one package byte a frame
}

}  // namespace
}  // namespace vexa
