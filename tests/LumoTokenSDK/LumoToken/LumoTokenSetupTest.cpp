#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "Platform/NotificationCenter.h"
#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

TEST(LumoTokenSetup, SynchronisationPayloadAndSuccess) {
    SessionHarness h;
    h.delegate->mode = 1;
    h.token->setDelegate(h.delegate);
    h.token->discover();
    h.main.runUntilIdle();
    ASSERT_EQ(h.sent().size(), 1u);
    Bytes expected{0x11, 0x00};
    expected.insert(expected.end(), h.delegate->hash.begin(), h.delegate->hash.end());
    expected.insert(expected.end(), {0x02, 0x01, 0x01, 0x03, 0x02, 0x41, 0x42});
    EXPECT_EQ(h.sent()[0].code, 0x65);
    EXPECT_EQ(h.sent()[0].payload, expected);
    EXPECT_EQ(h.token->_syncModeSK(), 1);
    EXPECT_EQ(h.device->notifyRequests(h.notifyChar), std::vector<bool>{true});
    EXPECT_TRUE(h.delegate->connects.empty());
    h.reply({0});
    ASSERT_EQ(h.delegate->connects.size(), 1u);
    EXPECT_FALSE(h.delegate->connects[0].error);
    EXPECT_FALSE(h.delegate->connects[0].needUpdate);
    EXPECT_TRUE(h.token->needEncryptFlag());
    EXPECT_TRUE(h.token->isConnected());
    EXPECT_EQ(h.token->name(), "Token");
    EXPECT_EQ(h.token->uuidString(), "ID-1");
    EXPECT_EQ(h.token->delegate(), h.delegate);
    EXPECT_EQ(&LumoToken::UUIDServices(), &LumoToken::UUIDServices());
    ASSERT_EQ(LumoToken::UUIDServices().size(), 1u);
    EXPECT_EQ(LumoToken::UUIDServices()[0].str(), kLumoTokenServiceUUID);
}

TEST(LumoTokenSetup, SynchronisationStatuses) {
    SessionHarness update;
    update.connect(10);
    ASSERT_EQ(update.delegate->connects.size(), 1u);
    EXPECT_FALSE(update.delegate->connects[0].error);
    EXPECT_TRUE(update.delegate->connects[0].needUpdate);
    EXPECT_TRUE(update.token->delegate());

    SessionHarness failed;
    failed.delegate->cipher = true;
    failed.connect(3);
    ASSERT_EQ(failed.delegate->connects.size(), 1u);
    EXPECT_EQ(*failed.delegate->connects[0].error, (Error{kLumoTokenErrorDomain, 0xFF03, "Smart card was not initialized"}));
    EXPECT_FALSE(failed.delegate->connects[0].needUpdate);
    EXPECT_TRUE(failed.token->needEncryptFlag());  // set whatever the outcome
    EXPECT_FALSE(failed.token->delegate());         // a failed set-up lets the delegate go
    EXPECT_EQ(failed.token->getPeripheral(), failed.wrapper);  // kept for a retry
}

TEST(LumoTokenSetup, ResynchronisationIsUnencryptedAndModeDefaultsToZero) {
    SessionHarness h;
    h.delegate->cipher = true;
    h.delegate->mode = 7;
    h.connect();
    h.delegate->mode.reset();
    h.token->discover();
    h.main.runUntilIdle();
    const auto sent = h.sent();
    ASSERT_EQ(sent.size(), 2u);  // readable without decryption
    EXPECT_EQ(sent[1].code, 0x65);
    EXPECT_EQ(sent[1].payload[20], 0);
    EXPECT_EQ(h.token->_syncModeSK(), 0);
    h.reply({0});
    EXPECT_EQ(h.delegate->connects.size(), 2u);
}

TEST(LumoTokenSetup, FailureRows) {
    {  // notify characteristic missing: code 3, no synchronisation
        SessionHarness h(false);
        h.token->setDelegate(h.delegate);
        h.token->discover();
        h.main.runUntilIdle();
        ASSERT_EQ(h.delegate->connects.size(), 1u);
        EXPECT_EQ(*h.delegate->connects[0].error, (Error{kLumoTokenErrorDomain, 3, "The required characteristics was not found."}));
        EXPECT_TRUE(h.frames().empty());
    }
    {  // no token service: code 3
        SessionHarness h(true, false);
        h.token->setDelegate(h.delegate);
        h.token->discover();
        h.main.runUntilIdle();
        ASSERT_EQ(h.delegate->connects.size(), 1u);
        EXPECT_EQ(h.delegate->connects[0].error->code, 3);
    }
    {  // the connection fails
        SessionHarness h;
        h.fakeCentral->autoConnect = false;
        h.token->setDelegate(h.delegate);
        h.token->discover();
        const Error refused{"CBErrorDomain", 14, "Peer removed pairing information"};
        h.fakeCentral->reportFailToConnect(h.device, refused);
        h.main.runUntilIdle();
        ASSERT_EQ(h.delegate->connects.size(), 1u);
        EXPECT_EQ(*h.delegate->connects[0].error, refused);
    }
    {  // enabling notification fails
        SessionHarness h;
        h.device->autoAnswerNotify = false;
        h.token->setDelegate(h.delegate);
        h.token->discover();
        h.main.runUntilIdle();
        const Error denied{"CBATTErrorDomain", 3, "Writing is not permitted."};
        h.device->answerNotify(h.notifyChar, denied);
        h.main.runUntilIdle();
        ASSERT_EQ(h.delegate->connects.size(), 1u);
        EXPECT_EQ(*h.delegate->connects[0].error, denied);
        EXPECT_TRUE(h.frames().empty());
    }
    {  // the synchronisation never answered: time-out, then the link is dropped
        SessionHarness h;
        h.token->setDelegate(h.delegate);
        h.token->discover();
        h.main.runFor(31s);
        ASSERT_EQ(h.delegate->connects.size(), 1u);
        EXPECT_EQ(h.delegate->connects[0].error->code, 4);
        EXPECT_TRUE(h.delegate->disconnects.empty());  // the session ended with the set-up
        EXPECT_FALSE(h.token->isConnected());
    }
}

