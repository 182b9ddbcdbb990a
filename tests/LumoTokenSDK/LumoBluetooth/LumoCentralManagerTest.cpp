#include <chrono>

#include "tests/LumoTokenSDK/LumoBluetooth/LinkTestSupport.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

/// Identifiers of a list of wrappers, in order.
std::vector<std::string> ids(const LumoPeripheralList& list) {
    std::vector<std::string> out;
    for (const auto& p : list) out.push_back(p->UUIDString());
    return out;
}

class LumoCentralManagerTest : public LinkTest {
protected:
    static AdvertisementData named(std::string name) {
        AdvertisementData data;
        data.localName = std::move(name);
        return data;
    }
    std::shared_ptr<FakePeripheral> device(const std::string& id) {
        auto p = central->makePeripheral(id);
        p->addService(kServiceUUID);
        return p;
    }
    void advertise(const std::shared_ptr<FakePeripheral>& p, int64_t rssi, AdvertisementData data = {}) {
        central->advertise(p, std::move(data), rssi);
        run();
    }
    // Records every call of a scan callback.
    LumoPeripheralsCallback recordInto(std::vector<std::vector<std::string>>& out) {
        return [&out](const LumoPeripheralList& list) { out.push_back(ids(list)); };
    }
};

TEST_F(LumoCentralManagerTest, ScanVariantsPassTheirArgumentsEmptyTheListAndStopsAreForwarded) {
    EXPECT_EQ(manager->peripheralsCountToStop(), UINT64_MAX);
    manager->scanForPeripherals();
    advertise(device("A"), -50);
    EXPECT_EQ(manager->scannedPeripherals().size(), 1u);
    manager->scanForPeripheralsWithServices(std::vector<BleUUID>{kServiceUUID});
    EXPECT_TRUE(manager->scannedPeripherals().empty());
    EXPECT_TRUE(manager->isScanning());
    ASSERT_EQ(central->scans.size(), 2u);
    EXPECT_FALSE(central->scans[0].serviceUUIDs);
    EXPECT_TRUE(central->scans[0].options.allowDuplicates);
    EXPECT_EQ(central->scans[1].serviceUUIDs, std::vector<BleUUID>{kServiceUUID});
    EXPECT_FALSE(central->scans[1].options.allowDuplicates);
    manager->stopScanForPeripherals();
    manager->stopScanForPeripherals();
    EXPECT_EQ(central->stopScans, 2);
    EXPECT_FALSE(manager->isScanning());

    // A completion that starts the next scan keeps that scan's callbacks.
    std::vector<std::vector<std::string>> next, nextFound;
    manager->scanForPeripheralsByInterval(60, [&](const LumoPeripheralList&) {
        manager->scanForPeripheralsWithServices(std::nullopt, ScanOptions{}, recordInto(nextFound));
        manager->setScanBlock(recordInto(next));
    });
    manager->stopScanForPeripherals();
    EXPECT_TRUE(manager->isScanning());
    advertise(device("B"), -70);
    EXPECT_EQ(nextFound.size(), 1u);
    manager->stopScanForPeripherals();
    EXPECT_EQ(next.size(), 1u);
}

TEST_F(LumoCentralManagerTest, PeripheralBlockHearsEachNewcomerWithTheWholeList) {
    std::vector<std::vector<std::string>> calls;
    std::vector<int64_t> rssiSeen;
    auto a = device("A"), b = device("B");
    manager->scanForPeripheralsWithServices(std::nullopt, ScanOptions{.allowDuplicates = true}, [&](const LumoPeripheralList& list) {
        calls.push_back(ids(list));
        rssiSeen.push_back(list.back()->RSSI());  // the newcomer has nothing stored yet
    });
    advertise(a, -60, named("first"));
    advertise(b, -70);
    advertise(a, -61, named("second"));  // repeat: no call, values updated
    EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{{"A"}, {"A", "B"}}));
    EXPECT_EQ(rssiSeen, (std::vector<int64_t>{0, 0}));

    auto wa = manager->scannedPeripherals()[0];
    EXPECT_EQ(wa->advertisingData().localName, "second");
    EXPECT_EQ(wa->RSSI(), -60);  // (-61 + -60) / 2 truncated toward zero
    advertise(a, -64);           // (-64 + -60) / 2
    EXPECT_EQ(wa->RSSI(), -62);
    advertise(a, -63);  // (-63 + -62) / 2 = -62.5 -> -62
    EXPECT_EQ(wa->RSSI(), -62);
    advertise(a, 7);  // (7 - 62) / 2 = -27.5 -> -27
    EXPECT_EQ(wa->RSSI(), -27);
}

