#include "VexaTokenKit/VexaCrypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace vexa {
namespace {

// EVP takes int lengths; larger buffers go through in pieces of this size (a multiple of 16).
constexpr size_t kChunk = size_t{1} << 30;

// Fetched once: an implicit fetch on every initialisation costs more than encrypting a package.
const EVP_CIPHER* aes256Ecb() {
    static const EVP_CIPHER* cipher = [] {
        const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
        return fetched ? fetched : EVP_aes_256_ecb();
    }();
    return cipher;
}

// One cipher context per thread and direction, kept initialised with the last key used. The same
// key (a token's session key) is used for package after package, so the key schedule is reused.
// ECB without padding keeps no state between updates, so a context can be updated again and again.
class CipherSlot {
public:
    explicit CipherSlot(int encrypt) : encrypt_(encrypt) {}
    ~CipherSlot() {
        EVP_CIPHER_CTX_free(ctx_);
        OPENSSL_cleanse(key_.data(), key_.size());
    }
    CipherSlot(const CipherSlot&) = delete;
    CipherSlot& operator=(const CipherSlot&) = delete;

    /// The context ready for `key`, or null when the cipher cannot be set up.
    EVP_CIPHER_CTX* contextFor(const Aes256Key& key) {
        if (ready_ && CRYPTO_memcmp(key_.data(), key.data(), key.size()) == 0) return ctx_;
        ready_ = false;
        if (!ctx_ && !(ctx_ = EVP_CIPHER_CTX_new())) return nullptr;
        if (EVP_CipherInit_ex2(ctx_, aes256Ecb(), key.data(), nullptr, encrypt_, nullptr) != 1) return nullptr;
        EVP_CIPHER_CTX_set_padding(ctx_, 0);
        key_ = key;
        ready_ = true;
        return ctx_;
    }
    /// Forces a fresh initialisation next time (after a failed update).
    void invalidate() { ready_ = false; }

private:
    const int encrypt_;
    EVP_CIPHER_CTX* ctx_ = nullptr;
    Aes256Key key_{};
    bool ready_ = false;
};

CipherSlot& slot(bool encrypt) {
    thread_local CipherSlot encryptSlot(1);
    thread_local CipherSlot decryptSlot(0);
    return encrypt ? encryptSlot : decryptSlot;
}

// Runs whole blocks through the context; `len` is a multiple of 16.
bool update(EVP_CIPHER_CTX* ctx, uint8_t* out, const uint8_t* in, size_t len) {
    while (len > 0) {
        const size_t n = std::min(len, kChunk);
        int written = 0;
        if (EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(n)) != 1 || static_cast<size_t>(written) != n)
            return false;
        out += n, in += n, len -= n;
    }
    return true;
}

// Encrypts or decrypts `full` bytes of `in` (a multiple of 16), then the zero-filled `tail`
// block when given, into `out`.
bool runCipher(bool encrypt, const Aes256Key& key, uint8_t* out, const uint8_t* in, size_t full,
               const uint8_t* tail) {
    CipherSlot& s = slot(encrypt);
    EVP_CIPHER_CTX* ctx = s.contextFor(key);
    if (!ctx) return false;
    if (!update(ctx, out, in, full) || (tail && !update(ctx, out + full, tail, 16))) {
        s.invalidate();
        return false;
    }
    return true;
}

[[noreturn]] void fatal(const char* what) {
    // The process must not go on with predictable key material.
    std::fputs(what, stderr);
    std::abort();
}

}  // namespace

Aes256Key aes256KeyFromString(std::string_view key) {
    Aes256Key out{};
    std::memcpy(out.data(), key.data(), std::min(key.size(), out.size()));
    return out;
}

std::optional<Bytes> aes256EcbEncrypt(ByteView data, const Aes256Key& key) {
    const size_t full = data.size() & ~size_t{15};
    const size_t rest = data.size() - full;
    Bytes out(full + (rest ? 16 : 0));
    if (out.empty()) return out;
    uint8_t tail[16] = {};
    if (rest) std::memcpy(tail, data.data() + full, rest);
    const bool ok = runCipher(true, key, out.data(), data.data(), full, rest ? tail : nullptr);
    OPENSSL_cleanse(tail, sizeof tail);
    if (!ok) return std::nullopt;
    return out;
}

std::optional<Bytes> aes256EcbDecrypt(ByteView data, const Aes256Key& key) {
    Bytes out;
    if (!aes256EcbDecryptInto(data, key, out)) return std::nullopt;
    return out;
}

bool aes256EcbEncryptInPlace(Bytes& data, const Aes256Key& key) {
    data.resize((data.size() + 15) & ~size_t{15});  // zero filler up to whole blocks
    return data.empty() || runCipher(true, key, data.data(), data.data(), data.size(), nullptr);
}

bool aes256EcbDecryptInto(ByteView data, const Aes256Key& key, Bytes& out) {
    if (data.size() % 16 != 0) return false;
    out.resize(data.size());
    return data.empty() || runCipher(false, key, out.data(), data.data(), data.size(), nullptr);
}

std::optional<Bytes> AES256EncryptWithKey(ByteView data, std::string_view key) {
    return aes256EcbEncrypt(data, aes256KeyFromString(key));
}

std::optional<Bytes> AES256DecryptWithKey(ByteView data, std::string_view key) {
    return aes256EcbDecrypt(data, aes256KeyFromString(key));
}

Bytes PBKDF2DerivationWithHMac(ByteView password, std::string_view salt, uint32_t rounds, uint8_t keyLength) {
    Bytes out(keyLength);
    if (out.empty()) return out;
    uint64_t iterations = std::max<uint32_t>(rounds, 1);
    int pkcs5 = 1;  // plain PKCS #5: no SP 800-132 minimums on key length, salt or rounds
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<uint8_t*>(password.data()), password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &iterations),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5),
        OSSL_PARAM_construct_end(),
    };
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "PBKDF2", nullptr);
    EVP_KDF_CTX* ctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    const bool ok = ctx && EVP_KDF_derive(ctx, out.data(), out.size(), params) == 1;
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
    if (!ok) fatal("VexaTokenKit: PBKDF2-HMAC-SHA256 is not available from OpenSSL\n");
    return out;
}

Bytes MD5Data(std::string_view text) {
    text = text.substr(0, std::min(text.size(), text.find('\0')));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1 || length != 16)
        return {};  // MD5 switched off (a FIPS-only OpenSSL): no hash rather than a wrong one
    return Bytes(digest, digest + length);
}

std::string MD5String(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : MD5Data(text)) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

Bytes randomBytes(size_t count) {
    Bytes out(count);
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, kChunk);
        if (RAND_bytes(out.data() + done, static_cast<int>(n)) != 1) {
            // OpenSSL's generator failed: take the operating system's instead.
            try {
                std::random_device device;
                for (size_t i = done; i < count; ++i) out[i] = static_cast<uint8_t>(device());
            } catch (...) {
                fatal("VexaTokenKit: no source of random bytes\n");
            }
            break;
        }
        done += n;
    }
    return out;
}

}  // namespace vexa
