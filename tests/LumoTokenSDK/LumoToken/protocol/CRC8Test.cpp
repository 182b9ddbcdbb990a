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

// The definition, one bit at a time: the folded tables must agree with it at every length and
// alignment, including the tails shorter than one folded block.
TEST(CRC8, MatchesBitwiseDefinition) {
    const auto bitwise = [](ByteView bytes) {
        uint8_t crc = 0;
        for (uint8_t b : bytes) {
            for (int bit = 0; bit < 8; ++bit, b >>= 1) crc = ((crc ^ b) & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
        }
        return crc;
    };
    Bytes data(2100);
    uint32_t x = 12345;
    for (uint8_t& b : data) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    for (size_t offset : {0, 1, 7}) {
        for (size_t length = 0; length + offset <= data.size(); length += length < 600 ? 1 : 997) {
            const ByteView view = ByteView(data).subspan(offset, length);
            EXPECT_EQ(CRC8(view), bitwise(view)) << offset << "+" << length;
        }
    }
}

}  // namespace
}  // namespace vexa