TEST(LumoTokenSetup, CommandsDuringTheSetUp) {
    SessionHarness h;
    h.device->autoAnswerNotify = false;
    int answers = 0;
    auto count = [&](const OptError&) { ++answers; };
    h.token->setDelegate(h.delegate);
    h.token->discover();
    h.main.runUntilIdle();  // connected, characteristics known, subscription pending
    h.token->getSerial([&](const std::string&, const OptError&) { ++answers; });
    h.device->answerNotify(h.notifyChar);
    h.main.runUntilIdle();
    h.token->powerOff(count);
    h.main.runUntilIdle();
    // Only the synchronisation went out; the others wait behind it.
    ASSERT_EQ(h.sent().size(), 1u);
    EXPECT_EQ(h.sent()[0].code, 0x65);
    EXPECT_EQ(h.token->queue().size(), 2u);
    h.reply({0});
    EXPECT_EQ(h.sent().size(), 1u);
    EXPECT_TRUE(h.token->queue().empty());
    EXPECT_EQ(answers, 0);

    // Before the characteristics are known, commands are dropped.
    SessionHarness early;
    early.device->autoAnswerDiscovery = false;
    early.token->setDelegate(early.delegate);
    early.token->discover();
    early.main.runUntilIdle();
    EXPECT_TRUE(early.token->isConnected());
    early.token->powerOff(count);
    early.device->answerDiscoverServices();
    early.main.runUntilIdle();
    early.device->answerDiscoverCharacteristics(early.service);
    early.main.runUntilIdle();
    ASSERT_EQ(early.sent().size(), 1u);
    EXPECT_EQ(early.sent()[0].code, 0x65);
    EXPECT_TRUE(early.token->queue().empty());
}

TEST(LumoTokenSetup, CommandsFromInsideDidConnectRunOneAtATime) {
    SessionHarness h;
    std::vector<std::string> serials;
    h.delegate->onConnect = [&](LumoToken& token) {
        for (int i = 0; i < 2; ++i) token.getSerial([&](const std::string& s, const OptError&) { serials.push_back(s); });
    };
    h.connect();
    ASSERT_EQ(h.sent().size(), 2u);  // the synchronisation and the first serial request
    h.reply({0, '4'});
    ASSERT_EQ(h.sent().size(), 3u);
    h.reply({0, '2'});
    EXPECT_EQ(serials, (std::vector<std::string>{"4", "2"}));
}

TEST(LumoTokenSetup, DisconnectNotifications) {
    SessionHarness h;
    h.connect();
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(h.token.get()), 1u);
    // Another peripheral's disconnect does not concern this session.
    auto other = h.central->wrapperByPeripheral(h.fakeCentral->makePeripheral("ID-2", "Other"));
    NotificationCenter::defaultCenter().post(kLumoPeripheralDidDisconnect, other, {{"error", NullMarker{}}});
    EXPECT_TRUE(h.delegate->disconnects.empty());
    EXPECT_TRUE(h.token->isConnected());

    h.fakeCentral->reportDisconnect(h.device);
    h.main.runUntilIdle();
    ASSERT_EQ(h.delegate->disconnects.size(), 1u);
    EXPECT_FALSE(h.delegate->disconnects[0]);
    EXPECT_FALSE(h.token->isConnected());
    EXPECT_EQ(h.token->name(), "Unknown");
    EXPECT_FALSE(h.token->delegate());
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(h.token.get()), 0u);
    h.token->setDelegate(h.delegate);
    h.token->discover();  // no peripheral: nothing happens, the delegate is not kept
    EXPECT_FALSE(h.token->delegate());
    EXPECT_EQ(h.fakeCentral->connectRequests().size(), 1u);
}

TEST(LumoTokenSetup, LinkLostDuringTheSetUpFailsIt) {
    SessionHarness h;
    h.token->setDelegate(h.delegate);
    h.token->discover();
    h.main.runUntilIdle();  // the synchronisation waits
    h.fakeCentral->reportDisconnect(h.device);
    h.main.runUntilIdle();
    ASSERT_EQ(h.delegate->connects.size(), 1u);
    EXPECT_EQ(*h.delegate->connects[0].error, lumoTokenError(kLumoTokenErrorConnectionLost));
    EXPECT_TRUE(h.delegate->disconnects.empty());
    EXPECT_EQ(h.token->getPeripheral(), h.wrapper);

    // The retry connects again and completes.
    h.token->setDelegate(h.delegate);
    h.token->discover();
    h.main.runUntilIdle();
    h.reply({0});
    ASSERT_EQ(h.delegate->connects.size(), 2u);
    EXPECT_FALSE(h.delegate->connects[1].error);
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(h.token.get()), 1u);
}

}  // namespace
}  // namespace vexa::test
