// Every token operation end to end, with the values and errors its delegate method receives.
#include <gmock/gmock.h>

#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
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

TEST_F(TokenOperationsTest, InformationPowerAndApduOperationsReportTheirValuesInOrder) {
    setUnixTimeSource([] { return 1700000000.75; });
    // Issued back to back: the session queues them and each is answered once, in order.
    token->initialize();
    token->getSerial();
    token->getBatteryLevel();
    token->getFirmwareVersion();
    token->getHardwareVersion();
    token->powerSecureElementOn();
    token->transmitAPDU({0x00, 0x84, 0x00, 0x00, 0x08});  // GET CHALLENGE, 8 bytes
    token->setCommunicationProtocol(1);
    token->powerSecureElementOff();
    ASSERT_TRUE(waitFor("powerOff"));

    std::vector<std::string> order;
    for (const auto& e : tokenEvents->events) {
        order.push_back(e.method);
        EXPECT_FALSE(e.error) << e.method;
    }
    EXPECT_THAT(order, ::testing::ElementsAre("initialize", "serial", "battery", "firmware", "hardware", "atr", "apdu", "protocol",
                                              "powerOff"));
    EXPECT_EQ(device->device().clock().now(), 1700000000);
    EXPECT_EQ(tokenEvents->last("serial")->number, 42);
    EXPECT_DOUBLE_EQ(tokenEvents->last("battery")->number, 0.57);
    EXPECT_EQ(tokenEvents->last("firmware")->text, "07");
    EXPECT_EQ(tokenEvents->last("hardware")->text, "1f");
    EXPECT_EQ(tokenEvents->last("atr")->data, device->device().config().atr);
    const Bytes response = tokenEvents->last("apdu")->data.value_or(Bytes());
    ASSERT_EQ(response.size(), 10u);
    EXPECT_EQ(Bytes(response.end() - 2, response.end()), (Bytes{0x90, 0x00}));
    EXPECT_EQ(tokenEvents->last("protocol")->number, 1);
    EXPECT_FALSE(device->device().secureElement().isPoweredOn());
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

TEST_F(TokenOperationsTest, UnansweredCommandTimesOutWithTheDefaultErrorAndEndsTheLink) {
    token->setReplyTimeout(std::chrono::seconds(5));
    EXPECT_EQ(token->replyTimeout(), std::chrono::seconds(5));
    device->ignoreCommand(0x20, 1);
    token->getFirmwareVersion();
    token->getSerial();  // queued behind it: fails with the lost link
    ASSERT_TRUE(waitFor("serial"));
    expectError(tokenEvents->last("firmware")->error, -2018, "Unable to get firmware version.");
    expectError(tokenEvents->last("serial")->error, -2006, "Unable to get connection state.");
    ASSERT_TRUE(main.runUntil([&] { return managerEvents->disconnected.size() == 1; }));
    EXPECT_FALSE(token->isConnected());
}

TEST_F(TokenOperationsTest, FileOperationsPassResultsAndErrorsThrough) {
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    token->selectDeviceStorage(0x101);  // the low 8 bits: storage 1
    const auto handle = static_cast<uint8_t>(run("open", [&] { token->openFile("/notes.bin", 0x101); }).number);  // mode 1: write
    ASSERT_NE(handle, 0);
    token->writeFile(handle, data);
    EXPECT_EQ(run("close", [&] { token->closeFile(handle); }).number, handle);
    EXPECT_EQ(tokenEvents->count("write"), 1u);
    EXPECT_EQ(tokenEvents->last("write")->number, handle);
    EXPECT_EQ(device->device().storage(1).readFile("/notes.bin"), data);

    const auto reader = static_cast<uint8_t>(run("open", [&] { token->openFile("/notes.bin", 0); }).number);
    const TokenEvent read = run("read", [&] { token->readFile(reader, 6000); });
    EXPECT_EQ(read.number, reader);
    EXPECT_EQ(read.data, data);
    token->closeFile(reader);
    run("removeFile", [&] { token->removeFile("/notes.bin"); });
    for (const auto& e : tokenEvents->events) EXPECT_FALSE(e.error) << e.method;
    EXPECT_FALSE(device->device().storage(1).readFile("/notes.bin"));

    // Failures reach the delegate as the session made them: status 11 in the session's domain.
    token->removeFile("/notes.bin");
    token->openFile("/missing", 0);
    run("read", [&] { token->readFile(0x33, 1); });
    for (const char* method : {"removeFile", "open", "read"}) {
        EXPECT_EQ(tokenEvents->last(method)->error,
                  (Error{kLumoTokenErrorDomain, 0xFF0B, "Error operation at read/write file system"})) << method;
    }
    EXPECT_EQ(tokenEvents->last("open")->number, 0);
    EXPECT_EQ(tokenEvents->last("read")->number, 0x33);
    EXPECT_FALSE(tokenEvents->last("read")->data);

    // A write whose first of three pieces fails reports that error once, and sends no more pieces.
    device->clearRecords();
    device->replyStatus(0x85, 11, 1);
    token->writeFile(9, Bytes(5000, 0xAB));
    run("serial", [&] { token->getSerial(); });  // issued after the write: still answered
    main.runFor(std::chrono::seconds(1));
    ASSERT_EQ(tokenEvents->count("write"), 2u);
    EXPECT_EQ(tokenEvents->last("write")->error->code, 0xFF0B);
    EXPECT_EQ(tokenEvents->last("write")->number, 9);
    EXPECT_EQ(device->receivedPackages().size(), 2u);
}

TEST_F(TokenOperationsTest, EnvironmentVariablesReadWriteAndRemove) {
    token->writeEnvironmentVariable("colour", "blé");
    const TokenEvent read = run("readVar", [&] { token->readEnvironmentVariable("colour"); });
    EXPECT_FALSE(tokenEvents->last("writeVar")->error);
    EXPECT_EQ(read.name, "colour");
    EXPECT_EQ(read.text, "blé");

    token->removeEnvironmentVariable("colour");
    token->readEnvironmentVariable("colour");
    token->removeEnvironmentVariable("colour");
    ASSERT_TRUE(waitFor("removeVar", 2));
    EXPECT_FALSE(tokenEvents->events[tokenEvents->events.size() - 3].error);
    const auto* missing = tokenEvents->last("readVar");
    EXPECT_EQ(missing->error->code, 0xFF0C);
    EXPECT_FALSE(missing->name || missing->text);
    EXPECT_EQ(tokenEvents->last("removeVar")->error->code, 0xFF0C);
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
