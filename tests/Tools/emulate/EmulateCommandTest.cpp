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
    f.fake.enablePeripheralRole(23);  // the smallest MTU: 20-byte reply frames
    tool::test::TempDir dir;
    const std::string state = dir.file("token.state");
    ToolResult result;
    std::thread emulate([&] {
        result = runTool({"emulate", "--name", "Desk Token", "--key", "2468", "--fault", "battery:status=5/1", "--sim-state", state, "--json", "-v"},
                         emulateOn(f, "hci1"));
    });

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
    token->openFile("/big", 1);
    ASSERT_TRUE(f.waitFor([&] { return events->count("open") == 1; }));
    token->writeFile(static_cast<uint8_t>(events->last("open")->number), Bytes(6000, 0x5A));
    token->closeFile(static_cast<uint8_t>(events->last("open")->number));
    token->openFile("/big", 0);
    ASSERT_TRUE(f.waitFor([&] { return events->count("open") == 2; }));
    token->readFile(static_cast<uint8_t>(events->last("open")->number), 6000);
    ASSERT_TRUE(f.waitFor([&] { return events->count("read") == 1; }));
    EXPECT_TRUE(events->events.at(0).error);
    EXPECT_DOUBLE_EQ(events->last("battery")->number, 0.87);
    EXPECT_FALSE(events->last("writeVar")->error);
    // 256 frames of 20 bytes carry a read of 4,843 bytes (with room for the AES filler).
    EXPECT_EQ(events->last("read")->data.value_or(Bytes{}), Bytes(4843, 0x5A));

    std::raise(SIGINT);  // as Ctrl-C: the token drops the link and leaves the air
    emulate.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(f.waitFor([&] { return !managerEvents->disconnected.empty(); }));
    EXPECT_FALSE(f.fake.peripheralRegistered());
    for (const char* line : {R"({"event":"advertising","name":"Desk Token","adapter":"/org/bluez/hci1"})", R"("event":"session-start")",
                             R"({"event":"command","code":101,"name":"sync-key","encrypted":false)", R"("name":"battery","status":5,"length":1})",
                             R"("name":"battery","status":0,"length":2})", R"({"event":"stopped"})"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
    EXPECT_NE(result.err.find("\n< 00 05 00 65 01 00 00 "), std::string::npos) << result.err;  // -v: the plain sync-key reply
    std::stringstream text;
    text << std::ifstream(state).rdbuf();
    EXPECT_NE(text.str().find("var 6D6F6465 616972"), std::string::npos) << text.str();  // mode=air
}

TEST(EmulateCommand, MalformedFaultSwitchesAndAnAdapterThatCannotAdvertise) {
    BlueZFixture f;
    ASSERT_TRUE(f.started) << f.bus.error();
    const auto context = emulateOn(f, "hci0");  // the fake's hci0 is central only
    for (const char* bad : {"status=256", "status", "delay=-1", "frob:no-reply", "no-reply/0", "no-reply=1", "serial:"})
        EXPECT_EQ(runTool({"emulate", "--fault", bad}, context).status, 2) << bad;
    const ToolResult result = runTool({"emulate", "--fault", "0x80:delay=2.5/1", "--fault", "any:out-of-order"}, context);
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find("cannot act as a peripheral"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace vexa::test
