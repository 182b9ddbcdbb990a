#pragma once
// The process-wide store of session keys, one per token identifier, and the three services it
// lends every session: encrypt an outgoing package, decrypt a reply, hash the key for the
// session-key synchronisation. Keys live in memory only. The map is read and replaced under a
// lock, so the store may be used from any thread.
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Bytes.h"

namespace vexa {

class VexaToken;

class VexaTokenEncryptContainer {
public:
    using KeyMap = std::map<std::string, std::string>;

    /// The one store, made on first use and never destroyed.
    static VexaTokenEncryptContainer& sharedInstance();

    /// Stores the key under the token's identifier. A key of 32 or more characters (UTF-16 code
    /// units) is stored as it is; a shorter one (also the empty one) is replaced by
    /// deriveKey(key, token.name()).
    void setKey(const VexaToken& token, std::string_view key);
    /// Forgets the token's key; nothing happens when it has none.
    void resetKey(const VexaToken& token);
    bool isContainsKey(const VexaToken& token) const;
    /// AES-256-ECB with the token's key (zero filler to a multiple of 16); the bytes unchanged when
    /// the token has no key; nothing when the cipher fails.
    std::optional<Bytes> encryptWithKey(const VexaToken& token, ByteView data) const;
    /// The inverse (filler kept); the bytes unchanged without a key; nothing when the cipher fails
    /// (a length that is not a multiple of 16).
    std::optional<Bytes> decryptWithKey(const VexaToken& token, ByteView data) const;
    /// MD5 of the key string's UTF-8 bytes; 16 fresh random bytes when the token has no key.
    Bytes getHash(const VexaToken& token) const;

    /// The whole map, identifier -> key string.
    KeyMap keys() const;
    void setKeys(KeyMap keys);

    /// The key stored for a short password: the 32 upper-case hex digits of
    /// PBKDF2-HMAC-SHA256(password, salt, 1024 rounds, 16 bytes).
    static std::string deriveKey(std::string_view password, std::string_view salt);

private:
    VexaTokenEncryptContainer() = default;
    std::optional<std::string> keyOf(const VexaToken& token) const;

    mutable std::mutex mutex_;
    KeyMap keys_;
};

}  // namespace vexa
