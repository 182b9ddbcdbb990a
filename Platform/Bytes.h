#pragma once
// Byte buffers as the whole library passes them around.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vexa {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

/// Bytes of a text, unchanged (UTF-8 stays UTF-8).
inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace vexa
