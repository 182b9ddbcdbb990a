// Ctrl-C during a long put over BlueZ (the fake org.bluez, a slow link): the tool, on a thread of
// its own, closes the file, disconnects the device and ends with status 130.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/Tools/ToolTestSupport.h"
#include "tests/bluez/BlueZFixture.h"
#include "tests/fakebluez/VirtualTokenDeviceModel.h"

namespace vexa::test {

TEST(ToolInterruptBlueZ, CtrlCDuringPutClosesTheFileAndDisconnects) {
    const std::string address = "C0:FF:EE:00:00:15";
    BlueZFixture f;
    ASSERT_TRUE(f.started) << f.bus.error();
    f.fake.behave([](FakeBehaviour& b) { b.writeDelay = std::chrono::milliseconds(10); });
    auto model = VirtualTokenDeviceModel::create();
    FakeDeviceConfig device = tokenDeviceConfig(address);
    device.model = model;
    f.fake.addDevice(std::move(device));
    size_t pieces = 0, openAfterLastReply = 99;  // seen on this thread, which runs the model's loop
    model->endpoint().setObserver({[&](const auto& package) { pieces += package.code == 0x85; },
                                   [&](const Bytes&) { openAfterLastReply = model->endpoint().device().openHandleCount(); }});
    tool::test::TempDir dir;
    std::ofstream(dir.file("big")) << std::string(300 * 1024, 'x');
    tool::ToolContext context;
    context.backends["bluez"] = [&f] { return std::shared_ptr<BleBackend>(BlueZBackend::createWithBusAddress(f.bus.address(), BlueZFixture::testOptions())); };
    std::atomic<bool> finished{false};
    tool::test::ToolResult result;
    std::thread tool([&] {
        result = tool::test::runTool({"--backend", "bluez", "--token", address, "put", dir.file("big"), "/big"}, context);
        finished = true;
    });
    ASSERT_TRUE(f.waitFor([&] { return pieces >= 4 || finished; }, std::chrono::seconds(30)));
    const auto signalled = std::chrono::steady_clock::now();
    if (!finished) kill(getpid(), SIGINT);
    EXPECT_TRUE(f.waitFor([&] { return finished.load(); }, std::chrono::seconds(15)));
    tool.join();
    std::printf("SIGINT to exit over BlueZ: %.2f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count());
    EXPECT_EQ(result.status, 130) << result.err;
    EXPECT_TRUE(tool::test::contains(result.err, "reached the token; the remote file /big is incomplete.")) << result.err;
    EXPECT_FALSE(f.fake.isConnected(address));
    EXPECT_EQ(openAfterLastReply, 0u);
}

}  // namespace vexa::test
