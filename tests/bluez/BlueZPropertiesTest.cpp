// Property parsing, the object table and the error mapping: no bus needed.
#include <gtest/gtest.h>

#include <cerrno>
#include <sdbus-c++/sdbus-c++.h>

#include "Backends/BlueZ/BlueZErrors.h"
#include "Backends/BlueZ/BlueZObjectTable.h"
#include "Backends/BlueZ/BlueZProperties.h"

namespace vexa::bluez {
namespace {

const char* kToken = "a63928c5-f337-4181-9412-09b8a6d8826f";

TEST(BlueZPropertiesTest, DeviceAdvertisementIsReadFromTypedVariantsAndWrongTypesAreIgnored) {
    DeviceProps device;
    device.apply({
        {"Address", sdbus::Variant(std::string("AA:BB:CC:DD:EE:01"))},
        {"Adapter", sdbus::Variant(sdbus::ObjectPath("/org/bluez/hci0"))},
        {"Name", sdbus::Variant(std::string("Token"))},
        {"UUIDs", sdbus::Variant(std::vector<std::string>{kToken, "not-a-uuid"})},
        {"RSSI", sdbus::Variant(int16_t{-57})},
        {"TxPower", sdbus::Variant(int16_t{4})},
        {"ManufacturerData", sdbus::Variant(std::map<uint16_t, sdbus::Variant>{{0x004c, sdbus::Variant(Bytes{1, 2, 3})},
                                                                               {0x0059, sdbus::Variant(std::string("bad"))}})},
        {"ServiceData", sdbus::Variant(std::map<std::string, sdbus::Variant>{{"0000180F-0000-1000-8000-00805F9B34FB", sdbus::Variant(Bytes{0x64})}})},
        {"Connected", sdbus::Variant(std::string("yes"))},  // wrong type: ignored, no exception
    });
    EXPECT_EQ(device.address, "AA:BB:CC:DD:EE:01");
    EXPECT_EQ(device.adapter, "/org/bluez/hci0");
    EXPECT_FALSE(device.connected);

    const AdvertisementData data = advertisementOf(device);
    EXPECT_EQ(data.localName, std::optional<std::string>("Token"));
    ASSERT_EQ(data.serviceUUIDs.size(), 1u);  // the invalid text is skipped
    EXPECT_EQ(data.serviceUUIDs[0], BleUUID::fromString(kToken));
    EXPECT_EQ(data.manufacturerData, (std::map<uint16_t, Bytes>{{0x004c, Bytes{1, 2, 3}}}));
    EXPECT_EQ(data.serviceData, (std::map<std::string, Bytes>{{"0000180f-0000-1000-8000-00805f9b34fb", Bytes{0x64}}}));
    EXPECT_EQ(data.txPowerLevel, std::optional<int>(4));

    // Invalidation removes optional properties.
    device.apply({}, {"RSSI", "Name", "ManufacturerData"});
    EXPECT_FALSE(device.rssi);
    EXPECT_FALSE(device.name);
    EXPECT_TRUE(device.manufacturerData.empty());
}

TEST(BlueZPropertiesTest, ServiceFilterAndCharacteristicFlags) {
    const std::vector<std::string> advertised{"0000180a-0000-1000-8000-00805f9b34fb", kToken};
    EXPECT_TRUE(advertisesAny(advertised, std::nullopt));
    EXPECT_TRUE(advertisesAny(advertised, std::vector<BleUUID>{}));
    EXPECT_TRUE(advertisesAny(advertised, std::vector<BleUUID>{BleUUID::fromString("180A")}));  // 16-bit form matches
    EXPECT_TRUE(advertisesAny(advertised, std::vector<BleUUID>{BleUUID::fromString(std::string(kToken))}));
    EXPECT_FALSE(advertisesAny(advertised, std::vector<BleUUID>{BleUUID::fromString("180f")}));
    EXPECT_FALSE(advertisesAny({}, std::vector<BleUUID>{BleUUID::fromString("180a")}));

    EXPECT_EQ(characteristicPropertiesOf({"write", "write-without-response"}), uint32_t{kPropertyWrite | kPropertyWriteWithoutResponse});
    EXPECT_EQ(characteristicPropertiesOf({"read", "notify", "indicate", "encrypt-read"}),
              uint32_t{kPropertyRead | kPropertyNotify | kPropertyIndicate});
}

TEST(BlueZPropertiesTest, ObjectTableFollowsAddRemoveAndChanges) {
    BlueZObjectTable table;
    const PropertyMap adapter{{"Powered", sdbus::Variant(true)}};
    table.reset({{sdbus::ObjectPath("/org/bluez/hci1"), {{kAdapterInterface, adapter}}},
                 {sdbus::ObjectPath("/org/bluez/hci0"), {{kAdapterInterface, adapter}, {"org.freedesktop.DBus.Introspectable", {}}}},
                 {sdbus::ObjectPath("/org/bluez/hci0/dev_1"), {{kDeviceInterface, {{"Address", sdbus::Variant(std::string("01"))}}}}}});
    EXPECT_EQ(table.chooseAdapter(""), std::optional<std::string>("/org/bluez/hci0"));
    EXPECT_EQ(table.chooseAdapter("hci1"), std::optional<std::string>("/org/bluez/hci1"));
    EXPECT_EQ(table.chooseAdapter("hci7"), std::nullopt);

    const std::string svc = "/org/bluez/hci0/dev_1/service000a";
    const std::string chr = svc + "/char000b";
    table.addInterfaces(chr, {{kGattCharacteristicInterface,
                               {{"UUID", sdbus::Variant(std::string("563e2883-5c3a-41da-8e02-15640ae703e6"))},
                                {"Service", sdbus::Variant(sdbus::ObjectPath(svc))},
                                {"MTU", sdbus::Variant(uint16_t{247})}}}});
    EXPECT_EQ(table.deviceOfCharacteristic(chr), std::nullopt);  // its service is not known yet
    table.addInterfaces(svc, {{kGattServiceInterface,
                               {{"UUID", sdbus::Variant(std::string(kToken))}, {"Device", sdbus::Variant(sdbus::ObjectPath("/org/bluez/hci0/dev_1"))}}}});
    EXPECT_EQ(table.servicesOf("/org/bluez/hci0/dev_1"), std::vector<std::string>{svc});
    EXPECT_EQ(table.characteristicsOf(svc), std::vector<std::string>{chr});
    EXPECT_EQ(table.deviceOfCharacteristic(chr), std::optional<std::string>("/org/bluez/hci0/dev_1"));

    EXPECT_TRUE(table.changeProperties(chr, kGattCharacteristicInterface, {}, {"MTU"}));
    EXPECT_FALSE(table.characteristics.at(chr).mtu);
    EXPECT_FALSE(table.changeProperties("/nowhere", kDeviceInterface, {}, {}));
    EXPECT_FALSE(table.changeProperties(chr, "org.example.Other", {}, {}));

    table.removeInterfaces(svc, {kGattServiceInterface});
    EXPECT_TRUE(table.servicesOf("/org/bluez/hci0/dev_1").empty());
    table.removeInterfaces("/org/bluez/hci0", {kAdapterInterface});
    EXPECT_EQ(table.chooseAdapter(""), std::optional<std::string>("/org/bluez/hci1"));
}

TEST(BlueZPropertiesTest, DBusErrorsKeepNameAndMessageWithStableCodes) {
    const Error e = errorFromDBus(sdbus::Error("org.bluez.Error.Failed", "le-connection-abort-by-local"));
    EXPECT_EQ(e, (Error{"org.bluez.Error.Failed", EIO, "le-connection-abort-by-local"}));
    EXPECT_EQ(codeForDBusError("org.bluez.Error.InProgress"), EINPROGRESS);
    EXPECT_EQ(codeForDBusError("org.bluez.Error.NotPermitted"), EPERM);
    EXPECT_EQ(codeForDBusError("org.bluez.Error.NotConnected"), ENOTCONN);
    EXPECT_EQ(codeForDBusError("org.freedesktop.DBus.Error.NoReply"), ETIMEDOUT);
    EXPECT_EQ(codeForDBusError("org.freedesktop.DBus.Error.UnknownObject"), ENOENT);
    EXPECT_EQ(codeForDBusError("org.freedesktop.DBus.Error.ServiceUnknown"), EHOSTDOWN);
    EXPECT_EQ(codeForDBusError("com.example.Unheard.Of"), EIO);
}

}  // namespace
}  // namespace vexa::bluez
