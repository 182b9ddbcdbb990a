// Central state, scanning and identity of the BlueZ backend against the fake org.bluez.
#include <gtest/gtest.h>

#include <algorithm>

#include "Backends/BlueZ/BlueZErrors.h"
#include "tests/bluez/CentralHarness.h"

namespace vexa::test {
namespace {

const std::string kToken1 = "AA:BB:CC:DD:EE:01";
const std::string kToken2 = "AA:BB:CC:DD:EE:02";

using BlueZCentralTest = BlueZSuite;

std::vector<ManagerState> statesOf(const PlatformRecorder& d) {
    std::vector<ManagerState> out;
    for (const auto& e : d.of(Ev::State)) out.push_back(e.state);
    return out;
}

TEST_F(BlueZCentralTest, StateFollowsAdapterPowerBlockingPresenceAndTheService) {
    EXPECT_TRUE(h.waitForState(ManagerState::PoweredOn));
    f.fake.setPowered(false);
    EXPECT_TRUE(h.waitForState(ManagerState::PoweredOff));
    f.fake.setPowerState("off-blocked");
    EXPECT_TRUE(h.waitForState(ManagerState::Unauthorized));
    f.fake.setPowered(true);
    EXPECT_TRUE(h.waitForState(ManagerState::PoweredOn));
    f.fake.removeAdapter();
    EXPECT_TRUE(h.waitForState(ManagerState::Unsupported));
    f.fake.addAdapter();
    EXPECT_TRUE(h.waitForState(ManagerState::PoweredOn));
    f.fake.stop();
    EXPECT_TRUE(h.waitForState(ManagerState::Unsupported));
    ASSERT_TRUE(f.fake.start());
    EXPECT_TRUE(h.waitForState(ManagerState::PoweredOn));
    // One callback per change, each reporting the state it was made for.
    EXPECT_EQ(statesOf(*h.delegate),
              (std::vector<ManagerState>{ManagerState::PoweredOn, ManagerState::PoweredOff, ManagerState::Unauthorized, ManagerState::PoweredOn,
                                         ManagerState::Unsupported, ManagerState::PoweredOn, ManagerState::Unsupported, ManagerState::PoweredOn}));
}

TEST_F(BlueZCentralTest, WithoutBluetoothServiceOrBusTheCentralIsUnsupported) {
    f.fake.stop();
    CentralHarness noService(f);
    EXPECT_TRUE(noService.waitForState(ManagerState::Unsupported));

    auto noBus = BlueZBackend::createWithConnectionFactory([]() -> std::unique_ptr<sdbus::IConnection> {
        throw sdbus::Error("org.freedesktop.DBus.Error.FileNotFound", "no bus");
    });
    CentralHarness orphan(f, noBus);
    EXPECT_TRUE(orphan.waitForState(ManagerState::Unsupported));
    EXPECT_TRUE(orphan.central->retrievePeripheralsWithIdentifiers({kToken1}).empty());
}

TEST_F(BlueZCentralTest, ScanSetsLeFilterAndReportsFreshMatchingDevicesWithTheirAdvertisement) {
    f.fake.addCachedDevice(tokenDeviceConfig("AA:BB:CC:DD:EE:0C", "Cached"));  // known from earlier, stale RSSI, not in range
    auto other = tokenDeviceConfig("AA:BB:CC:DD:EE:00", "Speaker");
    other.uuids = {"0000110b-0000-1000-8000-00805f9b34fb"};
    f.fake.addDevice(other);
    f.fake.setApplyDiscoveryFilter(false);  // BlueZ merges filters: non-matching devices do show up
    auto token = tokenDeviceConfig(kToken1, "VexaToken");
    token.rssi = -52;
    token.txPower = 8;
    token.manufacturerData = {{0x0a12, Bytes{0xde, 0xad}}};
    token.serviceData = {{kTokenServiceUuid, Bytes{0x01}}};
    f.fake.addDevice(token);
    ASSERT_TRUE(h.waitForState(ManagerState::PoweredOn));

    auto p = h.scanFor(kToken1);
    ASSERT_TRUE(p);
    // "Speaker" was advertised before the token (address order): it was seen and left out.
    const auto found = h.delegate->of(Ev::Discover);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rssi, -52);
    const AdvertisementData& ad = found[0].advertisement;
    EXPECT_EQ(ad.localName, std::optional<std::string>("VexaToken"));
    EXPECT_EQ(ad.serviceUUIDs, std::vector<BleUUID>{tokenService()});
    EXPECT_EQ(ad.manufacturerData, token.manufacturerData);
    EXPECT_EQ(ad.serviceData, token.serviceData);
    EXPECT_EQ(ad.txPowerLevel, std::optional<int>(8));
    EXPECT_EQ(p->name(), std::optional<std::string>("VexaToken"));
    EXPECT_EQ(p->state(), PeripheralState::Disconnected);

