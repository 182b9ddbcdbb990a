// File commands end to end: a file put in one run is read back in another through the state file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "Platform/Bytes.h"
#include "tests/Tools/ToolTestSupport.h"

namespace vexa::tool::test {
namespace {

Bytes readLocal(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void writeLocal(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

class ToolFiles : public ::testing::Test {
protected:
    ToolResult run(std::vector<std::string> args, const ToolContext& context = {}) {
        args.insert(args.end(), {"--sim-state", state, "--key", "file key"});
        return runTool(args, context);
    }
    TempDir dir;
    std::string state = dir.file("state");
};

TEST_F(ToolFiles, PutThenGetGivesTheSameBytes) {
    // Larger than one read and several write chunks, with bytes that do not repeat in step.
    Bytes data(40000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
    writeLocal(dir.file("in.bin"), data);

    const auto put = run({"put", dir.file("in.bin"), "/notes.bin"});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(put.out, "Copied 40000 bytes from " + dir.file("in.bin") + " to /notes.bin.\n");
    EXPECT_EQ(put.err, "");  // no progress bar off a terminal

    const auto get = run({"get", "/notes.bin", dir.file("out.bin"), "--json"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(jsonValue(get.out, "bytes"), "40000");
    EXPECT_EQ(readLocal(dir.file("out.bin")), data);

    const auto ls = run({"ls", "/", "--json"});
    ASSERT_EQ(ls.status, 0) << ls.err;
    const std::string entries = ls.out.substr(ls.out.find("\"entries\""));
    EXPECT_EQ(jsonCount(entries, "name"), 1u);
    EXPECT_EQ(jsonValue(entries, "name"), "\"notes.bin\"");
    EXPECT_EQ(jsonValue(ls.out, "size"), "40000");
    EXPECT_EQ(jsonValue(ls.out, "attributes"), "\"F\"");

    EXPECT_EQ(run({"rm", "/notes.bin"}).out, "Removed /notes.bin.\n");
    const auto empty = run({"ls"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
}

TEST_F(ToolFiles, StoragesAreSeparateAndEmptyFilesCopy) {
    writeLocal(dir.file("empty"), {});
    ASSERT_EQ(run({"put", "--storage", "1", dir.file("empty"), "/e"}).status, 0);
    EXPECT_EQ(run({"ls", "--storage", "0"}).out, "");
    EXPECT_TRUE(contains(run({"ls", "--storage", "1"}).out, " e\n"));
    const auto get = run({"get", "--storage", "1", "/e", dir.file("e.out")});
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(readLocal(dir.file("e.out")), Bytes{});
}

TEST_F(ToolFiles, MissingFilesOnEitherSide) {
    const auto noLocal = run({"put", dir.file("nowhere.bin"), "/x"});
    EXPECT_EQ(noLocal.status, 7);
    EXPECT_EQ(noLocal.err, "error: vexatoken 7: Cannot read the local file " + dir.file("nowhere.bin") + ".\n");

    const auto noRemote = run({"get", "/nowhere.bin", dir.file("out")});
    EXPECT_EQ(noRemote.status, 5);
    EXPECT_TRUE(contains(noRemote.err, "error: org.vexatokenkit.LumoToken 65291:")) << noRemote.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out")));  // nothing written for a failed copy

    writeLocal(dir.file("in"), bytesOf("abc"));
    EXPECT_EQ(run({"put", dir.file("in"), "/no/such/dir/file"}).status, 5);
    EXPECT_EQ(run({"rm", "/nowhere.bin"}).status, 5);
    EXPECT_EQ(run({"ls", "/nowhere"}).status, 5);
    EXPECT_NE(run({"get", "/", dir.file("no/such/dir/out")}).status, 0);  // an unwritable local path
}

TEST_F(ToolFiles, ProgressOnATerminalOnly) {
    writeLocal(dir.file("in"), Bytes(20000, 0x5A));
    ToolContext terminal;
    terminal.interactive = true;
    const auto put = run({"put", dir.file("in"), "/p"}, terminal);
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_TRUE(contains(put.err, "\rput /p [")) << put.err;
    EXPECT_TRUE(contains(put.err, "100% 19.5 KiB / 19.5 KiB"));
    const auto get = run({"get", "/p", dir.file("out")}, terminal);
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_TRUE(contains(get.err, "100% 19.5 KiB / 19.5 KiB")) << get.err;  // the size comes from the listing
}

}  // namespace
}  // namespace vexa::tool::test
