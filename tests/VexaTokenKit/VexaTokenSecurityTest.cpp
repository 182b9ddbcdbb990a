// Once a session key is stored, every package after the synchronisation crosses the link
// encrypted, as the virtual token receives it, also after new scans and reconnections; events of
// a connected token stay with that very token.
#include "tests/Emulator/TokenTestBytes.h"
#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

class TokenSecurityTest : public PublicTest {
protected:
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
    EXPECT_TRUE(manager->connectedTokens().empty());
    manager->connectToToken(first);  // its session has ended: it does not connect again
    main.runFor(std::chrono::seconds(1));
    EXPECT_EQ(managerEvents->connected.size(), 1u);

    // A fresh token for the same peripheral shares the key (by identifier).
    auto second = scan(1).at(0);
    ASSERT_NE(second, first);
    connect(second);
    getSerialAndWait(second);
    EXPECT_EQ(expectEncryptedAfterSync(*device), 3u);
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
    EXPECT_EQ(expectEncryptedAfterSync(*device), 1u);
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
