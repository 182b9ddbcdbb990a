#include "tests/LumoTokenSDK/LumoBluetooth/LinkTestSupport.h"

namespace vexa::test {
namespace {

using Answers = std::vector<OptError>;
using Values = std::vector<std::pair<std::optional<Bytes>, OptError>>;

LumoErrorCallback recordInto(Answers& out) {
    return [&out](const OptError& e) { out.push_back(e); };
}
LumoDataCallback recordInto(Values& out) {
    return [&out](const std::optional<Bytes>& v, const OptError& e) { out.emplace_back(v, e); };
}

class LumoCharacteristicTest : public LinkTest {
protected:
    void SetUp() override {
        d = connectedDevice("DEV-1");
        w = wrapperOf(d, d.write);
        n = wrapperOf(d, d.notify);
        ASSERT_TRUE(w && n);
    }
    Device d;
    std::shared_ptr<LumoCharacteristic> w, n;
};

TEST_F(LumoCharacteristicTest, WritesWithResponseCompleteInRequestOrder) {
    Answers first, second, third;
    w->writeValue({0x01, 0x02}, recordInto(first));
    w->writeValue({0x03}, recordInto(second));
    EXPECT_EQ(d.fake->writesTo(d.write), (std::vector<Bytes>{{0x01, 0x02}, {0x03}}));
    EXPECT_EQ(w->writeOperationStack().size(), 2u);

    d.fake->answerWrite(d.write);
    d.fake->answerWrite(d.write, platformError(7));
    run();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_FALSE(first[0]);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0], platformError(7));

    // An answer with nothing pending is dropped.
    d.fake->deliver([&](auto& dl, const auto& self) { dl.peripheralDidWriteValueForCharacteristic(self, d.write, platformError(8)); });
    run();
    EXPECT_EQ(first.size() + second.size(), 2u);

    // A completion that writes again (as a frame sender does) gets the next answer, not its own.
    w->writeValue({0x04}, [&](const OptError& e) {
        first.push_back(e);
        w->writeValue({0x05}, recordInto(third));
    });
    d.fake->answerWrite(d.write);
    run();
    EXPECT_TRUE(third.empty());
    d.fake->answerWrite(d.write, platformError(9));
    run();
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0], platformError(9));
}

TEST_F(LumoCharacteristicTest, ABatchOnAOneValueBackendCompletesOnceAtItsLastOrFirstFailedValue) {
    auto batchOf = [](std::vector<Bytes> values) {
        WriteBatch batch;
        for (const Bytes& v : values) batch.add(v);
        return batch;
    };
    WriteBatch batch = batchOf({{1}, {2, 3}, {4}});
    Answers done;
    w->writeValues(batch, recordInto(done));
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(d.fake->writesTo(d.write), (std::vector<Bytes>{{1}, {2, 3}, {4}}));
    d.fake->answerWrite(d.write);
    d.fake->answerWrite(d.write);
    run();
    EXPECT_TRUE(done.empty());
    d.fake->answerWrite(d.write);
    run();
    EXPECT_EQ(done, Answers{std::nullopt});

    done.clear();
    batch = batchOf({{5}, {6}, {7}});
    w->writeValues(batch, recordInto(done));
    d.fake->answerWrite(d.write, platformError(5));
    d.fake->answerWrite(d.write, platformError(6));
    d.fake->answerWrite(d.write);
    run();
    EXPECT_EQ(done, Answers{platformError(5)});
    EXPECT_TRUE(w->writeOperationStack().empty());
}

TEST_F(LumoCharacteristicTest, WriteWithoutCompletionIsWithoutResponseAndQueuesNothing) {
    w->writeValue({0xAA, 0xBB}, nullptr);
    w->writeByte(-1, nullptr);
    const auto writes = d.fake->writes;
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].type, WriteType::WithoutResponse);
    EXPECT_EQ(writes[1].data, Bytes{0xFF});
    EXPECT_TRUE(w->writeOperationStack().empty());
    EXPECT_FALSE(d.fake->answerWrite(d.write));

    d.fake->maxWriteLength = 244;
    EXPECT_EQ(w->payload(), 244);  // a limit the caller respects: the wrapper never splits
    Answers answers;
    w->writeByte(0x41, recordInto(answers));
    EXPECT_EQ(d.fake->writes.back().type, WriteType::WithResponse);
    EXPECT_EQ(d.fake->writes.back().data, Bytes{0x41});
    d.fake->answerWrite(d.write);
    run();
    EXPECT_EQ(answers.size(), 1u);
}

TEST_F(LumoCharacteristicTest, NotifyRequestWithoutCompletionStillTakesItsSlot) {
    Answers second;
    n->setNotifyValue(true, nullptr, [](const std::optional<Bytes>&, const OptError&) {});
    n->setNotifyValue(false, recordInto(second));
    EXPECT_EQ(d.fake->requests, (std::vector<std::string>{"services", "characteristics", "notify on", "notify off"}));
    EXPECT_EQ(n->notifyOperationStack().size(), 2u);

    d.fake->answerNotify(d.notify, platformError(1));  // answers the first request
    run();
    EXPECT_TRUE(second.empty());
    d.fake->answerNotify(d.notify);
    run();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_FALSE(second[0]);
    EXPECT_TRUE(n->notifyOperationStack().empty());
}

TEST_F(LumoCharacteristicTest, ValueUpdatesReachTheUpdateCallbackAndOldestReadWithTheirOwnBytesUntilEnabledWithoutCallback) {
    Values updates, reads;
    n->setNotifyValue(true, nullptr, recordInto(updates));
    n->readValueWithBlock(recordInto(reads));
    EXPECT_EQ(std::count(d.fake->requests.begin(), d.fake->requests.end(), "read"), 1);

    // A notification while the read is pending completes the read too. Two updates back to back
    // each keep their own bytes even though the platform value changes before the main queue runs.
    d.fake->notify(d.notify, {0x10});
    d.fake->notify(d.notify, {0x20}, platformError(3));
    run();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].first, Bytes{0x10});
    EXPECT_EQ(updates[1].first, Bytes{0x20});
    EXPECT_EQ(updates[1].second, platformError(3));
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].first, Bytes{0x10});
    EXPECT_FALSE(reads[0].second);

    // The read's own answer then finds no pending read.
    d.fake->notify(d.notify, {0x30});
    run();
    EXPECT_EQ(updates.size(), 3u);
    EXPECT_EQ(reads.size(), 1u);

    // No block: no read at all.
    n->readValueWithBlock(nullptr);
    EXPECT_EQ(std::count(d.fake->requests.begin(), d.fake->requests.end(), "read"), 1);

    // Enabling again without an update callback removes the old one.
    n->setNotifyValue(true, nullptr);
    EXPECT_FALSE(n->updateCallback());
    d.fake->notify(d.notify, {0x40});
    run();
    EXPECT_EQ(updates.size(), 3u);
}

TEST_F(LumoCharacteristicTest, UpdateCallbackMayReplaceItselfWhileRunning) {
    Values later;
    int calls = 0;
    auto big = std::make_shared<std::vector<int>>(1000, 7);  // captured state freed on replacement
    n->setUpdateCallback([&, big](const std::optional<Bytes>&, const OptError&) {
        ++calls;
        n->setUpdateCallback(recordInto(later));
        EXPECT_EQ(big->at(999), 7);  // still valid: the running callback is a copy
    });
    big.reset();
    n->handleReadValue(Bytes{1}, std::nullopt);
    n->handleReadValue(Bytes{2}, std::nullopt);
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].first, Bytes{2});
}

}  // namespace
}  // namespace vexa::test
