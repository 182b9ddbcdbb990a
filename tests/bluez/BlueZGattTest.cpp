// Service discovery, notifications and writes of the BlueZ backend against the fake org.bluez.
#include <gtest/gtest.h>

#include <cerrno>
#include <sdbus-c++/sdbus-c++.h>

#include "Backends/BlueZ/BlueZCharacteristic.h"
#include "Backends/BlueZ/BlueZErrors.h"
#include "tests/bluez/CentralHarness.h"

namespace vexa::test {
namespace {

const std::string kToken = "AA:BB:CC:DD:EE:01";

class BlueZGattTest : public BlueZSuite {
protected:
    /// Connects the token device (added with `config`), without discovering anything.
    std::shared_ptr<PlatformPeripheral> connected(FakeDeviceConfig config) {
        const std::string address = config.address;
        f.fake.addDevice(std::move(config));
        if (!h.waitForState(ManagerState::PoweredOn)) return nullptr;
        auto p = h.scanFor(address);
        if (!p) return nullptr;
        h.central->stopScan();
        return h.connect(p) ? p : nullptr;
    }

    /// Adds the token, connects it, discovers its characteristics and switches notifications on.
    std::optional<CentralHarness::Gatt> tokenReady(std::shared_ptr<PlatformPeripheral>* p) {
        f.fake.addDevice(tokenDeviceConfig(kToken));
        if (!h.waitForState(ManagerState::PoweredOn)) return std::nullopt;
        return h.connectToken(kToken, p);
    }
};

TEST_F(BlueZGattTest, DiscoveryFindsTheTokenServiceAndItsCharacteristicsAsTheSameObjectsEachTime) {
    auto p = connected(tokenDeviceConfig(kToken));
    ASSERT_TRUE(p);
    auto gatt = h.discoverGatt(p);
    ASSERT_TRUE(gatt);
    EXPECT_EQ(gatt->service->peripheral(), p);
    EXPECT_TRUE(gatt->service->isPrimary());
    EXPECT_EQ(gatt->write->service(), gatt->service);
    EXPECT_EQ(gatt->write->properties(), uint32_t{kPropertyWrite | kPropertyWriteWithoutResponse});
    EXPECT_EQ(gatt->notify->properties(), uint32_t{kPropertyNotify});
    EXPECT_FALSE(gatt->notify->isNotifying());
    EXPECT_TRUE(gatt->notify->value().empty());

    // A filter for one characteristic lists only that one; a second discovery gives the same objects.
    const size_t mark = h.delegate->events.size();
    p->discoverCharacteristics(std::vector<BleUUID>{tokenNotify()}, gatt->service);
    ASSERT_GE(h.waitForEvent(Ev::Characteristics, mark), 0);
    ASSERT_EQ(gatt->service->characteristics().size(), 1u);
    EXPECT_EQ(gatt->service->characteristics()[0], gatt->notify);
    auto again = h.discoverGatt(p);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->service, gatt->service);
    EXPECT_EQ(again->write, gatt->write);
    EXPECT_EQ(again->notify, gatt->notify);
}

TEST_F(BlueZGattTest, GattObjectsArrivingAfterServicesResolvedAreStillFound) {
    // ServicesResolved=true comes first, then the service, then one characteristic at a time.
    f.fake.behave([](FakeBehaviour& b) { b.lateGattObjects = true, b.lateCharacteristicsDelay = std::chrono::milliseconds(100); });
    auto p = connected(tokenDeviceConfig(kToken));
    ASSERT_TRUE(p);
    auto gatt = h.discoverGatt(p);
    ASSERT_TRUE(gatt);
    EXPECT_EQ(gatt->service->uuid(), tokenService());
}

TEST_F(BlueZGattTest, MissingServiceIsAnsweredEmptyAfterTheGraceAndDiscoveryNeedsALink) {
    auto config = tokenDeviceConfig(kToken);
    config.services = {FakeServiceConfig{"0000180f-0000-1000-8000-00805f9b34fb", {{"00002a19-0000-1000-8000-00805f9b34fb", {"read"}}}}};
    auto p = connected(config);
    ASSERT_TRUE(p);
    size_t mark = h.delegate->events.size();
    p->discoverServices(std::vector<BleUUID>{tokenService()});
    EXPECT_TRUE(h.succeeded(Ev::Services, mark));
    EXPECT_TRUE(p->services().empty());
    // Without a filter the battery service is listed.
    mark = h.delegate->events.size();
    p->discoverServices(std::nullopt);
    ASSERT_GE(h.waitForEvent(Ev::Services, mark), 0);
    ASSERT_EQ(p->services().size(), 1u);
    EXPECT_EQ(p->services()[0]->uuid(), BleUUID::fromString("180f"));

    mark = h.delegate->events.size();
    h.central->cancelPeripheralConnection(p);
    ASSERT_GE(h.waitForEvent(Ev::Disconnect, mark), 0);
    p->discoverServices(std::nullopt);
    EXPECT_EQ(h.errorOf(Ev::Services, mark), OptError(notConnectedError()));
}

TEST_F(BlueZGattTest, NotificationSentBeforeTheStartNotifyAnswerIsDelivered) {
    auto p = connected(tokenDeviceConfig(kToken));
    ASSERT_TRUE(p);
    auto gatt = h.discoverGatt(p);
    ASSERT_TRUE(gatt);
    // Nothing reaches us before notifications are switched on.
    f.fake.setEarlyNotification(kToken, kTokenNotifyUuid, Bytes{0x00, 0x05, 0x00, 0xAB});
    const size_t mark = h.delegate->events.size();
    p->setNotifyValue(true, gatt->notify);
    EXPECT_TRUE(h.succeeded(Ev::NotifyState, mark));
    const int value = h.delegate->indexOf(Ev::Value, mark);
    ASSERT_GE(value, 0);
    EXPECT_LT(value, h.delegate->indexOf(Ev::NotifyState, mark));
    EXPECT_EQ(h.delegate->events[static_cast<size_t>(value)].value, (Bytes{0x00, 0x05, 0x00, 0xAB}));
    EXPECT_EQ(h.delegate->events[static_cast<size_t>(value)].characteristic, gatt->notify);
    EXPECT_TRUE(gatt->notify->isNotifying());
    EXPECT_TRUE(f.fake.isNotifying(kToken, kTokenNotifyUuid));

    // A burst that piles up before the callback queue runs: each callback still sees its own value.
    const size_t burst = h.delegate->events.size();
    for (uint8_t i = 1; i <= 5; ++i) f.fake.notify(kToken, kTokenNotifyUuid, Bytes{i, i});
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->of(Ev::Value, burst).size() == 5; }));
    const auto values = h.delegate->of(Ev::Value, burst);
    for (uint8_t i = 1; i <= 5; ++i) EXPECT_EQ(values[i - 1].value, (Bytes{i, i}));
    EXPECT_EQ(gatt->notify->value(), (Bytes{5, 5}));
}

