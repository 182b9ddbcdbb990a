#include <gtest/gtest.h>

#include "Emulator/VirtualTokenDevice.h"
#include "Emulator/VirtualTokenFaults.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenDataField.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "tests/Emulator/TokenTestBytes.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa {
namespace {

using test::cat;
using test::syncPayload;
using test::text0;

class DeviceTest : public ::testing::Test {
protected:
    static VirtualTokenConfig makeConfig() {
        VirtualTokenConfig c;
        c.clock = 1'700'000'000;
        c.storageCapacity = 64;
        return c;
    }
    Bytes run(uint8_t code, const Bytes& payload = {}) { return device.execute(code, payload); }
    uint8_t open(uint8_t mode, std::string_view path) {
        const Bytes r = run(kCodeOpenFile, cat({Bytes{mode}, text0(path)}));
        return r.size() == 2 && r[0] == 0 ? r[1] : 0;
    }

    test::VirtualMainLoop loop;
    VirtualTokenDevice device{makeConfig(), loop.loop};
};

// The serial number and battery level cross the link byte for byte in the wire tests; the session
// tests accept trailing bytes after the versions, so their replies are pinned here.
TEST_F(DeviceTest, InformationCommandsAndTheirMissingValues) {
    EXPECT_EQ(run(kCodeFirmwareVersion), (Bytes{0, 0x12}));
    EXPECT_EQ(run(kCodeHardwareVersion), (Bytes{0, 0x03}));
    device.config().serial.reset();
    device.config().batteryLevel.reset();
    device.config().hardwareVersion.reset();
    EXPECT_EQ(run(kCodeSerial), Bytes{7});
    EXPECT_EQ(run(kCodeBattery), Bytes{5});
    EXPECT_EQ(run(kCodeHardwareVersion), Bytes{13});
}

// A set time crosses the link in TokenOperationsTest; here the clock runs on and stays unsigned.
TEST_F(DeviceTest, ClockFollowsTheQueueClockAndIsUnsigned) {
    loop.runFor(std::chrono::milliseconds(2500));
    EXPECT_EQ(device.clock().now(), 1'700'000'002);
    EXPECT_EQ(run(kCodeSetTime, Bytes{0, 0, 10}), Bytes{9});
    EXPECT_EQ(run(kCodeSetTime, Bytes{0xFF, 0xFF, 0xFF, 0xFF}), Bytes{0});
    loop.runFor(std::chrono::seconds(61));
    EXPECT_EQ(device.clock().now(), 4'294'967'356);  // not a negative time
    EXPECT_EQ(VirtualTokenClock::format(0), "1970-01-01 00:00:00");
}

TEST_F(DeviceTest, SecureElementPowerProtocolAndApdus) {
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x06, 0xD2, 0x76, 0x00, 0x01, 0x24, 0x01};
    EXPECT_EQ(run(kCodeApdu, select), Bytes{3});  // still off
    EXPECT_EQ(run(kCodeSecureElementOn), cat({Bytes{0}, VirtualTokenConfig::defaultAtr()}));
    EXPECT_EQ(run(kCodeApdu, Bytes{0x00, 0xA4, 0x04}), Bytes{8});
    EXPECT_EQ(run(kCodeApdu, select), (Bytes{0, 0x90, 0x00}));
    EXPECT_EQ(device.secureElement().defaultResponder().selectedAid(), Bytes(select.begin() + 5, select.end()));
    EXPECT_EQ(run(kCodeApdu, cat({select, Bytes{0x00}})), (Bytes{0, 0x90, 0x00}));  // with Le
    EXPECT_EQ(run(kCodeApdu, Bytes{0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x01}), (Bytes{0, 0x6A, 0x82}));
    EXPECT_EQ(run(kCodeApdu, Bytes{0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0}), (Bytes{0, 0x67, 0x00}));  // Lc too long
    EXPECT_EQ(run(kCodeApdu, Bytes{0x00, 0xB0, 0x00, 0x00}), (Bytes{0, 0x6D, 0x00}));
    EXPECT_EQ(run(kCodeApdu, Bytes{0x80, 0x84, 0x00, 0x00, 0x08}), (Bytes{0, 0x6E, 0x00}));

    // GET CHALLENGE: fresh bytes each time (their count and status word cross the link in the session tests).
    EXPECT_NE(run(kCodeApdu, Bytes{0x00, 0x84, 0x00, 0x00, 0x08}), run(kCodeApdu, Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
    EXPECT_EQ(run(kCodeApdu, Bytes{0x00, 0x84, 0x00, 0x00, 0x00}).size(), 1u + 256 + 2);

    // Protocol request, status, protocol in use afterwards.
    for (const auto& [request, status, after] : {std::tuple{Bytes{0}, 0, 0}, {Bytes{1, 0, 0, 0}, 0, 1}, {Bytes{2, 0, 0, 0}, 4, 1}, {Bytes{}, 9, 1}, {Bytes{0, 0}, 9, 1}}) {
        EXPECT_EQ(run(kCodeProtocol, request), Bytes{uint8_t(status)});
        EXPECT_EQ(device.secureElement().protocol(), after);
    }

    Bytes seen;
    device.secureElement().setResponder([&](ByteView apdu) {
        seen.assign(apdu.begin(), apdu.end());
        return Bytes{0xAB, 0x90, 0x00};
    });
    EXPECT_EQ(run(kCodeApdu, Bytes{1, 2, 3, 4}), (Bytes{0, 0xAB, 0x90, 0x00}));
    EXPECT_EQ(seen, (Bytes{1, 2, 3, 4}));
    device.secureElement().setResponder([](ByteView) { return Bytes(VirtualTokenDevice::kMaxReplyPayload, 0); });
    EXPECT_EQ(run(kCodeApdu, Bytes{1, 2, 3, 4}), Bytes{2});  // too long to carry back

    EXPECT_EQ(run(kCodeSecureElementOff), Bytes{0});
    EXPECT_EQ(run(kCodeApdu, Bytes{1, 2, 3, 4}), Bytes{3});
    // Switching the token off also stops the secure element and closes every file.
    run(kCodeSecureElementOn);
    EXPECT_EQ(open(1, "f"), 1);
    EXPECT_EQ(run(kCodePowerOff), Bytes{0});
    EXPECT_FALSE(device.secureElement().isPoweredOn());
    EXPECT_EQ(device.openHandleCount(), 0u);
}

// Missing variables (status 12) reach the session tests as errors; here the bytes of values.
TEST_F(DeviceTest, VariablesReadWriteRemove) {
    EXPECT_EQ(run(kCodeWriteVariable, Bytes{0x61, 0x62, 0x63, 0, 0x78, 0x79, 0}), Bytes{0});
    EXPECT_EQ(run(kCodeReadVariable, Bytes{0x61, 0x62, 0x63, 0}), (Bytes{0, 0x78, 0x79, 0}));
    EXPECT_EQ(run(kCodeWriteVariable, Bytes{0x61, 0x62, 0x63, 0, 0}), Bytes{0});  // empty value
    EXPECT_EQ(run(kCodeReadVariable, text0("abc")), (Bytes{0, 0}));
    EXPECT_EQ(run(kCodeWriteVariable, Bytes{0x61, 0x62, 0x63, 0}), Bytes{0});  // removes
    EXPECT_FALSE(device.variables().read("abc"));

    EXPECT_EQ(run(kCodeWriteVariable, cat({text0("\xC3\xA9"), text0("\xE2\x82\xAC")})), Bytes{0});
    EXPECT_EQ(device.variables().read("\xC3\xA9"), "\xE2\x82\xAC");
    EXPECT_EQ(run(kCodeReadVariable, bytesOf("abc")), Bytes{9});                  // no zero byte
    EXPECT_EQ(run(kCodeWriteVariable, cat({text0("n"), bytesOf("v")})), Bytes{9});  // value unterminated
    EXPECT_EQ(run(kCodeWriteVariable, cat({text0(""), text0("v")})), Bytes{12});     // empty name
    EXPECT_EQ(run(kCodeWriteVariable, cat({text0("n"), Bytes{0xFF, 0}})), Bytes{12});  // not UTF-8
    EXPECT_EQ(run(kCodeWriteVariable, cat({text0(std::string(65, 'n')), text0("v")})), Bytes{12});
}

TEST_F(DeviceTest, SyncWithoutKeyAcceptsAnyHashAndPairsNewHosts) {
    const Bytes hash(16, 0x5A);
    auto outcome = device.synchronise(syncPayload(hash, 1, "Alice's phone"));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(outcome.accepted);
    EXPECT_EQ(outcome.pairedVariable, "device0");
    EXPECT_EQ(device.lastHostName(), "Alice's phone");
    EXPECT_EQ(device.variables().read("device0"), VirtualVariableStore::hostAddress("Alice's phone") + "Alice's phone");

    EXPECT_FALSE(device.synchronise(syncPayload(hash, 0, "Alice's phone")).pairedVariable);  // known host
    EXPECT_EQ(device.synchronise(syncPayload(hash, 0, "Bob")).pairedVariable, "device1");
    EXPECT_EQ(run(kCodeWriteVariable, text0("device0")), Bytes{0});  // unpair Alice
    EXPECT_EQ(device.synchronise(syncPayload(hash, 0, "Carol")).pairedVariable, "device0");  // lowest free index
    EXPECT_EQ(device.synchronise(syncPayload(hash, 0, "Alice's phone")).pairedVariable, "device2");
    EXPECT_FALSE(device.synchronise(syncPayload(hash, 0, "")).pairedVariable);

    EXPECT_EQ(device.synchronise(Bytes{0x11, 0x00, 1, 2}).status, 9);         // truncated field
    EXPECT_EQ(device.synchronise(LumoTokenDataField(2, bytesOf("x")).toData()).status, 9);  // no hash
    EXPECT_EQ(run(kCodeSyncSessionKey, syncPayload(hash, 0, "Bob")), Bytes{0});
}

// Refusals and the locked session are driven over the link; here the key and the whole hash.
TEST_F(DeviceTest, SyncWithKeyChecksTheWholeHash) {
    device.setPassword("1234");  // the token's name is the salt
    EXPECT_EQ(device.key(), keyFromPassword("1234", "VexaToken"));
    const Bytes hash = MD5Data(*device.key());
    EXPECT_EQ(device.synchronise(syncPayload(ByteView(hash).first(15), 0, "Eve")).status, 10);
    EXPECT_TRUE(device.synchronise(syncPayload(hash, 2, "Host")).encrypted);
}

TEST_F(DeviceTest, FileCommandsHandlesStoragesAndErrors) {
    EXPECT_EQ(open(1, "notes.txt"), 1);
    EXPECT_EQ(run(kCodeWriteFile, Bytes{1, 0x00, 0x03, 'a', 'b', 'c'}), Bytes{0});
    EXPECT_EQ(run(kCodeWriteFile, Bytes{1, 0x00, 0x00}), Bytes{0});  // empty chunk
    EXPECT_EQ(run(kCodeWriteFile, Bytes{1, 0x00, 0x04, 'a'}), Bytes{9});  // length mismatch
    EXPECT_EQ(run(kCodeWriteFile, Bytes{1, 0x00}), Bytes{9});
    EXPECT_EQ(run(kCodeReadFile, Bytes{1, 0x00, 0x01}), Bytes{11});  // write-only handle
    EXPECT_EQ(run(kCodeCloseFile, Bytes{1}), Bytes{0});
    EXPECT_EQ(run(kCodeCloseFile, Bytes{1}), Bytes{11});
    EXPECT_EQ(run(kCodeWriteFile, Bytes{1, 0x00, 0x01, 'x'}), Bytes{11});  // closed handle

    EXPECT_EQ(open(0, "notes.txt"), 1);
    EXPECT_EQ(open(0, "notes.txt"), 2);
    EXPECT_EQ(run(kCodeReadFile, Bytes{1, 0x01, 0x02}), (Bytes{0, 'a', 'b', 'c'}));  // count 258
    EXPECT_EQ(run(kCodeReadFile, Bytes{1, 0x00, 0x10}), Bytes{0});                // end of file
    EXPECT_EQ(run(kCodeReadFile, Bytes{2, 0x00, 0x02}), (Bytes{0, 'a', 'b'}));    // own position
    EXPECT_EQ(run(kCodeReadFile, Bytes{2, 0x00}), Bytes{9});
    EXPECT_EQ(run(kCodeRemoveFile, text0("notes.txt")), Bytes{11});  // still open
    EXPECT_EQ(device.openHandleCount(), 2u);

    EXPECT_EQ(open(2, "log"), 3);
    EXPECT_EQ(run(kCodeWriteFile, Bytes{3, 0x00, 0x01, 'x'}), Bytes{0});
    EXPECT_EQ(run(kCodeWriteFile, Bytes{3, 0x00, 0x3C, 'x'}), Bytes{9});
    EXPECT_EQ(run(kCodeWriteFile, cat({Bytes{3, 0x00, 0x3D}, Bytes(61, 'y')})), Bytes{11});  // over 64 bytes
    EXPECT_EQ(device.storage(0).readFile("log"), Bytes{'x'});

    EXPECT_EQ(run(kCodeOpenFile, Bytes{0, 'x'}), Bytes{9});  // path without its zero byte
    EXPECT_EQ(run(kCodeOpenFile, Bytes{}), Bytes{9});
    EXPECT_EQ(run(kCodeOpenFile, cat({Bytes{9}, text0("notes.txt")})), Bytes{11});  // unknown mode
    EXPECT_EQ(run(kCodeRemoveFile, bytesOf("log")), Bytes{9});

    // Storages are separate, and a handle keeps the storage it was opened on.
    EXPECT_EQ(run(kCodeSelectStorage, Bytes{1, 0}), Bytes{9});
    EXPECT_EQ(run(kCodeSelectStorage, Bytes{1}), Bytes{0});
    EXPECT_EQ(open(1, "on1"), 4);
    EXPECT_EQ(run(kCodeSelectStorage, Bytes{0}), Bytes{0});
    EXPECT_EQ(run(kCodeWriteFile, Bytes{4, 0x00, 0x01, 'z'}), Bytes{0});
    EXPECT_EQ(device.storage(1).readFile("on1"), Bytes{'z'});
    EXPECT_EQ(run(kCodeRemoveFile, text0("on1")), Bytes{11});  // not on storage 0
    run(kCodeSelectStorage, Bytes{1});

    device.linkDropped();
    EXPECT_EQ(device.selectedStorage(), 0u);
    EXPECT_EQ(device.openHandleCount(), 0u);
    EXPECT_EQ(device.storage(0).openFileCount() + device.storage(1).openFileCount(), 0u);

    // Handles are limited and reads capped by the configuration.
    device.config().maxOpenFiles = 1;
    device.config().maxReadSize = 2;
    EXPECT_EQ(open(0, "notes.txt"), 1);
    EXPECT_EQ(open(0, "notes.txt"), 0);  // no free handle: status 11
    EXPECT_EQ(run(kCodeReadFile, Bytes{1, 0xFF, 0xFF}), (Bytes{0, 'a', 'b'}));
    EXPECT_EQ(run(kCodeCloseFile, Bytes{}), Bytes{9});
}

TEST_F(DeviceTest, DirectoryListingEntriesAndEnd) {
    EXPECT_EQ(run(kCodeDirItem), Bytes{11});  // no listing open
    ASSERT_TRUE(device.storage(0).makeDirectory("docs", device.clock().now()));
    loop.runFor(std::chrono::seconds(3));
    ASSERT_TRUE(device.storage(0).writeFile("docs/r\xC3\xA9sum\xC3\xA9.pdf", Bytes(34, 1), device.clock().now()));
    ASSERT_TRUE(device.storage(0).makeDirectory("docs/old", device.clock().now()));
    EXPECT_EQ(run(kCodeOpenDir, text0("nope")), Bytes{11});
    EXPECT_EQ(run(kCodeOpenDir, bytesOf("docs")), Bytes{9});
    EXPECT_EQ(run(kCodeOpenDir, text0("/docs")), Bytes{0});
    EXPECT_EQ(run(kCodeDirItem), cat({Bytes{0}, text0("0"), text0("2023-11-14 22:13:23"), text0("D"), text0("old")}));
    EXPECT_EQ(run(kCodeDirItem), cat({Bytes{0}, text0("34"), text0("2023-11-14 22:13:23"), text0("F"),
                                      text0("r\xC3\xA9sum\xC3\xA9.pdf")}));
    EXPECT_EQ(run(kCodeDirItem), Bytes{0});
    EXPECT_EQ(run(kCodeOpenDir, text0("")), Bytes{0});
    device.linkDropped();  // closes the listing
    EXPECT_EQ(run(kCodeDirItem), Bytes{11});
    // A file created over the protocol takes the token clock's time.
    EXPECT_EQ(run(kCodeSetTime, Bytes{0, 0, 0, 10}), Bytes{0});
    EXPECT_EQ(open(1, "new"), 1);
    EXPECT_EQ(device.storage(0).stat("new")->createdAt, 10);
}

}  // namespace
}  // namespace vexa
