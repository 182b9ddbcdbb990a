#include "VexaTokenKit/HexString.h"

#include "Platform/Utf16.h"

namespace vexa {
namespace {

// Value of a hex digit, or -1 for any other character.
int hexDigit(char16_t unit) {
    const char c = static_cast<char>(unit & 0xFF);
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string toHexString(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
        text.push_back(' ');
    }
    return text;
}

Bytes fromHexString(std::string_view text) {
    // Positions count UTF-16 code units, as the text's characters.
    std::u16string units = toUtf16(text);
    std::erase(units, u' ');

    Bytes bytes;
    bytes.reserve(units.size() / 2);
    for (size_t k = 0; k + 1 < units.size(); k += 2) {
        // A pair converts like a two-digit base-16 number that stops at the first non-digit.
        int value = 0;
        const int high = hexDigit(units[k]);
        if (high >= 0) {
            value = high;
            const int low = hexDigit(units[k + 1]);
            if (low >= 0) value = value * 16 + low;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

}  // namespace vexa
