#pragma once
// Small byte builders shared by the virtual-token tests.
#include <initializer_list>
#include <string_view>

#include "LumoTokenSDK/LumoToken/protocol/LumoTokenDataField.h"
#include "Platform/Bytes.h"

namespace vexa::test {

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

/// The text's UTF-8 bytes and a zero byte.
inline Bytes text0(std::string_view s) { return cat({bytesOf(s), Bytes{0}}); }

/// The payload of a session-key synchronisation: hash (tag 0), mode (tag 1), host name (tag 2).
inline Bytes syncPayload(ByteView hash, uint8_t mode, std::string_view host) {
    return cat({LumoTokenDataField(0, hash).toData(), LumoTokenDataField(1, Bytes{mode}).toData(),
                LumoTokenDataField(2, bytesOf(host)).toData()});
}

}  // namespace vexa::test
