#include <gtest/gtest.h>

#include <map>
#include <string>

#include "Platform/BlePlatform.h"
#include "Platform/Utf16.h"

namespace vexa {
namespace {

TEST(Utf16, LengthsCountCodeUnits) {
    EXPECT_EQ(utf16Length(""), 0u);
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("\xC3\xA9t\xC3\xA9"), 3u);        // "été": 2-byte sequences
    EXPECT_EQ(utf16Length("\xE2\x82\xAC" "5"), 2u);          // "€5"
    EXPECT_EQ(utf16Length("\xF0\x9F\x94\x91"), 2u);          // U+1F511, one surrogate pair
    EXPECT_EQ(utf16Length(std::string(31, 'k') + "\xF0\x9F\x94\x91"), 33u);
    EXPECT_EQ(toUtf16("a\xF0\x9F\x94\x91"), (std::u16string{u'a', char16_t(0xD83D), char16_t(0xDD11)}));
    for (std::string s : {"abc", "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC", "x\xF0\x9F\x94\x91y", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(isValidUtf8(s)) << s;
        EXPECT_EQ(toUtf8(toUtf16(s)), s);
        EXPECT_EQ(toUtf16(s).size(), utf16Length(s));
    }
}

TEST(Utf16, InvalidInputIsReplacedByteByByte) {
    const std::string invalid[] = {
        "\x80",              // stray continuation byte
        "\xC3",              // truncated 2-byte sequence
        "\xE2\x82",          // truncated 3-byte sequence
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong '/'
        "\xED\xA0\x80",      // UTF-16 surrogate encoded in UTF-8
        "\xF4\x90\x80\x80",  // past U+10FFFF
        "\xFF",
        "ok\xC3(",           // lead byte followed by a non-continuation byte
    };
    for (const auto& s : invalid) {
        EXPECT_FALSE(isValidUtf8(s)) << testing::PrintToString(s);
        EXPECT_EQ(toUtf16(s).size(), utf16Length(s)) << testing::PrintToString(s);
    }
    EXPECT_EQ(utf16Length("\xE2\x82"), 2u);
    EXPECT_EQ(toUtf16("ok\xC3("), (std::u16string{u'o', u'k', char16_t(0xFFFD), u'('}));
    // Lone surrogates become U+FFFD on the way back to UTF-8.
    EXPECT_EQ(toUtf8(std::u16string{char16_t(0xD800), u'a', char16_t(0xDC00)}), "\xEF\xBF\xBD" "a" "\xEF\xBF\xBD");
}

TEST(BleUUID, ParsesTheThreeFormsInEitherCase) {
    EXPECT_EQ(BleUUID::fromString("180a").data(), (Bytes{0x18, 0x0A}));
    EXPECT_EQ(BleUUID::fromString("180A").data(), (Bytes{0x18, 0x0A}));
    EXPECT_EQ(BleUUID::fromString("0000180A").data(), (Bytes{0x00, 0x00, 0x18, 0x0A}));
    const auto service = BleUUID::fromString("A63928C5-F337-4181-9412-09B8A6D8826F");
    EXPECT_EQ(service.data(), (Bytes{0xA6, 0x39, 0x28, 0xC5, 0xF3, 0x37, 0x41, 0x81, 0x94, 0x12, 0x09, 0xB8, 0xA6, 0xD8, 0x82, 0x6F}));
    EXPECT_EQ(service.str(), "a63928c5-f337-4181-9412-09b8a6d8826f");
    EXPECT_EQ(BleUUID::fromString("a63928c5f337418194120 9b8a6d8826f").empty(), true);
    EXPECT_EQ(BleUUID::fromString("a63928c5f3374181941209b8a6d8826f"), service);  // without dashes
    EXPECT_EQ(BleUUID::fromString("180a").str(), "180a");

    for (const char* bad : {"", "18a", "180g", "0x180a", "18-0a", "a63928c5-f337-4181-9412-09b8a6d8826",
                            "a63928c5f-337-4181-9412-09b8a6d8826f", "a63928c5-f337-4181-9412-09b8a6d8826f0"})
        EXPECT_TRUE(BleUUID::fromString(bad).empty()) << bad;
}

TEST(BleUUID, ShortFormsEqualTheirExpansionOverTheBaseUuid) {
    const auto short16 = BleUUID::fromString("180a");
    const auto short32 = BleUUID::fromString("0000180a");
    const auto full = BleUUID::fromString("0000180A-0000-1000-8000-00805F9B34FB");
    EXPECT_EQ(short16, full);
    EXPECT_EQ(short32, full);
    EXPECT_EQ(short16.to128().str(), "0000180a-0000-1000-8000-00805f9b34fb");
    EXPECT_FALSE(short16 == BleUUID::fromString("180b"));
    EXPECT_FALSE(short16 == BleUUID::fromString("0000180a-0000-1000-8000-00805f9b34fc"));

    // As map keys, the short and long spellings are one key.
    std::map<BleUUID, int> table;
    table[short16] = 1;
    table[full] = 2;
    table[BleUUID::fromString("2a00")] = 3;
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table[short32], 2);
}

}  // namespace
}  // namespace vexa
