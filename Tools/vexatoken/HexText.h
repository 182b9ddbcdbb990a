#pragma once
// Hex text as the tool reads it from the command line and prints it.
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Bytes.h"

namespace vexa::tool {

/// Strict reading: pairs of hex digits (either case); spaces, ':' and '-' between pairs are
/// allowed. Absent for any other character, an odd number of digits or no digits at all.
std::optional<Bytes> parseHex(std::string_view text);

/// Upper-case digits, `separator` between bytes ("3B 8A 80" or "3B8A80").
std::string formatHex(ByteView bytes, std::string_view separator = " ");

}  // namespace vexa::tool
