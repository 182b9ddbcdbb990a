// Connecting, cancelling, connection faults and link loss on the simulated radio.
#include "tests/Backends/Simulated/SimStackFixture.h"

namespace vexa::test {
namespace {

using ConnectionTest = SimDeviceTest;

TEST_F(ConnectionTest, ConnectTakesTheConnectionDelayAndTellsBothSides) {
    radio->setLinkTiming(LinkTiming{.connection = 30ms});
    int ups = 0;
    t.device->setConnectedHandler([&] { ++ups; });
    auto p = find(t.device);
    const Duration start = main.now();
    central->connectPeripheral(p);
    central->connectPeripheral(p);  // a second request while pending adds nothing
    EXPECT_EQ(p->state(), PeripheralState::Disconnected);  // nothing happens inside the call
    ASSERT_TRUE(runUntilCount(Ev::Connect, 1));
    EXPECT_EQ(rec->of(Ev::Connect)[0].at - start, 30ms);
    EXPECT_EQ(p->state(), PeripheralState::Connected);
    EXPECT_TRUE(t.device->isConnected());
    EXPECT_EQ(ups, 1);
    main.runFor(1s);
    EXPECT_EQ(rec->count(Ev::Connect), 1u);

    t.device->setLinkTiming(LinkTiming{.connection = 5ms});  // the device's own timing wins
    central->connectPeripheral(p);  // already connected: answered again
    ASSERT_TRUE(runUntilCount(Ev::Connect, 2));
    EXPECT_EQ(ups, 1);

    // The central cancels: disconnect without error, device told without a reason.
    OptError reason = Error{};
    t.device->setDisconnectedHandler([&](const OptError& r) { reason = r; });
    central->cancelPeripheralConnection(p);
    ASSERT_TRUE(runUntilCount(Ev::Disconnect, 1));
    EXPECT_FALSE(rec->of(Ev::Disconnect)[0].error);
    EXPECT_FALSE(reason);
    EXPECT_FALSE(t.device->isConnected());
    central->cancelPeripheralConnection(p);  // nothing left to cancel
    main.runFor(1s);
    EXPECT_EQ(rec->count(Ev::Disconnect), 1u);
}

TEST_F(ConnectionTest, RefusedAndIgnoredConnectionsAndCancellingAPendingOne) {
    radio->setLinkTiming(LinkTiming{.connection = 20ms});
    auto p = find(t.device);
    t.device->faults().refuseConnections(testError(42), 2);
    t.device->faults().ignoreConnections();

    for (size_t i = 1; i <= 2; ++i) {
        const Duration start = main.now();
        central->connectPeripheral(p);
        ASSERT_TRUE(runUntilCount(Ev::FailConnect, i));
        EXPECT_EQ(rec->of(Ev::FailConnect)[i - 1].error, testError(42));
        EXPECT_EQ(rec->of(Ev::FailConnect)[i - 1].at - start, 20ms);
        EXPECT_EQ(p->state(), PeripheralState::Disconnected);
    }
    central->connectPeripheral(p);  // ignored: never answered
    main.runFor(60s);
    EXPECT_EQ(p->state(), PeripheralState::Connecting);
    EXPECT_EQ(rec->count(Ev::Connect), 0u);
    central->cancelPeripheralConnection(p);
    ASSERT_TRUE(runUntilCount(Ev::Disconnect, 1));
    EXPECT_FALSE(rec->of(Ev::Disconnect)[0].error);

    // Cancelling a connect that would have succeeded: the disconnect only, never a connect.
    central->connectPeripheral(p);
    main.runFor(10ms);
    central->cancelPeripheralConnection(p);
    main.runFor(1s);
    EXPECT_EQ(rec->count(Ev::Connect), 0u);
    EXPECT_EQ(rec->count(Ev::Disconnect), 2u);
    EXPECT_FALSE(t.device->isConnected());
    EXPECT_TRUE(t.device->faults().empty());
    central->connectPeripheral(p);
    EXPECT_TRUE(runUntilCount(Ev::Connect, 1));
}

TEST_F(ConnectionTest, DeviceTakesOneCentralAtATime) {
    connect(t.device);
    auto rec2 = std::make_shared<PlatformRecorder>(main.loop);
    auto central2 = radio->createCentral(rec2, main.loop);
    auto p2 = central2->retrievePeripheralsWithIdentifiers({t.device->identifier()}).at(0);
    central2->connectPeripheral(p2);
    ASSERT_TRUE(main.runUntil([&] { return rec2->count(Ev::FailConnect) == 1; }));
    EXPECT_EQ(rec2->of(Ev::FailConnect)[0].error->code, int64_t(SimulatedBleError::ConnectionFailed));
    // Objects of one central are refused by another.
    auto p1 = central->retrievePeripheralsWithIdentifiers({t.device->identifier()}).at(0);
    central2->connectPeripheral(p1);
    ASSERT_TRUE(main.runUntil([&] { return rec2->count(Ev::FailConnect) == 2; }));
    EXPECT_EQ(rec2->of(Ev::FailConnect)[1].error->code, int64_t(SimulatedBleError::InvalidParameters));
    central2->cancelPeripheralConnection(p1);  // not its object: ignored
    main.runFor(1s);
    EXPECT_TRUE(t.device->isConnected());
}

TEST_F(ConnectionTest, DeviceSideDisconnectAbortsQueuedRequestsAfterTheDisconnect) {
    auto g = open(t.device);
    t.device->setLinkTiming(LinkTiming{.writeWithResponse = 10ms});
    OptError reason;
    t.device->setDisconnectedHandler([&](const OptError& r) { reason = r; });
    for (int i = 0; i < 3; ++i) g.peripheral->writeValue(Bytes{uint8_t(i)}, g.write, WriteType::WithResponse);
    g.peripheral->readValue(g.notify);
    main.runFor(15ms);  // the first write is through
    t.device->disconnect(testError(9));
    run();
    auto kinds = rec->kinds();
    const std::vector<Ev> expected{Ev::Write, Ev::Disconnect, Ev::Write, Ev::Write, Ev::Value};
    EXPECT_EQ(kinds, expected);
    auto events = rec->events;
    EXPECT_FALSE(events[0].error);
    EXPECT_EQ(events[1].error, testError(9));
    for (int i : {2, 3, 4}) EXPECT_EQ(events[i].error->code, int64_t(SimulatedBleError::RequestAborted));
    EXPECT_EQ(reason, testError(9));
    EXPECT_EQ(t.received.size(), 1u);
    EXPECT_FALSE(g.notify->isNotifying());
    EXPECT_FALSE(t.notify->isSubscribed());
    EXPECT_FALSE(t.device->notify(t.notify, {1}));

    // Requests on a disconnected peripheral are answered with an error, never inside the call.
    rec->clear();
    g.peripheral->writeValue({1}, g.write, WriteType::WithResponse);
    g.peripheral->writeValue({1}, g.write, WriteType::WithoutResponse);  // no answer at all
    g.peripheral->discoverServices(std::nullopt);
    g.peripheral->discoverCharacteristics(std::nullopt, g.service);
    g.peripheral->setNotifyValue(true, g.notify);
    g.peripheral->readRSSI();
    EXPECT_TRUE(rec->events.empty());
    run();
    EXPECT_EQ(rec->kinds(), (std::vector<Ev>{Ev::Write, Ev::Services, Ev::Characteristics, Ev::NotifyState, Ev::Rssi}));
    for (auto& e : rec->events) EXPECT_EQ(e.error->code, int64_t(SimulatedBleError::NotConnected));
    t.device->disconnect();  // not connected: nothing
    run();
    EXPECT_EQ(rec->count(Ev::Disconnect), 0u);
}

TEST_F(ConnectionTest, CallbacksForAGoneDelegateAreDropped) {
    auto g = open(t.device);
    auto weak = std::weak_ptr<PlatformRecorder>(rec);
    g.peripheral->readValue(g.notify);
    t.device->notify(t.notify, {1, 2});
    rec.reset();  // the only owner goes before the callbacks run
    run();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(g.notify->value(), (Bytes{1, 2}));  // the value is still published
}

}  // namespace
}  // namespace vexa::test
