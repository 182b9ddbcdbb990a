// SIGINT and SIGTERM in the middle of a command, over the virtual token in process: the exit
// status, what the tool says, no file left open on the token, and the link taken down.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "Tools/vexatoken/SimEnvironment.h"
#include "tests/Tools/ToolTestSupport.h"

namespace vexa::tool::test {
namespace {

struct InterruptCase {
    std::vector<std::string> args;  // "IN"/"OUT": local files
    int signal;
    size_t afterFrames;  // the signal comes once this many frames crossed the link
    int status;          // 0: SIGINT ignored when the tool started, so the command finishes
    const char* says;
};

// Names the rows "put-130", "get-143", ...
void PrintTo(const InterruptCase& c, std::ostream* out) { *out << c.args[0] << '-' << c.status; }

class ToolInterrupt : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(ToolInterrupt, StopsTidily) {
    const InterruptCase& c = GetParam();
    TempDir dir;
    std::ofstream(dir.file("in")) << std::string(48 * 1024, 'x');
    std::vector<std::string> args = c.args;
    for (auto& arg : args) arg = arg == "IN" ? dir.file("in") : arg == "OUT" ? dir.file("out") : arg;
    std::shared_ptr<VirtualToken> token;
    size_t frames = 0, openAfterLastReply = 99;
    ToolContext context;
    context.environmentReady = [&](ToolEnvironment& environment) {
        token = static_cast<SimEnvironment&>(environment).token();
        token->device().storage(0).writeFile("/big.bin", Bytes(48 * 1024, 1), 0);
        for (int i = 0; i < 30; ++i) token->device().storage(0).writeFile("/f" + std::to_string(i), Bytes(1, 1), 0);
        token->endpoint().setObserver({{}, [&](const Bytes&) { openAfterLastReply = token->device().openHandleCount(); }});
        static_cast<SimEnvironment&>(environment).radio()->setTrafficObserver([&](const TrafficRecord&) {
            if (++frames == c.afterFrames) std::raise(c.signal);
        });
    };
    const auto before = std::signal(SIGINT, c.status == 0 ? SIG_IGN : SIG_DFL);
    const ToolResult result = runTool(args, context);
    std::signal(SIGINT, before);

    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_TRUE(contains(result.err + result.out, c.says)) << result.err;
    ASSERT_TRUE(token);
    EXPECT_FALSE(token->peripheral()->isConnected());
    EXPECT_EQ(openAfterLastReply, 0u);  // closed before the link went down
    EXPECT_EQ(std::filesystem::exists(dir.file("out")), args[0] == "get" && c.status == 0);
    if (args[0] == "put" && c.status != 0) {
        // Exactly what the tool says reached the token is there.
        const size_t size = token->device().storage(0).readFile("/new.bin").value_or(Bytes()).size();
        EXPECT_TRUE(contains(result.err, "Interrupted: " + std::to_string(size) + " of 49152 bytes")) << size;
        EXPECT_GT(size, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ToolInterrupt,
    ::testing::Values(InterruptCase{{"put", "IN", "/new.bin"}, SIGINT, 60, 130, "the remote file /new.bin is incomplete."},
                      InterruptCase{{"get", "/big.bin", "OUT"}, SIGTERM, 150, 143, "the local file"},
                      InterruptCase{{"ls", "/"}, SIGINT, 20, 130, "vexatoken 130: Interrupted."},
                      InterruptCase{{"apdu", "0084000008", "0084000008", "0084000008", "0084000008"}, SIGTERM, 12, 143, "Interrupted."},
                      InterruptCase{{"put", "IN", "/new.bin"}, SIGINT, 60, 0, "Copied 49152 bytes"}));

}  // namespace
}  // namespace vexa::tool::test
