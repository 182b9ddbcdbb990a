#include "VexaTokenKit/VexaCrypto.h"

#include <gtest/gtest.h>

#include <string>

namespace vexa {
namespace {

Bytes unhex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) out += {kDigits[b >> 4], kDigits[b & 15]};
    return out;
}

Aes256Key keyOf(std::string_view hexText) {
    Aes256Key key{};
    const Bytes b = unhex(hexText);
    std::copy(b.begin(), b.end(), key.begin());
    return key;
}

Bytes sequence(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

TEST(Aes256Ecb, Fips197AppendixC3) {
    const auto key = keyOf("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes plain = unhex("00112233445566778899aabbccddeeff");
    const auto cipher = aes256EcbEncrypt(plain, key);
    ASSERT_TRUE(cipher);
    EXPECT_EQ(hex(*cipher), "8ea2b7ca516745bfeafc49904b496089");
    const auto back = aes256EcbDecrypt(*cipher, key);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, plain);

    // ECB: equal blocks give equal ciphertext blocks, with no chaining between them.
    Bytes three;
    for (int i = 0; i < 3; ++i) three.insert(three.end(), plain.begin(), plain.end());
    const auto c3 = aes256EcbEncrypt(three, key);
    ASSERT_TRUE(c3);
    EXPECT_EQ(hex(*c3), "8ea2b7ca516745bfeafc49904b496089"
                        "8ea2b7ca516745bfeafc49904b496089"
                        "8ea2b7ca516745bfeafc49904b496089");
}

TEST(Aes256Ecb, ZeroFillerUpToTheNextBlock) {
    const std::string key = "0123456789abcdef0123456789abcdef";
    for (auto [in, out] : {std::pair<size_t, size_t>{0, 0}, {1, 16}, {15, 16}, {16, 16}, {17, 32}, {31, 32}, {32, 32}, {2051, 2064}}) {
        const auto c = AES256EncryptWithKey(sequence(in), key);
        ASSERT_TRUE(c) << in;
        EXPECT_EQ(c->size(), out) << in;
    }

    // A 4-byte package: the filler is zeros, so the ciphertext equals that of the zero-extended block.
    const auto c = AES256EncryptWithKey(unhex("350000eb"), key);
    ASSERT_TRUE(c);
    EXPECT_EQ(hex(*c), "2cb98fbbd7ad0d568be63a8fa8107bfe");

    // Decrypting the ciphertext of 15 bytes gives 16: the 15 bytes and one zero filler byte.
    const Bytes fifteen = sequence(15);
    const auto back = AES256DecryptWithKey(*AES256EncryptWithKey(fifteen, key), key);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 16u);
    EXPECT_TRUE(std::equal(fifteen.begin(), fifteen.end(), back->begin()));
    EXPECT_EQ(back->back(), 0);
}

TEST(Aes256Ecb, DecryptRefusesPartialBlocks) {
    const std::string key = "0123456789abcdef0123456789abcdef";
    for (size_t n : {1, 15, 17, 33, 2055}) EXPECT_FALSE(AES256DecryptWithKey(sequence(n), key)) << n;
    const auto empty = AES256DecryptWithKey({}, key);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_FALSE(aes256EcbDecrypt(sequence(17), Aes256Key{}));
}

TEST(Aes256Ecb, KeyTextFormsThirtyTwoBytes) {
    // Shorter keys are zero-padded: "secret" is the key 736563726574 00...00.
    const auto padded = keyOf("7365637265740000000000000000000000000000000000000000000000000000");
    EXPECT_EQ(aes256KeyFromString("secret"), padded);
    const auto c = AES256EncryptWithKey(unhex("350000eb"), "secret");
    ASSERT_TRUE(c);
    EXPECT_EQ(hex(*c), "665cf635c4ee1a8b8b5f3321262e3881");

    // Longer keys keep their first 32 bytes, in both directions.
    const std::string k32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    const Bytes plain = sequence(40);
    const auto viaLong = AES256EncryptWithKey(plain, k32 + "6789-and-more");
    const auto viaExact = AES256EncryptWithKey(plain, k32);
    ASSERT_TRUE(viaLong && viaExact);
    EXPECT_EQ(*viaLong, *viaExact);
    EXPECT_EQ(*AES256DecryptWithKey(*viaLong, k32 + "tail"), *AES256DecryptWithKey(*viaLong, k32));

    // A two-byte character straddling byte 32 is cut after its first byte; decrypting with the
    // same text undoes encrypting with it.
    const std::string multi = std::string(31, 'k') + "\xC3\xA9" + "\xE2\x82\xAC";  // 31 x 'k', "é", "€"
    Aes256Key expected{};
    std::fill(expected.begin(), expected.begin() + 31, uint8_t{'k'});
    expected[31] = 0xC3;
    EXPECT_EQ(aes256KeyFromString(multi), expected);
    const auto enc = AES256EncryptWithKey(plain, multi);
    ASSERT_TRUE(enc);
    EXPECT_EQ(*enc, *aes256EcbEncrypt(plain, expected));
    const auto dec = AES256DecryptWithKey(*enc, multi);
    ASSERT_TRUE(dec);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), dec->begin()));
}

