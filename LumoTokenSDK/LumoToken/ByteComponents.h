#pragma once
// Splits a reply into separator-terminated text fields (directory listings use separator 0).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Bytes.h"

namespace vexa {

/// The pieces of `bytes` that end with `separator`, in order. Empty pieces and pieces that are
/// not valid UTF-8 are skipped; bytes after the last separator are never returned.
std::vector<std::string> componentsSeparatedByByte(ByteView bytes, uint8_t separator);

/// Appends the text's UTF-8 bytes and one zero byte: the form in which the token finds a text's end.
void appendTerminated(Bytes& out, std::string_view text);

}  // namespace vexa
