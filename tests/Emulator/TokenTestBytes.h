#pragma once
// Small byte builders shared by the virtual-token tests, and the check that a session stayed
// encrypted as the token saw it.
#include <gtest/gtest.h>

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

/// Checks that after each plain synchronisation every package `token` (a VirtualToken or its
/// endpoint) received arrived encrypted under its key and parsed; returns how many there were.
template <class Token>
size_t expectEncryptedAfterSync(const Token& token) {
    bool synced = false;
    size_t encrypted = 0;
    for (const auto& package : token.receivedPackages()) {
        if (package.code == 0x65) synced = true;
        if (package.code == 0x65 || !synced) continue;
        EXPECT_TRUE(package.encrypted && package.valid) << "command 0x" << std::hex << int(package.code) << " crossed in plain text";
        ++encrypted;
    }
    return encrypted;
}

}  // namespace vexa::test
