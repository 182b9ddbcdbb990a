// Connecting, cancelling, failing and losing links with the BlueZ backend against the fake org.bluez.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "Backends/BlueZ/BlueZErrors.h"
#include "tests/bluez/CentralHarness.h"

namespace vexa::test {
namespace {

const std::string kToken = "AA:BB:CC:DD:EE:01";

class BlueZConnectionTest : public BlueZSuite {
protected:
    void SetUp() override {
        BlueZSuite::SetUp();
        if (HasFatalFailure()) return;
        f.fake.addDevice(tokenDeviceConfig(kToken));
        ASSERT_TRUE(h.waitForState(ManagerState::PoweredOn));
    }

    bool called(const std::string& call) {
        const auto calls = f.fake.log().calls;
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
};

TEST_F(BlueZConnectionTest, ConnectPausesOurDiscoveryAndResumesItAfterwards) {
    auto p = h.scanFor(kToken);
    ASSERT_TRUE(p);
    ASSERT_TRUE(h.connect(p));
    EXPECT_EQ(p->state(), PeripheralState::Connected);
    EXPECT_TRUE(f.fake.isConnected(kToken));
    const auto calls = f.fake.log().calls;
    const auto stop = std::find(calls.begin(), calls.end(), "StopDiscovery");
    const auto connect = std::find(calls.begin(), calls.end(), "Connect " + kToken);
    ASSERT_NE(stop, calls.end());
    EXPECT_LT(stop, connect);  // discovery makes LE connection set-up fail more often
    EXPECT_TRUE(f.waitFor([&] { return f.fake.discoverySessions() == 1; }));  // the scan goes on

    // Connecting a connected device answers at once; the device is listed as connected.
    const size_t mark = h.delegate->events.size();
    h.central->connectPeripheral(p);
    EXPECT_GE(h.waitForEvent(Ev::Connect, mark), 0);
    EXPECT_EQ(h.central->retrieveConnectedPeripheralsWithServices({tokenService()}), std::vector<std::shared_ptr<PlatformPeripheral>>{p});
}

TEST_F(BlueZConnectionTest, RefusedConnectionIsReportedWithBlueZsReason) {
    auto p = h.scanFor(kToken);
    ASSERT_TRUE(p);
    f.fake.behave([](FakeBehaviour& b) { b.connectFailure = FakeError{"org.bluez.Error.Failed", "le-connection-abort-by-local"}; });
    EXPECT_FALSE(h.connect(p));
    const Event* failed = h.delegate->last(Ev::FailConnect);
    ASSERT_TRUE(failed && failed->error);
    EXPECT_EQ(*failed->error, (Error{"org.bluez.Error.Failed", EIO, "le-connection-abort-by-local"}));
    EXPECT_EQ(failed->peripheral, p);
    EXPECT_EQ(p->state(), PeripheralState::Disconnected);
    EXPECT_EQ(h.delegate->count(Ev::Connect), 0u);
    // The next attempt works.
    EXPECT_TRUE(h.connect(p));
}

TEST_F(BlueZConnectionTest, CancelDuringAPendingConnectGivesOneDisconnectAndNoConnectAnswer) {
    auto p = h.scanFor(kToken);
    ASSERT_TRUE(p);
    h.central->stopScan();
    f.fake.behave([](FakeBehaviour& b) { b.holdConnects = true; });
    const size_t mark = h.delegate->events.size();
    h.central->connectPeripheral(p);
    ASSERT_TRUE(f.waitFor([&] { return called("Connect " + kToken); }));
    EXPECT_EQ(p->state(), PeripheralState::Connecting);
    h.central->cancelPeripheralConnection(p);
    EXPECT_TRUE(h.succeeded(Ev::Disconnect, mark));
    EXPECT_TRUE(called("Disconnect " + kToken));
    EXPECT_EQ(p->state(), PeripheralState::Disconnected);

    // Reconnect; by then the cancelled attempt's answer has long arrived and must not count.
    f.fake.behave([](FakeBehaviour& b) { b.holdConnects = false; });
    EXPECT_TRUE(h.connect(p));
    EXPECT_EQ(h.delegate->count(Ev::Disconnect), 1u);
    EXPECT_EQ(h.delegate->count(Ev::FailConnect), 0u);
    EXPECT_EQ(h.delegate->count(Ev::Connect), 1u);
}

TEST_F(BlueZConnectionTest, ConnectionAttemptThatNeverAnswersTimesOutAndIsAborted) {
    BlueZOptions options = BlueZFixture::testOptions();
    options.connectTimeout = std::chrono::milliseconds(300);
    CentralHarness quick(f, BlueZBackend::createWithBusAddress(f.bus.address(), options));
    ASSERT_TRUE(quick.waitForState(ManagerState::PoweredOn));
    auto p = quick.scanFor(kToken);
    ASSERT_TRUE(p);
    f.fake.behave([](FakeBehaviour& b) { b.holdConnects = true; });
    EXPECT_FALSE(quick.connect(p));
    const Event* failed = quick.delegate->last(Ev::FailConnect);
    ASSERT_TRUE(failed && failed->error);
    EXPECT_EQ(failed->error->domain, "org.freedesktop.DBus.Error.NoReply");
    EXPECT_EQ(failed->error->code, ETIMEDOUT);
    EXPECT_TRUE(f.waitFor([&] { return called("Disconnect " + kToken); }));  // BlueZ is told to stop trying
    EXPECT_EQ(p->state(), PeripheralState::Disconnected);
    EXPECT_FALSE(quick.delegate->offQueue);
}

TEST_F(BlueZConnectionTest, OrderlyDisconnectStopsNotificationsFirstAndIsReportedWithoutError) {
    std::shared_ptr<PlatformPeripheral> p;
    auto gatt = h.connectToken(kToken, &p);
    ASSERT_TRUE(gatt);
    EXPECT_TRUE(gatt->notify->isNotifying());
    const size_t mark = h.delegate->events.size();
    h.central->cancelPeripheralConnection(p);
    EXPECT_TRUE(h.succeeded(Ev::Disconnect, mark));
    const auto calls = f.fake.log().calls;
    const auto stopNotify = std::find(calls.begin(), calls.end(), std::string("StopNotify ") + kTokenNotifyUuid);
    const auto disconnect = std::find(calls.begin(), calls.end(), "Disconnect " + kToken);
    ASSERT_NE(stopNotify, calls.end());
    EXPECT_LT(stopNotify, disconnect);
    EXPECT_FALSE(gatt->notify->isNotifying());
    EXPECT_EQ(h.delegate->count(Ev::Disconnect), 1u);
}

TEST_F(BlueZConnectionTest, RemoteDropFailsTheWaitingWriteBeforeReportingTheLostLink) {
    std::shared_ptr<PlatformPeripheral> p;
    auto gatt = h.connectToken(kToken, &p);
    ASSERT_TRUE(gatt);
    f.fake.behave([](FakeBehaviour& b) { b.holdNextWrite = true; });
    const size_t mark = h.delegate->events.size();
    p->writeValue(Bytes{1, 2, 3}, gatt->write, WriteType::WithResponse);
    p->writeValue(Bytes{4, 5, 6}, gatt->write, WriteType::WithResponse);  // queued behind the first
    ASSERT_TRUE(f.waitFor([&] { return f.fake.log().writes[kToken].size() == 1; }));
    f.fake.dropLink(kToken);
    const int lost = h.waitForEvent(Ev::Disconnect, mark);
    ASSERT_GE(lost, 0);
    const auto& disconnect = h.delegate->events[static_cast<size_t>(lost)];
    ASSERT_TRUE(disconnect.error);
    EXPECT_EQ(*disconnect.error, linkLostError());
    // Both writes are answered, with errors, in order, before the disconnect.
    std::vector<Event> writes;
    for (size_t i = mark; i < static_cast<size_t>(lost); ++i) {
        if (h.delegate->events[i].kind == Ev::Write) writes.push_back(h.delegate->events[i]);
    }
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_TRUE(writes[0].error && writes[1].error);
    EXPECT_EQ(h.delegate->count(Ev::Write), 2u);
    EXPECT_EQ(f.fake.log().writes[kToken].size(), 1u);  // the queued frame never went out
    EXPECT_EQ(p->state(), PeripheralState::Disconnected);
    EXPECT_FALSE(gatt->notify->isNotifying());

    // A write after the loss is answered with "not connected".
    const size_t after = h.delegate->events.size();
    p->writeValue(Bytes{7}, gatt->write, WriteType::WithResponse);
    EXPECT_EQ(h.errorOf(Ev::Write, after), OptError(notConnectedError()));
}

TEST_F(BlueZConnectionTest, RemovedDeviceDisconnectsAndCanNoLongerBeConnected) {
    std::shared_ptr<PlatformPeripheral> p;
    ASSERT_TRUE(h.connectToken(kToken, &p));
    f.fake.behave([](FakeBehaviour& b) { b.cacheAlways = false; });  // the GATT objects go too
    const size_t mark = h.delegate->events.size();
    f.fake.removeDevice(kToken);
    EXPECT_TRUE(h.errorOf(Ev::Disconnect, mark));
    EXPECT_FALSE(h.connect(p));
    const Event* failed = h.delegate->last(Ev::FailConnect);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->error, OptError(deviceGoneError()));
}

TEST_F(BlueZConnectionTest, ServiceRestartEndsTheLinkAndTheSameDeviceConnectsAgain) {
    std::shared_ptr<PlatformPeripheral> p;
    ASSERT_TRUE(h.connectToken(kToken, &p));
    const size_t mark = h.delegate->events.size();
    ASSERT_TRUE(f.fake.restart());
    EXPECT_TRUE(h.errorOf(Ev::Disconnect, mark));
    std::vector<ManagerState> states;
    f.waitFor([&] {
        states.clear();
        for (size_t k = mark; k < h.delegate->events.size(); ++k) {
            if (h.delegate->events[k].kind == Ev::State) states.push_back(h.delegate->events[k].state);
        }
        return states.size() >= 2;
    });
    // Each report reads the central's live state, so under load both may already read PoweredOn;
    // what counts is that the loss and the return were both reported.
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states.back(), ManagerState::PoweredOn);

    // The device was connected once, so the restarted service still knows it: same object, connects again.
    const auto retrieved = h.central->retrievePeripheralsWithIdentifiers({kToken});
    ASSERT_EQ(retrieved.size(), 1u);
    EXPECT_EQ(retrieved[0], p);
    ASSERT_TRUE(h.connect(p));
    EXPECT_TRUE(h.discoverGatt(p));
}

}  // namespace
}  // namespace vexa::test
