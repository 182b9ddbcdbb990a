// The tool's building blocks: hex reading, JSON writing, the progress line, the state file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "Emulator/VirtualTokenDevice.h"
#include "Platform/HostDevice.h"
#include "Platform/MainQueue.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/Json.h"
#include "Tools/vexatoken/ProgressBar.h"
#include "Tools/vexatoken/SimState.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "tests/Tools/ToolTestSupport.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::tool::test {
namespace {

TEST(ToolHex, ReadsSeparatedPairsAndRejectsEverythingElse) {
    EXPECT_EQ(parseHex("00a4 04:00-07"), (Bytes{0x00, 0xA4, 0x04, 0x00, 0x07}));
    EXPECT_EQ(parseHex("  FF  "), Bytes{0xFF});
    EXPECT_FALSE(parseHex(""));       // no bytes
    EXPECT_FALSE(parseHex(" : "));    // separators only
    EXPECT_FALSE(parseHex("ABC"));    // odd number of digits
    EXPECT_FALSE(parseHex("0G"));     // not a digit
    EXPECT_FALSE(parseHex("A B"));    // a separator inside a pair
    EXPECT_FALSE(parseHex("0x00"));
    EXPECT_EQ(formatHex(Bytes{0x3B, 0x0A, 0xFF}), "3B 0A FF");
    EXPECT_EQ(formatHex(Bytes{0x3B, 0x0A}, ""), "3B0A");
    EXPECT_EQ(formatHex(Bytes{}), "");
}

TEST(ToolJson, EscapesAndLaysOutByteExactly) {
    Json doc = Json::object();
    doc.set("text", "q\" b\\ t\t n\n r\r bell\x07")
        .set("broken", std::string("caf\xC3\xA9 a\xFF" "b"))  // invalid UTF-8 becomes U+FFFD
        .set("int", int64_t{-2016})
        .set("level", 0.87)
        .set("nan", std::nan(""))
        .set("flag", true)
        .set("none", nullptr)
        .set("list", Json::array().push(1).push(Json::object().set("k", "v")))
        .set("empty", Json::array());
    EXPECT_EQ(doc.dump(), "{\"text\":\"q\\\" b\\\\ t\\t n\\n r\\r bell\\u0007\",\"broken\":\"caf\xC3\xA9 a\xEF\xBF\xBD" "b\",\"int\":-2016,"
                          "\"level\":0.87,\"nan\":null,\"flag\":true,\"none\":null,\"list\":[1,{\"k\":\"v\"}],\"empty\":[]}");
    EXPECT_EQ(Json::object().set("b", 1).set("a", Json::array().push(2)).dump(2), "{\n  \"b\": 1,\n  \"a\": [\n    2\n  ]\n}");
}

TEST(ToolProgress, RendersBytesShareAndRate) {
    EXPECT_EQ(ProgressBar::formatBytes(512), "512 B");
    EXPECT_EQ(ProgressBar::formatBytes(1536), "1.5 KiB");
    EXPECT_EQ(ProgressBar::formatBytes(4.0 * 1024 * 1024), "4.0 MiB");
    EXPECT_EQ(ProgressBar::render("put /a", 512, 1024, 2.0), "put /a [############------------]  50% 512 B / 1.0 KiB  256 B/s");
    EXPECT_EQ(ProgressBar::render("get /a", 2048, std::nullopt, 0.0), "get /a 2.0 KiB");  // no time: no rate
    EXPECT_EQ(ProgressBar::render("put /e", 0, 0, 0.0), "put /e [########################] 100% 0 B / 0 B");
    // On a terminal (ToolFiles.ProgressOnATerminalOnly): a second finish, and the destructor, add nothing.
    std::ostringstream out;
    {
        ProgressBar bar(out, true, "get /a", 10);
        bar.finish();
        bar.finish();
    }
    const std::string drawn = out.str();
    EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\n'), 1);
}

class ToolSimState : public ::testing::Test {
protected:
    VirtualTokenDevice makeDevice() { return VirtualTokenDevice(VirtualTokenConfig{}, mainQueue()); }
    vexa::test::VirtualMainLoop main;
    TempDir dir;
};

// File bytes, storages, empty files and variables also cross runs in the ToolFiles and
// ToolCommands tests; here what those do not bring back.
TEST_F(ToolSimState, KeepsDirectoriesTimesBlankVariablesAndTheClockAcrossDevices) {
    VirtualTokenDevice device = makeDevice();
    ASSERT_TRUE(device.storage(0).makeDirectory("/docs/deep", 1000));
    ASSERT_TRUE(device.storage(1).writeFile("/a b.bin", bytesOf("x"), 2000));
    ASSERT_TRUE(device.variables().write("greeting", "h\xC3\xA9llo world"));
    ASSERT_TRUE(device.variables().write("blank", ""));
    device.clock().set(static_cast<int64_t>(currentUnixTime()) - 86400);
    const std::string path = dir.file("state");
    saveSimState(device, path);

    VirtualTokenDevice copy = makeDevice();
    ASSERT_TRUE(loadSimState(copy, path));
    EXPECT_EQ(copy.storage(0).stat("/docs")->createdAt, 1000);
    EXPECT_TRUE(copy.storage(0).stat("/docs/deep")->isDirectory);
    EXPECT_EQ(copy.storage(1).stat("/a b.bin")->createdAt, 2000);
    EXPECT_EQ(copy.variables().read("greeting"), "h\xC3\xA9llo world");
    EXPECT_EQ(copy.variables().read("blank"), "");
    EXPECT_NEAR(static_cast<double>(copy.clock().now()), currentUnixTime() - 86400, 2.0);
}

TEST_F(ToolSimState, ADamagedFileChangesNothing) {
    const std::string path = dir.file("state");
    const std::pair<const char*, int> damaged[] = {  // the text, and the line it is refused at
        {"not a state\n", 1},
        {"vexatoken-sim-state 1\nstorage 9\n", 2},                        // no such storage
        {"vexatoken-sim-state 1\nstorage 0\nfile 1 2F61 ZZ\n", 3},         // bad hex
        {"vexatoken-sim-state 1\nfile 1 2F61 00\n", 2},                    // file before any storage
        {"vexatoken-sim-state 1\nvar 61\n", 2},                            // value missing
        {"vexatoken-sim-state 1\nstorage 0\nfile 1 2F61 00\nwhat 1\n", 4}, // unknown record, after a good one
    };
    for (const auto& [text, line] : damaged) {
        std::ofstream(path, std::ios::trunc) << text;
        VirtualTokenDevice device = makeDevice();
        try {
            loadSimState(device, path);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ToolFailure& failure) {
            EXPECT_EQ(failure.exitCode(), kExitLocalFile);
            EXPECT_NE(failure.error().message.find("is damaged (line " + std::to_string(line) + ":"), std::string::npos) << failure.error().message;
        }
        EXPECT_FALSE(device.storage(0).readFile("/a")) << text;
    }
}

}  // namespace
}  // namespace vexa::tool::test
