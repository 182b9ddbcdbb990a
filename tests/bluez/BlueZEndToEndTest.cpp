// The public interface end to end over BlueZ: the token manager scans through the BlueZ backend,
// connects to the virtual token behind the fake org.bluez with a key, and works with it in an
// encrypted session.
#include <gtest/gtest.h>

#include "tests/VexaTokenKit/PublicTestSupport.h"
#include "tests/bluez/BlueZFixture.h"
#include "tests/fakebluez/VirtualTokenDeviceModel.h"

namespace vexa::test {
namespace {

const std::string kAddress = "C0:FF:EE:00:00:42";
const std::string kName = "Desk Token";
const std::string kPassword = "2468";

class BlueZEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.started) << f.bus.error();
        setHostDeviceName("Build Host");
        VexaTokenEncryptContainer::sharedInstance().setKeys({});
        VirtualTokenConfig config;
        config.name = kName;
        config.key = keyFromPassword(kPassword, kName);
        model = VirtualTokenDeviceModel::create(config);
        FakeDeviceConfig device = tokenDeviceConfig(kAddress, kName);
        device.model = model;
        f.fake.addDevice(std::move(device));
        manager = VexaTokenManager::create(LumoCentralManager::create(f.backend, nullptr));
        manager->setDelegate(managerEvents);
    }
    void TearDown() override {
        manager.reset();
        f.fake.stop();
        VexaTokenEncryptContainer::sharedInstance().setKeys({});
    }
    bool waitFor(const std::string& method, size_t n = 1) {
        return f.waitFor([&] { return tokenEvents->count(method) >= n; });
    }
    /// Scans, stores the key and connects the token found; null unless it connected.
    std::shared_ptr<VexaToken> connectWithKey() {
        manager->startScanning();
        EXPECT_TRUE(f.waitFor([&] { return !manager->tokens().empty(); }));
        manager->stopScanning();
        if (manager->tokens().empty()) return nullptr;
        auto token = manager->tokens().front();
        VexaTokenEncryptContainer::sharedInstance().setKey(*token, kPassword);
        token->setDelegate(tokenEvents);
        manager->connectToToken(token);
        EXPECT_TRUE(f.waitFor([&] { return !managerEvents->connected.empty() || !managerEvents->failures.empty(); }));
        EXPECT_TRUE(managerEvents->failures.empty()) << managerEvents->failures.at(0).message;
        return managerEvents->connected.empty() ? nullptr : token;
    }

    BlueZFixture f;
    std::shared_ptr<VirtualTokenDeviceModel> model;
    std::shared_ptr<VexaTokenManager> manager;
    std::shared_ptr<ManagerEvents> managerEvents = std::make_shared<ManagerEvents>();
    std::shared_ptr<TokenEvents> tokenEvents = std::make_shared<TokenEvents>();
};

TEST_F(BlueZEndToEndTest, ScanConnectWithKeyWorkEncryptedAndDisconnect) {
    auto token = connectWithKey();
    ASSERT_TRUE(token);
    EXPECT_EQ(token->name(), kName);
    EXPECT_EQ(token->identifier(), kAddress);
    EXPECT_TRUE(token->isConnected());
    EXPECT_EQ(model->endpoint().session(), VirtualTokenEndpoint::Session::Encrypted);

    token->getSerial();
    ASSERT_TRUE(waitFor("serial"));
    EXPECT_FALSE(tokenEvents->last("serial")->error);
    EXPECT_EQ(tokenEvents->last("serial")->number, VexaToken::serialNumberValue(model->endpoint().device().config().serial.value_or("")));

    Bytes data(4500);  // three pieces, each of many frames
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 13) ^ (i >> 7));
    token->openFile("/e2e.bin", 1);
    ASSERT_TRUE(waitFor("open"));
    const auto handle = static_cast<uint8_t>(tokenEvents->last("open")->number);
    token->writeFile(handle, data);
    token->closeFile(handle);
    token->openFile("/e2e.bin", 0);
    ASSERT_TRUE(waitFor("open", 2));
    const auto readHandle = static_cast<uint8_t>(tokenEvents->last("open")->number);
    token->readFile(readHandle, 5000);
    token->closeFile(readHandle);
    ASSERT_TRUE(waitFor("close", 2));
    EXPECT_FALSE(tokenEvents->last("write")->error);
    ASSERT_TRUE(tokenEvents->last("read")->data);
    EXPECT_EQ(*tokenEvents->last("read")->data, data);

    token->writeEnvironmentVariable("mode", "bluez");
    token->readEnvironmentVariable("mode");
    token->getPairedDevices();
    ASSERT_TRUE(waitFor("paired"));
    EXPECT_FALSE(tokenEvents->last("writeVar")->error);
    EXPECT_EQ(tokenEvents->last("readVar")->text, "bluez");
    const auto& paired = tokenEvents->last("paired")->devices;
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(paired[0].at(kPairedName), "Build Host");

    // Nothing after the synchronisation crossed in plain text, in either direction.
    bool synced = false;
    size_t sealed = 0;
    for (const auto& p : model->endpoint().receivedPackages()) {
        ASSERT_TRUE(p.valid);
        if (p.code == kCmdSyncSessionKey) {
            synced = true;
        } else {
            EXPECT_TRUE(synced) << "a command before the synchronisation";
            EXPECT_TRUE(p.encrypted) << "command 0x" << std::hex << int(p.code) << " in plain text";
            sealed += p.encrypted ? 1 : 0;
        }
    }
    EXPECT_GE(sealed, 10u);
    // Nor does any frame on the wire carry the plain variable value.
    const std::string needle = "bluez";
    for (const auto& write : f.fake.writes(kAddress))
        EXPECT_EQ(std::search(write.value.begin(), write.value.end(), needle.begin(), needle.end()), write.value.end());

    manager->disconnectFromToken(token);
    ASSERT_TRUE(f.waitFor([&] { return !managerEvents->disconnected.empty(); }));
    EXPECT_FALSE(token->isConnected());
    EXPECT_TRUE(f.waitFor([&] { return !f.fake.isConnected(kAddress); }));
    EXPECT_TRUE(managerEvents->failures.empty());
}

TEST_F(BlueZEndToEndTest, ServiceAndCharacteristicsExportedAfterServicesResolvedStillConnect) {
    f.fake.setLateGattObjects(true, std::chrono::milliseconds(100));  // the service, then one characteristic at a time
    auto token = connectWithKey();
    ASSERT_TRUE(token);
    token->getSerial();
    ASSERT_TRUE(waitFor("serial"));
    EXPECT_FALSE(tokenEvents->last("serial")->error);
}

}  // namespace
}  // namespace vexa::test