TEST_F(LumoCentralManagerTest, PeripheralsAreSortedStrongestFirstWithTiesInDiscoveryOrder) {
    manager->scanForPeripherals();
    auto a = device("A"), b = device("B"), c = device("C"), e = device("E");
    advertise(a, -50);
    advertise(b, -80);
    advertise(c, -50);
    advertise(e, -40);
    EXPECT_EQ(ids(manager->peripherals()), (std::vector<std::string>{"E", "A", "C", "B"}));
    EXPECT_EQ(ids(manager->scannedPeripherals()), (std::vector<std::string>{"A", "B", "C", "E"}));
}

TEST_F(LumoCentralManagerTest, CountRuleStopsTheScan) {
    std::vector<std::vector<std::string>> done;
    auto a = device("A"), b = device("B"), c = device("C");

    // Default count: never stops by itself.
    manager->scanForPeripheralsByInterval(100, recordInto(done));
    advertise(a, -70);
    advertise(b, -60);
    advertise(c, -65);
    EXPECT_TRUE(manager->isScanning());
    EXPECT_TRUE(done.empty());

    // 0: the first advertisement stops it.
    manager->setPeripheralsCountToStop(0);
    manager->scanForPeripheralsByInterval(100, recordInto(done));
    advertise(a, -70);
    EXPECT_FALSE(manager->isScanning());
    EXPECT_EQ(done, (std::vector<std::vector<std::string>>{{"A"}}));
    EXPECT_EQ(central->stopScans, 1);

    // N: stops in the discovery that lists N, completion gets them strongest first, and the
    // cancelled timed stop never calls again.
    manager->setPeripheralsCountToStop(2);
    manager->scanForPeripheralsByInterval(10, recordInto(done));
    advertise(a, -70);
    EXPECT_TRUE(manager->isScanning());
    advertise(b, -60);
    EXPECT_FALSE(manager->isScanning());
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[1], (std::vector<std::string>{"B", "A"}));
    main.runFor(30s);
    EXPECT_EQ(done.size(), 2u);
    EXPECT_EQ(central->stopScans, 2);
    EXPECT_FALSE(manager->scanBlock());
    EXPECT_FALSE(manager->peripheralBlock());
}

TEST_F(LumoCentralManagerTest, IntervalStopFiresOnTheMainQueueAndIsReplacedByANewIntervalScan) {
    std::vector<std::vector<std::string>> first, second;
    manager->scanForPeripheralsByInterval(5, recordInto(first));
    EXPECT_TRUE(central->scans[0].options.allowDuplicates);
    main.runFor(3s);
    manager->scanForPeripheralsByInterval(5, recordInto(second));
    advertise(device("A"), -70);
    main.runFor(2500ms);  // t = 5.5 s: the first timer would have fired
    EXPECT_TRUE(manager->isScanning());
    main.runFor(2s);  // t = 7.5 s
    EXPECT_TRUE(manager->isScanning());
    main.runFor(1s);  // t = 8.5 s
    EXPECT_FALSE(manager->isScanning());
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second, (std::vector<std::vector<std::string>>{{"A"}}));
    EXPECT_EQ(central->stopScans, 1);
}

TEST_F(LumoCentralManagerTest, ReportsForUnlistedPeripheralsMakeAWrapperFirst) {
    NotificationLog log;
    std::vector<std::vector<std::string>> found;
    std::vector<size_t> postedBefore;  // notifications seen when each newcomer was announced
    manager->scanForPeripheralsWithServices(std::nullopt, ScanOptions{}, [&](const LumoPeripheralList& list) {
        found.push_back(ids(list));
        postedBefore.push_back(log.entries.size());
    });
    auto a = device("A"), b = device("B");
    central->reportConnect(a);
    run();
    EXPECT_EQ(found, (std::vector<std::vector<std::string>>{{"A"}}));
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].object, manager->scannedPeripherals()[0].get());

    central->reportDisconnect(b, platformError(19));
    run();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(postedBefore, (std::vector<size_t>{0, 1}));  // each announced before its report was handled
    EXPECT_EQ(ids(manager->scannedPeripherals()), std::vector<std::string>{"A"});  // B left at its report
    EXPECT_EQ(log.count(kLumoPeripheralDidDisconnect), 1u);
    EXPECT_EQ(log.entries.back().error, platformError(19));

    central->reportDisconnect(a);
    run();
    EXPECT_TRUE(manager->scannedPeripherals().empty());
}

