// Cancelling operations over the simulated stack and the virtual token: what the token still
// receives, one answer per operation, and the commands issued afterwards.
#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

class VexaTokenCancelTest : public PublicTest, public ::testing::WithParamInterface<bool> {
protected:
    size_t received(uint8_t code) const {
        const auto& packages = devices.front()->endpoint().receivedPackages();
        return static_cast<size_t>(std::count_if(packages.begin(), packages.end(), [code](const auto& p) { return p.code == code; }));
    }
};

// A write of five pieces cancelled once the token has the second, as the link drops or not.
TEST_P(VexaTokenCancelTest, CancelledWriteSendsNoMorePiecesAndAnswersOnce) {
    addToken("Token A");
    auto token = connectedToken("Token A");
    token->openFile("/f", 1);
    ASSERT_TRUE(waitFor("open"));
    std::vector<OptError> answers;
    const auto op = token->writeFile(static_cast<uint8_t>(tokenEvents->last("open")->number), Bytes(5 * 2048, 0x42),
                                     [&](const OptError& e) { answers.push_back(e); });
    token->getSerial();  // not part of the write
    ASSERT_TRUE(main.runUntil([&] { return received(kCmdWriteFile) == 2; }));
    if (GetParam()) devices.front()->peripheral()->disconnect();
    token->cancel(op);
    ASSERT_EQ(answers.size(), 1u);  // before cancel returns
    EXPECT_EQ(answers[0]->domain + " " + std::to_string(answers[0]->code) + " " + answers[0]->message,
              "org.vexatokenkit.LumoToken 7 The operation was cancelled.");
    token->cancel(op);  // answered already: nothing happens
    main.runFor(std::chrono::seconds(2));
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_EQ(received(kCmdWriteFile), 2u);
    ASSERT_EQ(tokenEvents->count("serial"), 1u);
    EXPECT_TRUE(GetParam() || !tokenEvents->last("serial")->error);  // written after the piece on the link
}

INSTANTIATE_TEST_SUITE_P(LinkDrops, VexaTokenCancelTest, ::testing::Bool());

TEST_F(VexaTokenCancelTest, CancelAllAnswersEachWaitingOperationOnceAndLaterOnesRun) {
    addToken("Token A");
    auto token = connectedToken("Token A");
    token->getSerial();  // on the link
    token->readFile(1, 100);
    token->writeFile(1, Bytes(3000, 1));
    token->getBatteryLevel();
    token->cancelAll();
    for (const char* method : {"serial", "read", "write", "battery"}) {
        ASSERT_EQ(tokenEvents->count(method), 1u) << method;
        EXPECT_EQ(tokenEvents->last(method)->error->code, 7) << method;  // not mapped, also for serial and battery
    }
    token->getFirmwareVersion();
    ASSERT_TRUE(waitFor("firmware"));
    EXPECT_FALSE(tokenEvents->last("firmware")->error);
    EXPECT_EQ(tokenEvents->events.size(), 5u);  // the serial number's reply went nowhere
    EXPECT_EQ(received(kCmdGetSerial) + received(kCmdReadFile) + received(kCmdWriteFile) + received(kCmdGetBatteryLevel), 1u);
}

}  // namespace
}  // namespace vexa::test
