#pragma once
// Hex text <-> bytes, as the session-key store formats and reads keys.
#include <string>
#include <string_view>

#include "Platform/Bytes.h"

namespace vexa {

/// Each byte as two upper-case hex digits followed by one space ("01 AB FF "); "" for no bytes.
std::string toHexString(ByteView bytes);

/// Removes every space, then converts each pair of characters (counted in UTF-16 code units,
/// each narrowed to its low 8 bits) as a base-16 number that stops at the first non-hex digit:
/// "ab" -> AB, "0G" -> 00, "G1" -> 00. A trailing odd character is ignored. Never fails.
Bytes fromHexString(std::string_view text);

}  // namespace vexa