TEST_F(LumoCentralManagerTest, HeldWrapperKeepsGettingItsReportsAfterARescan) {
    NotificationLog log;
    auto a = device("A");
    manager->scanForPeripherals();
    advertise(a, -50);
    auto held = manager->scannedPeripherals()[0];
    std::vector<OptError> connected;
    held->connectWithCompletion([&](const OptError& e) { connected.push_back(e); });

    // A new scan empties the list before the connection is reported.
    std::vector<std::vector<std::string>> found;
    manager->scanForPeripheralsWithServices(std::nullopt, ScanOptions{}, recordInto(found));
    ASSERT_TRUE(manager->scannedPeripherals().empty());
    central->reportConnect(a);
    run();
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_FALSE(connected[0]);
    EXPECT_EQ(manager->scannedPeripherals(), LumoPeripheralList{held});  // it re-joined the list
    EXPECT_EQ(found, (std::vector<std::vector<std::string>>{{"A"}}));
    EXPECT_EQ(a->delegate(), std::static_pointer_cast<PlatformPeripheralDelegate>(held));
    EXPECT_EQ(log.entries.back().object, held.get());

    // A disconnection after another rescan is announced by the held wrapper too.
    manager->scanForPeripherals();
    central->reportDisconnect(a);
    run();
    EXPECT_EQ(log.entries.back().name, "LumoPeripheralDidDisconnect");
    EXPECT_EQ(log.entries.back().object, held.get());
    EXPECT_TRUE(manager->scannedPeripherals().empty());

    // Once nobody holds it, a report makes a fresh wrapper that takes over the delegate.
    std::weak_ptr<LumoPeripheral> weak = held;
    held.reset();
    EXPECT_TRUE(weak.expired());
    advertise(a, -45);
    ASSERT_EQ(manager->scannedPeripherals().size(), 1u);
    EXPECT_EQ(a->delegate(), std::static_pointer_cast<PlatformPeripheralDelegate>(manager->scannedPeripherals()[0]));
    EXPECT_EQ(manager->scannedPeripherals()[0]->RSSI(), -45);  // fresh: nothing was stored before
}

TEST_F(LumoCentralManagerTest, RetrievalsMapThroughTheList) {
    auto a = device("A"), b = device("B");
    b->setState(PeripheralState::Connected);
    manager->scanForPeripherals();
    advertise(a, -50);
    const auto byId = manager->retrievePeripheralsWithIdentifiers({"B", "A", "X"});
    EXPECT_EQ(ids(byId), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(byId[1], manager->scannedPeripherals()[0]);  // the listed wrapper, not a new one
    EXPECT_EQ(ids(manager->scannedPeripherals()), (std::vector<std::string>{"A", "B"}));
    const auto connected = manager->retrieveConnectedPeripheralsWithServices({kServiceUUID});
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0], byId[0]);
}

TEST_F(LumoCentralManagerTest, StateMessagesAndUpdates) {
    NotificationLog log;
    const std::vector<std::pair<ManagerState, std::optional<std::string>>> table = {
        {ManagerState::Unknown, "Central not initialized yet."},
        {ManagerState::Resetting, std::nullopt},
        {ManagerState::Unsupported, "The platform/hardware doesn't support Bluetooth Low Energy."},
        {ManagerState::Unauthorized, "The app is not authorized to use Bluetooth Low Energy."},
        {ManagerState::PoweredOff, "Bluetooth is currently powered off."},
        {ManagerState::PoweredOn, std::nullopt},
        {static_cast<ManagerState>(42), std::nullopt},
    };
    for (const auto& [state, message] : table) {
        central->setState(state);
        EXPECT_EQ(manager->stateMessage(), message) << static_cast<int>(state);
        EXPECT_EQ(manager->centralNotReadyReason(), message);
        EXPECT_EQ(manager->isCentralReady(), state == ManagerState::PoweredOn);
    }
    EXPECT_TRUE(log.entries.empty());  // posted on the main queue, not inside the platform callback
    run();
    ASSERT_EQ(log.count(kLumoCentralManagerDidUpdateState), table.size());
    EXPECT_EQ(log.entries[0].object, manager.get());
}

TEST_F(LumoCentralManagerTest, WithoutABackendTheSharedCentralIsUnsupported) {
    ASSERT_FALSE(bleBackend());
    auto shared = LumoCentralManager::sharedInstance();
    EXPECT_EQ(LumoCentralManager::sharedInstance(), shared);
    EXPECT_FALSE(shared->isCentralReady());
    EXPECT_EQ(shared->centralNotReadyReason(), "The platform/hardware doesn't support Bluetooth Low Energy.");
    shared->scanForPeripherals();  // passed on and ignored
    shared->stopScanForPeripherals();
    EXPECT_TRUE(shared->retrievePeripheralsWithIdentifiers({"A"}).empty());

    auto bare = LumoCentralManager::create(nullptr);
    EXPECT_EQ(bare->stateMessage(), "The platform/hardware doesn't support Bluetooth Low Energy.");
}

}  // namespace
}  // namespace vexa::test
