// Every token operation end to end, with the values and errors its delegate method receives.
#include <gmock/gmock.h>

#include <sstream>

#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

class TokenOperationsTest : public PublicTest {
protected:
    void SetUp() override {
        PublicTest::SetUp();
        device = addToken("Token A", "0000", [](VirtualTokenConfig& config) {
            config.serial = "42";
            config.batteryLevel = 57;
            config.firmwareVersion = 0x07;
            config.hardwareVersion = 0x1F;
        });
        VexaTokenEncryptContainer::sharedInstance().setKey(*scan(1).at(0), "0000");  // traffic is encrypted
        token = connectedToken("Token A");
    }
    void TearDown() override {
        setUnixTimeSource({});
        PublicTest::TearDown();
    }

    TokenEvent run(const std::string& method, const std::function<void()>& operation) {
        const size_t before = tokenEvents->count(method);
        operation();
        EXPECT_TRUE(waitFor(method, before + 1));
        return *tokenEvents->last(method);
    }
    static void expectError(const OptError& error, int64_t code, const std::string& message) {
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, (Error{"VexaTokenError", code, message}));
    }

    std::shared_ptr<VirtualToken> device;
    std::shared_ptr<VexaToken> token;
};

// One row per operation, issued in turn: what its delegate method reports (number, text, name,
// data size, error code). File and variable failures reach the delegate as the session made them.
TEST_F(TokenOperationsTest, EveryOperationReportsThroughItsDelegateMethod) {
    setUnixTimeSource([] { return 1700000000.75; });
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const std::string atr = "0 " + std::to_string(device->device().config().atr.size()) + "b";
    const struct {
        std::function<void()> operation;
        const char* method;
        std::string expected;
    } rows[] = {
        {[&] { token->initialize(); }, "initialize", "0"},
        {[&] { token->getSerial(); }, "serial", "42"},
        {[&] { token->getBatteryLevel(); }, "battery", "0.57"},
        {[&] { token->getFirmwareVersion(); }, "firmware", "0 07"},
        {[&] { token->getHardwareVersion(); }, "hardware", "0 1f"},
        {[&] { token->powerSecureElementOn(); }, "atr", atr},
        {[&] { token->transmitAPDU({0x00, 0x84, 0x00, 0x00, 0x08}); }, "apdu", "0 10b"},  // GET CHALLENGE, 8 bytes
        {[&] { token->setCommunicationProtocol(1); }, "protocol", "1"},
        {[&] { token->powerSecureElementOff(); }, "powerOff", "0"},
        {[&] { token->selectDeviceStorage(0x101); }, "storage", "0"},  // the low 8 bits: storage 1
        {[&] { token->openFile("/notes.bin", 0x101); }, "open", "1"},   // mode 1: write
        {[&] { token->writeFile(1, data); }, "write", "1"},
        {[&] { token->closeFile(1); }, "close", "1"},
        {[&] { token->openFile("/notes.bin", 0); }, "open", "1"},
        {[&] { token->readFile(1, 6000); }, "read", "1 5000b"},
        {[&] { token->closeFile(1); }, "close", "1"},
        {[&] { token->removeFile("/notes.bin"); }, "removeFile", "0"},
        {[&] { token->removeFile("/notes.bin"); }, "removeFile", "0 org.vexatokenkit.LumoToken 65291"},
        {[&] { token->openFile("/missing", 0); }, "open", "0 org.vexatokenkit.LumoToken 65291"},
        {[&] { token->readFile(0x33, 1); }, "read", "51 org.vexatokenkit.LumoToken 65291"},
        {[&] { token->writeEnvironmentVariable("colour", "blé"); }, "writeVar", "0"},
        {[&] { token->readEnvironmentVariable("colour"); }, "readVar", "0 blé colour"},
        {[&] { token->removeEnvironmentVariable("colour"); }, "removeVar", "0"},
        {[&] { token->readEnvironmentVariable("colour"); }, "readVar", "0 org.vexatokenkit.LumoToken 65292"},
        {[&] { token->removeEnvironmentVariable("colour"); }, "removeVar", "0 org.vexatokenkit.LumoToken 65292"},
    };
    for (const auto& row : rows) {
        const TokenEvent e = run(row.method, row.operation);
        std::ostringstream got;
        got << e.number;
        for (const auto& part : {e.text, e.name}) got << (part ? " " + *part : "");
        if (e.data) got << " " << e.data->size() << "b";
        if (e.error) got << " " << e.error->domain << " " << e.error->code;
        EXPECT_EQ(got.str(), row.expected) << row.method;
    }
    EXPECT_EQ(tokenEvents->events.size(), std::size(rows));  // each answered once, in order
    EXPECT_EQ(device->device().clock().now(), 1700000000);
    EXPECT_EQ(tokenEvents->events[5].data, device->device().config().atr);
    EXPECT_EQ(Bytes(tokenEvents->events[6].data->end() - 2, tokenEvents->events[6].data->end()), (Bytes{0x90, 0x00}));
    EXPECT_FALSE(device->device().secureElement().isPoweredOn());
    EXPECT_EQ(tokenEvents->events[14].data, data);
    EXPECT_EQ(device->device().selectedStorage(), 1u);
}

