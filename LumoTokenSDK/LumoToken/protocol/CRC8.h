#pragma once
// CRC-8/MAXIM-DOW (1-Wire): polynomial 0x31 reflected (0x8C), initial value 0, no final XOR.
// Protects every command package; the check value over "123456789" is 0xA1.
#include <cstdint>

#include "Platform/Bytes.h"

namespace vexa {

/// CRC-8 of `length` bytes at `bytes`; a length of 0 gives 0 (and `bytes` may then be null).
uint8_t CRC8(const uint8_t* bytes, uint16_t length);

/// CRC-8 of a whole buffer, of any size.
uint8_t CRC8(ByteView bytes);

}  // namespace vexa
