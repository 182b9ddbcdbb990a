// Discovery, reads, writes, notifications, link timing and the GATT faults of the simulated radio.
#include "tests/Backends/Simulated/SimStackFixture.h"

namespace vexa::test {
namespace {

using GattTest = SimDeviceTest;

TEST_F(GattTest, DiscoveryFiltersTakesTheDelayAndKeepsObjects) {
    radio->setLinkTiming(LinkTiming{.discovery = 7ms});
    auto p = connect(t.device);
    EXPECT_TRUE(p->services().empty());
    Duration start = main.now();
    p->discoverServices(std::nullopt);
    ASSERT_TRUE(runUntilCount(Ev::Services, 1));
    EXPECT_EQ(rec->of(Ev::Services)[0].at - start, 7ms);
    auto all = p->services();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]->uuid(), kServiceUUID);
    EXPECT_EQ(all[1]->uuid(), kInfoUUID);
    EXPECT_TRUE(all[0]->characteristics().empty());

    p->discoverServices(std::vector<BleUUID>{kInfoUUID});
    ASSERT_TRUE(runUntilCount(Ev::Services, 2));
    ASSERT_EQ(p->services().size(), 1u);
    EXPECT_EQ(p->services()[0], all[1]);  // same object for the same service

    p->discoverCharacteristics(std::vector<BleUUID>{kNotifyUUID}, all[0]);
    p->discoverCharacteristics(std::nullopt, all[0]);  // queued behind the first
    start = main.now();
    ASSERT_TRUE(runUntilCount(Ev::Characteristics, 2));
    auto chars = rec->of(Ev::Characteristics);
    EXPECT_EQ(chars[0].at - start, 7ms);
    EXPECT_EQ(chars[1].at - start, 14ms);
    EXPECT_EQ(chars[0].service, all[0]);
    auto list = all[0]->characteristics();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->uuid(), kWriteUUID);
    EXPECT_EQ(list[1]->uuid(), kNotifyUUID);
    EXPECT_EQ(list[0]->properties(), uint32_t(kPropertyWrite | kPropertyWriteWithoutResponse));

    // A service object of another peripheral is refused.
    TestDevice other("Other");
    radio->addPeripheral(other.device);
    auto q = connect(other.device);
    q->discoverCharacteristics(std::nullopt, all[0]);
    ASSERT_TRUE(runUntilCount(Ev::Characteristics, 3));
    EXPECT_EQ(rec->of(Ev::Characteristics)[2].error->code, int64_t(SimulatedBleError::InvalidParameters));
}

TEST_F(GattTest, WritesTakeTheirTurnAndANotificationWaitsBehindThem) {
    auto g = open(t.device);
    radio->setLinkTiming(LinkTiming{.writeWithResponse = 10ms, .writeWithoutResponse = 3ms, .notification = 4ms});
    const Duration start = main.now();
    for (uint8_t i = 0; i < 5; ++i) g.peripheral->writeValue(Bytes{i}, g.write, WriteType::WithResponse);
    g.peripheral->writeValue(Bytes{9}, g.write, WriteType::WithoutResponse);
    main.runUntilIdle();  // the requests reach the link
    EXPECT_TRUE(t.device->notify(t.notify, {0xAA}));
    main.runFor(1s);
    auto writes = rec->of(Ev::Write);
    ASSERT_EQ(writes.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(writes[i].at - start, 10ms * (i + 1)) << i;
        EXPECT_FALSE(writes[i].error);
    }
    EXPECT_EQ(t.received, (std::vector<Bytes>{{0}, {1}, {2}, {3}, {4}, {9}}));
    auto values = rec->of(Ev::Value);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].value, Bytes{0xAA});
    EXPECT_EQ(values[0].at - start, 57ms);  // 5 x 10 + 3 + 4
    EXPECT_EQ(values[0].characteristic, g.notify);
}

