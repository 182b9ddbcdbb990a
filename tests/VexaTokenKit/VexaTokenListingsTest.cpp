// Paired-host listing and removal, and directory listing, end to end; the address formatting.
#include <gmock/gmock.h>

#include "tests/VexaTokenKit/PublicTestSupport.h"

namespace vexa::test {
namespace {

using ::testing::ElementsAre;

VexaPairedDevice entry(const std::string& variable, const std::string& address, const std::string& name) {
    return {{kDeviceVariable, variable}, {kPairedBDAddr, address}, {kPairedName, name}};
}

class TokenListingsTest : public PublicTest {
protected:
    void SetUp() override {
        PublicTest::SetUp();
        device = addToken("Token A");
        token = connectedToken("Token A");
        for (const char* name : {"/a", "/b", "/c"}) ASSERT_TRUE(device->device().storage(0).writeFile(name, Bytes{1}, 0));
        device->clearRecords();
    }
    TokenEvent run(const std::string& method, const std::function<void()>& operation) {
        const size_t before = tokenEvents->count(method);
        operation();
        EXPECT_TRUE(waitFor(method, before + 1));
        return *tokenEvents->last(method);
    }
    std::vector<VexaPairedDevice> listPaired() {
        const TokenEvent e = run("paired", [&] { token->getPairedDevices(); });
        EXPECT_FALSE(e.error);
        return e.devices;
    }
    std::vector<int> codesReceived() const {
        std::vector<int> codes;
        for (const auto& package : device->receivedPackages()) codes.push_back(package.code);
        return codes;
    }

