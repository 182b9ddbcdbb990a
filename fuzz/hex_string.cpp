// fromHexString accepts any text; on text made of hex digits and spaces it inverts toHexString.
#include <cctype>
#include <cstdlib>
#include <string>

#include "VexaTokenKit/HexString.h"

using namespace vexa;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Bytes bytes = fromHexString(text);
    if (bytes.size() > size / 2) std::abort();

    bool hexOnly = true;
    std::string digits;
    for (char c : text) {
        if (c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) hexOnly = false;
        digits.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    if (hexOnly) {
        digits.resize(digits.size() & ~size_t{1});
        std::string back = toHexString(bytes);
        std::erase(back, ' ');
        if (back != digits) std::abort();
    }

    // Any bytes survive the trip through their hex text.
    if (fromHexString(toHexString(ByteView(data, size))) != Bytes(data, data + size)) std::abort();
    return 0;
}
