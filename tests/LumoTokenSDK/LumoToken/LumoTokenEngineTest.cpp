#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"

namespace vexa::test {
namespace {

using namespace std::chrono_literals;

TEST(LumoTokenEngine, WorkedExampleFramesAndReply) {
    SessionHarness h;
    h.connect();
    const size_t before = h.frames().size();
    Answers a;
    h.token->sendPackageWithResult(0x35, {}, a.handler());
    h.main.runUntilIdle();
    ASSERT_EQ(h.frames().size(), before + 1);
    EXPECT_EQ(h.frames().back(), (Bytes{0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB}));
    EXPECT_TRUE(h.token->waitReply());
    h.notifyFrame({0x00, 0x06, 0x00, 0x35, 0x02, 0x00, 0x00, 0x64, 0x55});
    ASSERT_EQ(a.list.size(), 1u);
    EXPECT_EQ(a.list[0].first, (Bytes{0x00, 0x64}));
    EXPECT_FALSE(a.list[0].second);
    EXPECT_FALSE(h.token->waitReply());
    EXPECT_FALSE(h.token->receivedDataBlock());  // released once answered
}

TEST(LumoTokenEngine, OneCommandAtATimeInOrderIncludingFromInsideAHandler) {
    SessionHarness h;
    h.connect();
    const size_t base = h.sent().size();
    std::vector<std::string> order;
    h.token->sendPackageWithResult(0x20, {}, [&](const std::optional<Bytes>& p, const OptError&) {
        order.push_back("first " + std::to_string((*p)[1]));
        h.token->sendPackageWithResult(0x30, {}, [&](const std::optional<Bytes>& q, const OptError&) {
            order.push_back("third " + std::to_string((*q)[1]));
        });
        // Written only after this handler returns.
        EXPECT_EQ(h.sent().size(), base + 1);
    });
    h.token->sendPackageWithResult(0x25, {}, [&](const std::optional<Bytes>& p, const OptError&) {
        order.push_back("second " + std::to_string((*p)[1]));
    });
    h.main.runUntilIdle();
    ASSERT_EQ(h.sent().size(), base + 1);
    EXPECT_EQ(h.token->queue().size(), 1u);
    h.reply({0, 1});
    ASSERT_EQ(h.sent().size(), base + 2);
    EXPECT_EQ(h.sent()[base + 1].code, 0x25);  // queued before the one sent from the handler
    h.reply({0, 2});
    ASSERT_EQ(h.sent().size(), base + 3);
    EXPECT_EQ(h.sent()[base + 2].code, 0x30);
    h.reply({0, 3});
    EXPECT_EQ(order, (std::vector<std::string>{"first 1", "second 2", "third 3"}));
    h.reply({0, 4});  // nothing waits: dropped
    EXPECT_EQ(order.size(), 3u);
}

TEST(LumoTokenEngine, ReplyInThreeFramesIsDeliveredOnce) {
    SessionHarness h;
    h.connect();
    Answers a;
    h.token->sendPackageWithResult(0x15, {}, a.handler());
    h.main.runUntilIdle();
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
    payload[0] = 0;
    const auto frames = BleSocketFormat().pack2Frames(LumoTokenCommand::buildPackage(0x15, payload));
    ASSERT_EQ(frames.size(), 3u);
    h.notifyFrame(frames[0]);
    h.notifyFrame(frames[1]);
    EXPECT_TRUE(a.list.empty());
    h.notifyFrame(frames[2]);
    ASSERT_EQ(a.list.size(), 1u);
    EXPECT_EQ(a.list[0].first, payload);
}

TEST(LumoTokenEngine, BrokenRepliesFailTheirCommandOnceAndTheEngineGoesOn) {
    SessionHarness h;
    h.connect();
    Answers crc, empty, order, overrun, after;
    h.token->sendPackageWithResult(0x30, {}, crc.handler());
    h.token->sendPackageWithResult(0x30, {}, empty.handler());
    h.token->sendPackageWithResult(0x30, {}, order.handler());
    h.token->sendPackageWithResult(0x30, {}, overrun.handler());
    h.token->sendPackageWithResult(0x30, {}, after.handler());
    h.main.runUntilIdle();

    Bytes bad = LumoTokenCommand::buildPackage(0x30, Bytes{0, 7});
    bad.back() ^= 0x01;
    h.notifyFrame(BleSocketFormat().pack2Frames(bad)[0]);
    ASSERT_EQ(crc.list.size(), 1u);
    EXPECT_EQ(*crc.list[0].second, (Error{"LumoCommandError", 2, "Invalid crc of package"}));

    h.reply({});  // empty payload
    ASSERT_EQ(empty.list.size(), 1u);
    EXPECT_EQ(*empty.list[0].second, lumoTokenError(kLumoTokenErrorInvalidResponse));
    EXPECT_EQ(empty.list[0].second->message, "Invalid token response.");

    // Out of order: index 2 after index 0. The rest of that reply (index 3) is skipped.
    Bytes big(300, 0);
    auto frames = BleSocketFormat().pack2Frames(LumoTokenCommand::buildPackage(0x30, big));
    h.notifyFrame(frames[0]);
    h.notifyFrame(frames[2]);
    ASSERT_EQ(order.list.size(), 1u);
    EXPECT_EQ(*order.list[0].second, (Error{"LumoBleSocketError", 2, "An invalid index of frame in package."}));
    h.notifyFrame({0x03, 0x00});
    EXPECT_TRUE(overrun.list.empty());

    // Overrun: the first frame announces 5 bytes and carries 6; its later frame is skipped.
    h.notifyFrame({0x00, 0x05, 0x00, 1, 2, 3, 4, 5, 6});
    h.notifyFrame({0x01, 0x09});
    ASSERT_EQ(overrun.list.size(), 1u);
    EXPECT_EQ(*overrun.list[0].second, (Error{"LumoBleSocketError", 2, "An invalid lenght of package."}));

    h.reply({0, 9});
    ASSERT_EQ(after.list.size(), 1u);
    EXPECT_EQ(after.list[0].first, (Bytes{0, 9}));
    EXPECT_EQ(crc.list.size() + empty.list.size() + order.list.size() + overrun.list.size(), 4u);
    EXPECT_TRUE(h.token->isConnected());
}

TEST(LumoTokenEngine, ReplyTimeOutFailsTheCommandAndDropsTheLink) {
    SessionHarness h;
    h.connect();
    Answers waiting, queued, late;
    h.token->sendPackageWithResult(0x30, {}, waiting.handler());
    h.token->sendPackageWithResult(0x35, {}, queued.handler());
    h.main.runFor(29s);
    EXPECT_TRUE(waiting.list.empty());
    h.main.runFor(2s);
    ASSERT_EQ(waiting.list.size(), 1u);
    EXPECT_EQ(*waiting.list[0].second, (Error{kLumoTokenErrorDomain, 4, "The token did not answer in time."}));
    EXPECT_EQ(h.fakeCentral->cancelRequests().size(), 1u);
    // The link went down: the queued command fails with code 1 and the delegate hears of it.
    ASSERT_EQ(queued.list.size(), 1u);
    EXPECT_EQ(*queued.list[0].second, (Error{kLumoTokenErrorDomain, 1, "The connection to the token was lost."}));
    ASSERT_EQ(h.delegate->disconnects.size(), 1u);
    EXPECT_FALSE(h.delegate->disconnects[0]);
    EXPECT_FALSE(h.token->isConnected());
    EXPECT_FALSE(h.token->delegate());
    h.token->sendPackageWithResult(0x30, {}, late.handler());  // not connected: dropped
    h.main.runFor(60s);
    EXPECT_TRUE(late.list.empty());
    EXPECT_EQ(waiting.list.size() + queued.list.size(), 2u);
}

TEST(LumoTokenEngine, ZeroTimeOutWaitsForever) {
    SessionHarness h;
    h.connect();
    h.token->setReplyTimeout(Duration::zero());
    Answers a;
    h.token->sendPackageWithResult(0x30, {}, a.handler());
    h.main.runFor(600s);
    EXPECT_TRUE(a.list.empty());
    h.reply({0});
    EXPECT_EQ(a.list.size(), 1u);
}

TEST(LumoTokenEngine, FailedFrameWriteFailsOnceAndDropsTheLink) {
    SessionHarness h;
    h.connect();
    h.device->autoAnswerWrites = false;
    Answers multi, queued;
    h.token->sendPackageWithResult(0x15, Bytes(300, 0x11), multi.handler());  // three frames
    h.token->sendPackageWithResult(0x30, {}, queued.handler());
    h.main.runUntilIdle();
    const Error writeError{"PlatformError", 14, "write failed"};
    h.device->answerWrite(h.writeChar, writeError);
    h.device->answerWrite(h.writeChar, writeError);
    h.device->answerWrite(h.writeChar);
    h.main.runUntilIdle();
    ASSERT_EQ(multi.list.size(), 1u);
    EXPECT_EQ(*multi.list[0].second, writeError);
    ASSERT_EQ(queued.list.size(), 1u);  // never written: the link was dropped
    EXPECT_EQ(queued.list[0].second->code, 1);
    EXPECT_EQ(h.sent().back().code, 0x15);
}

TEST(LumoTokenEngine, DisconnectFailsWaitingAndQueuedWithThePlatformErrorRecoded) {
    SessionHarness h;
    h.connect();
    Answers waiting, queued;
    h.token->sendPackageWithResult(0x30, {}, waiting.handler());
    h.token->sendPackageWithResult(0x35, {}, queued.handler());
    h.main.runUntilIdle();
    h.fakeCentral->reportDisconnect(h.device, Error{"CBErrorDomain", 7, "The specified device has disconnected from us."});
    h.main.runUntilIdle();
    const Error lost{"CBErrorDomain", 1, "The specified device has disconnected from us."};
    ASSERT_EQ(waiting.list.size(), 1u);
    EXPECT_EQ(*waiting.list[0].second, lost);
    ASSERT_EQ(queued.list.size(), 1u);
    EXPECT_EQ(*queued.list[0].second, lost);
    ASSERT_EQ(h.delegate->disconnects.size(), 1u);
    EXPECT_EQ(*h.delegate->disconnects[0], lost);
    EXPECT_EQ(h.token->name(), "Unknown");
    EXPECT_FALSE(h.token->getPeripheral());
}

TEST(LumoTokenEngine, EncryptionHooksAndTheirFailures) {
    SessionHarness h;
    h.delegate->cipher = true;
    h.connect();
    ASSERT_TRUE(h.token->needEncryptFlag());
    const size_t base = h.frames().size();
    Answers a;
    h.token->sendPackageWithResult(0x35, {}, a.handler());
    h.main.runUntilIdle();
    // The frame carries the encrypted package (plus its filler).
    EXPECT_EQ(h.frames().back(), (Bytes{0x00, 0x06, 0x00, 0x35 ^ 0x5A, 0x5A, 0x5A, 0xEB ^ 0x5A, 0x5A, 0x5A}));
    h.reply({0, 0x64});
    ASSERT_EQ(a.list.size(), 1u);
    EXPECT_EQ(a.list[0].first, (Bytes{0, 0x64}));

    // Cipher failure and an oversized package fail at once; nothing is queued or written.
    h.delegate->failEncrypt = true;
    Answers failed;
    h.token->sendPackageWithResult(0x15, {1, 2}, failed.handler());
    ASSERT_EQ(failed.list.size(), 1u);
    EXPECT_EQ(*failed.list[0].second, (Error{kLumoTokenErrorDomain, 6, "The command could not be encrypted."}));
    h.delegate->failEncrypt = false;
    h.token->sendPackageWithResult(0x15, Bytes(kLumoMaxPackageLength - 6, 0), failed.handler());  // 35,580 + filler 2 = max
    h.main.runUntilIdle();
    EXPECT_EQ(failed.list.size(), 1u);
    h.reply({0});
    EXPECT_EQ(failed.list.size(), 2u);
    h.token->sendPackageWithResult(0x15, Bytes(kLumoMaxPackageLength - 5, 0), failed.handler());
    ASSERT_EQ(failed.list.size(), 3u);
    EXPECT_EQ(*failed.list[2].second, (Error{kLumoTokenErrorDomain, 5, "The command is too long to send."}));
    EXPECT_TRUE(h.token->queue().empty());
    EXPECT_FALSE(h.token->waitReply());
    EXPECT_EQ(h.frames().size(), base + 1 + 256);
}

TEST(LumoTokenEngine, CommandsAreDroppedWithoutAPeripheralOrConnection) {
    SessionHarness h;
    Answers a;
    LumoToken::create()->sendPackageWithResult(0x30, {}, a.handler());
    h.token->sendPackageWithResult(0x30, {}, a.handler());  // peripheral not connected
    h.main.runFor(60s);
    EXPECT_TRUE(a.list.empty());
    EXPECT_TRUE(h.frames().empty());
}

TEST(LumoTokenEngine, StatusErrorsAndRecoding) {
    auto token = LumoToken::create();
    EXPECT_EQ(token->makeErrorExtendWithReplyStatus(1), (Error{kLumoTokenErrorDomain, 0xFF01, "Command is not supported"}));
    EXPECT_EQ(token->makeErrorExtendWithReplyStatus(13), (Error{kLumoTokenErrorDomain, 0xFF0D, "Hardware version is not set"}));
    EXPECT_EQ(token->makeErrorExtendWithReplyStatus(14), (Error{kLumoTokenErrorDomain, 0xFF0E, "Unknown error"}));
    EXPECT_EQ(token->makeErrorExtendWithReplyStatus(200), (Error{kLumoTokenErrorDomain, 0xFFC8, "Unknown error"}));
    EXPECT_FALSE(LumoToken::decodeError(std::nullopt, 2));
    EXPECT_EQ(LumoToken::decodeError(Error{"LumoBleSocketError", 3, "An invalid index of frame in package."}, 2),
              (Error{"LumoBleSocketError", 2, "An invalid index of frame in package."}));
    EXPECT_EQ(token->name(), "Unknown");
    EXPECT_FALSE(token->uuidString());
    EXPECT_EQ(token->rssi(), 0);
    EXPECT_FALSE(token->isConnected());
}

}  // namespace
}  // namespace vexa::test
