// Splits arbitrary bytes (the first byte is the separator): every piece is non-empty valid
// UTF-8 without the separator, and the pieces are exactly the valid terminated pieces in order.
#include <cstdlib>
#include <cstring>

#include "LumoTokenSDK/LumoToken/ByteComponents.h"
#include "Platform/Utf16.h"

using namespace vexa;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t separator = data[0];
    const ByteView bytes(data + 1, size - 1);
    const auto pieces = componentsSeparatedByByte(bytes, separator);

    size_t next = 0;
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != separator) continue;
        const ByteView piece = bytes.subspan(start, i - start);
        start = i + 1;
        if (piece.empty() || !isValidUtf8(piece)) continue;
        if (next >= pieces.size()) std::abort();
        const std::string& got = pieces[next++];
        if (got.size() != piece.size() || std::memcmp(got.data(), piece.data(), piece.size()) != 0) std::abort();
    }
    if (next != pieces.size()) std::abort();
    return 0;
}
