// Scanning, connecting and disconnecting through the token manager, over the simulated radio and
// virtual tokens.
#include <gmock/gmock.h>

#include "Backends/Simulated/SimulatedErrors.h"
#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

using ::testing::ElementsAre;

class TokenManagerTest : public PublicTest {};

TEST_F(TokenManagerTest, ScanReportsEachNewTokenWithTheWholeListAndKeepsEarlierListsUnchanged) {
    addToken("Token A");
    manager->startScanning();
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->discovered.size() == 1; }));
    addToken("Token B");  // heard at once by the running scan
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->discovered.size() == 2; }));
    addToken("Token C");
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->discovered.size() == 3; }));
    manager->stopScanning();
    EXPECT_FALSE(central->isScanning());

    const auto& reports = managerEvents->discovered;
    ASSERT_EQ(reports[0].size(), 1u);
    ASSERT_EQ(reports[1].size(), 2u);
    ASSERT_EQ(reports[2].size(), 3u);
    EXPECT_EQ(reports[0][0], reports[2][0]);
    EXPECT_EQ(reports[1][1], reports[2][1]);
    EXPECT_EQ(reports[2][0]->name(), "Token A");
    EXPECT_EQ(reports[2][1]->name(), "Token B");
    EXPECT_EQ(reports[2][2]->name(), "Token C");
    EXPECT_EQ(reports[2][1]->identifier(), devices[1]->identifier());
    EXPECT_EQ(manager->tokens(), reports[2]);
    EXPECT_FALSE(reports[2][0]->isConnected());

    // Stopping again, with no scan running, changes nothing.
    manager->stopScanning();
    EXPECT_EQ(manager->tokens().size(), 3u);
}

TEST_F(TokenManagerTest, RescanForgetsTheListAndReportsTheSamePeripheralsAsNewTokens) {
    addToken("Token A");
    addToken("Token B");
    const VexaTokenList first = scan(2);
    ASSERT_EQ(first.size(), 2u);

    manager->startScanning();
    EXPECT_TRUE(manager->tokens().empty());
    ASSERT_TRUE(main.runUntil([&] { return manager->tokens().size() == 2; }));
    manager->stopScanning();
    const VexaTokenList second = manager->tokens();
    EXPECT_EQ(first.size(), 2u);  // the earlier list is untouched
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(second[i], first[i]);
        EXPECT_EQ(second[i]->peripheral(), first[i]->peripheral());
        EXPECT_EQ(manager->peripheral2Token(first[i]->peripheral()), second[i]);
    }
    EXPECT_EQ(managerEvents->discovered.size(), 4u);
}

TEST_F(TokenManagerTest, PeripheralListedTwiceMakesOneTokenAndOneReport) {
    addToken("Token A");
    manager->startScanning();
    ASSERT_TRUE(main.runUntil([&] { return manager->tokens().size() == 1; }));
    // The central hands the discovery callback its whole list each time; a wrapper already known
    // (also twice in one list) adds nothing.
    const auto block = central->peripheralBlock();
    ASSERT_TRUE(block);
    const auto wrapper = central->scannedPeripherals().at(0);
    block({wrapper, wrapper});
    block({wrapper});
    EXPECT_EQ(manager->tokens().size(), 1u);
    EXPECT_EQ(managerEvents->discovered.size(), 1u);
    EXPECT_EQ(manager->peripheral2Token(wrapper->cbPeripheral()), manager->tokens()[0]);
    EXPECT_EQ(manager->peripheral2Token(nullptr), nullptr);
}

TEST_F(TokenManagerTest, LaterManagerTakesOverTheScan) {
    addToken("Token A");
    manager->startScanning();
    ASSERT_TRUE(main.runUntil([&] { return manager->tokens().size() == 1; }));

    auto other = VexaTokenManager::create(central);
    other->startScanning();
    ASSERT_TRUE(main.runUntil([&] { return other->tokens().size() == 1; }));
    addToken("Token B");
    ASSERT_TRUE(main.runUntil([&] { return other->tokens().size() == 2; }));
    EXPECT_EQ(manager->tokens().size(), 1u);
    other->stopScanning();
}

