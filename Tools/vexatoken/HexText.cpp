#include "Tools/vexatoken/HexText.h"

namespace vexa::tool {
namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSeparator(char c) { return c == ' ' || c == ':' || c == '-' || c == '\t'; }

}  // namespace

std::optional<Bytes> parseHex(std::string_view text) {
    Bytes out;
    int high = -1;  // the first digit of a pair, while waiting for the second
    for (const char c : text) {
        if (isSeparator(c)) {
            if (high >= 0) return std::nullopt;  // a separator may not split a pair
            continue;
        }
        const int value = digitValue(c);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0 || out.empty()) return std::nullopt;
    return out;
}

std::string formatHex(ByteView bytes, std::string_view separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * (2 + separator.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += separator;
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace vexa::tool
