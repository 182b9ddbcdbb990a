#include "tests/LumoTokenSDK/LumoBluetooth/LinkTestSupport.h"

namespace vexa::test {
namespace {

struct ListAnswer {
    std::optional<LumoCharacteristicList> list;
    OptError error;
};

LumoCharacteristicsCallback recordInto(std::vector<ListAnswer>& out) {
    return [&out](const std::optional<LumoCharacteristicList>& l, const OptError& e) { out.push_back({l, e}); };
}

class LumoServiceTest : public LinkTest {
protected:
    void SetUp() override {
        d = deviceWithServices("DEV-S");
        s = service(d);
        ASSERT_TRUE(s);
    }
    Device d;
    std::shared_ptr<LumoService> s;
};

TEST_F(LumoServiceTest, DiscoveryBuildsWrappersInPlatformOrderAndLooksThemUpByIdentity) {
    EXPECT_EQ(s->UUIDString(), "a63928c5-f337-4181-9412-09b8a6d8826f");
    EXPECT_FALSE(s->characteristics());
    EXPECT_FALSE(s->wrapperByCharacteristic(d.write));  // before any discovery

    std::vector<ListAnswer> answers;
    s->discoverCharacteristicsWithUUIDs(std::vector<BleUUID>{kWriteUUID}, recordInto(answers));
    EXPECT_TRUE(s->isDiscoveringCharacteristics());
    EXPECT_EQ(d.fake->characteristicFilter, std::vector<BleUUID>{kWriteUUID});
    d.fake->answerDiscoverCharacteristics(d.service);
    run();
    EXPECT_FALSE(s->isDiscoveringCharacteristics());
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_TRUE(answers[0].list);
    ASSERT_EQ(answers[0].list->size(), 1u);
    EXPECT_EQ((*answers[0].list)[0]->cbCharacteristic(), d.write);
    EXPECT_EQ(s->wrapperByCharacteristic(d.write), (*answers[0].list)[0]);
    EXPECT_FALSE(s->wrapperByCharacteristic(d.notify));  // not found by this discovery

    // A characteristic of another service is not found, even with the same UUID.
    auto other = d.fake->addService(BleUUID::fromString("180a"));
    auto twin = other->addCharacteristic(kWriteUUID);
    EXPECT_FALSE(s->wrapperByCharacteristic(twin));

    // Unfiltered: both, in the platform's order, as new wrappers.
    auto old = s->wrapperByCharacteristic(d.write);
    s->discoverCharacteristicsWithCompletion(recordInto(answers));
    EXPECT_FALSE(d.fake->characteristicFilter);
    d.fake->answerDiscoverCharacteristics(d.service);
    run();
    ASSERT_EQ(s->characteristics()->size(), 2u);
    EXPECT_EQ((*s->characteristics())[1]->UUIDString(), "5609a734-12c2-49e9-9edd-6eba3fdedc92");
    EXPECT_NE(s->wrapperByCharacteristic(d.write), old);
}

TEST_F(LumoServiceTest, SecondRequestReplacesTheFirstCompletionAndAFailedDiscoveryStillRebuilds) {
    std::vector<ListAnswer> first, second;
    s->discoverCharacteristicsWithCompletion(recordInto(first));
    s->discoverCharacteristicsWithCompletion(recordInto(second));
    EXPECT_EQ(std::count(d.fake->requests.begin(), d.fake->requests.end(), "characteristics"), 2);
    d.fake->answerDiscoverCharacteristics(d.service, platformError(5));
    d.fake->answerDiscoverCharacteristics(d.service);
    run();
    EXPECT_TRUE(first.empty());
    ASSERT_EQ(second.size(), 1u);  // the first answer; the second finds the slot empty
    EXPECT_EQ(second[0].error, platformError(5));
    ASSERT_TRUE(second[0].list);  // failed, yet rebuilt from what the platform lists
    EXPECT_EQ(second[0].list->size(), 2u);
    EXPECT_FALSE(s->isDiscoveringCharacteristics());

    // A discovery started from the completion keeps its own completion.
    std::vector<ListAnswer> chained;
    s->discoverCharacteristicsWithCompletion([&](const std::optional<LumoCharacteristicList>&, const OptError&) {
        s->discoverCharacteristicsWithCompletion(recordInto(chained));
    });
    d.fake->answerDiscoverCharacteristics(d.service);
    run();
    d.fake->answerDiscoverCharacteristics(d.service);
    run();
    EXPECT_EQ(chained.size(), 1u);
}

}  // namespace
}  // namespace vexa::test