TEST_F(GattTest, ReplyNotifiedFromTheWriteHandlerFollowsTheWriteAnswer) {
    auto g = open(t.device);
    t.write->setWriteHandler([&](const Bytes& v, WriteType) {
        for (uint8_t b : v) t.device->notify(t.notify, {uint8_t(b + 1)});
        return OptError{};
    });
    g.peripheral->writeValue({1, 2}, g.write, WriteType::WithResponse);
    g.peripheral->writeValue({5}, g.write, WriteType::WithResponse);
    run();
    EXPECT_EQ(rec->kinds(), (std::vector<Ev>{Ev::Write, Ev::Value, Ev::Value, Ev::Write, Ev::Value}));
    auto values = rec->of(Ev::Value);
    EXPECT_EQ(values[0].value, Bytes{2});  // each callback sees its own value
    EXPECT_EQ(values[1].value, Bytes{3});
    EXPECT_EQ(values[2].value, Bytes{6});
    EXPECT_EQ(g.notify->value(), Bytes{6});

    // A device notifying from one buffer gets it back empty: a spare the central is done with.
    Bytes buffer{9, 9};
    ASSERT_TRUE(t.device->notifyReusing(t.notify, buffer));
    run();
    buffer.push_back(8);
    ASSERT_TRUE(t.device->notifyReusing(t.notify, buffer));
    EXPECT_TRUE(buffer.empty());
    EXPECT_GT(buffer.capacity(), 0u);
    run();
    EXPECT_EQ(g.notify->value(), Bytes{8});

    // Notifications queued one behind another go with the link when it drops between them.
    radio->setTrafficObserver([&](const TrafficRecord& r) {
        if (r.kind == TrafficKind::Notification) t.device->disconnect();
    });
    g.peripheral->writeValue({7, 8, 9}, g.write, WriteType::WithResponse);
    run();
    EXPECT_EQ(rec->count(Ev::Value), 6u);
}

// Counts the values it hears and runs `onValue` on each.
struct ValueCounter final : PlatformPeripheralDelegate {
    using P = std::shared_ptr<PlatformPeripheral>;
    using C = std::shared_ptr<PlatformCharacteristic>;
    std::function<void()> onValue;
    int values = 0;
    void peripheralDidUpdateValueForCharacteristic(const P&, const C&, const OptError&) override {
        ++values;
        if (onValue) onValue();
    }
    void peripheralDidDiscoverServices(const P&, const OptError&) override {}
    void peripheralDidDiscoverCharacteristicsForService(const P&, const std::shared_ptr<PlatformService>&, const OptError&) override {}
    void peripheralDidUpdateNotificationStateForCharacteristic(const P&, const C&, const OptError&) override {}
    void peripheralDidWriteValueForCharacteristic(const P&, const C&, const OptError&) override {}
    void peripheralDidReadRSSI(const P&, int64_t, const OptError&) override {}
};

TEST_F(GattTest, EachValueOfARunReachesTheDelegateOfItsMoment) {
    auto g = open(t.device);
    t.write->setWriteHandler([&](const Bytes& v, WriteType) {
        for (uint8_t b : v) t.device->notify(t.notify, {b});
        return OptError{};
    });
    // Replaced on the first value of three: the other two go to the new delegate.
    auto first = std::make_shared<ValueCounter>();
    first->onValue = [&] { g.peripheral->setDelegate(rec); };
    g.peripheral->setDelegate(first);
    g.peripheral->writeValue({1, 2, 3}, g.write, WriteType::WithResponse);
    run();
    EXPECT_EQ(first->values, 1);
    EXPECT_EQ(rec->count(Ev::Value), 2u);
    // Let go by its owner on the first value: nothing more reaches it.
    auto dropped = std::make_shared<ValueCounter>();
    std::weak_ptr<ValueCounter> watch = dropped;
    int heard = 0;
    dropped->onValue = [&] {
        ++heard;
        dropped.reset();
    };
    g.peripheral->setDelegate(dropped);
    g.peripheral->writeValue({4, 5, 6}, g.write, WriteType::WithResponse);
    run();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(rec->count(Ev::Value), 2u);
}

