// The virtual token driven at the wire level: raw frames in through the simulated platform
// interface, notified frames out.
#include <gtest/gtest.h>

#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/Backends/Simulated/SimStackFixture.h"
#include "tests/Emulator/TokenTestBytes.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;
using test::cat;
using test::Ev;
using test::syncPayload;
using test::text0;

class WireTest : public test::SimStackTest {
protected:
    void start(VirtualTokenConfig config = {}) {
        token = VirtualToken::create(radio, config);
        reconnect();
    }
    /// Connects (again), discovers the token service and subscribes; what was heard before is forgotten.
    void reconnect() {
        g = open(token->peripheral());
        joined = 0;
    }
    void disconnect() {
        central->cancelPeripheralConnection(g.peripheral);
        main.runUntil([&] { return rec->count(Ev::Disconnect) > 0; });
    }
    bool disconnected() const { return rec->count(Ev::Disconnect) > 0; }
    /// Forgets the frames heard so far.
    void clearHeard() { rec->clear(), joined = 0; }
    /// Every frame notified since the link was opened or clearHeard(), in order.
    std::vector<Bytes> notifications() const {
        std::vector<Bytes> out;
        for (const auto& e : rec->of(Ev::Value)) out.push_back(e.value);
        return out;
    }
    /// Writes each frame with response, in order.
    void writeFrames(const std::vector<Bytes>& frames) {
        for (const auto& frame : frames) g.peripheral->writeValue(frame, g.write, WriteType::WithResponse);
    }
    void writePackage(const Bytes& package) { writeFrames(BleSocketFormat().pack2Frames(package)); }
    /// The next reply package joined from the notifications, within `timeout` of virtual time;
    /// decrypted with `key` when one is given.
    std::optional<Bytes> awaitPackage(const std::optional<std::string>& key = std::nullopt, Duration timeout = 5s) {
        std::optional<Bytes> package;
        main.runUntil([&] {
            for (const auto values = rec->of(Ev::Value); !package && joined < values.size(); ++joined)
                joiner.addFrameWithCompletion(values[joined].value, [&](const std::optional<Bytes>& p, const OptError& e) {
                    joinErrors += e ? 1 : 0;
                    package = p;
                });
            return package.has_value();
        }, timeout);
        return key && package ? AES256DecryptWithKey(*package, *key) : package;
    }
    /// Sends one command (encrypted with `key` when given) and returns the reply payload.
    std::optional<Bytes> run(uint8_t code, const Bytes& payload = {}, const std::optional<std::string>& key = std::nullopt) {
        const Bytes package = LumoTokenCommand::buildPackage(code, payload);
        writePackage(key ? *AES256EncryptWithKey(package, *key) : package);
        const auto reply = awaitPackage(key);
        std::optional<Bytes> result;
        if (reply) LumoTokenCommand::parseCommand(*reply, [&](uint8_t, Bytes p) { result = std::move(p); }, {});
        return result;
    }
    bool heardWithin(Duration d) {
        const size_t before = rec->count(Ev::Value);
        main.runFor(d);
        return rec->count(Ev::Value) > before;
    }

    std::shared_ptr<VirtualToken> token;
    test::Gatt g;
    BleSocketFormat joiner;
    size_t joined = 0, joinErrors = 0;  // the notifications joined so far, and the errors of joining them
};

// The name and service it advertises are what every session test scans for.
TEST_F(WireTest, AnswersPlainCommandsInByteExactFramesAndKeepsBoundedRecords) {
    start();
    writeFrames({Bytes{0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB}});
    main.runUntilIdle();
    EXPECT_EQ(notifications(), std::vector<Bytes>{(Bytes{0x00, 0x06, 0x00, 0x35, 0x02, 0x00, 0x00, 0x64, 0x55})});
    EXPECT_EQ(awaitPackage(), (Bytes{0x35, 0x02, 0x00, 0x00, 0x64, 0x55}));
    EXPECT_EQ(run(0x77), Bytes{1});  // unknown command
    ASSERT_EQ(token->receivedPackages().size(), 2u);
    EXPECT_EQ(token->receivedPackages()[0].package, (Bytes{0x35, 0x00, 0x00, 0xEB}));
    EXPECT_FALSE(token->receivedPackages()[0].encrypted);
    EXPECT_EQ(token->sentReplies()[0], (Bytes{0x35, 0x02, 0x00, 0x00, 0x64, 0x55}));
    // The records are bounded: the newest ones are kept.
    run(0x20);
    token->setRecordLimit(2);
    run(0x25);
    ASSERT_EQ(token->receivedPackages().size(), 2u);
    EXPECT_EQ(token->receivedPackages()[0].code, 0x20);
    EXPECT_EQ(token->sentReplies().size(), 2u);
    token->setRecordLimit(0);
    run(0x25);
    EXPECT_TRUE(token->receivedPackages().empty());
}

