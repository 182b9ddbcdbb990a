#include <chrono>

#include "tests/LumoTokenSDK/LumoBluetooth/LinkTestSupport.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;
using Answers = std::vector<OptError>;

LumoErrorCallback recordInto(Answers& out) {
    return [&out](const OptError& e) { out.push_back(e); };
}
void answerRSSI(FakePeripheral& p, int64_t rssi) {
    p.deliver([rssi](auto& d, const auto& self) { d.peripheralDidReadRSSI(self, rssi, std::nullopt); });
}

class LumoPeripheralTest : public LinkTest {
protected:
    void SetUp() override {
        d = makeDevice("2F1C0D2A-0000-4000-8000-00000000D001");
        d.wrapper = manager->wrapperByPeripheral(d.fake);
    }
    Device d;
    NotificationLog log;
};

TEST_F(LumoPeripheralTest, SecondConnectReplacesTheFirstCompletionAndEveryReportIsAnnounced) {
    EXPECT_EQ(d.fake->delegate(), std::static_pointer_cast<PlatformPeripheralDelegate>(d.wrapper));
    EXPECT_TRUE(d.wrapper->description().ends_with(" UUIDString: 2F1C0D2A-0000-4000-8000-00000000D001"));
    Answers first, second;
    d.wrapper->connectWithCompletion(recordInto(first));
    d.wrapper->connectWithCompletion(recordInto(second));
    EXPECT_EQ(central->connectRequests().size(), 2u);  // no state check: both go to the platform
    central->reportConnect(d.fake);
    run();
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second, Answers{std::nullopt});
    EXPECT_TRUE(d.wrapper->isConnected());
    ASSERT_EQ(log.count(kLumoeripheralDidConnect), 1u);
    EXPECT_EQ(log.entries[0].object, d.wrapper.get());
    EXPECT_TRUE(log.entries[0].nullMarker);
    central->reportConnect(d.fake);  // a later report finds no completion but is still announced
    run();
    EXPECT_EQ(second.size(), 1u);
    EXPECT_EQ(log.count(kLumoeripheralDidConnect), 2u);
}

TEST_F(LumoPeripheralTest, FailedConnectionIsAnsweredAndAnnouncedAndARetryFromTheCompletionKeepsItsOwn) {
    Answers answers, retry;
    d.wrapper->connectWithCompletion([&](const OptError& e) {
        answers.push_back(e);
        d.wrapper->connectWithCompletion(recordInto(retry));
    });
    central->reportFailToConnect(d.fake, platformError(14, "refused"));
    run();
    EXPECT_EQ(answers, Answers{platformError(14, "refused")});
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].name, "LumoPeripheralDidConnect");
    EXPECT_EQ(log.entries[0].error, platformError(14, "refused"));
    EXPECT_FALSE(log.entries[0].nullMarker);
    EXPECT_TRUE(retry.empty());
    central->reportConnect(d.fake);
    run();
    EXPECT_EQ(retry, Answers{std::nullopt});
}

TEST_F(LumoPeripheralTest, RequestedDisconnectIsAnsweredAndNotAnnounced) {
    central->reportConnect(d.fake);
    run();
    Answers answers;
    d.wrapper->disconnectWithCompletion(recordInto(answers));
    ASSERT_EQ(central->cancelRequests().size(), 1u);
    central->reportDisconnect(d.fake, platformError(22));
    run();
    EXPECT_EQ(answers, Answers{platformError(22)});
    EXPECT_EQ(log.count(kLumoPeripheralDidDisconnect), 0u);
    // An unrequested one is announced, with the null marker when the platform gives no error.
    central->reportDisconnect(d.fake);
    run();
    EXPECT_EQ(answers.size(), 1u);
    ASSERT_EQ(log.count(kLumoPeripheralDidDisconnect), 1u);
    EXPECT_EQ(log.entries.back().object, d.wrapper.get());
    EXPECT_TRUE(log.entries.back().nullMarker);
}

