// The error mapping of the information, power and APDU operations, and the serial-number value.
#include <gtest/gtest.h>

#include <limits>

#include "VexaTokenKit/VexaToken.h"
#include "VexaTokenKit/VexaTokenError.h"

namespace vexa {
namespace {

TEST(VexaTokenErrorTest, MapsByCodeAloneOtherCodesTakeTheDefault) {
    const std::tuple<int64_t, int64_t, const char*> rows[] = {
        {1, -2006, "Unable to get connection state."},
        {3, -2006, "Unable to get connection state."},
        {2, -2003, "An unknown Bluetooth error has occured"},
        {0xFF01, -2014, "Command is not supported."},
        {0xFF02, -2013, "Data not available."},
        {0xFF03, -2007, "Connection to secure element could not be established."},
        {0xFF04, -2021, "Communication protocol is not supported."},
        {0xFF05, -2017, "Unable to get battery level."},
        {0xFF07, -2016, "Unable to get serial number."},
        {0xFF08, -2023, "Invalid APDU."},
        {0xFF09, -2004, "Invalid response message."},
    };
    for (const char* domain : {"org.vexatokenkit.LumoToken", "org.vexatokenkit.LumoPeripheral", "anything"}) {
        for (const auto& [incoming, code, message] : rows)
            EXPECT_EQ(decodeError(Error{domain, incoming, "original"}, -2015, "Unable to get ATR."), (Error{"VexaTokenError", code, message}))
                << domain << " " << incoming;
    }
    for (int64_t code : {0, 4, 5, 6, 408, 0xFF00, 0xFF06, 0xFF0A, 0xFF0B, 0xFF0C, 0xFF0D, 0x1FF01, -2006}) {
        EXPECT_EQ(decodeError(Error{"d", code, "m"}, -2015, "Unable to get ATR."), (Error{"VexaTokenError", -2015, "Unable to get ATR."}))
            << code;
    }
    EXPECT_EQ(vexaTokenError(kVexaTokenErrorSetProtocol), (Error{"VexaTokenError", -2022, "Unable to set communication protocol."}));
    EXPECT_TRUE(vexaTokenErrorMessage(-2008).empty());
}

TEST(VexaTokenErrorTest, SerialNumberTextIsReadLikeAtoiWithSaturation) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    const std::pair<std::string, int32_t> cases[] = {
        {"42", 42},          {"VX2400000001", 0}, {"", 0},           {" \t\n-17abc", -17},    {"+007", 7},
        {"- 5", 0},          {"12 34", 12},       {"2147483647", kMax}, {"2147483648", kMax}, {"-2147483648", kMin},
        {"-2147483649", kMin}, {"99999999999999999999999", kMax}, {std::string("1\0002", 3), 1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(VexaToken::serialNumberValue(text), value) << text;
}

}  // namespace
}  // namespace vexa
