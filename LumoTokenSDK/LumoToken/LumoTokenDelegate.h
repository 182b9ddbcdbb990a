#pragma once
// What the owner of a token session supplies (the session-key hash, the ciphers, the
// synchronisation mode) and hears (connection outcome, disconnect). Only needHashSessionKey is
// required; the other operations default to "not implemented".
#include <cstdint>
#include <optional>

#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

class LumoToken;

class LumoTokenDelegate {
public:
    virtual ~LumoTokenDelegate() = default;

    /// The session-key hash sent with the synchronisation command (16 bytes in practice).
    virtual Bytes needHashSessionKey(LumoToken& token) = 0;

    /// Once at the end of every set-up: no error and the flag clear (ready), no error and the flag
    /// set (ready, the token rejected the key), or an error (the set-up failed).
    virtual void didConnect(LumoToken& token, const OptError& error, bool sessionKeyNeedUpdate) {
        (void)token, (void)error, (void)sessionKeyNeedUpdate;
    }
    /// The token's peripheral disconnected; the error is the platform's, re-coded to 1, or none.
    virtual void didDisconnect(LumoToken& token, const OptError& error) { (void)token, (void)error; }

    /// Replaces a whole outgoing package once the session key is synchronised; nullopt (or an
    /// empty buffer) means the cipher failed. Not overridden: the package goes out unchanged.
    virtual std::optional<Bytes> willEncryptData(LumoToken& token, const Bytes& package) {
        (void)token;
        return package;
    }
    /// Replaces a whole joined incoming package before it is parsed; nullopt counts as empty.
    virtual std::optional<Bytes> willDecryptData(LumoToken& token, const Bytes& package) {
        (void)token;
        return package;
    }
    /// The key-synchronisation mode byte sent to the token; 0 when not overridden.
    virtual uint8_t requireSynModeSK(LumoToken& token) {
        (void)token;
        return 0;
    }
};

}  // namespace vexa
