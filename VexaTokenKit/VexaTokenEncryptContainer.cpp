#include "VexaTokenKit/VexaTokenEncryptContainer.h"

#include <algorithm>

#include "Platform/Utf16.h"
#include "VexaTokenKit/HexString.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "VexaTokenKit/VexaToken.h"

namespace vexa {
namespace {

constexpr size_t kDirectKeyLength = 32;  // UTF-16 code units from which a key is used as given
constexpr uint32_t kDerivationRounds = 1024;
constexpr uint8_t kDerivedKeyBytes = 16;
constexpr size_t kHashLength = 16;

}  // namespace

VexaTokenEncryptContainer& VexaTokenEncryptContainer::sharedInstance() {
    // Never destroyed: keys may be used by work still running while the process exits.
    static auto* instance = new VexaTokenEncryptContainer();
    return *instance;
}

std::string VexaTokenEncryptContainer::deriveKey(std::string_view password, std::string_view salt) {
    const Bytes derived = PBKDF2DerivationWithHMac(bytesOf(password), salt, kDerivationRounds, kDerivedKeyBytes);
    std::string hex = toHexString(derived);
    std::erase(hex, ' ');
    return hex;
}

void VexaTokenEncryptContainer::setKey(const VexaToken& token, std::string_view key) {
    std::string stored = utf16Length(key) >= kDirectKeyLength ? std::string(key) : deriveKey(key, token.name());
    std::lock_guard lock(mutex_);
    keys_[token.identifier()] = std::move(stored);
}

void VexaTokenEncryptContainer::resetKey(const VexaToken& token) {
    std::lock_guard lock(mutex_);
    keys_.erase(token.identifier());
}

bool VexaTokenEncryptContainer::isContainsKey(const VexaToken& token) const { return keyOf(token).has_value(); }

std::optional<std::string> VexaTokenEncryptContainer::keyOf(const VexaToken& token) const {
    std::lock_guard lock(mutex_);
    const auto it = keys_.find(token.identifier());
    if (it == keys_.end()) return std::nullopt;
    return it->second;
}

std::optional<Bytes> VexaTokenEncryptContainer::encryptWithKey(const VexaToken& token, ByteView data) const {
    const auto key = keyOf(token);
    if (!key) return Bytes(data.begin(), data.end());
    return AES256EncryptWithKey(data, *key);
}

std::optional<Bytes> VexaTokenEncryptContainer::decryptWithKey(const VexaToken& token, ByteView data) const {
    const auto key = keyOf(token);
    if (!key) return Bytes(data.begin(), data.end());
    return AES256DecryptWithKey(data, *key);
}

Bytes VexaTokenEncryptContainer::getHash(const VexaToken& token) const {
    const auto key = keyOf(token);
    if (!key) return randomBytes(kHashLength);
    return MD5Data(*key);
}

VexaTokenEncryptContainer::KeyMap VexaTokenEncryptContainer::keys() const {
    std::lock_guard lock(mutex_);
    return keys_;
}

void VexaTokenEncryptContainer::setKeys(KeyMap keys) {
    std::lock_guard lock(mutex_);
    keys_ = std::move(keys);
}

}  // namespace vexa