TEST_F(TokenManagerTest, MatchingKeyConnectsWithoutNotPaired) {
    addToken("Token A", "1234");
    scan(1);
    auto token = tokenNamed("Token A");
    VexaTokenEncryptContainer::sharedInstance().setKey(*token, "1234");
    connect(token);
    main.runUntilIdle();
    main.runFor(std::chrono::milliseconds(10));

    EXPECT_THAT(managerEvents->log, ElementsAre("connect:Token A"));
    EXPECT_TRUE(token->isConnected());
    EXPECT_EQ(token->isCurrentSyncModeSK(), 0);
    EXPECT_EQ(devices[0]->session(), VirtualToken::Session::Encrypted);
    EXPECT_EQ(manager->connectedTokens(), VexaTokenList{token});

    // Commands now work through the encrypted session.
    token->setDelegate(tokenEvents);
    token->getBatteryLevel();
    ASSERT_TRUE(waitFor("battery"));
    EXPECT_FALSE(tokenEvents->last("battery")->error);
    EXPECT_DOUBLE_EQ(tokenEvents->last("battery")->level, 1.0);
    EXPECT_TRUE(devices[0]->receivedPackages().back().encrypted);
}

TEST_F(TokenManagerTest, RejectedKeyIsReportedAsNotPairedOnALaterTurn) {
    addToken("Token A", "1234");
    scan(1);
    auto token = tokenNamed("Token A");
    VexaTokenEncryptContainer::sharedInstance().setKey(*token, "4321");
    connect(token);
    // connect() returns right after the task that reported the connection.
    EXPECT_TRUE(managerEvents->notPaired.empty());
    ASSERT_TRUE(main.runUntil([&] { return !managerEvents->notPaired.empty(); }));
    EXPECT_THAT(managerEvents->log, ElementsAre("connect:Token A", "notPaired:Token A"));
    EXPECT_EQ(managerEvents->notPaired[0], token);
    EXPECT_TRUE(managerEvents->failures.empty());
    EXPECT_TRUE(token->isConnected());
    EXPECT_EQ(devices[0]->session(), VirtualToken::Session::Locked);
}

TEST_F(TokenManagerTest, NoHostKeyAgainstAKeyedTokenIsNotPairedAgainstAnOpenTokenIsConnected) {
    addToken("Token A", "1234");
    addToken("Token B");
    scan(2);
    connect(tokenNamed("Token A"));
    connect(tokenNamed("Token B"));
    main.runUntilIdle();
    EXPECT_THAT(managerEvents->log, ElementsAre("connect:Token A", "notPaired:Token A", "connect:Token B"));
    EXPECT_EQ(devices[1]->session(), VirtualToken::Session::Open);
    EXPECT_EQ(manager->connectedTokens().size(), 2u);
}

TEST_F(TokenManagerTest, SynchronisationModeComesFromTheDelegateOrIsZero) {
    addToken("Token A");
    scan(1);
    auto token = tokenNamed("Token A");
    managerEvents->answersMode = true;
    managerEvents->mode = 0xA7;
    connect(token);
    EXPECT_EQ(devices[0]->device().lastSyncMode(), 0xA7);
    EXPECT_EQ(token->isCurrentSyncModeSK(), 0xA7);
    EXPECT_EQ(devices[0]->device().lastHostName(), std::optional<std::string>(kHostName));

    manager->disconnectFromToken(token);
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    // A delegate that does not answer (here: none at all) gives mode 0.
    scan(1);
    auto again = tokenNamed("Token A");
    manager->setDelegate(std::weak_ptr<VexaTokenManagerDelegate>());
    manager->connectToToken(again);
    ASSERT_TRUE(main.runUntil([&] { return again->isConnected() && again->pimpl()->needEncryptFlag(); }));
    EXPECT_EQ(devices[0]->device().lastSyncMode(), 0);
    EXPECT_EQ(again->isCurrentSyncModeSK(), 0);
}

TEST_F(TokenManagerTest, FailedAttemptIsReportedAsFailureAndCanBeRetried) {
    addToken("Token A");
    scan(1);
    auto token = tokenNamed("Token A");
    const Error refused = simulatedError(SimulatedBleError::ConnectionFailed);
    devices[0]->peripheral()->faults().refuseConnections(refused);
    connect(token);
    main.runUntilIdle();
    ASSERT_EQ(managerEvents->failures.size(), 1u);
    EXPECT_EQ(managerEvents->failures[0], refused);
    EXPECT_THAT(managerEvents->log, ElementsAre("fail:Token A"));
    EXPECT_TRUE(managerEvents->notPaired.empty());
    EXPECT_FALSE(token->isConnected());
    EXPECT_TRUE(manager->connectedTokens().empty());

    connect(token);
    EXPECT_THAT(managerEvents->log, ElementsAre("fail:Token A", "connect:Token A"));
    EXPECT_TRUE(token->isConnected());
}