TEST(Aes256Ecb, AlternatingKeysNeverReuseAStaleKey) {
    // The cipher contexts are cached per key: switching keys between calls must switch schedules.
    const Bytes plain = sequence(48);
    const auto a = AES256EncryptWithKey(plain, "key-a");
    const auto b = AES256EncryptWithKey(plain, "key-b");
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(*AES256EncryptWithKey(plain, "key-a"), *a);
        EXPECT_EQ(*AES256DecryptWithKey(*b, "key-b"), plain);
        EXPECT_EQ(*AES256EncryptWithKey(plain, "key-b"), *b);
        EXPECT_EQ(*AES256DecryptWithKey(*a, "key-a"), plain);
        EXPECT_NE(*AES256DecryptWithKey(*a, "key-b"), plain);
    }
    // A large buffer round-trips whole.
    const Bytes big = sequence(70000);
    EXPECT_EQ(*AES256DecryptWithKey(*AES256EncryptWithKey(big, "key-a"), "key-a"), big);
}

TEST(Pbkdf2HmacSha256, PublishedVectors) {
    // RFC 7914, section 11, and the RFC 6070 inputs over HMAC-SHA256.
    EXPECT_EQ(hex(PBKDF2DerivationWithHMac(bytesOf("passwd"), "salt", 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_EQ(hex(PBKDF2DerivationWithHMac(bytesOf("password"), "salt", 4096, 32)),
              "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
    EXPECT_EQ(hex(PBKDF2DerivationWithHMac(bytesOf("passwordPASSWORDpassword"), "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 40)),
              "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9");
    // NUL bytes inside password and salt are part of them.
    using namespace std::string_view_literals;
    EXPECT_EQ(hex(PBKDF2DerivationWithHMac(bytesOf("pass\0word"sv), "sa\0lt"sv, 4096, 16)), "89b69d0516f829893c696226650a8687");
}

TEST(Pbkdf2HmacSha256, SessionKeyShapes) {
    // The derivation a short session key goes through: 1024 rounds, 16 bytes, the token name as salt.
    EXPECT_EQ(hex(PBKDF2DerivationWithHMac(bytesOf("1234"), "VexaToken", 1024, 16)), "c9cf3294e5d94dfc5d13d8843e02a568");
    EXPECT_EQ(hex(PBKDF2DerivationWithHMac({}, "Token-1", 1024, 16)), "50b486401f447d31c2ab0392043e0bda");
    EXPECT_NE(PBKDF2DerivationWithHMac(bytesOf("1234"), "Token-1", 1024, 16),
              PBKDF2DerivationWithHMac(bytesOf("1234"), "Token-2", 1024, 16));
    EXPECT_TRUE(PBKDF2DerivationWithHMac(bytesOf("1234"), "salt", 1, 0).empty());
    EXPECT_EQ(PBKDF2DerivationWithHMac(bytesOf("1234"), "salt", 1, 255).size(), 255u);
    // Zero rounds is one round, never an unfilled buffer.
    EXPECT_EQ(PBKDF2DerivationWithHMac(bytesOf("password"), "salt", 0, 32), PBKDF2DerivationWithHMac(bytesOf("password"), "salt", 1, 32));
}

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890", "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (auto [text, digest] : suite) {
        EXPECT_EQ(MD5String(text), digest) << text;
        EXPECT_EQ(MD5Data(text), unhex(digest)) << text;
    }
    EXPECT_EQ(MD5String("ключ"), "c3657b66c60a307292aae11f07b04ae7");  // over the UTF-8 bytes
}

TEST(Md5, StopsAtTheFirstNul) {
    using namespace std::string_view_literals;
    EXPECT_EQ(MD5String("abc\0def"sv), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5Data("\0abc"sv), unhex("d41d8cd98f00b204e9800998ecf8427e"));
}

TEST(RandomBytes, SizesAndFreshness) {
    EXPECT_TRUE(randomBytes(0).empty());
    EXPECT_EQ(randomBytes(1).size(), 1u);
    const Bytes a = randomBytes(32), b = randomBytes(32);
    ASSERT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_NE(a, Bytes(32, 0));
}

}  // namespace
}  // namespace vexa
