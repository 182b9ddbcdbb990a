// The tool's token commands end to end on the virtual token: text and JSON output, exit status.
#include <gtest/gtest.h>

#include <fstream>

#include "Emulator/VirtualTokenConfig.h"
#include "Platform/HostDevice.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/SimEnvironment.h"
#include "tests/Tools/ToolTestSupport.h"

namespace vexa::tool::test {
namespace {

TEST(ToolCommands, ScanAndInfoOverAnEncryptedSession) {
    const auto scan = runTool({"scan"});
    EXPECT_EQ(scan.status, 0) << scan.err;
    for (const std::string part : {kSimTokenName, kSimTokenIdentifier, "-55"}) EXPECT_TRUE(contains(scan.out, part)) << scan.out;
    const auto json = runTool({"scan", "--json"});
    EXPECT_EQ(jsonCount(json.out, "name"), 1u) << json.out;
    EXPECT_EQ(jsonValue(json.out, "identifier"), "\"" + std::string(kSimTokenIdentifier) + "\"");
    EXPECT_EQ(jsonValue(json.out, "rssi"), "-55");

    const auto text = runTool({"info", "--key", "1234"});
    EXPECT_EQ(text.status, 0) << text.err;
    for (const char* line : {"Serial:    24000017", "Battery:   87%", "Firmware:  12", "Hardware:  03"})
        EXPECT_TRUE(contains(text.out, line)) << text.out;
    // Selected by identifier, in any case; the traffic shows on stderr with -v.
    std::string id = kSimTokenIdentifier;
    std::transform(id.begin(), id.end(), id.begin(), ::tolower);
    const auto info = runTool({"--json", "info", "--token", id, "-v"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(jsonValue(info.out, "name"), "\"" + std::string(kSimTokenName) + "\"");
    EXPECT_EQ(jsonValue(info.out, "serial"), "24000017");
    EXPECT_EQ(jsonValue(info.out, "batteryLevel"), "0.87");
    EXPECT_EQ(jsonValue(info.out, "firmwareVersion"), "\"12\"");
    EXPECT_EQ(jsonValue(info.out, "hardwareVersion"), "\"03\"");
    EXPECT_TRUE(contains(info.err, "\n> ") || info.err.rfind("> ", 0) == 0) << info.err;
    EXPECT_TRUE(contains(info.err, "\n< ")) << info.err;
}

TEST(ToolCommands, InitSetsTheClockThatTheStateKeeps) {
    TempDir dir;
    const std::string state = dir.file("state");
    std::ofstream(state) << "vexatoken-sim-state 1\nclock-offset -100000\n";
    const auto json = runTool({"init", "--json", "--sim-state", state});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NEAR(std::stod(jsonValue(json.out, "clock")), currentUnixTime(), 5.0);
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
    EXPECT_EQ(jsonValue(json.out, "atr"), "\"" + formatHex(atr, "") + "\"");
    EXPECT_EQ(jsonValue(json.out, "command"), "\"00A4040009A00000030800001000\"");
    EXPECT_EQ(jsonValue(json.out, "data"), "\"\"");
    EXPECT_EQ(jsonValue(json.out, "data", 1).size(), 18u);  // eight random bytes, quoted
    EXPECT_EQ(jsonValue(json.out, "sw", 1), "\"9000\"");
    EXPECT_EQ(jsonValue(json.out, "sw", 2), "\"6D00\"");  // instruction not supported
    const auto text = runTool({"apdu", "00 84 00 00 04"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "ATR:       " + formatHex(atr))) << text.out;
    EXPECT_TRUE(contains(text.out, "SW 9000"));

    // Malformed hex is refused before the token is touched; too short an APDU is the token's refusal.
    const auto bad = runTool({"apdu", "00A4", "zz"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "error: vexatoken 2: Not an APDU in hex: \"zz\".\n");
    EXPECT_EQ(bad.out, "");
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
    EXPECT_EQ(run({"env", "get", "colour"}).out, "blue green\n");
    EXPECT_EQ(run({"env", "rm", "colour"}).out, "Removed colour.\n");
    const auto gone = run({"env", "get", "colour", "--json"});
    EXPECT_EQ(gone.status, 5);
    EXPECT_EQ(jsonValue(gone.out, "domain"), "\"org.vexatokenkit.LumoToken\"");
    EXPECT_EQ(jsonValue(gone.out, "code"), "65292");

    // The first connection paired this host as device0; add a second host by hand.
    EXPECT_EQ(run({"env", "set", "device1", "a1b2c3d4e5f6laptop"}).status, 0);
    const auto list = run({"paired", "list", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::string hosts = list.out.substr(list.out.find("\"paired\""));
    EXPECT_EQ(jsonCount(hosts, "variable"), 2u);
    EXPECT_EQ(jsonValue(hosts, "variable"), "\"device0\"");
    EXPECT_EQ(jsonValue(hosts, "name"), "\"" + hostDeviceName() + "\"");
    EXPECT_EQ(jsonValue(hosts, "address").size(), 19u);
    EXPECT_EQ(jsonValue(hosts, "address", 1), "\"a1:b2:c3:d4:e5:f6\"");
    EXPECT_EQ(jsonValue(hosts, "name", 1), "\"laptop\"");
    EXPECT_EQ(run({"paired", "rm", "device1"}).status, 0);
    const auto after = run({"paired", "list"});
    EXPECT_TRUE(contains(after.out, "device0"));
    EXPECT_FALSE(contains(after.out, "device1")) << after.out;
}

TEST(ToolCommands, StoragePowerOffUsageHelpAndVersion) {
    EXPECT_EQ(runTool({"storage", "1"}).out, "Storage 1 selected.\n");
    const auto missing = runTool({"storage", "7"});
    EXPECT_EQ(missing.status, 5);
    EXPECT_TRUE(contains(missing.err, "error: org.vexatokenkit.LumoToken 65291:")) << missing.err;
    EXPECT_EQ(jsonValue(runTool({"power-off", "--json"}).out, "poweredOff"), "true");

    const auto none = runTool({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err.rfind("error: vexatoken 2: ", 0), 0u) << none.err;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"info", "--no-such-option"}, {"get", "/only-one"}, {"env", "frobnicate", "x"},
                                                 {"info", "--timeout", "0"}, {"info", "--key", "a", "--key-file", "b"}})
        EXPECT_EQ(runTool(args).status, 2) << args[1];
    const auto help = runTool({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"scan", "info", "init", "apdu", "ls", "get", "put", "rm", "storage", "env", "paired", "power-off", "demo", "Exit status"})
        EXPECT_TRUE(contains(help.out, command)) << command;
    EXPECT_TRUE(contains(runTool({"--version"}).out, "VexaTokenKit-1.0.0"));
}

}  // namespace
}  // namespace vexa::tool::test
