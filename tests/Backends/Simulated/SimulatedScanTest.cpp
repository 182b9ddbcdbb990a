// Scanning, Bluetooth state, identity and retrieval on the simulated radio.
#include "tests/Backends/Simulated/SimStackFixture.h"

namespace vexa::test {
namespace {

using ScanTest = SimStackTest;
using OneDeviceScanTest = SimDeviceTest;

TEST_F(ScanTest, FilterMatchesAdvertisedServicesAndDuplicatesFollowTheInterval) {
    TestDevice token("Token");
    auto other = VirtualPeripheral::create("Watch");
    other->setAdvertisedServices({BleUUID::fromString("180d")});
    auto silent = VirtualPeripheral::create();  // no name, no services
    radio->addPeripheral(token.device);
    radio->addPeripheral(other);
    radio->addPeripheral(silent);
    run();
    rec->clear();

    // Filtered, no duplicates: the token only, once, however long the scan runs.
    central->scanForPeripherals(std::vector<BleUUID>{kServiceUUID}, {});
    EXPECT_EQ(rec->count(Ev::Discover), 0u);
    main.runFor(2s);
    auto found = rec->of(Ev::Discover);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].peripheral->identifier(), token.device->identifier());
    EXPECT_EQ(found[0].advertisement.localName, "Token");
    EXPECT_EQ(found[0].advertisement.serviceUUIDs, std::vector<BleUUID>{kServiceUUID});
    EXPECT_EQ(found[0].rssi, -60);

    // No filter, duplicates: every device at the start, then once per advertising interval.
    rec->clear();
    token.device->setAdvertisingInterval(100ms);
    other->setAdvertisingInterval(300ms);
    int64_t next = -40;
    token.device->setRssiSource([&] { return next--; });
    central->scanForPeripherals(std::nullopt, ScanOptions{.allowDuplicates = true});
    main.runFor(950ms);
    central->stopScan();
    main.runFor(2s);  // nothing after the stop
    size_t tokenCount = 0, otherCount = 0, silentCount = 0;
    std::vector<int64_t> rssis;
    for (auto& e : rec->of(Ev::Discover)) {
        if (e.peripheral->identifier() == token.device->identifier()) ++tokenCount, rssis.push_back(e.rssi);
        if (e.peripheral->identifier() == other->identifier()) ++otherCount;
        if (e.peripheral->identifier() == silent->identifier()) ++silentCount;
    }
    EXPECT_EQ(tokenCount, 10u);  // 0, 100, ..., 900 ms
    EXPECT_EQ(otherCount, 4u);   // 0, 300, 600, 900 ms
    EXPECT_EQ(silentCount, 10u);
    EXPECT_EQ(rssis.front(), -40);
    EXPECT_EQ(rssis.back(), -49);  // the source is asked once per advertisement
}

TEST_F(ScanTest, DevicesAppearingDuringAScanAreHeardAndConnectedOnesAreNot) {
    TestDevice a("A"), b("B");
    radio->addPeripheral(a.device);
    central->scanForPeripherals(std::nullopt, {});
    main.runFor(1s);
    ASSERT_EQ(rec->count(Ev::Discover), 1u);
    radio->addPeripheral(b.device);  // comes in range mid-scan
    run();
    ASSERT_EQ(rec->count(Ev::Discover), 2u);
    EXPECT_EQ(rec->of(Ev::Discover)[1].peripheral->name(), "B");
    b.device->setAdvertising(false);
    central->scanForPeripherals(std::nullopt, {});  // a restart hears each device again
    main.runFor(1s);
    EXPECT_EQ(rec->count(Ev::Discover), 3u);
    b.device->setAdvertising(true);
    run();
    EXPECT_EQ(rec->count(Ev::Discover), 4u);

    // A connected device does not advertise; it is heard again once the link ends.
    auto p = rec->of(Ev::Discover)[0].peripheral;
    central->stopScan();
    central->connectPeripheral(p);
    ASSERT_TRUE(runUntilCount(Ev::Connect, 1));
    rec->clear();
    central->scanForPeripherals(std::nullopt, {});
    main.runFor(1s);
    ASSERT_EQ(rec->count(Ev::Discover), 1u);
    EXPECT_EQ(rec->of(Ev::Discover)[0].peripheral->name(), "B");
    a.device->disconnect();
    run();
    EXPECT_EQ(rec->count(Ev::Discover), 2u);
}