    const auto filters = f.fake.discoveryFilters();
    ASSERT_FALSE(filters.empty());
    EXPECT_EQ(filters.back().transport, "le");
    EXPECT_EQ(filters.back().uuids, std::vector<std::string>{kTokenServiceUuid});
    EXPECT_TRUE(filters.back().keys.count("UUIDs"));
    EXPECT_EQ(f.fake.discoverySessions(), 1u);

    // Another client connects the cached device: its properties change, but it advertised nothing
    // in this scan, so it is still not reported. A device added afterwards is.
    CentralHarness elsewhere(f);
    ASSERT_TRUE(elsewhere.waitForState(ManagerState::PoweredOn));
    const auto cached = elsewhere.central->retrievePeripheralsWithIdentifiers({"AA:BB:CC:DD:EE:0C"});
    ASSERT_EQ(cached.size(), 1u);
    ASSERT_TRUE(elsewhere.connect(cached[0]));
    f.fake.addDevice(tokenDeviceConfig(kToken2));
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->count(Ev::Discover) == 2; }));
    EXPECT_EQ(h.delegate->of(Ev::Discover)[1].peripheral->identifier(), kToken2);
}

TEST_F(BlueZCentralTest, OneReportPerDeviceUnlessDuplicatesAreAllowed) {
    f.fake.addDevice(tokenDeviceConfig(kToken1));
    ASSERT_TRUE(h.waitForState(ManagerState::PoweredOn));
    ASSERT_TRUE(h.scanFor(kToken1));
    f.fake.advertise(kToken1, -40);
    f.fake.advertise(kToken1, -41);
    f.fake.addDevice(tokenDeviceConfig(kToken2));  // reported after the repeated advertisements
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->count(Ev::Discover) == 2; }));
    EXPECT_EQ(h.delegate->of(Ev::Discover)[1].peripheral->identifier(), kToken2);

    // With duplicates every advertisement is reported, with its own RSSI.
    const size_t mark = h.delegate->events.size();
    h.central->scanForPeripherals(std::vector<BleUUID>{tokenService()}, ScanOptions{true});
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->count(Ev::Discover) >= 4; }));  // both again, fresh
    f.fake.advertise(kToken1, -33);
    ASSERT_TRUE(f.waitFor([&] {
        const auto& e = h.delegate->events.back();
        return e.kind == Ev::Discover && e.rssi == -33;
    }));
    EXPECT_GE(h.delegate->indexOf(Ev::Discover, mark), 0);
}

TEST_F(BlueZCentralTest, StopScanEndsTheSessionAndARescanReportsTheSameObjectAgainOnlyWhenFresh) {
    f.fake.addDevice(tokenDeviceConfig(kToken1));
    ASSERT_TRUE(h.waitForState(ManagerState::PoweredOn));
    auto first = h.scanFor(kToken1);
    ASSERT_TRUE(first);
    h.central->stopScan();
    ASSERT_TRUE(f.waitFor([&] { return f.fake.discoverySessions() == 0 && !f.fake.discovering(); }));

    auto again = h.scanFor(kToken1);
    ASSERT_TRUE(again);
    EXPECT_EQ(again, first);  // one platform object per device
    EXPECT_EQ(h.delegate->count(Ev::Discover), 2u);
    const auto retrieved = h.central->retrievePeripheralsWithIdentifiers({"aa:bb:cc:dd:ee:01", "11:22:33:44:55:66"});
    ASSERT_EQ(retrieved.size(), 1u);
    EXPECT_EQ(retrieved[0], first);
    EXPECT_TRUE(h.central->retrieveConnectedPeripheralsWithServices({tokenService()}).empty());
    const auto calls = f.fake.log().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "StartDiscovery"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "StopDiscovery"), 1);
}

TEST_F(BlueZCentralTest, ScanWaitsForPowerAndResumesAfterTheServiceRestarts) {
    f.fake.setPowered(false);
    f.fake.addDevice(tokenDeviceConfig(kToken1));
    ASSERT_TRUE(h.waitForState(ManagerState::PoweredOff));
    h.central->scanForPeripherals(std::vector<BleUUID>{tokenService()}, ScanOptions{});
    f.fake.setPowered(true);
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->count(Ev::Discover) == 1; }));

    ASSERT_TRUE(f.fake.restart());
    EXPECT_TRUE(f.waitFor([&] { return f.fake.discoverySessions() == 1; }));  // our session was re-established
    const auto filters = f.fake.discoveryFilters();
    ASSERT_FALSE(filters.empty());
    EXPECT_EQ(filters.back().uuids, std::vector<std::string>{kTokenServiceUuid});
}

}  // namespace
}  // namespace vexa::test
