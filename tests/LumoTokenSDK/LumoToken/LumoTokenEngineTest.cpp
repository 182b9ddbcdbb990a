#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

TEST(LumoTokenEngine, WorkedExampleAndAReplyInThreeFrames) {
    SessionHarness h;
    h.connect();
    Answers a;
    h.token->sendPackageWithResult(0x35, {}, a.handler());
    h.main.runUntilIdle();
    EXPECT_EQ(h.frames().back(), (Bytes{0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB}));
    h.notifyFrame({0x00, 0x06, 0x00, 0x35, 0x02, 0x00, 0x00, 0x64, 0x55});
    ASSERT_EQ(a.list.size(), 1u);
    EXPECT_EQ(a.list[0].first, (Bytes{0x00, 0x64}));
    EXPECT_FALSE(h.token->waitReply());
    EXPECT_FALSE(h.token->receivedDataBlock());  // released once answered

    h.token->sendPackageWithResult(0x15, {}, a.handler());
    Bytes payload(300, 0x77);
    payload[0] = 0;
    const auto frames = BleSocketFormat().pack2Frames(LumoTokenCommand::buildPackage(0x15, payload));
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& frame : frames) h.notifyFrame(frame);
    ASSERT_EQ(a.list.size(), 2u);
    EXPECT_EQ(a.list[1].first, payload);

    // A waiting command keeps its session alive until it is answered, and no longer.
    h.token->sendPackageWithResult(0x35, {}, a.handler());
    const std::weak_ptr<LumoToken> weak = h.token;
    h.token.reset();
    h.notifyFrame({0x00, 0x06, 0x00, 0x35, 0x02, 0x00, 0x00, 0x64, 0x55});
    ASSERT_EQ(a.list.size(), 3u);
    EXPECT_EQ(a.list[2].first, (Bytes{0x00, 0x64}));
    EXPECT_TRUE(weak.expired());
}

TEST(LumoTokenEngine, OneCommandAtATimeInOrderIncludingFromInsideAHandler) {
    SessionHarness h;
    h.connect();
    std::vector<int> order;
    h.token->sendPackageWithResult(0x20, {}, [&](const std::optional<Bytes>&, const OptError&) {
        order.push_back(1);
        h.token->sendPackageWithResult(0x30, {}, [&](const std::optional<Bytes>&, const OptError&) { order.push_back(3); });
        EXPECT_EQ(h.sent().size(), 2u);  // written only after this handler returns
    });
    h.token->sendPackageWithResult(0x25, {}, [&](const std::optional<Bytes>&, const OptError&) { order.push_back(2); });
    h.main.runUntilIdle();
    EXPECT_EQ(h.sent().size(), 2u);
    for (int i = 0; i < 4; ++i) h.reply({0});  // the last one finds no command waiting
    const auto sent = h.sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2].code, 0x25);
    EXPECT_EQ(sent[3].code, 0x30);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(LumoTokenEngine, BrokenRepliesFailTheirCommandOnceAndTheEngineGoesOn) {
    SessionHarness h;
    h.connect();
    Answers a;
    for (int i = 0; i < 5; ++i) h.token->sendPackageWithResult(0x30, {}, a.handler());
    h.main.runUntilIdle();
    Bytes bad = LumoTokenCommand::buildPackage(0x30, Bytes{0, 7});
    bad.back() ^= 1;
    h.notifyFrame(BleSocketFormat().pack2Frames(bad)[0]);
    h.reply({});  // empty payload
    // Out of order (index 2 after 0): the rest of that reply (index 3) is skipped.
    const auto frames = BleSocketFormat().pack2Frames(LumoTokenCommand::buildPackage(0x30, Bytes(500, 0)));
    h.notifyFrame(frames[0]);
    h.notifyFrame(frames[2]);
    h.notifyFrame(frames[3]);
    // Overrun: 5 bytes announced, 6 carried; its later frame is skipped too.
    h.notifyFrame({0x00, 0x05, 0x00, 1, 2, 3, 4, 5, 6});
    h.notifyFrame({0x01, 0x09});
    h.reply({0, 9});
    ASSERT_EQ(a.list.size(), 5u);
    EXPECT_EQ(a.error(0), (Error{"LumoCommandError", 2, "Invalid crc of package"}));
    EXPECT_EQ(a.error(1), tokenError(2, "Invalid token response."));
    EXPECT_EQ(a.error(2), (Error{"LumoBleSocketError", 2, "An invalid index of frame in package."}));
    EXPECT_EQ(a.error(3), (Error{"LumoBleSocketError", 2, "An invalid lenght of package."}));
    EXPECT_EQ(a.list[4].first, (Bytes{0, 9}));
    EXPECT_TRUE(h.token->isConnected());
}