TEST_F(OneDeviceScanTest, PlatformObjectsKeepTheirIdentityAcrossScansAndRetrievals) {
    auto first = find(t.device);
    rec->clear();
    auto second = find(t.device);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->identifier(), t.device->identifier());
    EXPECT_EQ(first->identifier().size(), 36u);

    auto retrieved = central->retrievePeripheralsWithIdentifiers({"nope", t.device->identifier()});
    ASSERT_EQ(retrieved.size(), 1u);
    EXPECT_EQ(retrieved[0], first);
    EXPECT_TRUE(central->retrieveConnectedPeripheralsWithServices({kServiceUUID}).empty());
    connect(t.device);
    auto connected = central->retrieveConnectedPeripheralsWithServices({kInfoUUID});
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0], first);
    EXPECT_TRUE(central->retrieveConnectedPeripheralsWithServices({BleUUID::fromString("180d")}).empty());
}

TEST_F(ScanTest, PowerStateIsHeardOnceAtFirstAndItsChangesStopScansAndEndConnections) {
    EXPECT_EQ(central->state(), ManagerState::PoweredOn);
    EXPECT_EQ(rec->count(Ev::State), 0u);  // posted, never called inside the creation
    run();
    EXPECT_EQ(rec->kinds(), std::vector<Ev>{Ev::State});
    TestDevice a("A"), b("B");
    radio->addPeripheral(a.device);
    radio->addPeripheral(b.device);
    auto pa = connect(a.device);
    b.device->faults().ignoreConnections();
    auto pb = find(b.device);
    central->connectPeripheral(pb);
    central->scanForPeripherals(std::nullopt, ScanOptions{.allowDuplicates = true});
    main.runFor(10ms);
    rec->clear();

    radio->setState(ManagerState::PoweredOff);
    EXPECT_EQ(central->state(), ManagerState::PoweredOff);
    run();
    auto kinds = rec->kinds();
    ASSERT_EQ(kinds.size(), 3u);
    EXPECT_EQ(kinds[0], Ev::State);
    EXPECT_EQ(rec->of(Ev::State)[0].state, ManagerState::PoweredOff);
    ASSERT_EQ(rec->count(Ev::Disconnect), 1u);
    EXPECT_EQ(rec->of(Ev::Disconnect)[0].peripheral, pa);
    EXPECT_EQ(rec->of(Ev::Disconnect)[0].error->code, int64_t(SimulatedBleError::PoweredOff));
    ASSERT_EQ(rec->count(Ev::FailConnect), 1u);
    EXPECT_EQ(rec->of(Ev::FailConnect)[0].peripheral, pb);
    EXPECT_EQ(pa->state(), PeripheralState::Disconnected);
    EXPECT_FALSE(a.device->isConnected());

    // Off: no advertisements, scans and connects refused.
    main.runFor(1s);
    central->scanForPeripherals(std::nullopt, {});
    central->connectPeripheral(pa);
    main.runFor(1s);
    EXPECT_EQ(rec->count(Ev::Discover), 0u);
    ASSERT_EQ(rec->count(Ev::FailConnect), 2u);
    EXPECT_EQ(rec->of(Ev::FailConnect)[1].error->domain, kSimulatedBleErrorDomain);

    for (auto s : {ManagerState::Unauthorized, ManagerState::Unsupported, ManagerState::Resetting, ManagerState::PoweredOn}) radio->setState(s);
    radio->setState(ManagerState::PoweredOn);  // unchanged: no callback
    run();
    auto states = rec->of(Ev::State);
    ASSERT_EQ(states.size(), 5u);
    EXPECT_EQ(states[4].state, ManagerState::PoweredOn);
    central->connectPeripheral(pa);
    EXPECT_TRUE(runUntilCount(Ev::Connect, 1));
}

TEST_F(OneDeviceScanTest, OutOfRangeLosesTheLinkAndAPendingConnectWaitsForTheDevice) {
    OptError reason = Error{};
    int downs = 0;
    t.device->setDisconnectedHandler([&](const OptError& r) { reason = r, ++downs; });
    auto p = connect(t.device);
    radio->removePeripheral(t.device);
    run();
    ASSERT_EQ(rec->count(Ev::Disconnect), 1u);
    EXPECT_EQ(rec->of(Ev::Disconnect)[0].error->code, int64_t(SimulatedBleError::ConnectionTimeout));
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(reason->code, int64_t(SimulatedBleError::ConnectionTimeout));
    EXPECT_EQ(t.device->radio(), nullptr);
    EXPECT_TRUE(central->retrievePeripheralsWithIdentifiers({t.device->identifier()}).empty());

    central->connectPeripheral(p);
    main.runFor(10s);
    EXPECT_EQ(rec->count(Ev::Connect), 1u);  // only the first one
    EXPECT_EQ(p->state(), PeripheralState::Connecting);
    radio->addPeripheral(t.device);
    EXPECT_TRUE(runUntilCount(Ev::Connect, 2));
    EXPECT_EQ(p->state(), PeripheralState::Connected);
}

}  // namespace
}  // namespace vexa::test