TEST_F(GattTest, CharacteristicsEnforcePropertiesAndLengths) {
    auto g = open(t.device);
    EXPECT_EQ(g.peripheral->maximumWriteValueLength(WriteType::WithoutResponse), 182u);
    EXPECT_EQ(g.peripheral->maximumWriteValueLength(WriteType::WithResponse), 512u);
    t.device->setMaximumWriteValueLength(WriteType::WithoutResponse, 20);
    t.device->setMaximumWriteValueLength(WriteType::WithResponse, 30);
    EXPECT_EQ(g.peripheral->maximumWriteValueLength(WriteType::WithoutResponse), 20u);

    g.peripheral->writeValue(Bytes(30, 1), g.write, WriteType::WithResponse);  // fits
    g.peripheral->writeValue(Bytes(31, 2), g.write, WriteType::WithResponse);  // too long
    g.peripheral->writeValue(Bytes(21, 3), g.write, WriteType::WithoutResponse);  // too long: dropped
    g.peripheral->writeValue(Bytes{4}, g.notify, WriteType::WithResponse);       // not writable
    g.peripheral->writeValue(Bytes{5}, g.notify, WriteType::WithoutResponse);    // not writable: dropped
    g.peripheral->readValue(g.write);                                           // not readable
    g.peripheral->setNotifyValue(true, g.write);                                // cannot notify
    run();
    EXPECT_EQ(t.received, std::vector<Bytes>{Bytes(30, 1)});
    auto writes = rec->of(Ev::Write);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_FALSE(writes[0].error);
    EXPECT_EQ(*writes[1].error, simulatedError(SimulatedAttError::InvalidAttributeValueLength));
    EXPECT_EQ(*writes[2].error, simulatedError(SimulatedAttError::WriteNotPermitted));
    EXPECT_EQ(writes[2].characteristic, g.notify);
    ASSERT_EQ(rec->count(Ev::Value), 1u);
    EXPECT_EQ(*rec->of(Ev::Value)[0].error, simulatedError(SimulatedAttError::ReadNotPermitted));
    ASSERT_EQ(rec->count(Ev::NotifyState), 1u);
    EXPECT_EQ(*rec->of(Ev::NotifyState)[0].error, simulatedError(SimulatedAttError::RequestNotSupported));
    EXPECT_FALSE(g.write->isNotifying());
}

TEST_F(GattTest, ReadsSubscriptionsAndRssi) {
    auto g = open(t.device);
    g.peripheral->discoverServices(std::vector<BleUUID>{kInfoUUID});
    ASSERT_TRUE(runUntilCount(Ev::Services, 1));
    auto infoService = g.peripheral->services().at(0);
    g.peripheral->discoverCharacteristics(std::nullopt, infoService);
    ASSERT_TRUE(runUntilCount(Ev::Characteristics, 1));
    auto info = infoService->characteristics().at(0);
    g.peripheral->readValue(info);
    run();
    int reads = 0;
    t.info->setReadHandler([&]() -> std::variant<Bytes, Error> {
        if (++reads == 2) return testError(5);
        return bytesOf("v" + std::to_string(reads));
    });
    g.peripheral->readValue(info);
    g.peripheral->readValue(info);
    run();
    auto values = rec->of(Ev::Value);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].value, bytesOf("Vexa"));
    EXPECT_EQ(values[1].value, bytesOf("v1"));
    EXPECT_EQ(values[2].error, testError(5));
    EXPECT_EQ(info->value(), bytesOf("v1"));  // a failed read leaves the value

    // The device may refuse a subscription change; unsubscribing stops notifications.
    rec->clear();
    std::vector<bool> asked;
    t.notify->setSubscribeHandler([&](bool on) -> OptError {
        asked.push_back(on);
        return on ? OptError{} : OptError{testError(6)};
    });
    g.peripheral->setNotifyValue(false, g.notify);
    run();
    EXPECT_EQ(rec->of(Ev::NotifyState).at(0).error, testError(6));
    EXPECT_TRUE(g.notify->isNotifying());
    EXPECT_TRUE(t.notify->isSubscribed());
    t.notify->setSubscribeHandler(nullptr);
    EXPECT_TRUE(t.device->notify(t.notify, {1}));  // queued before the change below
    g.peripheral->setNotifyValue(false, g.notify);
    run();
    EXPECT_FALSE(g.notify->isNotifying());
    EXPECT_FALSE(t.device->notify(t.notify, {2}));
    EXPECT_EQ(rec->count(Ev::Value), 1u);
    EXPECT_EQ(asked, std::vector<bool>{false});
    // The handler may send at once: the value follows the subscription answer.
    t.notify->setSubscribeHandler([&](bool on) {
        if (on) t.device->notify(t.notify, {3});
        return OptError{};
    });
    rec->clear();
    g.peripheral->setNotifyValue(true, g.notify);
    run();
    EXPECT_EQ(rec->kinds(), (std::vector<Ev>{Ev::NotifyState, Ev::Value}));
    EXPECT_EQ(g.notify->value(), Bytes{3});
    // Values on their way when the subscription ends are not delivered.
    t.write->setWriteHandler([&](const Bytes&, WriteType) {
        EXPECT_TRUE(t.device->notify(t.notify, {4}));
        EXPECT_TRUE(t.device->notify(t.notify, {5}));
        t.notify->resetSubscription();
        return OptError{};
    });
    g.peripheral->writeValue({1}, g.write, WriteType::WithResponse);
    run();
    EXPECT_EQ(rec->count(Ev::Value), 1u);
    EXPECT_EQ(rec->count(Ev::Write), 1u);

    t.device->setRssiSource([] { return -71; });
    g.peripheral->readRSSI();
    run();
    ASSERT_EQ(rec->count(Ev::Rssi), 1u);
    EXPECT_EQ(rec->of(Ev::Rssi)[0].rssi, -71);
    EXPECT_FALSE(rec->of(Ev::Rssi)[0].error);
}

