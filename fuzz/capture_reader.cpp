// Reads arbitrary bytes as a btsnoop capture and decodes what it finds, with a key (so that the
// decryption path runs too) and with fixed handles: nothing may crash or read outside the input.
#include <optional>

#include "Tools/vexatoken/trace/CaptureReader.h"
#include "Tools/vexatoken/trace/SessionDecoder.h"

using namespace vexa::trace;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::optional<DecodeKey> key = DecodeKey{"0123456789ABCDEF0123456789ABCDEF", false, std::nullopt};
    const vexa::ByteView bytes(data, size);
    decodeSession(readTokenCapture(bytes), key);
    decodeSession(readTokenCapture(bytes, TokenHandles{0x0012, 0x0014}), std::nullopt);
    return 0;
}
