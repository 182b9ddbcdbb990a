#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoBluetooth/UUIDString.h"

namespace vexa {
namespace {

TEST(UUIDString, FormatsBytesLowerCaseWithHyphensAfterBytes3579) {
    const Bytes notify = {0x56, 0x09, 0xA7, 0x34, 0x12, 0xC2, 0x49, 0xE9, 0x9E, 0xDD, 0x6E, 0xBA, 0x3F, 0xDE, 0xDC, 0x92};
    EXPECT_EQ(representativeString(ByteView(notify)), "5609a734-12c2-49e9-9edd-6eba3fdedc92");
    EXPECT_EQ(representativeString(BleUUID(notify)), "5609a734-12c2-49e9-9edd-6eba3fdedc92");

    // Short UUIDs: the positions rule applies as it stands.
    EXPECT_EQ(representativeString(BleUUID(Bytes{0x18, 0x0A})), "180a");
    EXPECT_EQ(representativeString(BleUUID(Bytes{0x00, 0x00, 0x18, 0x0A})), "0000180a-");
    EXPECT_EQ(representativeString(BleUUID()), "");
    EXPECT_EQ(representativeString(ByteView(Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0xFF})), "00010203-0405-ff");
}

}  // namespace
}  // namespace vexa
