#include "LumoTokenSDK/LumoToken/ByteComponents.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using Texts = std::vector<std::string>;

TEST(ByteComponents, ZeroTerminatedPieces) {
    EXPECT_EQ(componentsSeparatedByByte(Bytes{0x61, 0x00, 0x62, 0x00}, 0), (Texts{"a", "b"}));
    EXPECT_EQ(componentsSeparatedByByte(Bytes{0x61, 0x00, 0x62}, 0), (Texts{"a"}));
    EXPECT_EQ(componentsSeparatedByByte(Bytes{0x00, 0x00, 0x63, 0x00}, 0), (Texts{"c"}));
    EXPECT_TRUE(componentsSeparatedByByte(Bytes{}, 0).empty());
    EXPECT_TRUE(componentsSeparatedByByte(Bytes{0x61, 0x62}, 0).empty());
    EXPECT_EQ(componentsSeparatedByByte(bytesOf("dir;file.txt;"), ';'), (Texts{"dir", "file.txt"}));
}

TEST(ByteComponents, InvalidUtf8PiecesAreSkipped) {
    // A lone continuation byte, a truncated sequence and an overlong form, then valid pieces.
    const Bytes bytes{0x80, 0x00, 0x61, 0x00, 0xE2, 0x82, 0x00, 0xC0, 0xAF, 0x00,
                      0xE2, 0x82, 0xAC, 0x00, 0x7A, 0x00};
    EXPECT_EQ(componentsSeparatedByByte(bytes, 0), (Texts{"a", "\xE2\x82\xAC", "z"}));
}

}  // namespace
}  // namespace vexa
