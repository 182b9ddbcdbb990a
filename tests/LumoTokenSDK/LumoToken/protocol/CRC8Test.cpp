#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"

#include <gtest/gtest.h>

#include <random>

namespace vexa {
namespace {

// The checksum computed bit by bit, straight from its definition.
uint8_t bitwiseCrc(const Bytes& bytes) {
    uint8_t crc = 0;
    for (uint8_t b : bytes) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ b) & 1) != 0;
            crc = static_cast<uint8_t>(crc >> 1);
            if (mix) crc ^= 0x8C;
            b = static_cast<uint8_t>(b >> 1);
        }
    }
    return crc;
}

TEST(CRC8, CheckValues) {
    const Bytes digits = bytesOf("123456789");
    EXPECT_EQ(CRC8(digits.data(), 9), 0xA1);
    EXPECT_EQ(CRC8(digits), 0xA1);
    EXPECT_EQ(CRC8(nullptr, 0), 0x00);
    EXPECT_EQ(CRC8(ByteView{}), 0x00);
    // Only the counted bytes take part.
    EXPECT_EQ(CRC8(digits.data(), 3), bitwiseCrc(bytesOf("123")));
    // The packages of commands 0x35 and 0x20 without payload end with these CRC bytes.
    EXPECT_EQ(CRC8(Bytes{0x35, 0x00, 0x00}), 0xEB);
    EXPECT_EQ(CRC8(Bytes{0x20, 0x00, 0x00}), 0x94);
}

TEST(CRC8, TableMatchesBitwiseDefinition) {
    std::mt19937 rng(12345);
    for (int v = 0; v < 256; ++v) {
        const Bytes one{static_cast<uint8_t>(v)};
        ASSERT_EQ(CRC8(one), bitwiseCrc(one)) << "byte " << v;
    }
    for (int round = 0; round < 200; ++round) {
        Bytes buf(rng() % 600);
        for (auto& b : buf) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(CRC8(buf), bitwiseCrc(buf)) << "size " << buf.size();
        ASSERT_EQ(CRC8(buf.data(), static_cast<uint16_t>(buf.size())), bitwiseCrc(buf));
    }
}

}  // namespace
}  // namespace vexa
