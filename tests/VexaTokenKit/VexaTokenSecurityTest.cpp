// Once a session key is stored, every package after the synchronisation crosses the link
// encrypted, as the virtual token receives it; new scans do not change that, and events of a
// connected token still reach the application under that very token.
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

class TokenSecurityTest : public PublicTest {
protected:
    // The packages the host wrote to `device`, joined from the frames the radio carried.
    std::vector<Bytes> writtenPackages(const VirtualToken& device) const {
        BleSocketFormat joiner;
        std::vector<Bytes> packages;
        for (const auto& record : traffic) {
            if (!record.fromCentral() || record.peripheralIdentifier != device.identifier()) continue;
            joiner.addFrameWithCompletion(record.bytes, [&](const std::optional<Bytes>& package, const OptError&) {
                if (package) packages.push_back(*package);
            });
        }
        return packages;
    }

    static std::optional<uint8_t> plainCode(ByteView package) {
        std::optional<uint8_t> code;
        LumoTokenCommand::parseCommand(package, [&](uint8_t c, const Bytes&) { code = c; }, [](const Error&) {});
        return code;
    }

    // Checks that after each plain synchronisation every package is AES ciphertext of a valid
    // package under `key`; returns how many such packages there were.
    size_t expectEncryptedAfterSynchronisation(const VirtualToken& device, const std::string& key) const {
        bool synchronised = false;
        size_t encrypted = 0;
        for (const Bytes& package : writtenPackages(device)) {
            const auto code = plainCode(package);
            if (code == 0x65) {
                synchronised = true;
                continue;
            }
            if (!synchronised) continue;
            EXPECT_FALSE(code.has_value()) << "plaintext command 0x" << std::hex << int(code.value_or(0));
            EXPECT_EQ(package.size() % 16, 0u);
            const auto plain = AES256DecryptWithKey(package, key);
            EXPECT_TRUE(plain && plainCode(*plain).has_value());
            ++encrypted;
        }
        return encrypted;
    }

    void getSerialAndWait(const std::shared_ptr<VexaToken>& token) {
        const size_t before = tokenEvents->count("serial");
        token->setDelegate(tokenEvents);
        token->getSerial();
        ASSERT_TRUE(waitFor("serial", before + 1));
        EXPECT_FALSE(tokenEvents->last("serial")->error);
    }
};

TEST_F(TokenSecurityTest, TrafficStaysEncryptedAcrossRescansAndReconnects) {
    auto device = addToken("Token A", "short pin");
    scan(1);
    auto first = tokenNamed("Token A");
    VexaTokenEncryptContainer::sharedInstance().setKey(*first, "short pin");
    connect(first);
    getSerialAndWait(first);

    // The connected token does not advertise, so this scan lists nothing: the manager still
    // knows the token it connected.
    manager->startScanning();
    main.runFor(std::chrono::seconds(1));
    manager->stopScanning();
    ASSERT_TRUE(manager->tokens().empty());
    getSerialAndWait(first);
    first->getBatteryLevel();
    first->getFirmwareVersion();
    ASSERT_TRUE(waitFor("firmware"));
    EXPECT_FALSE(tokenEvents->last("firmware")->error);

    // Its loss is still reported, under that token.
    device->peripheral()->disconnect();
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    EXPECT_EQ(managerEvents->disconnected[0], first);

    // A fresh token for the same peripheral shares the key (by identifier) and encrypts too.
    scan(1);
    auto second = tokenNamed("Token A");
    ASSERT_NE(second, first);
    EXPECT_TRUE(VexaTokenEncryptContainer::sharedInstance().isContainsKey(*second));
    connect(second);
    getSerialAndWait(second);
    second->readEnvironmentVariable("device0");
    ASSERT_TRUE(waitFor("readVar"));

    const std::string key = VexaTokenEncryptContainer::sharedInstance().keys().at(device->identifier());
    EXPECT_EQ(expectEncryptedAfterSynchronisation(*device, key), 6u);
    for (const auto& package : device->receivedPackages()) {
        if (package.code != 0x65) {
            EXPECT_TRUE(package.encrypted);
        }
    }
}

TEST_F(TokenSecurityTest, EventsOfAConnectedTokenStayWithItWhenARescanListsItsPeripheralAgain) {
    auto device = addToken("Token A", "short pin");
    device->peripheral()->setAdvertisesWhileConnected(true);
    scan(1);
    auto connected = tokenNamed("Token A");
    VexaTokenEncryptContainer::sharedInstance().setKey(*connected, "short pin");
    connect(connected);

    scan(1);
    auto listed = tokenNamed("Token A");
    ASSERT_NE(listed, connected);
    EXPECT_EQ(listed->peripheral(), connected->peripheral());
    EXPECT_EQ(manager->connectedTokens(), VexaTokenList{connected});
    getSerialAndWait(connected);

    manager->disconnectFromToken(listed);  // same peripheral: ends the connected token's link
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    EXPECT_EQ(managerEvents->disconnected[0], connected);
    EXPECT_FALSE(connected->isConnected());
    const std::string key = VexaTokenEncryptContainer::sharedInstance().keys().at(device->identifier());
    EXPECT_EQ(expectEncryptedAfterSynchronisation(*device, key), 1u);
}

TEST_F(TokenSecurityTest, KeyStoredWhileConnectedTakesEffectWithTheNextPackage) {
    // A token without a key talks in plain text; once the host stores a key the host's packages
    // are encrypted, which that token cannot read.
    addToken("Token A");
    auto token = connectedToken("Token A");
    token->getSerial();
    ASSERT_TRUE(waitFor("serial"));
    EXPECT_FALSE(tokenEvents->last("serial")->error);
    EXPECT_FALSE(devices[0]->receivedPackages().back().encrypted);

    VexaTokenEncryptContainer::sharedInstance().setKey(*token, std::string(32, 'k'));
    devices[0]->clearRecords();
    token->getSerial();
    ASSERT_TRUE(waitFor("serial", 2));
    ASSERT_EQ(devices[0]->receivedPackages().size(), 1u);
    EXPECT_FALSE(devices[0]->receivedPackages()[0].valid);  // ciphertext the open token cannot parse
    EXPECT_TRUE(tokenEvents->last("serial")->error);
}

}  // namespace
}  // namespace vexa::test