TEST_F(LumoPeripheralTest, NotConnectedAnswers409AtOnceAndAsksThePlatformNothing) {
    std::vector<OptError> errors;
    d.wrapper->discoverServices(std::vector<BleUUID>{kServiceUUID}, [&](const auto& l, const OptError& e) { errors.push_back(l ? std::nullopt : e); });
    d.wrapper->discoverServicesWithCompletion(nullptr);  // no completion: nothing at all
    d.wrapper->readRSSIValueCompletion([&](const auto& v, const OptError& e) { errors.push_back(v ? std::nullopt : e); });
    const Error notConnected{"org.vexatokenkit.LumoPeripheral", kConnectionMissingErrorCode, "BLE Device is not connected"};
    EXPECT_EQ(errors, (std::vector<OptError>{notConnected, notConnected}));  // within the calls
    EXPECT_TRUE(d.fake->requests.empty());
    EXPECT_FALSE(d.wrapper->isDiscoveringServices());
    run();
    EXPECT_EQ(errors.size(), 2u);
}

TEST_F(LumoPeripheralTest, ConnectedDiscoveryAndRSSIGoToThePlatform) {
    central->reportConnect(d.fake);
    run();
    std::vector<std::optional<LumoServiceList>> first, second;
    d.wrapper->discoverServices(std::vector<BleUUID>{kServiceUUID}, [&](const auto& l, const OptError&) { first.push_back(l); });
    d.wrapper->discoverServicesWithCompletion([&](const auto& l, const OptError&) { second.push_back(l); });
    EXPECT_TRUE(d.wrapper->isDiscoveringServices());
    EXPECT_FALSE(d.fake->serviceFilter);
    d.fake->answerDiscoverServices();
    run();
    EXPECT_FALSE(d.wrapper->isDiscoveringServices());
    EXPECT_TRUE(first.empty());
    ASSERT_TRUE(second.size() == 1u && second[0] && second[0]->size() == 1u);
    EXPECT_EQ((*second[0])[0]->cbService(), d.service);
    EXPECT_EQ(d.wrapper->wrapperByService(d.service), (*second[0])[0]);

    d.wrapper->setRSSI(-55);
    std::vector<std::optional<int64_t>> rssi;
    d.wrapper->readRSSIValueCompletion([&](const std::optional<int64_t>& v, const OptError&) { rssi.push_back(v); });
    EXPECT_EQ(d.fake->requests.back(), "rssi");
    answerRSSI(*d.fake, -71);
    answerRSSI(*d.fake, -72);  // no completion left
    run();
    EXPECT_EQ(rssi, std::vector<std::optional<int64_t>>{-71});
    EXPECT_EQ(d.wrapper->RSSI(), -55);  // the reading does not touch the smoothed value
}

TEST_F(LumoPeripheralTest, WatchdogCancelsAndReports408OnceTheDisconnectionIsReported) {
    Answers answers;
    d.wrapper->connectWithTimeout(5, recordInto(answers));
    main.runFor(4900ms);
    EXPECT_FALSE(d.wrapper->watchDogRaised());
    EXPECT_TRUE(central->cancelRequests().empty());
    main.runFor(200ms);
    EXPECT_TRUE(d.wrapper->watchDogRaised());
    ASSERT_EQ(central->cancelRequests().size(), 1u);
    EXPECT_TRUE(answers.empty());  // only once the platform reports the disconnection
    central->reportDisconnect(d.fake);
    run();
    const Error timedOut{kLumoPeripheralErrorDomain, kConnectionTimeoutErrorCode, "BLE Device can't be connected by given interval"};
    EXPECT_EQ(answers, Answers{timedOut});
    EXPECT_EQ(log.count(kLumoPeripheralDidDisconnect), 0u);
    d.wrapper->connectWithCompletion(nullptr);  // a new connect request lowers the flag again
    EXPECT_FALSE(d.wrapper->watchDogRaised());
}

TEST_F(LumoPeripheralTest, ConnectionBetweenWatchdogAndDisconnectionReportWins) {
    Answers answers;
    d.wrapper->connectWithTimeout(3, recordInto(answers));
    main.runFor(4s);
    ASSERT_TRUE(d.wrapper->watchDogRaised());
    central->reportConnect(d.fake);
    run();
    central->reportDisconnect(d.fake);  // the one the watchdog asked for
    run();
    EXPECT_EQ(answers, Answers{std::nullopt});
    EXPECT_EQ(log.count(kLumoPeripheralDidDisconnect), 0u);
    EXPECT_EQ(log.count(kLumoeripheralDidConnect), 1u);
}