TEST_F(BlueZGattTest, WritesWithResponseGoOutOneAtATimeAndEchoesArriveInOrder) {
    std::shared_ptr<PlatformPeripheral> p;
    auto gatt = tokenReady(&p);
    ASSERT_TRUE(gatt);
    std::vector<Bytes> frames;
    for (uint8_t i = 0; i < 6; ++i) frames.push_back(Bytes(140, static_cast<uint8_t>(0x10 + i)));
    const size_t mark = h.delegate->events.size();
    for (const auto& frame : frames) p->writeValue(frame, gatt->write, WriteType::WithResponse);
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->of(Ev::Write, mark).size() == 6 && h.delegate->of(Ev::Value, mark).size() == 6; }));
    for (const auto& w : h.delegate->of(Ev::Write, mark)) {
        EXPECT_FALSE(w.error);
        EXPECT_EQ(w.characteristic, gatt->write);
    }
    EXPECT_EQ(f.fake.log().inProgress, 0);  // never two WriteValue calls at once
    const auto written = f.fake.log().writes[kToken];
    ASSERT_EQ(written.size(), 6u);
    const auto echoes = h.delegate->of(Ev::Value, mark);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(written[i].value, frames[i]);
        EXPECT_EQ(written[i].type, "request");
        EXPECT_EQ(echoes[i].value, frames[i]) << "each notification is read as its own value";
    }
}