    std::shared_ptr<VirtualToken> device;
    std::shared_ptr<VexaToken> token;
};

TEST_F(TokenListingsTest, PairedHostsAreListedInIndexOrderUntilTheFirstMissingVariable) {
    auto& variables = device->device().variables();
    ASSERT_EQ(variables.read("device0"), "ED4D91DA53B6Test Host");  // recorded by the connection
    ASSERT_TRUE(variables.write("device1", "a1b2c3d4e5f6"));        // exactly 12: empty name, case kept
    ASSERT_TRUE(variables.write("device2", ""));                    // empty: skipped, the listing goes on
    ASSERT_TRUE(variables.write("device3", "0123456789A"));         // 11: the whole value as both
    ASSERT_TRUE(variables.write("device5", "FFFFFFFFFFFFlost"));    // after the gap at device4
    EXPECT_THAT(listPaired(), ElementsAre(entry("device0", "ED:4D:91:DA:53:B6", "Test Host"), entry("device1", "a1:b2:c3:d4:e5:f6", ""),
                                          entry("device3", "0123456789A", "0123456789A")));
    EXPECT_THAT(codesReceived(), ElementsAre(0xB0, 0xB0, 0xB0, 0xB0, 0xB0));

    // Two listings at once keep their own lists.
    token->getPairedDevices();
    token->getPairedDevices();
    ASSERT_TRUE(waitFor("paired", 3));
    EXPECT_EQ(tokenEvents->events[1].devices.size(), 3u);
    EXPECT_EQ(tokenEvents->events[2].devices.size(), 3u);

    // Removing device0 ends every later listing at once; removing it again reports the error.
    EXPECT_FALSE(run("removePaired", [&] { token->removePairedDevice("device0"); }).error);
    EXPECT_FALSE(variables.read("device0"));
    EXPECT_TRUE(listPaired().empty());
    EXPECT_EQ(run("removePaired", [&] { token->removePairedDevice("device0"); }).error->code, 0xFF0C);

    // A read of device1 that the token refuses ends the listing quietly; one that fails otherwise
    // (a broken reply) is reported with the entries read before it.
    ASSERT_TRUE(variables.write("device0", "AABBCCDDEEFF"));
    const std::pair<std::function<void()>, OptError> failures[] = {
        {[&] { device->replyStatus(0xB0, 2, 1); }, std::nullopt},
        {[&] { device->corruptReplies(0xB0, 1); }, Error{"LumoCommandError", 2, "Invalid crc of package"}}};
    for (const auto& [arm, error] : failures) {
        device->clearRecords();
        token->getPairedDevices();
        ASSERT_TRUE(main.runUntil([&] { return codesReceived().size() == 1; }));  // device0 is answered already
        arm();
        const TokenEvent e = run("paired", [] {});
        EXPECT_EQ(e.error, error);
        EXPECT_THAT(e.devices, ElementsAre(entry("device0", "AA:BB:CC:DD:EE:FF", "")));
    }
}

TEST_F(TokenListingsTest, PairedEntryFormatsTheAddressByCharacters) {
    EXPECT_EQ(VexaToken::pairedDeviceEntry("device7", "AABBCCDDEEFFHost"), entry("device7", "AA:BB:CC:DD:EE:FF", "Host"));
    EXPECT_EQ(VexaToken::pairedDeviceEntry("d", ""), std::nullopt);
    // Positions count UTF-16 code units, not bytes: "Ä" is one unit in two bytes, the key two units.
    EXPECT_EQ(VexaToken::pairedDeviceEntry("d", "ÄABBCCDDEEFFé"), entry("d", "ÄA:BB:CC:DD:EE:FF", "é"));
    EXPECT_EQ(VexaToken::pairedDeviceEntry("d", "ÄÄÄÄÄÄÄÄÄÄÄ"), entry("d", "ÄÄÄÄÄÄÄÄÄÄÄ", "ÄÄÄÄÄÄÄÄÄÄÄ"));
    EXPECT_EQ(VexaToken::pairedDeviceEntry("d", "\U0001F511AABBCCDDEE"), entry("d", "\U0001F511:AA:BB:CC:DD:EE", ""));
}

TEST_F(TokenListingsTest, DirectoryListingGathersEveryEntryOneCommandAtATime) {
    auto& fs = device->device().storage(0);
    ASSERT_TRUE(fs.makeDirectory("/empty", 0));
    ASSERT_TRUE(fs.makeDirectory("/docs", 1700000000));
    ASSERT_TRUE(fs.writeFile("/docs/f0", Bytes(), 1700000000));
    ASSERT_TRUE(fs.writeFile("/docs/f1", Bytes(10, 1), 1700000000));
    device->clearRecords();

    const TokenEvent empty = run("list", [&] { token->getListFiles("/empty"); });
    EXPECT_FALSE(empty.error);
    EXPECT_EQ(empty.files, std::vector<VexaFileEntry>());

    const TokenEvent docs = run("list", [&] { token->getListFiles("/docs"); });
    EXPECT_FALSE(docs.error);
    const VexaFileEntry f1{{kFSName, "f1"}, {kFSFileSize, "10"}, {kFSDateCreate, "2023-11-14 22:13:20"}, {kFSAttributes, "F"}};
    ASSERT_TRUE(docs.files);
    ASSERT_EQ(docs.files->size(), 2u);
    EXPECT_EQ(docs.files->at(0).at(kFSName), "f0");
    EXPECT_EQ(docs.files->at(1), f1);

    // A command issued meanwhile is answered between the listing's reads.
    device->clearRecords();
    token->getListFiles("/");
    token->getSerial();
    const TokenEvent root = run("list", [] {});
    ASSERT_TRUE(root.files);
    EXPECT_EQ(root.files->size(), 5u);
    EXPECT_EQ(root.files->at(3).at(kFSAttributes), "D");  // a, b, c, docs, empty
    EXPECT_THAT(codesReceived(), ElementsAre(0x95, 0x30, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0));
}

TEST_F(TokenListingsTest, DirectoryListingFailures) {
    const TokenEvent missing = run("list", [&] { token->getListFiles("/nowhere"); });
    EXPECT_FALSE(missing.files);
    EXPECT_EQ(missing.error->code, 0xFF0B);

    // A read fails after the first entry: the entries so far and that error.
    token->getListFiles("/");
    ASSERT_TRUE(main.runUntil([&] { return codesReceived().size() == 3; }));  // 0x95, then 0x95 and 0xA0
    device->replyStatus(0xA0, 11, 1);
    ASSERT_TRUE(waitFor("list", 2));
    const auto& partial = *tokenEvents->last("list");
    ASSERT_TRUE(partial.files);
    ASSERT_EQ(partial.files->size(), 1u);
    EXPECT_EQ(partial.files->at(0).at(kFSName), "a");
    EXPECT_EQ(partial.error->code, 0xFF0B);
}

}  // namespace
}  // namespace vexa::test
