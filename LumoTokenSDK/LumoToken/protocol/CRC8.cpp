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

// The CRC is linear and its register is one byte wide, so eight bytes can be folded at once:
// kSlices[k][v] is the register after byte v followed by k zero bytes. The eight lookups of a
// block are independent, which lets the processor overlap them.
constexpr std::array<std::array<uint8_t, 256>, 8> makeSlices() {
    std::array<std::array<uint8_t, 256>, 8> slices{};
    slices[0] = kTable;
    for (size_t k = 1; k < 8; ++k)
        for (unsigned v = 0; v < 256; ++v) slices[k][v] = kTable[slices[k - 1][v]];
    return slices;
}

constexpr auto kSlices = makeSlices();

uint8_t crcOf(const uint8_t* bytes, size_t length) {
    uint8_t crc = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        crc = static_cast<uint8_t>(kSlices[7][crc ^ bytes[i]] ^ kSlices[6][bytes[i + 1]] ^ kSlices[5][bytes[i + 2]] ^
                                   kSlices[4][bytes[i + 3]] ^ kSlices[3][bytes[i + 4]] ^ kSlices[2][bytes[i + 5]] ^
                                   kSlices[1][bytes[i + 6]] ^ kSlices[0][bytes[i + 7]]);
    }
    for (; i < length; ++i) crc = kTable[crc ^ bytes[i]];
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
