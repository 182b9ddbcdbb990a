#include "Platform/NotificationCenter.h"
#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;
using Connects = std::vector<std::pair<OptError, bool>>;

TEST(LumoTokenSetup, SynchronisationPayloadAndOutcomes) {
    SessionHarness h;
    h.delegate->mode = 1;
    h.discover();
    Bytes expected{0x11, 0x00};
    expected.insert(expected.end(), h.delegate->hash.begin(), h.delegate->hash.end());
    expected.insert(expected.end(), {0x02, 0x01, 0x01, 0x03, 0x02, 0x41, 0x42});
    ASSERT_EQ(h.sent().size(), 1u);
    EXPECT_EQ(h.sent()[0].code, 0x65);
    EXPECT_EQ(h.sent()[0].payload, expected);
    EXPECT_EQ(h.token->_syncModeSK(), 1);
    EXPECT_TRUE(h.delegate->connects.empty());
    h.reply({0});
    EXPECT_EQ(h.delegate->connects, (Connects{{std::nullopt, false}}));
    EXPECT_TRUE(h.token->needEncryptFlag());
    EXPECT_EQ(h.token->name(), "Token");
    EXPECT_EQ(h.token->uuidString(), "ID-1");
    EXPECT_EQ(&LumoToken::UUIDServices(), &LumoToken::UUIDServices());
    EXPECT_EQ(LumoToken::UUIDServices().at(0).str(), kLumoTokenServiceUUID);

    SessionHarness update;
    update.connect(10);
    EXPECT_EQ(update.delegate->connects, (Connects{{std::nullopt, true}}));
    EXPECT_TRUE(update.token->delegate());

    SessionHarness failed;
    failed.connect(3);
    EXPECT_EQ(failed.delegate->connects, (Connects{{tokenError(0xFF03, "Smart card was not initialized"), false}}));
    EXPECT_TRUE(failed.token->needEncryptFlag());  // set whatever the outcome
    EXPECT_FALSE(failed.token->delegate());         // a failed set-up lets the delegate go
    EXPECT_FALSE(failed.token->isConnected());      // and drops the link, without a disconnect report
    EXPECT_TRUE(failed.delegate->disconnects.empty());
    EXPECT_EQ(failed.token->getPeripheral(), failed.wrapper);  // kept for a retry
}

TEST(LumoTokenSetup, ResynchronisationIsUnencryptedAndModeDefaultsToZero) {
    SessionHarness h;
    h.delegate->cipher = true;
    h.delegate->mode = 7;
    h.connect();
    h.delegate->mode.reset();
    h.discover();
    const auto sent = h.sent();  // readable without decryption
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].code, 0x65);
    EXPECT_EQ(sent[1].payload.at(20), 0);
    EXPECT_EQ(h.token->_syncModeSK(), 0);
    h.reply({0});
}

// The error the set-up ends with when `arrange` has set up the harness.
OptError setupError(SessionHarness& h, const std::function<void()>& arrange = {}) {
    h.token->setDelegate(h.delegate);
    h.token->discover();
    if (arrange) arrange();
    h.main.runFor(31s);
    EXPECT_EQ(h.delegate->connects.size(), 1u);
    return h.delegate->connects.empty() ? std::nullopt : h.delegate->connects[0].first;
}

