// Sessions on the virtual token traced with --trace and read back with decode, and how decode
// fails on bad input.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/Tools/ToolTestSupport.h"

namespace vexa::tool::test {
namespace {

class TraceDecode : public ::testing::Test {
protected:
    // Runs a tool command on the keyed virtual token, traced to `trace`.
    void traced(std::vector<std::string> args) {
        args.insert(args.begin(), {"--key", "secret", "--sim-state", dir.file("state"), "--trace", trace});
        const auto run = runTool(args);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    TempDir dir;
    std::string trace = dir.file("t.btsnoop");
};

TEST_F(TraceDecode, EncryptedSessionsReadBackWithTheKey) {
    std::ofstream(dir.file("notes.txt")) << std::string(300, 'x');  // three frames each way
    const struct {
        std::vector<std::string> command;
        std::vector<std::string> lines;
    } rows[] = {
        {{"info"}, {"> syncSessionKey (0x65, length 25) hash=", "key=\"matches the hash\"", "< getSerial: No error (0) serial=\"24000017\"",
                    "< getBatteryLevel: No error (0) battery=87", "< getHardwareVersion: No error (0) version=\"03\""}},
        {{"put", dir.file("notes.txt"), "/notes.txt"},
         {"> openFile (0x70, length 12) mode=1 path=\"/notes.txt\"", "< openFile: No error (0) handle=", "> writeToFile (0x85, length 303)",
          "length=300 data=787878", "> closeFile (0x75, length 1)"}},
        {{"get", "/notes.txt", dir.file("copy.txt")}, {"> readFile (0x80, length 3) handle=", "< readFile: No error (0) length=300 data=787878"}},
        {{"ls", "/"}, {"> openDir (0x95, length 2) path=\"/\"", "name=\"notes.txt\"", "< getDirItem: No error (0) entry=\"end of the listing\""}},
        {{"env", "set", "colour", "blue"}, {"> writeEnvironmentVariable (0x60, length 12) name=\"colour\" value=\"blue\""}},
        {{"env", "rm", "colour"}, {"> removeEnvironmentVariable (0x60, length 7) name=\"colour\"", "< removeEnvironmentVariable: No error (0)"}},
        {{"apdu", "00A4040007A0000003080000"}, {"< powerSecureElementOn: No error (0) atr=", "> sendAPDU (0x15, length 12) apdu=00A4040007A0000003080000", " sw="}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command.front());
        traced(row.command);
        const auto decoded = runTool({"decode", trace, "--key", "secret"});
        EXPECT_EQ(decoded.status, 0) << decoded.err;
        for (const auto& line : row.lines) EXPECT_TRUE(contains(decoded.out, line)) << line << "\n" << decoded.out;
    }

    // With the key each package is decrypted; without it the trace's plain-text records serve.
    for (const bool withKey : {true, false}) {
        std::vector<std::string> args{"decode", trace, "--json"};
        if (withKey) args.insert(args.end(), {"--password", "secret", "--token-name", "VexaToken Sim"});
        const auto decoded = runTool(args);
        ASSERT_EQ(decoded.status, 0) << decoded.err;
        const std::string& json = decoded.out;
        EXPECT_EQ(jsonValue(json, "problems"), "0");
        EXPECT_EQ(jsonValue(json, "command", 4), "\"sendAPDU\"");
        EXPECT_EQ(jsonValue(json, "source", 4), withKey ? "\"decrypted\"" : "\"trace\"");
        EXPECT_EQ(jsonValue(json, "apdu"), "\"00A4040007A0000003080000\"");
        EXPECT_EQ(jsonValue(json, "kind", 5), "\"reply\"");
    }
}

TEST_F(TraceDecode, BadInputFailsClearly) {
    traced({"info"});
    std::ifstream in(trace, std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir.file(name), std::ios::binary) << bytes;
        return dir.file(name);
    };
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
        std::string out;
    } rows[] = {
        {{"decode", write("text", "hello, not a capture")}, 2, "it is not a btsnoop capture", ""},
        {{"decode", write("cut", whole.substr(0, whole.size() - 5))}, 5, "it ends inside a record at byte", "getHardwareVersion (0x25"},
        {{"decode", write("empty", whole.substr(0, 16))}, 5, "holds no traffic of the token's characteristics (no GATT discovery", ""},
        {{"decode", trace, "--key", "wrong"}, 5, "do not decrypt with the key given", "key=\"differs from the hash\""},
        {{"decode", dir.file("missing")}, 7, "Cannot read the capture", ""},
        {{"decode", trace, "--handle", "18"}, 2, "--handle takes the two ATT value handles", ""},
        {{"decode", trace, "--key", "a", "--password", "b"}, 2, "not both", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        const auto run = runTool(row.args);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_TRUE(contains(run.err, row.message)) << run.err;
        EXPECT_TRUE(contains(run.out, row.out)) << run.out;
    }
}

}  // namespace
}  // namespace vexa::tool::test