TEST_F(GattTest, WriteFaultsFailTheChosenWriteAndDropTheLinkAfterN) {
    auto g = open(t.device);
    t.device->faults().failWrite(testError(3), 2);
    for (uint8_t i = 1; i <= 3; ++i) g.peripheral->writeValue(Bytes{i}, g.write, WriteType::WithResponse);
    run();
    auto writes = rec->of(Ev::Write);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_FALSE(writes[0].error);
    EXPECT_EQ(writes[1].error, testError(3));
    EXPECT_FALSE(writes[2].error);
    EXPECT_EQ(t.received, (std::vector<Bytes>{{1}, {3}}));  // the failed one never reached the device

    rec->clear();
    t.device->faults().failWrite(testError(4));
    t.device->faults().disconnectAfterWrites(2, testError(8));
    t.device->setLinkTiming(LinkTiming{.writeWithResponse = 1ms});  // all three wait on the link
    for (uint8_t i = 4; i <= 6; ++i) g.peripheral->writeValue(Bytes{i}, g.write, WriteType::WithResponse);
    main.runFor(1s);
    EXPECT_EQ(rec->kinds(), (std::vector<Ev>{Ev::Write, Ev::Write, Ev::Disconnect, Ev::Write}));
    auto events = rec->events;
    EXPECT_EQ(events[0].error, testError(4));
    EXPECT_FALSE(events[1].error);
    EXPECT_EQ(events[2].error, testError(8));
    EXPECT_EQ(events[3].error->code, int64_t(SimulatedBleError::RequestAborted));
    EXPECT_EQ(t.received.back(), Bytes{5});
    EXPECT_FALSE(t.device->isConnected());
}

