// Cancelling operations over the simulated stack and the virtual token: what the token still
// receives, one answer per operation, and the commands issued afterwards; with the link dropping
// at the same moment or not.
#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

class VexaTokenCancelTest : public PublicTest, public ::testing::WithParamInterface<bool> {};

TEST_P(VexaTokenCancelTest, CancelledOperationsAnswerOnceAndSendNothingMore) {
    addToken("Token A");
    auto token = connectedToken("Token A");
    const auto received = [&](uint8_t code) {
        const auto& packages = devices.front()->endpoint().receivedPackages();
        return std::count_if(packages.begin(), packages.end(), [code](const auto& p) { return p.code == code; });
    };
    token->openFile("/f", 1);
    ASSERT_TRUE(waitFor("open"));
    const auto handle = static_cast<uint8_t>(tokenEvents->last("open")->number);
    std::vector<OptError> answers;
    const auto op = token->writeFile(handle, Bytes(5 * 2048, 0x42), [&](const OptError& e) { answers.push_back(e); });
    token->getSerial();  // queued behind the write
    token->readFile(handle, 10);
    ASSERT_TRUE(main.runUntil([&] { return received(kCmdWriteFile) == 2; }));  // the second piece is on the link
    if (GetParam()) devices.front()->peripheral()->disconnect();
    token->cancel(op);
    ASSERT_EQ(answers.size(), 1u);  // before cancel returns
    EXPECT_EQ(answers[0]->domain + " " + std::to_string(answers[0]->code) + " " + answers[0]->message,
              "org.vexatokenkit.LumoToken 7 The operation was cancelled.");
    token->cancelAll();
    token->cancel(op);  // answered already: nothing happens
    token->getBatteryLevel();  // issued afterwards: runs after the piece on the link
    main.runFor(std::chrono::seconds(2));
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_EQ(received(kCmdWriteFile), 2);
    EXPECT_EQ(received(kCmdGetSerial) + received(kCmdReadFile), 0);
    for (const char* method : {"serial", "read"}) {
        ASSERT_EQ(tokenEvents->count(method), 1u) << method;
        EXPECT_EQ(tokenEvents->last(method)->error->code, 7) << method;  // not mapped, also for the serial number
    }
    ASSERT_EQ(tokenEvents->count("battery"), GetParam() ? 0u : 1u);  // dropped: the link is going
    EXPECT_TRUE(GetParam() || !tokenEvents->last("battery")->error);
}

INSTANTIATE_TEST_SUITE_P(LinkDrops, VexaTokenCancelTest, ::testing::Bool());

}  // namespace
}  // namespace vexa::test