TEST_F(WireTest, KeyedTokenLocksUntilTheHashMatchesThenEncrypts) {
    VirtualTokenConfig config;
    config.name = "Keyed";
    config.key = keyFromPassword("1234", "Keyed");
    start(config);
    const std::string key = *config.key;
    EXPECT_EQ(token->session(), VirtualToken::Session::Locked);
    EXPECT_EQ(run(0x30), Bytes{10});  // no command before synchronising
    writePackage(Bytes{0x30, 0x00, 0x00, 0x00});  // bad CRC: also refused for the key
    EXPECT_EQ(awaitPackage(), LumoTokenCommand::buildPackage(0, Bytes{10}));

    EXPECT_EQ(run(0x65, syncPayload(Bytes(16, 0xEE), 0, "Host")), Bytes{10});
    EXPECT_EQ(token->session(), VirtualToken::Session::Locked);
    EXPECT_FALSE(token->device().variables().read("device0"));

    EXPECT_EQ(run(0x65, syncPayload(MD5Data(key), 1, "Host")), Bytes{0});  // reply in plain text
    EXPECT_EQ(token->session(), VirtualToken::Session::Encrypted);

    std::vector<TrafficRecord> traffic;
    radio->setTrafficObserver([&](const TrafficRecord& r) { traffic.push_back(r); });
    EXPECT_EQ(run(0x30, {}, key), cat({Bytes{0}, bytesOf("VX2400000001")}));
    ASSERT_EQ(traffic.size(), 2u);
    // Both directions carry AES blocks: 16 bytes after the 3-byte header, not the plain package.
    EXPECT_EQ(traffic[0].kind, TrafficKind::WriteWithResponse);
    EXPECT_EQ(traffic[0].bytes.size(), 3u + 16);
    EXPECT_EQ(traffic[1].kind, TrafficKind::Notification);
    EXPECT_EQ(traffic[1].bytes.size(), 3u + 32);
    EXPECT_EQ(Bytes(traffic[1].bytes.begin() + 3, traffic[1].bytes.end()),
              AES256EncryptWithKey(LumoTokenCommand::buildPackage(0x30, cat({Bytes{0}, bytesOf("VX2400000001")})), key));
    const auto& seen = token->receivedPackages().back();
    EXPECT_TRUE(seen.encrypted);
    EXPECT_EQ(seen.code, 0x30);
    EXPECT_EQ(seen.package.size(), 16u);  // decrypted, filler included

    // Plain text is no longer understood: the answer is an encrypted status 9.
    writePackage(LumoTokenCommand::buildPackage(0x30));
    const auto refused = awaitPackage(key);
    ASSERT_TRUE(refused);
    EXPECT_EQ(Bytes(refused->begin(), refused->begin() + 5), LumoTokenCommand::buildPackage(0, Bytes{9}));
    EXPECT_FALSE(token->receivedPackages().back().valid);

    // Faults change the reply before it is encrypted.
    token->corruptReplies(0x35, 1);
    writePackage(*AES256EncryptWithKey(LumoTokenCommand::buildPackage(0x35), key));
    const auto corrupted = awaitPackage(key);
    ASSERT_TRUE(corrupted);
    EXPECT_EQ(Bytes(corrupted->begin(), corrupted->begin() + 6), (Bytes{0x35, 0x02, 0x00, 0x00, 0x64, 0x55 ^ 0xFF}));

    // A new plain-text synchronisation is still recognised; a wrong hash locks the session again.
    EXPECT_EQ(run(0x65, syncPayload(Bytes(16, 1), 0, "Host")), Bytes{10});
    EXPECT_EQ(token->session(), VirtualToken::Session::Locked);
    EXPECT_EQ(run(0x30), Bytes{10});
}

TEST_F(WireTest, BrokenHostPackagesAndFrames) {
    start();
    Bytes bad = LumoTokenCommand::buildPackage(0x35);
    bad.back() ^= 1;
    writePackage(bad);
    auto reply = awaitPackage();
    EXPECT_EQ(reply, LumoTokenCommand::buildPackage(0, Bytes{9}));
    EXPECT_FALSE(token->receivedPackages().back().valid);

    // Frame 0 of a two-frame package, then a frame with index 2: discarded, no answer.
    const auto frames = BleSocketFormat().pack2Frames(LumoTokenCommand::buildPackage(0x60, cat({text0("n"), text0(std::string(200, 'v'))})));
    ASSERT_EQ(frames.size(), 2u);
    Bytes skipped = frames[1];
    skipped[0] = 2;
    writeFrames({frames[0], skipped});
    EXPECT_FALSE(heardWithin(1s));
    EXPECT_EQ(token->frameErrorCount(), 1u);
    // The next package starts afresh.
    writeFrames(frames);
    EXPECT_EQ(awaitPackage(), LumoTokenCommand::buildPackage(0x60, Bytes{0}));
    EXPECT_EQ(token->device().variables().read("n"), std::string(200, 'v'));
}

