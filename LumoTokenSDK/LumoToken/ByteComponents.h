#pragma once
// Splits a reply into separator-terminated text fields (directory listings use separator 0).
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Bytes.h"

namespace vexa {

/// The pieces of `bytes` that end with `separator`, in order. Empty pieces and pieces that are
/// not valid UTF-8 are skipped; bytes after the last separator are never returned.
std::vector<std::string> componentsSeparatedByByte(ByteView bytes, uint8_t separator);

}  // namespace vexa
