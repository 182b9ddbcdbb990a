#pragma once
// Cipher helpers on OpenSSL libcrypto: AES-256-ECB with a text key, PBKDF2-HMAC-SHA256, MD5 and
// random bytes. Every function is thread-safe.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Bytes.h"

namespace vexa {

/// A raw AES-256 key.
using Aes256Key = std::array<uint8_t, 32>;

/// The AES-256 key of a key string: the first 32 bytes of its UTF-8 form, zero-padded when shorter.
/// A multi-byte character that straddles byte 32 is cut; both directions use the same 32 bytes.
Aes256Key aes256KeyFromString(std::string_view key);

/// AES-256-ECB without cipher padding. The data is first extended with zero bytes to the next
/// multiple of 16 (nothing is added when it already is one; empty stays empty). Absent only when
/// the cipher fails.
std::optional<Bytes> aes256EcbEncrypt(ByteView data, const Aes256Key& key);
/// AES-256-ECB decryption without padding removal: the output is as long as the input. Absent when
/// the length is not a multiple of 16 or the cipher fails.
std::optional<Bytes> aes256EcbDecrypt(ByteView data, const Aes256Key& key);

/// aes256EcbEncrypt of `data` in its own buffer (extended with zero bytes as above); false, with
/// `data` unspecified, when the cipher fails.
bool aes256EcbEncryptInPlace(Bytes& data, const Aes256Key& key);
/// aes256EcbDecrypt into `out`, whose buffer is reused; false, with `out` unspecified, when it fails.
bool aes256EcbDecryptInto(ByteView data, const Aes256Key& key, Bytes& out);

/// aes256EcbEncrypt with the key aes256KeyFromString(key).
std::optional<Bytes> AES256EncryptWithKey(ByteView data, std::string_view key);
/// aes256EcbDecrypt with the key aes256KeyFromString(key).
std::optional<Bytes> AES256DecryptWithKey(ByteView data, std::string_view key);

/// PBKDF2 with HMAC-SHA256 over the password bytes and the salt's UTF-8 bytes; exactly keyLength
/// bytes. PBKDF2 needs at least one round, so 0 rounds is taken as 1.
Bytes PBKDF2DerivationWithHMac(ByteView password, std::string_view salt, uint32_t rounds, uint8_t keyLength);

/// MD5 of the text up to its first NUL byte, as 32 lower-case hexadecimal digits.
std::string MD5String(std::string_view text);
/// The same digest as its 16 raw bytes.
Bytes MD5Data(std::string_view text);

/// `count` bytes from OpenSSL's cryptographic generator (the operating system's generator should
/// OpenSSL ever fail; the process aborts rather than return predictable bytes).
Bytes randomBytes(size_t count);

}  // namespace vexa