TEST_F(LumoPeripheralTest, ConnectionInTimeCancelsEveryWatchdog) {
    Answers answers;
    d.wrapper->connectWithTimeout(5, recordInto(answers));
    d.wrapper->connectWithTimeout(8, recordInto(answers));  // the first watchdog stays armed
    central->reportConnect(d.fake);
    run();
    main.runFor(20s);
    EXPECT_FALSE(d.wrapper->watchDogRaised());
    EXPECT_TRUE(central->cancelRequests().empty());
    EXPECT_EQ(answers.size(), 1u);
}

TEST_F(LumoPeripheralTest, AnswersForReplacedServicesAreDropped) {
    d = connectedDevice("DEV-2");
    auto oldService = service(d);
    auto oldNotify = wrapperOf(d, d.notify);
    int oldCalls = 0;
    oldNotify->setUpdateCallback([&](const std::optional<Bytes>&, const OptError&) { ++oldCalls; });
    oldNotify->setNotifyValue(true, [&](const OptError&) { ++oldCalls; }, [&](const std::optional<Bytes>&, const OptError&) { ++oldCalls; });
    d.fake->answerNotify(d.notify);
    d.fake->notify(d.notify, {0x00});
    run();
    ASSERT_EQ(oldCalls, 2);
    oldCalls = 0;

    // The service's characteristics found again: values go to the new wrapper, not the last one used.
    service(d)->discoverCharacteristicsWithCompletion(nullptr);
    d.fake->answerDiscoverCharacteristics(d.service);
    run();
    auto newNotify = wrapperOf(d, d.notify);
    ASSERT_NE(newNotify, oldNotify);
    int newCalls = 0;
    newNotify->setUpdateCallback([&](const std::optional<Bytes>&, const OptError&) { ++newCalls; });
    d.fake->notify(d.notify, {0x00});
    run();
    EXPECT_EQ(newCalls, 1);
    EXPECT_EQ(oldCalls, 0);
    oldNotify = newNotify;
    oldNotify->setUpdateCallback([&](const std::optional<Bytes>&, const OptError&) { ++oldCalls; });

    // Rediscovery: new service wrappers without characteristics yet; the old ones are not reached.
    d.wrapper->discoverServicesWithCompletion(nullptr);
    d.fake->answerDiscoverServices();
    run();
    EXPECT_NE(service(d), oldService);
    d.fake->notify(d.notify, {0x01});
    d.fake->answerNotify(d.notify);
    run();
    EXPECT_EQ(oldCalls, 0);

    // A discovery that no longer lists the service drops its characteristic answers too.
    d.wrapper->discoverServices(std::vector<BleUUID>{BleUUID::fromString("180f")}, nullptr);
    d.fake->answerDiscoverServices();
    run();
    ASSERT_TRUE(d.wrapper->services() && d.wrapper->services()->empty());
    d.fake->answerDiscoverCharacteristics(d.service);
    d.fake->notify(d.notify, {0x02});
    run();
    EXPECT_EQ(oldCalls, 0);
}

TEST_F(LumoPeripheralTest, CallbacksForAWrapperThatIsGoneAreDropped) {
    // The platform calls back on its own loop here, so the wrapper can go between the platform
    // callback and the main-queue work it posted.
    auto platformLoop = std::make_shared<RunLoop>(main.clock);
    auto fake = std::make_shared<FakePeripheral>("LONE", std::nullopt, platformLoop);
    fake->setState(PeripheralState::Connected);
    auto lone = LumoPeripheral::create(fake, manager);
    int calls = 0;
    lone->readRSSIValueCompletion([&](const std::optional<int64_t>&, const OptError&) { ++calls; });
    answerRSSI(*fake, -40);
    EXPECT_EQ(platformLoop->runUntilIdle(), 1u);
    std::weak_ptr<LumoPeripheral> weak = lone;
    lone.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(run(), 1u);  // the hop ran and found nobody
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace vexa::test