// The mapping rows themselves are checked on their own; here each operation's default and the
// mapping applied to what the session reports.
TEST_F(TokenOperationsTest, SessionErrorsAreMappedWithEachOperationsDefault) {
    struct Case {
        uint8_t command;
        uint8_t status;
        const char* method;
        std::function<void()> operation;
        int64_t code;
        const char* message;
    };
    const Bytes apdu{0, 0x84, 0, 0, 1};
    const Case cases[] = {
        {0x45, 3, "atr", [&] { token->powerSecureElementOn(); }, -2007, "Connection to secure element could not be established."},
        {0x30, 6, "serial", [&] { token->getSerial(); }, -2016, "Unable to get serial number."},
        {0x15, 10, "apdu", [&] { token->transmitAPDU(apdu); }, -2013, "Data not available."},
        {0x35, 5, "battery", [&] { token->getBatteryLevel(); }, -2017, "Unable to get battery level."},
        {0x55, 12, "protocol", [&] { token->setCommunicationProtocol(1); }, -2022, "Unable to set communication protocol."},
        {0x10, 6, "initialize", [&] { token->initialize(); }, -2005, "Invalid token response."},
        {0x40, 12, "powerOff", [&] { token->powerOff(); }, -2005, "Invalid token response."},
        {0x50, 13, "powerOff", [&] { token->powerSecureElementOff(); }, -2020, "Unable to power off secure element."},
        {0x20, 7, "firmware", [&] { token->getFirmwareVersion(); }, -2016, "Unable to get serial number."},
        {0x20, 12, "firmware", [&] { token->getFirmwareVersion(); }, -2018, "Unable to get firmware version."},
        {0x25, 11, "hardware", [&] { token->getHardwareVersion(); }, -2019, "Unable to get hardware version."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + std::string(" status ") + std::to_string(c.status));
        device->replyStatus(c.command, c.status, 1);
        const TokenEvent e = run(c.method, c.operation);
        expectError(e.error, c.code, c.message);
        EXPECT_EQ(e.number, 0);  // serial, level, success
        EXPECT_FALSE(e.text || e.data);
    }

    // A reply that cannot be parsed (code 2) maps to -2003.
    device->corruptReplies(0x25, 1);
    expectError(run("hardware", [&] { token->getHardwareVersion(); }).error, -2003, "An unknown Bluetooth error has occured");
}

TEST_F(TokenOperationsTest, TokensWithoutDelegateOrConnectionStaySilent) {
    const auto bare = std::make_shared<VexaTokenDelegate>();  // implements no method
    for (const std::shared_ptr<VexaTokenDelegate>& delegate : {std::shared_ptr<VexaTokenDelegate>(), bare}) {
        token->setDelegate(delegate);
        token->getSerial();
        token->getListFiles("/");
        token->getPairedDevices();
        main.runFor(std::chrono::seconds(1));
    }
    EXPECT_TRUE(tokenEvents->events.empty());
    EXPECT_TRUE(token->isConnected());

    token->setDelegate(tokenEvents);
    token->powerOff();  // answers, then the token switches itself off
    ASSERT_TRUE(waitFor("powerOff"));
    EXPECT_FALSE(tokenEvents->last("powerOff")->error);
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    tokenEvents->events.clear();
    addToken("Token B");
    auto never = scan(1).at(0);  // never connected
    never->setDelegate(tokenEvents);
    for (const auto& t : {token, never}) {
        t->initialize(), t->getSerial(), t->getBatteryLevel(), t->getFirmwareVersion(), t->getHardwareVersion();
        t->powerOff(), t->powerSecureElementOn(), t->powerSecureElementOff(), t->setCommunicationProtocol(1);
        t->transmitAPDU({0, 0x84, 0, 0, 1}), t->openFile("/a", 1), t->closeFile(1), t->writeFile(1, Bytes(3000));
        t->readFile(1, 1), t->removeFile("/a"), t->getListFiles("/"), t->selectDeviceStorage(0);
        t->readEnvironmentVariable("a"), t->writeEnvironmentVariable("a", "b"), t->removeEnvironmentVariable("a");
        t->getPairedDevices(), t->removePairedDevice("device0");
    }
    main.runFor(std::chrono::seconds(5));
    EXPECT_TRUE(tokenEvents->events.empty());
}

}  // namespace
}  // namespace vexa::test
