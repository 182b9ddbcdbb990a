#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

TEST(CRC8, CheckValues) {
    const Bytes digits = bytesOf("123456789");
    EXPECT_EQ(CRC8(digits.data(), 9), 0xA1);
    EXPECT_EQ(CRC8(digits), 0xA1);
    EXPECT_EQ(CRC8(nullptr, 0), 0x00);
    EXPECT_EQ(CRC8(ByteView{}), 0x00);
    // Only the counted bytes take part.
    EXPECT_EQ(CRC8(digits.data(), 3), CRC8(bytesOf("123")));
    // The packages of commands 0x35 and 0x20 without payload end with these CRC bytes.
    EXPECT_EQ(CRC8(Bytes{0x35, 0x00, 0x00}), 0xEB);
    EXPECT_EQ(CRC8(Bytes{0x20, 0x00, 0x00}), 0x94);
}

}  // namespace
}  // namespace vexa
