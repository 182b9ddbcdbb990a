// vexatoken emulate end to end: the tool's command, run in-process on a thread of its own against
// the fake org.bluez's peripheral adapter, serves a token that the library's BlueZ central finds,
// connects to with a key and uses; its fault switches, its JSON lines, its state file and Ctrl-C.
// The session scenarios against the emulator are those of TwoBackendSessionTest.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "Tools/vexatoken/emulate/EmulateRunner.h"
#include "Tools/vexatoken/emulate/FaultSwitch.h"
#include "tests/Tools/ToolTestSupport.h"
#include "tests/VexaTokenKit/PublicTestSupport.h"
#include "tests/bluez/BlueZFixture.h"

namespace vexa::test {
namespace {

using tool::test::runTool;
using tool::test::ToolResult;

tool::ToolContext emulateOn(const BlueZFixture& f, const std::string& adapter) {
    tool::ToolContext context;
    context.emulate = [address = f.bus.address(), adapter](const auto& options, const auto& key, auto& out, auto& err) {
        return tool::serveEmulatedToken(options, key, {address, adapter}, out, err);
    };
    return context;
}

TEST(EmulateCommand, ServesTheLibrarysCentralWithFaultsAndStateUntilCtrlC) {
    BlueZFixture f;
    ASSERT_TRUE(f.started) << f.bus.error();
    f.fake.enablePeripheralRole();
    tool::test::TempDir dir;
    const std::string state = dir.file("token.state");
    ToolResult result;
    std::thread emulate([&] {
        result = runTool({"emulate", "--name", "Desk Token", "--key", "2468", "--fault", "battery:status=5/1", "--sim-state", state, "--json"},
                         emulateOn(f, "hci1"));
    });

    setHostDeviceName("Build Host");
    VexaTokenEncryptContainer::sharedInstance().setKeys({});
    auto manager = VexaTokenManager::create(LumoCentralManager::create(f.backend, nullptr));
    auto managerEvents = std::make_shared<ManagerEvents>();
    auto events = std::make_shared<TokenEvents>();
    manager->setDelegate(managerEvents);
    manager->startScanning();
    ASSERT_TRUE(f.waitFor([&] { return !manager->tokens().empty(); }));
    manager->stopScanning();
    auto token = manager->tokens().front();
    EXPECT_EQ(token->name(), "Desk Token");
    VexaTokenEncryptContainer::sharedInstance().setKey(*token, "2468");
    token->setDelegate(events);
    manager->connectToToken(token);
    ASSERT_TRUE(f.waitFor([&] { return !managerEvents->connected.empty(); }));

    token->getBatteryLevel();  // the fault switch answers status 5 once
    token->getBatteryLevel();
    token->writeEnvironmentVariable("mode", "air");
    token->getListFiles("/");
    token->getPairedDevices();
    ASSERT_TRUE(f.waitFor([&] { return events->count("paired") == 1; }));
    EXPECT_TRUE(events->events.at(0).error);
    EXPECT_DOUBLE_EQ(events->last("battery")->number, 0.87);
    EXPECT_FALSE(events->last("writeVar")->error);
    ASSERT_TRUE(events->last("list")->files);
    EXPECT_TRUE(events->last("list")->files->empty());
    ASSERT_EQ(events->last("paired")->devices.size(), 1u);

    std::raise(SIGINT);  // as Ctrl-C: the token drops the link and leaves the air
    emulate.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(f.waitFor([&] { return !managerEvents->disconnected.empty(); }));
    const FakePeripheralState air = f.fake.peripheralState();
    EXPECT_FALSE(air.application || air.advertisement);
    EXPECT_EQ(air.localName, "Desk Token");
    for (const char* line : {R"({"event":"advertising","name":"Desk Token","adapter":"/org/bluez/hci1"})", R"("event":"session-start")",
                             R"({"event":"command","code":101,"name":"sync-key","encrypted":false)", R"("name":"battery","status":5,"length":1})",
                             R"("name":"battery","status":0,"length":2})", R"({"event":"stopped"})"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
    std::ifstream saved(state);
    std::stringstream text;
    text << saved.rdbuf();
    EXPECT_NE(text.str().find("var 6D6F6465 616972"), std::string::npos) << text.str();  // mode=air
}

TEST(EmulateCommand, AnAdapterThatCannotAdvertiseEndsWithStatus3) {
    BlueZFixture f;
    ASSERT_TRUE(f.started) << f.bus.error();
    const ToolResult result = runTool({"emulate"}, emulateOn(f, "hci0"));  // hci0 of the fake is central only
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find("cannot act as a peripheral"), std::string::npos) << result.err;
}

TEST(EmulateFaultSwitch, SyntaxOfTheSwitches) {
    struct Row {
        const char* text;
        std::optional<uint8_t> command;
        VirtualTokenFault kind;
        int times;
    };
    for (const Row& row : {Row{"serial:status=7", 0x30, VirtualTokenFault::ReplyStatus, -1}, Row{"0x80:delay=2.5/1", 0x80, VirtualTokenFault::Delay, 1},
                           Row{"no-reply/2", std::nullopt, VirtualTokenFault::NoReply, 2}, Row{"any:bad-crc", std::nullopt, VirtualTokenFault::BadCrc, -1},
                           Row{"read:empty", 0x80, VirtualTokenFault::EmptyPayload, -1}, Row{"sync-key:out-of-order", 0x65, VirtualTokenFault::FramesOutOfOrder, -1}}) {
        std::string why;
        const auto rule = tool::parseFaultSwitch(row.text, why);
        ASSERT_TRUE(rule) << row.text << ": " << why;
        EXPECT_EQ(rule->command, row.command) << row.text;
        EXPECT_EQ(rule->kind, row.kind) << row.text;
        EXPECT_EQ(rule->times, row.times) << row.text;
    }
    std::string why;
    EXPECT_EQ(tool::parseFaultSwitch("0x80:delay=2.5", why)->delay, std::chrono::milliseconds(2500));
    EXPECT_EQ(tool::parseFaultSwitch("status=0x0b", why)->status, 11);
    for (const char* bad : {"status=256", "status", "delay=-1", "frob:no-reply", "no-reply/0", "no-reply=1", "serial:", ""})
        EXPECT_FALSE(tool::parseFaultSwitch(bad, why)) << bad;
}

}  // namespace
}  // namespace vexa::test
