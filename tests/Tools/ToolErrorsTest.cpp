// How the tool fails: unknown tokens, rejected keys, key files, backends, and bounded waits.
#include <gtest/gtest.h>

#include <fstream>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Tools/vexatoken/SimEnvironment.h"
#include "Tools/vexatoken/TokenSession.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "tests/Tools/ToolTestSupport.h"

namespace vexa::tool::test {
namespace {

using namespace std::chrono_literals;

TEST(ToolErrors, UnknownToken) {
    const auto text = runTool({"info", "--token", "Nope"});
    EXPECT_EQ(text.status, 3);
    EXPECT_EQ(text.err, "error: vexatoken 3: No token named or identified \"Nope\" was found within 5 s.\n");

    const auto json = runTool({"info", "--token", "Nope", "--json", "--scan-time", "1.5"});
    EXPECT_EQ(json.status, 3);
    EXPECT_EQ(jsonValue(json.out, "domain"), "\"vexatoken\"");
    EXPECT_TRUE(contains(jsonValue(json.out, "message"), "within 1.5 s"));
    EXPECT_EQ(jsonValue(json.out, "exitCode"), "3");
}

TEST(ToolErrors, RejectedKeys) {
    const auto wrong = runTool({"info", "--key", "mine", "--sim-token-key", "theirs"});
    EXPECT_EQ(wrong.status, 4);
    EXPECT_EQ(wrong.err, "error: vexatoken 4: The token \"VexaToken Sim\" rejected the session key: it is not paired with this key.\n");
    EXPECT_EQ(wrong.out, "");
    // A host without a key cannot talk to a token that has one.
    EXPECT_EQ(runTool({"info", "--sim-token-key", "theirs"}).status, 4);
}

TEST(ToolErrors, KeyFiles) {
    TempDir dir;
    std::ofstream(dir.file("key")) << "from a file\r\n";
    EXPECT_EQ(runTool({"info", "--key-file", dir.file("key"), "--sim-token-key", "from a file"}).status, 0);
    EXPECT_EQ(runTool({"info", "--key-file", dir.file("key"), "--sim-token-key", "other"}).status, 4);
    const auto missing = runTool({"info", "--key-file", dir.file("none")});
    EXPECT_EQ(missing.status, 7);
    EXPECT_TRUE(contains(missing.err, "Cannot read the key file")) << missing.err;
}

TEST(ToolErrors, Backends) {
    const auto unknown = runTool({"scan", "--backend", "bluez"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "error: vexatoken 2: The backend \"bluez\" is not available in this build (available: sim).\n");

    // A registered hardware backend runs on the real clock: an empty radio, a short scan.
    ToolContext context;
    context.backends["empty"] = [] { return std::make_shared<SimulatedBackend>(); };
    const auto empty = runTool({"info", "--backend", "empty", "--scan-time", "0.05"}, context);
    EXPECT_EQ(empty.status, 3);
    EXPECT_TRUE(contains(empty.err, "No token was found")) << empty.err;
    EXPECT_EQ(runTool({"info", "--backend", "empty", "--sim-state", "x"}, context).status, 2);
}

// The session's waits end even when the token does not answer.
class ToolWaits : public ::testing::Test {
protected:
    ToolWaits() {
        settings.replyTimeout = 2s;
        settings.connectTime = 3s;
    }
    /// What `step` failed with: its exit status and message (0 and "" when it did not fail).
    template <class F>
    static std::pair<int, std::string> failure(F step) {
        try {
            step();
        } catch (const ToolFailure& failure) {
            return {failure.exitCode(), failure.error().message};
        }
        return {0, ""};
    }
    SimEnvironment environment{SimSettings{}};
    SessionSettings settings;
};

TEST_F(ToolWaits, ASilentTokenTimesOutAndTheLinkDrops) {
    TokenSession session(environment, settings);
    const auto token = session.find("");
    session.connect(token, std::nullopt);
    environment.token()->ignoreCommand(0xB0);
    const auto start = environment.loop().now();
    const auto read = [](VexaToken& t) { t.readEnvironmentVariable("x"); };
    const TokenReply reply = session.call(token, ReplyKind::ReadVariable, read);
    ASSERT_TRUE(reply.error);
    EXPECT_EQ(reply.error->code, 4);
    EXPECT_EQ(libraryFailure(*reply.error).exitCode(), kExitTimedOut);
    EXPECT_GE(environment.loop().now() - start, 2s);
    EXPECT_LT(environment.loop().now() - start, 2s + kReplyGrace);
    // The session drops the link after a time-out: the next command fails, one way or another.
    EXPECT_EQ(failure([&] { session.require(token, ReplyKind::ReadVariable, read); }).first, kExitFailed);
}

TEST_F(ToolWaits, ANeverCompletedConnectionTimesOutAndBluetoothOffIsReported) {
    settings.syncMode = 7;
    {
        TokenSession session(environment, settings);
        session.connect(session.find(kSimTokenName), std::nullopt);
        EXPECT_EQ(environment.token()->device().lastSyncMode(), 7);  // the sync mode reaches the token
    }
    TokenSession session(environment, settings);
    const auto token = session.find("");
    environment.token()->peripheral()->faults().ignoreConnections();
    EXPECT_EQ(failure([&] { session.connect(token, std::nullopt); }), std::make_pair(int(kExitTimedOut), std::string("The token did not connect within 3 s.")));
    EXPECT_FALSE(token->isConnected());
    environment.radio()->setState(ManagerState::PoweredOff);
    const auto off = failure([&] { session.scan(); });
    EXPECT_EQ(off.first, kExitNotFound);
    EXPECT_EQ(off.second.rfind("Bluetooth is not available: ", 0), 0u) << off.second;
}

TEST(ToolDemo, EveryStepChecksOut) {
    const auto text = runTool({"demo"});
    EXPECT_EQ(text.status, 0) << text.out << text.err;
    EXPECT_TRUE(contains(text.out, "All 13 steps checked out.")) << text.out;
    EXPECT_FALSE(contains(text.out, "\u2717"));

    const auto json = runTool({"demo", "--json"});
    ASSERT_EQ(json.status, 0) << json.out;
    EXPECT_EQ(jsonValue(json.out, "failed"), "0");
    ASSERT_EQ(jsonCount(json.out, "ok"), 13u);
    for (size_t i = 0; i < 13; ++i) EXPECT_EQ(jsonValue(json.out, "ok", i), "true") << jsonValue(json.out, "step", i);
    EXPECT_EQ(jsonValue(json.out, "step", 2), "\"Refuse a token that holds another key\"");
}

}  // namespace
}  // namespace vexa::tool::test