TEST(LumoTokenSetup, FailureRows) {
    const Error missing = tokenError(3, "The required characteristics was not found.");
    SessionHarness noNotify(false);
    EXPECT_EQ(setupError(noNotify), missing);
    EXPECT_TRUE(noNotify.frames().empty());
    SessionHarness noService(true, false);
    EXPECT_EQ(setupError(noService), missing);

    SessionHarness refused;
    refused.fake->autoConnect = false;
    const Error refusal{"CBErrorDomain", 14, "refused"};
    EXPECT_EQ(setupError(refused, [&] { refused.fake->reportFailToConnect(refused.device, refusal); }), refusal);

    SessionHarness denied;
    denied.device->autoAnswerNotify = false;
    const Error notPermitted{"CBATTErrorDomain", 3, "Writing is not permitted."};
    EXPECT_EQ(setupError(denied, [&] {
                  denied.main.runUntilIdle();
                  denied.device->answerNotify(denied.notifyChar, notPermitted);
              }),
              notPermitted);
    EXPECT_TRUE(denied.frames().empty());

    SessionHarness silent;  // the synchronisation is never answered: time-out, link dropped
    EXPECT_EQ(setupError(silent)->code, 4);
    EXPECT_TRUE(silent.delegate->disconnects.empty());  // the session ended with the set-up
    EXPECT_FALSE(silent.token->isConnected());

    SessionHarness lost;  // the link goes down while the synchronisation waits
    EXPECT_EQ(setupError(lost, [&] {
                  lost.main.runUntilIdle();
                  lost.fake->reportDisconnect(lost.device);
              }),
              tokenError(1, "The connection to the token was lost."));
    EXPECT_EQ(lost.token->getPeripheral(), lost.wrapper);
    lost.connect();  // the retry on the same session completes
    EXPECT_FALSE(lost.delegate->connects.at(1).first);
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(lost.token.get()), 1u);
}

TEST(LumoTokenSetup, CommandsIssuedDuringTheSetUp) {
    SessionHarness h;
    h.device->autoAnswerDiscovery = h.device->autoAnswerNotify = false;
    int answers = 0;
    auto count = [&](const OptError&) { ++answers; };
    h.discover();
    h.token->powerOff(count);  // connected, characteristics unknown: dropped
    h.device->answerDiscoverServices();
    h.main.runUntilIdle();
    h.device->answerDiscoverCharacteristics(h.service);
    h.main.runUntilIdle();
    h.token->powerOff(count);  // subscription pending: waits
    h.device->answerNotify(h.notifyChar);
    h.main.runUntilIdle();
    h.token->powerOff(count);  // synchronisation pending: waits
    EXPECT_EQ(h.token->queue().size(), 2u);
    ASSERT_EQ(h.sent().size(), 1u);  // only the synchronisation went out, ahead of them
    EXPECT_EQ(h.sent()[0].code, 0x65);
    h.reply({0});
    EXPECT_EQ(h.sent().size(), 1u);  // dropped when the set-up ended
    EXPECT_TRUE(h.token->queue().empty());
    EXPECT_EQ(answers, 0);
}

TEST(LumoTokenSetup, CommandsFromInsideDidConnectRunOneAtATime) {
    SessionHarness h;
    std::string serials;
    h.delegate->onConnect = [&](LumoToken& token) {
        for (int i = 0; i < 2; ++i) token.getSerial([&](const std::string& s, const OptError&) { serials += s; });
    };
    h.connect();
    EXPECT_EQ(h.sent().size(), 2u);  // the synchronisation and the first request
    h.reply({0, '4'});
    EXPECT_EQ(h.sent().size(), 3u);
    h.reply({0, '2'});
    EXPECT_EQ(serials, "42");
}

TEST(LumoTokenSetup, DisconnectNotifications) {
    SessionHarness h;
    h.connect();
    auto& center = NotificationCenter::defaultCenter();
    EXPECT_EQ(center.observerCount(h.token.get()), 1u);
    auto nameless = h.fake->makePeripheral("ID-2");
    nameless->setState(PeripheralState::Connected);
    auto other = h.central->wrapperByPeripheral(nameless);
    center.post(kLumoPeripheralDidDisconnect, other, {{"error", NullMarker{}}});
    EXPECT_TRUE(h.token->isConnected());  // another peripheral's notification
    EXPECT_EQ(LumoToken::create(other)->name(), "Unknown");  // connected, but its peripheral has no name

    h.fake->reportDisconnect(h.device);
    h.main.runUntilIdle();
    EXPECT_EQ(h.delegate->disconnects, std::vector<OptError>{std::nullopt});
    EXPECT_FALSE(h.token->isConnected());
    EXPECT_EQ(h.token->name(), "Unknown");
    EXPECT_FALSE(h.token->delegate());
    EXPECT_EQ(center.observerCount(h.token.get()), 0u);
    h.discover();  // no peripheral: nothing happens and the delegate is not kept
    EXPECT_FALSE(h.token->delegate());
    EXPECT_EQ(h.fake->connectRequests().size(), 1u);
}

}  // namespace
}  // namespace vexa::test
