// The session-key store: derivation of short keys, the ciphers' bytes, the hash.
#include <gtest/gtest.h>

#include "VexaTokenKit/HexString.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "VexaTokenKit/VexaToken.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"

namespace vexa {
namespace {

class KeyStoreTest : public ::testing::Test {
protected:
    void SetUp() override { store.setKeys({}); }
    void TearDown() override { store.setKeys({}); }

    static std::shared_ptr<VexaToken> token(const std::string& name, const std::string& identifier) {
        auto t = VexaToken::create(nullptr);
        t->setName(name);
        t->setIdentifier(identifier);
        return t;
    }
    std::string storedFor(const VexaToken& t, std::string_view key) {
        store.setKey(t, key);
        return store.keys().at(t.identifier());
    }

    VexaTokenEncryptContainer& store = VexaTokenEncryptContainer::sharedInstance();
};

TEST_F(KeyStoreTest, KeysUnder32CharactersAreDerivedWithTheTokenNameAsSalt) {
    auto a = token("Token A", "ID-A");
    // PBKDF2-HMAC-SHA256, 1024 rounds, 16 bytes, upper-case hex.
    EXPECT_EQ(storedFor(*a, "1234"), "C8A9C6A685AD4CDC271940088B8FDBC4");
    EXPECT_EQ(storedFor(*token("Token A", "ID-A2"), "1234"), "C8A9C6A685AD4CDC271940088B8FDBC4");
    EXPECT_EQ(storedFor(*token("Token B", "ID-B"), "1234"), "F12C335072D752D31C4E0A544E33A399");
    EXPECT_EQ(storedFor(*a, ""), "BA78C38757E227587E23C1E7596C8A5D");
    EXPECT_EQ(storedFor(*a, std::string(31, 'x')), "34565893EF8FAC6FA7B29721E9751429");
    EXPECT_EQ(storedFor(*a, std::string(32, 'x')), std::string(32, 'x'));
    // Characters count in UTF-16 code units: 31 characters in 32 bytes are derived, 16 characters
    // outside the BMP (32 units) are stored as given.
    const std::string short31 = std::string(30, 'k') + "é";
    EXPECT_EQ(storedFor(*a, short31), VexaTokenEncryptContainer::deriveKey(short31, "Token A"));
    std::string keys16;
    for (int i = 0; i < 16; ++i) keys16 += "\U0001F511";
    EXPECT_EQ(storedFor(*a, keys16), keys16);
}

TEST_F(KeyStoreTest, KeysBelongToTheIdentifierAndCanBeReset) {
    auto a = token("Token A", "ID-A");
    auto sameId = token("Other name", "ID-A");
    store.setKey(*a, "1234");
    EXPECT_TRUE(store.isContainsKey(*sameId));
    store.resetKey(*sameId);
    EXPECT_FALSE(store.isContainsKey(*a));
    const Bytes data{1, 2, 3};  // no key: passed through
    EXPECT_EQ(store.encryptWithKey(*a, data), data);
    EXPECT_EQ(store.decryptWithKey(*a, data), data);
}

TEST_F(KeyStoreTest, CiphertextBytes) {
    auto a = token("Token A", "ID-A");
    store.setKey(*a, "0123456789abcdef0123456789abcdef");
    // AES-256-ECB with the key string's 32 bytes; the filler bytes are zeros.
    const Bytes plain15 = fromHexString("000102030405060708090a0b0c0d0e");
    const auto sealed = store.encryptWithKey(*a, plain15);
    EXPECT_EQ(sealed, fromHexString("c7be769dfda96b55ae055e133de2e278"));
    Bytes padded = plain15;
    padded.push_back(0);
    EXPECT_EQ(store.decryptWithKey(*a, sealed.value_or(Bytes())), padded);
    EXPECT_EQ(store.encryptWithKey(*a, fromHexString("000102030405060708090a0b0c0d0e0f10")),
              fromHexString("535ddcf596cf3664013c874d8589bb214ab97fc40d9a96eb5b30b45ee79e40da"));
    EXPECT_FALSE(store.decryptWithKey(*a, Bytes(17, 0)));
}

TEST_F(KeyStoreTest, HashIsTheMd5OfTheKeyStringOrFreshRandomBytes) {
    auto a = token("Token A", "ID-A");
    const Bytes first = store.getHash(*a);
    EXPECT_EQ(first.size(), 16u);
    EXPECT_NE(store.getHash(*a), first);
    store.setKey(*a, "1234");  // MD5 of the 32 hex characters of the derived key
    EXPECT_EQ(store.getHash(*a), fromHexString("2de20433b240fc9997bc5b6e6efecaf9"));
}

}  // namespace
}  // namespace vexa