TEST_F(GattTest, ABatchTakesATurnPerValueAndIsAnsweredOnceAtItsEndOrFirstFailure) {
    auto g = open(t.device);
    t.device->setLinkTiming(LinkTiming{.writeWithResponse = 10ms});
    auto write = [&](std::vector<Bytes> values) {
        rec->clear();
        t.received.clear();
        WriteBatch batch;
        for (const Bytes& v : values) batch.add(v);
        EXPECT_TRUE(g.peripheral->writeValues(batch, g.write));
        EXPECT_TRUE(batch.empty());
        main.runFor(1s);
    };
    const Duration start = main.now();
    write({{1}, {2, 2}, {3}});
    ASSERT_EQ(rec->kinds(), std::vector<Ev>{Ev::Write});
    EXPECT_FALSE(rec->events[0].error);
    EXPECT_EQ(rec->events[0].at - start, 30ms);
    EXPECT_EQ(t.received, (std::vector<Bytes>{{1}, {2, 2}, {3}}));

    t.device->faults().failWrite(testError(3), 2);
    write({{4}, {5}, {6}});
    ASSERT_EQ(rec->kinds(), std::vector<Ev>{Ev::Write});
    EXPECT_EQ(rec->events[0].error, testError(3));
    EXPECT_EQ(t.received, std::vector<Bytes>{{4}});  // nothing after the failed value

    // Free values on an idle link: what one notifies arrives before the next is written.
    t.device->setLinkTiming(LinkTiming{});
    t.write->setWriteHandler([&](const Bytes& v, WriteType) {
        t.received.push_back(v);
        return t.device->notify(t.notify, v) ? OptError{} : OptError(testError(1));
    });
    write({{1}, {2}});
    EXPECT_EQ(rec->kinds(), (std::vector<Ev>{Ev::Value, Ev::Write, Ev::Value}));

    t.device->faults().disconnectAfterWrites(1, testError(8));
    write({{7}, {8}});
    EXPECT_EQ(rec->kinds(), (std::vector<Ev>{Ev::Disconnect, Ev::Write}));
    EXPECT_EQ(rec->events[1].error->code, int64_t(SimulatedBleError::RequestAborted));
    EXPECT_EQ(t.received, std::vector<Bytes>{{7}});
}

TEST_F(GattTest, NotificationFaultsDropDuplicateSwapAndCorrupt) {
    auto g = open(t.device);
    auto& faults = t.device->faults();
    faults.dropNotification();
    faults.duplicateNotification();
    faults.swapNotifications();
    faults.corruptNotification(1);
    faults.corruptNotification();
    faults.corruptNotification(99);
    for (uint8_t i = 1; i <= 8; ++i) t.device->notify(t.notify, {i, i, i});
    run();
    std::vector<Bytes> got;
    for (auto& e : rec->of(Ev::Value)) got.push_back(e.value);
    const std::vector<Bytes> expected{
        {2, 2, 2}, {2, 2, 2},                     // 1 dropped, 2 duplicated
        {4, 0xFB, 4}, {3, 3, 3},                  // 3 and 4 swapped; 4 corrupt at byte 1
        {5, 5, 0xFA}, {6, 6, 0xF9},               // corrupt: the last byte by default and past the end
        {7, 7, 7}, {8, 8, 8}};
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(faults.empty());

    // A notification held for a swap is lost with the link.
    faults.swapNotifications();
    t.device->notify(t.notify, {1});
    run();
    t.device->disconnect();
    run();
    EXPECT_EQ(rec->count(Ev::Value), 8u);
}

TEST_F(GattTest, TrafficObserverSeesWhatCrossesTheLinkInOrder) {
    std::vector<TrafficRecord> seen;
    radio->setTrafficObserver([&](const TrafficRecord& r) { seen.push_back(r); });
    auto g = open(t.device);
    t.write->setWriteHandler([&](const Bytes&, WriteType type) {
        if (type == WriteType::WithResponse) t.device->notify(t.notify, {0x10});
        return OptError{};
    });
    t.device->faults().failWrite(testError(1), 2);
    t.device->faults().dropNotification();
    g.peripheral->writeValue({1}, g.write, WriteType::WithResponse);
    g.peripheral->writeValue({2}, g.write, WriteType::WithResponse);  // fails: not seen
    g.peripheral->writeValue({3}, g.write, WriteType::WithoutResponse);
    run();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].kind, TrafficKind::WriteWithResponse);
    EXPECT_TRUE(seen[0].fromCentral());
    EXPECT_EQ(seen[0].bytes, Bytes{1});
    EXPECT_EQ(seen[0].peripheralIdentifier, t.device->identifier());
    EXPECT_EQ(seen[0].characteristic, kWriteUUID);
    EXPECT_EQ(seen[1].kind, TrafficKind::Notification);  // sent, although the fault dropped it
    EXPECT_FALSE(seen[1].fromCentral());
    EXPECT_EQ(seen[1].characteristic, kNotifyUUID);
    EXPECT_EQ(seen[2].kind, TrafficKind::WriteWithoutResponse);
    EXPECT_EQ(rec->count(Ev::Value), 0u);
}

}  // namespace
}  // namespace vexa::test
