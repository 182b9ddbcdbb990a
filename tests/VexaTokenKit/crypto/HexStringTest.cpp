#include "VexaTokenKit/HexString.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

TEST(HexString, ToHexString) {
    EXPECT_EQ(toHexString(Bytes{0x01, 0xAB, 0xFF}), "01 AB FF ");
    EXPECT_EQ(toHexString(Bytes{0x00, 0x0A}), "00 0A ");
    EXPECT_EQ(toHexString(Bytes{}), "");
}

TEST(HexString, FromHexString) {
    EXPECT_EQ(fromHexString("01 AB ff"), (Bytes{0x01, 0xAB, 0xFF}));
    EXPECT_EQ(fromHexString("01ABff"), (Bytes{0x01, 0xAB, 0xFF}));
    EXPECT_EQ(fromHexString(""), Bytes{});
    EXPECT_EQ(fromHexString("A"), Bytes{});
    EXPECT_EQ(fromHexString("   "), Bytes{});
    EXPECT_EQ(fromHexString("abc"), Bytes{0xAB});  // trailing odd digit ignored
    // Each pair converts up to its first non-hex character.
    EXPECT_EQ(fromHexString("0G"), Bytes{0x00});
    EXPECT_EQ(fromHexString("G1"), Bytes{0x00});
    EXPECT_EQ(fromHexString("7z"), Bytes{0x07});
    EXPECT_EQ(fromHexString("zz12"), (Bytes{0x00, 0x12}));
    // Spaces are removed before pairing, so they may split a pair.
    EXPECT_EQ(fromHexString("1 2 3 4"), (Bytes{0x12, 0x34}));
}

TEST(HexString, PairsCountCharactersNotBytes) {
    // "é" is one character (two UTF-8 bytes); narrowed to its low 8 bits it is no hex digit.
    EXPECT_EQ(fromHexString("\xC3\xA9" "A12"), (Bytes{0x00, 0x12}));
    // U+0141 narrows to 0x41 'A'; U+0100 narrows to 0, which ends the pair's string.
    EXPECT_EQ(fromHexString("\xC5\x81\xC5\x81"), Bytes{0xAA});
    EXPECT_EQ(fromHexString("5\xC4\x80"), Bytes{0x05});
    // A character outside the BMP is two UTF-16 units, so it fills a whole pair.
    EXPECT_EQ(fromHexString("\xF0\x9F\x98\x80" "FF"), (Bytes{0x00, 0xFF}));
}

}  // namespace
}  // namespace vexa
