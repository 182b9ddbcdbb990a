#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"

#include <array>

namespace vexa {
namespace {

// One step of the reflected CRC per input byte, precomputed for every byte value:
// table[v] is the CRC register after shifting the eight bits of v through it.
constexpr std::array<uint8_t, 256> makeTable() {
    std::array<uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned crc = v;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0x8Cu : crc >> 1;
        }
        table[v] = static_cast<uint8_t>(crc);
    }
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();
static_assert(kTable[1] == 0x5E && kTable[0x80] == 0x8C, "CRC-8/MAXIM-DOW table");

uint8_t crcOf(const uint8_t* bytes, size_t length) {
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = kTable[crc ^ bytes[i]];
    }
    return crc;
}

}  // namespace

uint8_t CRC8(const uint8_t* bytes, uint16_t length) {
    return length == 0 ? 0 : crcOf(bytes, length);
}

uint8_t CRC8(ByteView bytes) {
    return bytes.empty() ? 0 : crcOf(bytes.data(), bytes.size());
}

}  // namespace vexa
