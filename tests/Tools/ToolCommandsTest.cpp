// The tool's token commands end to end on the virtual token: text and JSON output, exit status.
#include <gtest/gtest.h>

#include <fstream>

#include "Emulator/VirtualTokenConfig.h"
#include "Emulator/VirtualVariableStore.h"
#include "Platform/HostDevice.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/SimEnvironment.h"
#include "tests/Tools/ToolTestSupport.h"

namespace vexa::tool::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ToolCommands, ScanListsTheVirtualToken) {
    const auto text = runTool({"scan"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "VexaToken Sim")) << text.out;
    EXPECT_TRUE(contains(text.out, kSimTokenIdentifier));
    EXPECT_TRUE(contains(text.out, "-55"));

    const auto json = runTool({"scan", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const JsonNode doc = JsonNode::parse(json.out);
    ASSERT_EQ(doc["tokens"].size(), 1u);
    EXPECT_EQ(doc["tokens"][0]["name"].str(), kSimTokenName);
    EXPECT_EQ(doc["tokens"][0]["identifier"].str(), kSimTokenIdentifier);
    EXPECT_EQ(doc["tokens"][0]["rssi"].num(), -55);
}

TEST(ToolCommands, InfoOverAnEncryptedSession) {
    const auto text = runTool({"info", "--key", "1234"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "Serial:    24000017")) << text.out;
    EXPECT_TRUE(contains(text.out, "Battery:   87%"));
    EXPECT_TRUE(contains(text.out, "Firmware:  12"));
    EXPECT_TRUE(contains(text.out, "Hardware:  03"));

    // Selected by identifier, in any case; the traffic shows on stderr with -v.
    std::string id = kSimTokenIdentifier;
    std::transform(id.begin(), id.end(), id.begin(), ::tolower);
    const auto json = runTool({"--json", "info", "--token", id, "-v"});
    ASSERT_EQ(json.status, 0) << json.err;
    const JsonNode doc = JsonNode::parse(json.out);
    EXPECT_EQ(doc["token"]["name"].str(), kSimTokenName);
    EXPECT_EQ(doc["serial"].num(), 24000017);
    EXPECT_EQ(doc["batteryLevel"].num(), 0.87);
    EXPECT_EQ(doc["firmwareVersion"].str(), "12");
    EXPECT_EQ(doc["hardwareVersion"].str(), "03");
    EXPECT_TRUE(contains(json.err, "\n> ") || json.err.rfind("> ", 0) == 0) << json.err;
    EXPECT_TRUE(contains(json.err, "\n< ")) << json.err;
}

TEST(ToolCommands, InitSetsTheClockThatTheStateKeeps) {
    TempDir dir;
    const std::string state = dir.file("state");
    std::ofstream(state) << "vexatoken-sim-state 1\nclock-offset -100000\n";
    const auto json = runTool({"init", "--json", "--sim-state", state});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NEAR(JsonNode::parse(json.out)["clock"].num(), currentUnixTime(), 5.0);

    std::ifstream saved(state);
    std::string header, kind;
    int64_t offset = -1;
    saved >> header >> header >> kind >> offset;
    EXPECT_EQ(kind, "clock-offset");
    EXPECT_LE(std::llabs(offset), 2);  // was a day behind, now on time
}

TEST(ToolCommands, ApduExchangesAndErrors) {
    const Bytes atr = VirtualTokenConfig::defaultAtr();
    const auto json = runTool({"apdu", "00A4040009A00000030800001000", "00 84 00 00 08", "00CA000000", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const JsonNode doc = JsonNode::parse(json.out);
    EXPECT_EQ(doc["atr"].str(), formatHex(atr, ""));
    ASSERT_EQ(doc["exchanges"].size(), 3u);
    EXPECT_EQ(doc["exchanges"][0]["command"].str(), "00A4040009A00000030800001000");
    EXPECT_EQ(doc["exchanges"][0]["data"].str(), "");
    EXPECT_EQ(doc["exchanges"][0]["sw"].str(), "9000");
    EXPECT_EQ(doc["exchanges"][1]["data"].str().size(), 16u);  // eight random bytes
    EXPECT_EQ(doc["exchanges"][1]["sw"].str(), "9000");
    EXPECT_EQ(doc["exchanges"][2]["sw"].str(), "6D00");       // instruction not supported

    const auto text = runTool({"apdu", "00 84 00 00 04"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "ATR:       " + formatHex(atr))) << text.out;
    EXPECT_TRUE(contains(text.out, "SW 9000"));

    // Malformed hex is refused before the token is touched.
    const auto bad = runTool({"apdu", "00A4", "zz"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "error: vexatoken 2: Not an APDU in hex: \"zz\".\n");
    EXPECT_EQ(bad.out, "");

    // Too short for an APDU: the token refuses it, mapped to the public error.
    const auto shortApdu = runTool({"apdu", "00A4"});
    EXPECT_EQ(shortApdu.status, 5);
    EXPECT_EQ(shortApdu.err, "error: VexaTokenError -2023: Invalid APDU.\n");
}

TEST(ToolCommands, VariablesAndPairedHostsAcrossRuns) {
    TempDir dir;
    const std::string state = dir.file("state");
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--sim-state", state, "--key", "pw"});
        return runTool(args);
    };
    EXPECT_EQ(run({"env", "set", "colour", "blue green"}).status, 0);
    const auto get = run({"env", "get", "colour"});
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, "blue green\n");
    EXPECT_EQ(run({"env", "rm", "colour"}).out, "Removed colour.\n");
    const auto gone = run({"env", "get", "colour", "--json"});
    EXPECT_EQ(gone.status, 5);
    const JsonNode error = JsonNode::parse(gone.out)["error"];
    EXPECT_EQ(error["domain"].str(), "org.vexatokenkit.LumoToken");
    EXPECT_EQ(error["code"].num(), 0xFF0C);

    // The first connection paired this host as device0; add a second host by hand.
    EXPECT_EQ(run({"env", "set", "device1", "a1b2c3d4e5f6laptop"}).status, 0);
    const auto list = run({"paired", "list", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    const JsonNode hosts = JsonNode::parse(list.out)["paired"];
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts[0]["variable"].str(), "device0");
    EXPECT_EQ(hosts[0]["name"].str(), hostDeviceName());
    EXPECT_EQ(hosts[0]["address"].str().size(), 17u);
    EXPECT_EQ(hosts[1]["variable"].str(), "device1");
    EXPECT_EQ(hosts[1]["address"].str(), "a1:b2:c3:d4:e5:f6");
    EXPECT_EQ(hosts[1]["name"].str(), "laptop");

    EXPECT_EQ(run({"paired", "rm", "device1"}).status, 0);
    const auto after = run({"paired", "list"});
    EXPECT_EQ(after.status, 0);
    EXPECT_TRUE(contains(after.out, "device0"));
    EXPECT_FALSE(contains(after.out, "device1")) << after.out;
}

TEST(ToolCommands, StorageAndPowerOff) {
    EXPECT_EQ(runTool({"storage", "1"}).out, "Storage 1 selected.\n");
    const auto missing = runTool({"storage", "7"});
    EXPECT_EQ(missing.status, 5);
    EXPECT_TRUE(contains(missing.err, "error: org.vexatokenkit.LumoToken 65291:")) << missing.err;

    const auto off = runTool({"power-off", "--json"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_TRUE(JsonNode::parse(off.out)["poweredOff"].boolean());
}

TEST(ToolCommands, UsageHelpAndVersion) {
    const auto none = runTool({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err.rfind("error: vexatoken 2: ", 0), 0u) << none.err;
    EXPECT_EQ(runTool({"info", "--no-such-option"}).status, 2);
    EXPECT_EQ(runTool({"get", "/only-one"}).status, 2);
    EXPECT_EQ(runTool({"env", "frobnicate", "x"}).status, 2);
    EXPECT_EQ(runTool({"info", "--timeout", "0"}).status, 2);  // every wait has a bound
    EXPECT_EQ(runTool({"info", "--key", "a", "--key-file", "b"}).status, 2);

    const auto help = runTool({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"scan", "info", "init", "apdu", "ls", "get", "put", "rm", "storage", "env", "paired", "power-off", "demo"})
        EXPECT_TRUE(contains(help.out, command)) << command;
    EXPECT_TRUE(contains(help.out, "Exit status"));
    EXPECT_TRUE(contains(help.out, "--backend TEXT=auto")) << help.out;
    EXPECT_TRUE(contains(runTool({"--version"}).out, "VexaTokenKit-1.0.0"));
}

}  // namespace
}  // namespace vexa::tool::test