TEST_F(WireTest, FaultSwitchesStatusNoReplyAndBrokenReplies) {
    start();
    token->replyStatus(std::nullopt, 13);
    EXPECT_EQ(run(0x20), Bytes{13});
    EXPECT_EQ(run(0x75, Bytes{1}), Bytes{13});
    token->clearFaults();

    // A status fault keeps the command from running.
    token->replyStatus(0x60, 0, 1);
    EXPECT_EQ(run(0x60, cat({text0("k"), text0("v")})), Bytes{0});
    EXPECT_FALSE(token->device().variables().read("k"));

    token->ignoreCommand(0x30, 2);
    writePackage(LumoTokenCommand::buildPackage(0x30));
    EXPECT_FALSE(heardWithin(60s));
    EXPECT_EQ(token->receivedPackages().back().code, 0x30);  // received, never answered
    EXPECT_EQ(run(0x35), (Bytes{0, 100}));  // other commands are served
    writePackage(LumoTokenCommand::buildPackage(0x30));
    EXPECT_FALSE(heardWithin(60s));
    EXPECT_EQ(run(0x30), cat({Bytes{0}, bytesOf("VX2400000001")}));

    // Broken replies.
    token->corruptReplies(0x35, 1);
    writePackage(LumoTokenCommand::buildPackage(0x35));
    auto reply = awaitPackage();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{0x35, 0x02, 0x00, 0x00, 0x64, 0x55 ^ 0xFF}));
    EXPECT_NE(CRC8(ByteView(*reply).first(5)), reply->back());

    token->sendEmptyReplies(0x35, 1);
    writePackage(LumoTokenCommand::buildPackage(0x35));
    EXPECT_EQ(awaitPackage(), (Bytes{0x35, 0x00, 0x00, 0xEB}));

    // One-frame reply: sent with index 1, which a joiner cannot take as a first frame.
    token->reorderReplyFrames(0x35, 1);
    clearHeard();
    writePackage(LumoTokenCommand::buildPackage(0x35));
    EXPECT_FALSE(awaitPackage());
    ASSERT_EQ(notifications().size(), 1u);
    EXPECT_EQ(notifications()[0], (Bytes{0x01, 0x06, 0x00, 0x35, 0x02, 0x00, 0x00, 0x64, 0x55}));
    EXPECT_EQ(joinErrors, 1u);

    // Many-frame reply: the first two frames swapped.
    token->device().config().serial = std::string(300, 'S');
    token->reorderReplyFrames(0x30, 1);
    clearHeard();
    writePackage(LumoTokenCommand::buildPackage(0x30));
    EXPECT_FALSE(awaitPackage());
    ASSERT_EQ(notifications().size(), 3u);
    EXPECT_EQ(notifications()[0][0], 1);
    EXPECT_EQ(notifications()[1][0], 0);
    EXPECT_EQ(notifications()[2][0], 2);
    EXPECT_EQ(run(0x30), cat({Bytes{0}, bytesOf(std::string(300, 'S'))}));  // back to normal
}

TEST_F(WireTest, FaultLateReplyFollowsTheQueueClockAndADroppedLinkClosesFiles) {
    start();
    ASSERT_EQ(run(0x70, cat({Bytes{1}, text0("f")})), (Bytes{0, 1}));
    token->delayReplies(0x35, 30s);
    writePackage(LumoTokenCommand::buildPackage(0x35));
    EXPECT_FALSE(heardWithin(29s));
    EXPECT_TRUE(heardWithin(1s));
    EXPECT_EQ(awaitPackage(), (Bytes{0x35, 0x02, 0x00, 0x00, 0x64, 0x55}));

    // A late reply whose link has dropped meanwhile never reaches the next connection.
    writePackage(LumoTokenCommand::buildPackage(0x35));
    main.runFor(10s);
    disconnect();
    EXPECT_EQ(token->device().openHandleCount(), 0u);
    reconnect();
    clearHeard();
    EXPECT_FALSE(heardWithin(60s));
}


TEST_F(WireTest, PowerOffRepliesThenDropsTheLinkUntilPoweredOn) {
    start();
    LinkTiming timing;
    timing.notification = 20ms;
    token->peripheral()->setLinkTiming(timing);
    EXPECT_EQ(run(0x40), Bytes{0});  // the reply arrives before the link drops
    main.runFor(1s);
    EXPECT_TRUE(disconnected());
    EXPECT_FALSE(token->isPoweredOn());
    EXPECT_TRUE(radio->peripherals().empty());

    token->powerOn();
    EXPECT_EQ(radio->peripherals().size(), 1u);
    reconnect();
    EXPECT_EQ(run(0x35), (Bytes{0, 100}));

    // The button: no reply to wait for, the link drops at once.
    token->powerOff();
    main.runUntilIdle();
    EXPECT_TRUE(disconnected());
    EXPECT_TRUE(radio->peripherals().empty());
    token->powerOn();
    EXPECT_EQ(radio->peripherals().size(), 1u);
}

}  // namespace
}  // namespace vexa
