#pragma once
// Text helpers for places where lengths and positions count UTF-16 code units.
#include <string>
#include <string_view>

#include "Platform/Bytes.h"

namespace vexa {

/// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValidUtf8(ByteView bytes);
inline bool isValidUtf8(std::string_view text) {
    return isValidUtf8(ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

/// Number of UTF-16 code units of a UTF-8 text; invalid sequences count as one unit per byte.
size_t utf16Length(std::string_view utf8);

/// UTF-8 -> UTF-16 and back; invalid input bytes become U+FFFD, lone surrogates likewise.
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

}  // namespace vexa