TEST_F(BlueZGattTest, WriteRefusedWithInProgressBecauseOfAnotherClientIsRetried) {
    std::shared_ptr<PlatformPeripheral> p;
    auto gatt = tokenReady(&p);
    ASSERT_TRUE(gatt);
    const std::string path = std::dynamic_pointer_cast<BlueZCharacteristic>(gatt->write)->path();

    // Another D-Bus client holds a write on the same characteristic.
    DBusLoop other(sdbus::createSessionBusConnectionWithAddress(f.bus.address()), "other-client");
    std::unique_ptr<sdbus::IProxy> proxy;
    f.fake.behave([](FakeBehaviour& b) { b.holdNextWrite = true; });
    other.sync([&] {
        proxy = sdbus::createProxy(*other.connection(), "org.bluez", path);
        proxy->callMethodAsync("WriteValue")
            .onInterface("org.bluez.GattCharacteristic1")
            .withArguments(Bytes{0xEE}, std::map<std::string, sdbus::Variant>{{"type", sdbus::Variant(std::string("request"))}})
            .uponReplyInvoke([](const sdbus::Error*) {});
    });
    ASSERT_TRUE(f.waitFor([&] { return f.fake.log().writes[kToken].size() == 1; }));

    const size_t mark = h.delegate->events.size();
    p->writeValue(Bytes{0x01}, gatt->write, WriteType::WithResponse);
    ASSERT_TRUE(f.waitFor([&] { return f.fake.log().inProgress >= 2; }));  // refused, retried, refused
    EXPECT_TRUE(h.delegate->of(Ev::Write, mark).empty());
    f.fake.releaseWrites();
    EXPECT_TRUE(h.succeeded(Ev::Write, mark));
    const auto written = f.fake.log().writes[kToken];
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1].value, Bytes{0x01});
    other.sync([&] { proxy.reset(); });
}

TEST_F(BlueZGattTest, WritesWithoutResponseUseCommandsInOrderAndAreNeverAnswered) {
    std::shared_ptr<PlatformPeripheral> p;
    auto gatt = tokenReady(&p);
    ASSERT_TRUE(gatt);
    const size_t limit = p->maximumWriteValueLength(WriteType::WithoutResponse);
    EXPECT_EQ(limit, 244u);  // MTU 247 - 3
    EXPECT_EQ(p->maximumWriteValueLength(WriteType::WithResponse), 512u);
    const size_t mark = h.delegate->events.size();
    p->writeValue(Bytes{0x01}, gatt->write, WriteType::WithoutResponse);
    p->writeValue(Bytes(limit + 1, 0x02), gatt->write, WriteType::WithoutResponse);  // BlueZ refuses; nobody is told
    p->writeValue(Bytes(limit, 0x03), gatt->write, WriteType::WithoutResponse);
    p->writeValue(Bytes{0x04}, gatt->write, WriteType::WithResponse);  // the one answered write
    ASSERT_GE(h.waitForEvent(Ev::Write, mark), 0);
    // The echoes of all three delivered frames have arrived once the last one has.
    ASSERT_TRUE(f.waitFor([&] { return !h.delegate->of(Ev::Value, mark).empty() && h.delegate->of(Ev::Value, mark).back().value == Bytes{0x04}; }));
    EXPECT_EQ(h.delegate->of(Ev::Write, mark).size(), 1u);
    const auto written = f.fake.log().writes[kToken];
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].type, "command");
    EXPECT_EQ(written[1].type, "command");
    EXPECT_EQ(written[1].value, Bytes(limit, 0x03));
    EXPECT_EQ(written[2].type, "request");
    EXPECT_EQ(h.delegate->of(Ev::Value, mark).size(), 3u);
}