TEST_F(TokenManagerTest, TokenWithoutItsServiceFailsWithCode3) {
    auto bare = VirtualPeripheral::create(std::string("Bare"));
    bare->setAdvertisedServices({BleUUID::fromString(kLumoTokenServiceUUID)});
    radio->addPeripheral(bare);
    scan(1);
    connect(tokenNamed("Bare"));
    ASSERT_EQ(managerEvents->failures.size(), 1u);
    EXPECT_EQ(managerEvents->failures[0].code, 3);
    EXPECT_EQ(managerEvents->failures[0].message, "The required characteristics was not found.");
    EXPECT_TRUE(managerEvents->connected.empty());
}

TEST_F(TokenManagerTest, DisconnectsAreReportedAndEndTheSession) {
    addToken("Token A");
    addToken("Token B");
    scan(2);
    auto a = tokenNamed("Token A");
    auto b = tokenNamed("Token B");
    connect(a);
    connect(b);

    manager->disconnectFromToken(a);  // asked for by the application
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    EXPECT_EQ(managerEvents->disconnected[0], a);
    EXPECT_FALSE(a->isConnected());
    EXPECT_TRUE(b->isConnected());

    devices[1]->peripheral()->disconnect();  // the token drops the link
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 2; }));
    EXPECT_EQ(managerEvents->disconnected[1], b);
    EXPECT_TRUE(manager->connectedTokens().empty());

    // A token whose session has ended does not connect again; a rescan gives a fresh token.
    manager->connectToToken(a);
    main.runFor(std::chrono::seconds(1));
    EXPECT_EQ(managerEvents->connected.size(), 2u);
    EXPECT_TRUE(manager->connectedTokens().empty());
    EXPECT_EQ(a->name(), "Token A");
}

TEST_F(TokenManagerTest, StartScanningWaitsForBluetoothAndTellsWhyOnce) {
    addToken("Token A");
    radio->setState(ManagerState::PoweredOff);
    main.runUntilIdle();

    manager->startScanning();
    EXPECT_TRUE(managerEvents->notReady.empty());  // never from inside the call
    EXPECT_TRUE(manager->isWaitingForCentral());
    EXPECT_FALSE(central->isScanning());
    main.runFor(std::chrono::seconds(1));
    EXPECT_THAT(managerEvents->notReady, ElementsAre("Bluetooth is currently powered off."));

    radio->setState(ManagerState::Unauthorized);  // still not ready: not told again
    main.runFor(std::chrono::seconds(1));
    EXPECT_EQ(managerEvents->notReady.size(), 1u);

    radio->setState(ManagerState::PoweredOn);
    ASSERT_TRUE(main.runUntil([&] { return manager->tokens().size() == 1; }));
    EXPECT_FALSE(manager->isWaitingForCentral());
    EXPECT_TRUE(central->isScanning());
    manager->stopScanning();
    EXPECT_EQ(managerEvents->notReady.size(), 1u);
}

TEST_F(TokenManagerTest, StopScanningOrANewStartEndsTheWait) {
    addToken("Token A");
    radio->setState(ManagerState::Unsupported);
    main.runUntilIdle();
    manager->startScanning();
    manager->startScanning();  // replaces the first wait: told once
    main.runFor(std::chrono::seconds(1));
    EXPECT_THAT(managerEvents->notReady, ElementsAre("The platform/hardware doesn't support Bluetooth Low Energy."));

    manager->stopScanning();
    EXPECT_FALSE(manager->isWaitingForCentral());
    radio->setState(ManagerState::PoweredOn);
    main.runFor(std::chrono::seconds(1));
    EXPECT_FALSE(central->isScanning());
    EXPECT_TRUE(manager->tokens().empty());
    EXPECT_TRUE(managerEvents->discovered.empty());
}

}  // namespace
}  // namespace vexa::test
