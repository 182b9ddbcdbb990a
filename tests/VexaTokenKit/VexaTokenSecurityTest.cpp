// Once a session key is stored, every package after the synchronisation crosses the link
// encrypted, as the virtual token receives it, also after new scans and reconnections; events of
// a connected token stay with that very token.
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

class TokenSecurityTest : public PublicTest {
protected:
    static std::optional<uint8_t> plainCode(ByteView package) {
        std::optional<uint8_t> code;
        LumoTokenCommand::parseCommand(package, [&](uint8_t c, const Bytes&) { code = c; }, [](const Error&) {});
        return code;
    }

    // Joins the frames written to `device`; after each plain synchronisation every package must be
    // the AES ciphertext of a valid package under the stored key. Returns how many there were.
    size_t expectEncryptedAfterSynchronisation(const VirtualToken& device) const {
        const std::string key = VexaTokenEncryptContainer::sharedInstance().keys().at(device.identifier());
        BleSocketFormat joiner;
        bool synchronised = false;
        size_t encrypted = 0;
        for (const auto& record : traffic) {
            if (!record.fromCentral() || record.peripheralIdentifier != device.identifier()) continue;
            joiner.addFrameWithCompletion(record.bytes, [&](const std::optional<Bytes>& package, const OptError&) {
                if (!package) return;
                const auto code = plainCode(*package);
                if (code == 0x65) synchronised = true;
                if (code == 0x65 || !synchronised) return;
                EXPECT_FALSE(code.has_value()) << "plaintext command " << int(code.value_or(0));
                const auto plain = AES256DecryptWithKey(*package, key);
                EXPECT_TRUE(plain && plainCode(*plain).has_value());
                ++encrypted;
            });
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
    auto first = scan(1).at(0);
    VexaTokenEncryptContainer::sharedInstance().setKey(*first, "short pin");
    connect(first);
    getSerialAndWait(first);

    // The connected token does not advertise, so this scan lists nothing; the manager still knows
    // the token it connected: its traffic stays encrypted and its loss is reported.
    manager->startScanning();
    main.runFor(std::chrono::seconds(1));
    manager->stopScanning();
    ASSERT_TRUE(manager->tokens().empty());
    getSerialAndWait(first);
    device->peripheral()->disconnect();
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    EXPECT_EQ(managerEvents->disconnected[0], first);

    // A fresh token for the same peripheral shares the key (by identifier).
    auto second = scan(1).at(0);
    ASSERT_NE(second, first);
    connect(second);
    getSerialAndWait(second);
    EXPECT_EQ(expectEncryptedAfterSynchronisation(*device), 3u);
    EXPECT_EQ(device->session(), VirtualToken::Session::Encrypted);
}

TEST_F(TokenSecurityTest, EventsStayWithTheConnectedTokenWhenARescanListsItsPeripheralAgain) {
    auto device = addToken("Token A", "short pin");
    device->peripheral()->setAdvertisesWhileConnected(true);
    auto connected = scan(1).at(0);
    VexaTokenEncryptContainer::sharedInstance().setKey(*connected, "short pin");
    connect(connected);

    auto listed = scan(1).at(0);
    ASSERT_NE(listed, connected);
    EXPECT_EQ(listed->peripheral(), connected->peripheral());
    EXPECT_EQ(manager->connectedTokens(), VexaTokenList{connected});
    getSerialAndWait(connected);
    manager->disconnectFromToken(listed);  // the same peripheral: ends the connected token's link
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    EXPECT_EQ(managerEvents->disconnected[0], connected);
    EXPECT_EQ(expectEncryptedAfterSynchronisation(*device), 1u);
}

TEST_F(TokenSecurityTest, AFailedSynchronisationLeavesNoLinkAndSendsNothingInPlainText) {
    auto device = addToken("Token A", "short pin");
    auto token = scan(1).at(0);
    VexaTokenEncryptContainer::sharedInstance().setKey(*token, "short pin");
    token->setReplyTimeout(std::chrono::seconds(5));
    const std::function<void()> faults[] = {[&] { device->replyStatus(0x65, 3, 1); }, [&] { device->ignoreCommand(0x65, 1); },
                                            [&] { device->corruptReplies(0x65, 1); }};
    for (size_t i = 0; i < std::size(faults); ++i) {
        faults[i]();
        connect(token);  // the same token tries again after each failure
        token->getSerial();  // at once, while the link may still be up
        main.runFor(std::chrono::seconds(1));
        token->getSerial();
        main.runFor(std::chrono::seconds(1));
        EXPECT_EQ(managerEvents->failures.size(), i + 1);
        EXPECT_FALSE(token->isConnected());
    }
    EXPECT_TRUE(managerEvents->connected.empty());
    EXPECT_TRUE(managerEvents->disconnected.empty());
    for (const auto& package : device->receivedPackages()) EXPECT_EQ(package.code, 0x65) << "reached the token";
    EXPECT_EQ(device->receivedPackages().size(), 3u);
}

}  // namespace
}  // namespace vexa::test
