// Scanning, connecting and disconnecting through the token manager, over the simulated radio and
// virtual tokens.
#include <gmock/gmock.h>

#include "Backends/Simulated/SimulatedErrors.h"
#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

using ::testing::ElementsAre;
using TokenManagerTest = PublicTest;

TEST_F(TokenManagerTest, ScanReportsGrowingSnapshotsAndARescanMakesNewTokens) {
    manager->stopScanning();  // no scan yet: nothing happens
    manager->startScanning();
    for (const char* name : {"Token A", "Token B", "Token C"}) {  // each heard at once by the running scan
        addToken(name);
        const size_t n = devices.size();
        ASSERT_TRUE(main.runUntil([&] { return managerEvents->discovered.size() == n; }));
    }
    manager->stopScanning();
    EXPECT_FALSE(central->isScanning());

    const auto& reports = managerEvents->discovered;
    ASSERT_EQ(reports[0].size(), 1u);  // earlier snapshots never change
    ASSERT_EQ(reports[1].size(), 2u);
    ASSERT_EQ(reports[2].size(), 3u);
    EXPECT_EQ(reports[0][0], reports[2][0]);
    EXPECT_EQ(manager->tokens(), reports[2]);

    manager->startScanning();
    EXPECT_TRUE(manager->tokens().empty());
    ASSERT_TRUE(main.runUntil([&] { return manager->tokens().size() == 3; }));
    for (const auto& token : manager->tokens()) {
        EXPECT_EQ(std::count(reports[2].begin(), reports[2].end(), token), 0);
        EXPECT_EQ(manager->peripheral2Token(token->peripheral()), token);
    }
    EXPECT_EQ(reports.size(), 6u);
}

TEST_F(TokenManagerTest, PeripheralListedTwiceMakesOneTokenAndALaterManagerTakesTheScanOver) {
    addToken("Token A");
    manager->startScanning();
    ASSERT_TRUE(main.runUntil([&] { return manager->tokens().size() == 1; }));
    const auto wrapper = central->scannedPeripherals().at(0);
    central->peripheralBlock()({wrapper, wrapper});  // the central hands its whole list each time
    EXPECT_EQ(manager->tokens().size(), 1u);
    EXPECT_EQ(managerEvents->discovered.size(), 1u);

    auto other = VexaTokenManager::create(central);
    other->startScanning();
    addToken("Token B");
    ASSERT_TRUE(main.runUntil([&] { return other->tokens().size() == 2; }));
    EXPECT_EQ(manager->tokens().size(), 1u);
    other->stopScanning();
}

TEST_F(TokenManagerTest, KeyOutcomesMatchingRejectedAndAbsent) {
    addToken("Match", "1234");
    addToken("Wrong", "1234");
    addToken("NoHostKey", "1234");
    addToken("Open");
    scan(4);
    auto& store = VexaTokenEncryptContainer::sharedInstance();
    store.setKey(*tokenNamed("Match"), "1234");
    store.setKey(*tokenNamed("Wrong"), "4321");

    connect(tokenNamed("Wrong"));
    EXPECT_TRUE(managerEvents->notPaired.empty());  // reported on a later turn, never within the connect call
    for (const char* name : {"Match", "NoHostKey", "Open"}) connect(tokenNamed(name));
    main.runFor(std::chrono::milliseconds(10));
    EXPECT_THAT(managerEvents->log, ElementsAre("connect:Wrong", "notPaired:Wrong", "connect:Match", "connect:NoHostKey",
                                                "notPaired:NoHostKey", "connect:Open"));
    EXPECT_EQ(devices[0]->session(), VirtualToken::Session::Encrypted);
    EXPECT_EQ(devices[1]->session(), VirtualToken::Session::Locked);
    EXPECT_EQ(devices[2]->session(), VirtualToken::Session::Locked);
    EXPECT_EQ(devices[3]->session(), VirtualToken::Session::Open);
    EXPECT_EQ(manager->connectedTokens().size(), 4u);
}