// Faults of the link around a reply in three frames (R1) to the first of two commands; R2 answers
// the second. Whatever happens to R1, the second command gets R2 and nothing else.
TEST(LumoTokenEngine, RemainsOfAReplyNeverAnswerTheNextCommand) {
    Bytes first(300, 0x11);
    first[0] = 0;
    const auto r1 = BleSocketFormat().pack2Frames(LumoTokenCommand::buildPackage(0, first));
    const struct {
        const char* fault;
        std::vector<size_t> order;  // the frames of R1 as they arrive
        bool firstAnswered;         // the first command gets R1 (else one error)
    } rows[] = {{"last frame repeated", {0, 1, 2, 2}, true}, {"middle frame repeated", {0, 1, 1, 2}, true},
                {"first frame late", {1, 0, 2}, false},     {"first frame last", {1, 2, 0}, false},
                {"first frame lost", {1, 2}, false},        {"first frame late after a two-frame reply", {2, 0, 1}, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        SessionHarness h;
        h.connect();
        Answers a;
        // A two-frame reply first: the joiner keeps its last index (1) and length, so frame 2 of
        // the next reply follows on from it.
        h.token->sendPackageWithResult(0x10, {}, a.handler());
        h.main.runUntilIdle();
        h.reply(Bytes(200, 0x22));
        ASSERT_EQ(a.list.size(), 1u);
        a.list.clear();
        h.token->sendPackageWithResult(0x15, {}, a.handler());
        h.token->sendPackageWithResult(0x30, {}, a.handler());
        h.main.runUntilIdle();
        for (size_t i : row.order) h.notifyFrame(r1.at(i));
        h.reply({0, 'B'});
        ASSERT_EQ(a.list.size(), 2u);
        EXPECT_EQ(a.list[0].first, row.firstAnswered ? std::optional<Bytes>(first) : std::nullopt);
        EXPECT_EQ(a.list[0].second.has_value(), !row.firstAnswered);
        EXPECT_EQ(a.list[1].first, (Bytes{0, 'B'}));
    }
}

TEST(LumoTokenEngine, ReplyTimeOutFailsTheCommandAndDropsTheLink) {
    SessionHarness h;
    h.connect();
    Answers a;
    h.token->sendPackageWithResult(0x30, {}, a.handler());
    h.token->sendPackageWithResult(0x35, {}, a.handler());
    h.main.runFor(29s);
    EXPECT_TRUE(a.list.empty());
    h.main.runFor(2s);
    ASSERT_EQ(a.list.size(), 2u);
    EXPECT_EQ(a.error(0), tokenError(4, "The token did not answer in time."));
    EXPECT_EQ(h.fake->cancelRequests().size(), 1u);
    // The link went down: the queued command fails with code 1 and the delegate hears of it.
    EXPECT_EQ(a.error(1), tokenError(1, "The connection to the token was lost."));
    EXPECT_EQ(h.delegate->disconnects, std::vector<OptError>{std::nullopt});
    EXPECT_FALSE(h.token->delegate());
    h.token->sendPackageWithResult(0x30, {}, a.handler());  // not connected: dropped
    h.main.runFor(60s);
    EXPECT_EQ(a.list.size(), 2u);

    SessionHarness off;
    off.connect();
    off.token->setReplyTimeout(Duration::zero());
    off.token->sendPackageWithResult(0x30, {}, a.handler());
    off.main.runFor(600s);
    EXPECT_EQ(a.list.size(), 2u);
    off.reply({0});  // the waiting command keeps its session alive until it is answered
}

TEST(LumoTokenEngine, FailedFrameWriteFailsOnceAndDropsTheLink) {
    SessionHarness h;
    h.connect();
    h.device->autoAnswerWrites = false;
    Answers a;
    h.token->sendPackageWithResult(0x15, Bytes(300, 0x11), a.handler());  // three frames
    h.token->sendPackageWithResult(0x30, {}, a.handler());
    h.main.runUntilIdle();
    const Error writeError{"PlatformError", 14, "write failed"};
    h.device->answerWrite(h.writeChar, writeError);
    h.device->answerWrite(h.writeChar, writeError);
    h.device->answerWrite(h.writeChar);
    h.main.runUntilIdle();
    ASSERT_EQ(a.list.size(), 2u);
    EXPECT_EQ(a.error(0), writeError);
    EXPECT_EQ(a.error(1)->code, 1);  // never written
    EXPECT_EQ(h.sent().back().code, 0x15);
}

TEST(LumoTokenEngine, DisconnectFailsWaitingAndQueuedWithThePlatformErrorRecoded) {
    SessionHarness h;
    h.connect();
    Answers a;
    h.token->sendPackageWithResult(0x30, {}, a.handler());
    h.token->sendPackageWithResult(0x35, {}, a.handler());
    h.main.runUntilIdle();
    h.fake->reportDisconnect(h.device, Error{"CBErrorDomain", 7, "Disconnected."});
    h.main.runUntilIdle();
    const Error lost{"CBErrorDomain", 1, "Disconnected."};
    EXPECT_EQ(a.error(0), lost);
    EXPECT_EQ(a.error(1), lost);
    EXPECT_EQ(h.delegate->disconnects, std::vector<OptError>{lost});
    EXPECT_EQ(h.token->name(), "Unknown");
    EXPECT_FALSE(h.token->getPeripheral());
}

TEST(LumoTokenEngine, EncryptionHooksAndImmediateFailures) {
    SessionHarness h;
    h.delegate->cipher = true;
    h.connect();
    Answers a;
    h.token->sendPackageWithResult(0x35, {}, a.handler());
    h.main.runUntilIdle();
    EXPECT_EQ(h.frames().back(), (Bytes{0x00, 0x06, 0x00, 0x35 ^ 0x5A, 0x5A, 0x5A, 0xEB ^ 0x5A, 0x5A, 0x5A}));
    h.reply({0, 0x64});
    EXPECT_EQ(a.list.at(0).first, (Bytes{0, 0x64}));

    const size_t frames = h.frames().size();
    h.delegate->failEncrypt = true;
    h.token->sendPackageWithResult(0x15, {1, 2}, a.handler());
    EXPECT_EQ(a.error(1), tokenError(6, "The command could not be encrypted."));
    h.delegate->failEncrypt = false;
    h.token->sendPackageWithResult(0x15, Bytes(kLumoMaxPackageLength - 5, 0), a.handler());  // one byte too many
    EXPECT_EQ(a.error(2), tokenError(5, "The command is too long to send."));
    EXPECT_TRUE(h.token->queue().empty());
    EXPECT_FALSE(h.token->waitReply());
    h.token->sendPackageWithResult(0x15, Bytes(kLumoMaxPackageLength - 6, 0), a.handler());  // fits exactly
    h.main.runUntilIdle();
    EXPECT_EQ(h.frames().size(), frames + 256);
    h.reply({0});

    // A session that must encrypt but has no cipher (no delegate) fails at once and writes nothing.
    h.token->setDelegate(nullptr);
    h.token->sendPackageWithResult(0x30, {}, a.handler());
    EXPECT_EQ(a.error(4), tokenError(6, "The command could not be encrypted."));
    EXPECT_EQ(h.frames().size(), frames + 256);
}

TEST(LumoTokenEngine, DroppedWithoutConnectionAndErrorHelpers) {
    SessionHarness h;
    Answers a;
    LumoToken::create()->sendPackageWithResult(0x30, {}, a.handler());
    h.token->sendPackageWithResult(0x30, {}, a.handler());  // peripheral not connected
    h.main.runFor(60s);
    EXPECT_TRUE(a.list.empty());
    EXPECT_TRUE(h.frames().empty());

    const std::pair<int64_t, Error> statuses[] = {{1, tokenError(0xFF01, "Command is not supported")},
                                                  {13, tokenError(0xFF0D, "Hardware version is not set")},
                                                  {14, tokenError(0xFF0E, "Unknown error")},
                                                  {200, tokenError(0xFFC8, "Unknown error")}};
    for (const auto& [status, error] : statuses) EXPECT_EQ(h.token->makeErrorExtendWithReplyStatus(status), error);
    EXPECT_FALSE(LumoToken::decodeError(std::nullopt, 2));
    EXPECT_EQ(LumoToken::decodeError(Error{"LumoBleSocketError", 3, "x"}, 2), (Error{"LumoBleSocketError", 2, "x"}));
}

}  // namespace
}  // namespace vexa::test
