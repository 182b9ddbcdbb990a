#include "LumoTokenSDK/LumoToken/ByteComponents.h"

#include "Platform/Utf16.h"

namespace vexa {

std::vector<std::string> componentsSeparatedByByte(ByteView bytes, uint8_t separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != separator) continue;
        const ByteView piece = bytes.subspan(start, i - start);
        if (!piece.empty() && isValidUtf8(piece)) {
            pieces.emplace_back(reinterpret_cast<const char*>(piece.data()), piece.size());
        }
        start = i + 1;
    }
    return pieces;
}

void appendTerminated(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

}  // namespace vexa