TEST_F(TokenManagerTest, SynchronisationModeComesFromTheDelegateOrIsZero) {
    addToken("Token A");
    managerEvents->mode = 0xA7;
    auto token = connectedToken("Token A");
    EXPECT_EQ(devices[0]->device().lastSyncMode(), 0xA7);
    EXPECT_EQ(token->isCurrentSyncModeSK(), 0xA7);

    manager->disconnectFromToken(token);
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    auto again = scan(1).at(0);
    manager->setDelegate(std::weak_ptr<VexaTokenManagerDelegate>());  // no delegate: mode 0
    manager->connectToToken(again);
    ASSERT_TRUE(main.runUntil([&] { return again->pimpl()->needEncryptFlag(); }));
    EXPECT_EQ(devices[0]->device().lastSyncMode(), 0);
    EXPECT_EQ(again->isCurrentSyncModeSK(), 0);
}

TEST_F(TokenManagerTest, FailedAttemptsAreReportedAsFailuresAndCanBeRetried) {
    addToken("Token A");
    auto bare = VirtualPeripheral::create(std::string("Bare"));  // advertises the service it lacks
    bare->setAdvertisedServices({BleUUID::fromString(kLumoTokenServiceUUID)});
    radio->addPeripheral(bare);
    scan(2);
    auto token = tokenNamed("Token A");
    const Error refused = simulatedError(SimulatedBleError::ConnectionFailed);
    devices[0]->peripheral()->faults().refuseConnections(refused);
    connect(token);
    connect(tokenNamed("Bare"));
    main.runFor(std::chrono::milliseconds(10));
    ASSERT_EQ(managerEvents->failures.size(), 2u);
    EXPECT_EQ(managerEvents->failures[0], refused);
    EXPECT_EQ(managerEvents->failures[1].code, 3);
    EXPECT_EQ(managerEvents->failures[1].message, "The required characteristics was not found.");
    EXPECT_THAT(managerEvents->log, ElementsAre("fail:Token A", "fail:Bare"));
    EXPECT_FALSE(token->isConnected());
    EXPECT_TRUE(manager->connectedTokens().empty());

    connect(token);
    EXPECT_THAT(managerEvents->log, ElementsAre("fail:Token A", "fail:Bare", "connect:Token A"));
}

TEST_F(TokenManagerTest, StartScanningWaitsForBluetoothAndTellsWhyOnce) {
    addToken("Token A");
    radio->setState(ManagerState::PoweredOff);
    main.runUntilIdle();
    manager->startScanning();
    EXPECT_TRUE(managerEvents->notReady.empty());  // never from inside the call
    EXPECT_TRUE(manager->isWaitingForCentral());
    main.runFor(std::chrono::seconds(1));
    radio->setState(ManagerState::Unauthorized);  // still not ready: not told again
    main.runFor(std::chrono::seconds(1));
    EXPECT_THAT(managerEvents->notReady, ElementsAre("Bluetooth is currently powered off."));
    EXPECT_FALSE(central->isScanning());

    radio->setState(ManagerState::PoweredOn);
    ASSERT_TRUE(main.runUntil([&] { return manager->tokens().size() == 1; }));
    EXPECT_FALSE(manager->isWaitingForCentral());
    manager->stopScanning();

    // A new startScanning replaces the wait (told once more), stopScanning ends it.
    radio->setState(ManagerState::Unsupported);
    main.runUntilIdle();
    manager->startScanning();
    manager->startScanning();
    main.runFor(std::chrono::seconds(1));
    manager->stopScanning();
    radio->setState(ManagerState::PoweredOn);
    main.runFor(std::chrono::seconds(1));
    EXPECT_THAT(managerEvents->notReady,
                ElementsAre("Bluetooth is currently powered off.", "The platform/hardware doesn't support Bluetooth Low Energy."));
    EXPECT_FALSE(central->isScanning());
    EXPECT_TRUE(manager->tokens().empty());
}

}  // namespace
}  // namespace vexa::test