TEST_F(BlueZGattTest, WriteLengthFollowsTheMtuAndDefaultsWithoutIt) {
    std::shared_ptr<PlatformPeripheral> p;
    ASSERT_TRUE(tokenReady(&p));
    EXPECT_EQ(p->maximumWriteValueLength(WriteType::WithoutResponse), 244u);
    f.fake.setMtu(kToken, 185);
    EXPECT_TRUE(f.waitFor([&] { return p->maximumWriteValueLength(WriteType::WithoutResponse) == 182u; }));

    auto old = tokenDeviceConfig("AA:BB:CC:DD:EE:02");
    old.mtu.reset();  // BlueZ before 5.62 has no MTU property
    auto q = connected(old);
    ASSERT_TRUE(q);
    ASSERT_TRUE(h.discoverGatt(q));
    EXPECT_EQ(q->maximumWriteValueLength(WriteType::WithoutResponse), 20u);
}

TEST_F(BlueZGattTest, WriteErrorsCarryTheDBusErrorAndStrayNotificationsAreDropped) {
    std::shared_ptr<PlatformPeripheral> p;
    auto gatt = tokenReady(&p);
    ASSERT_TRUE(gatt);
    size_t mark = h.delegate->events.size();
    f.fake.behave([](FakeBehaviour& b) { b.writeFailure = FakeError{"org.bluez.Error.NotPermitted", "Write not permitted"}; });
    p->writeValue(Bytes{0x01}, gatt->write, WriteType::WithResponse);
    p->writeValue(Bytes{0x02}, gatt->write, WriteType::WithResponse);
    // The refused frame is not echoed, the second one is.
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->of(Ev::Write, mark).size() == 2 && h.delegate->of(Ev::Value, mark).size() == 1; }));
    EXPECT_EQ(h.delegate->of(Ev::Value, mark)[0].value, Bytes{0x02});
    const auto writes = h.delegate->of(Ev::Write, mark);
    EXPECT_EQ(writes[0].error, OptError(Error{"org.bluez.Error.NotPermitted", EPERM, "Write not permitted"}));
    EXPECT_FALSE(writes[1].error);

    // Switched off, notifications are no longer delivered (another client may keep BlueZ's session).
    mark = h.delegate->events.size();
    p->setNotifyValue(false, gatt->notify);
    ASSERT_GE(h.waitForEvent(Ev::NotifyState, mark), 0);
    EXPECT_FALSE(gatt->notify->isNotifying());
    p->writeValue(Bytes{0x03}, gatt->write, WriteType::WithResponse);  // echoed by the device, not subscribed
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->of(Ev::Write, mark).size() == 1; }));
    p->setNotifyValue(true, gatt->notify);
    p->writeValue(Bytes{0x04}, gatt->write, WriteType::WithResponse);
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->of(Ev::Value, mark).size() == 1; }));
    EXPECT_EQ(h.delegate->of(Ev::Value, mark)[0].value, Bytes{0x04});
}

TEST_F(BlueZGattTest, ReadRssiAnswersTheLastAdvertisedValue) {
    std::shared_ptr<PlatformPeripheral> p;
    f.fake.addDevice(tokenDeviceConfig(kToken));
    ASSERT_TRUE(h.waitForState(ManagerState::PoweredOn));
    p = h.scanFor(kToken);
    ASSERT_TRUE(p);
    f.fake.advertise(kToken, -71);
    f.fake.addDevice(tokenDeviceConfig("AA:BB:CC:DD:EE:02"));  // reported after the advertisement above
    ASSERT_TRUE(f.waitFor([&] { return h.delegate->count(Ev::Discover) == 2; }));
    h.central->stopScan();  // BlueZ invalidates RSSI when discovery stops; the last value is kept
    ASSERT_TRUE(f.waitFor([&] { return !f.fake.discovering(); }));
    ASSERT_TRUE(h.connect(p));
    const size_t mark = h.delegate->events.size();
    p->readRSSI();
    const int i = h.waitForEvent(Ev::Rssi, mark);
    ASSERT_GE(i, 0);
    EXPECT_EQ(h.delegate->events[static_cast<size_t>(i)].rssi, -71);
    EXPECT_FALSE(h.delegate->events[static_cast<size_t>(i)].error);
}

}  // namespace
}  // namespace vexa::test
