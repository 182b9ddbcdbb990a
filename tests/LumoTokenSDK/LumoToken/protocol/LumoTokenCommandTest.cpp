#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"

#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenDataField.h"

namespace vexa {
namespace {

// The package fails to parse with exactly this error and no result.
void expectError(const Bytes& package, int64_t code, const std::string& message) {
    int results = 0, errors = 0;
    Error error;
    LumoTokenCommand::parseCommand(package, [&](uint8_t, Bytes) { ++results; }, [&](const Error& e) { ++errors, error = e; });
    EXPECT_EQ(results, 0);
    ASSERT_EQ(errors, 1);
    EXPECT_EQ(error, (Error{"LumoCommandError", code, message}));
}

TEST(LumoTokenCommand, BuildsByteExactPackages) {
    EXPECT_EQ(LumoTokenCommand::buildPackage(0x35), (Bytes{0x35, 0x00, 0x00, 0xEB}));
    EXPECT_EQ(LumoTokenCommand::buildPackage(0x20, {}), (Bytes{0x20, 0x00, 0x00, 0x94}));

    const Bytes pkg = LumoTokenCommand::buildPackage(0x42, Bytes{0x01, 0x02, 0x03});
    EXPECT_EQ(Bytes(pkg.begin(), pkg.end() - 1), (Bytes{0x42, 0x03, 0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(pkg.back(), CRC8(ByteView(pkg).first(6)));

    // The length field is little-endian: 300 = 0x012C.
    const Bytes big = LumoTokenCommand::buildPackage(0x01, Bytes(300, 0xAA));
    ASSERT_EQ(big.size(), 304u);
    EXPECT_EQ(big[1], 0x2C);
    EXPECT_EQ(big[2], 0x01);

    // Built around the payload's own buffer, with room left for it or not: the same bytes.
    for (size_t size : {0, 1, 12, 13, 300}) {
        Bytes data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7);
        Bytes roomy = data;
        roomy.reserve(LumoTokenCommand::packageCapacity(size));
        const uint8_t* buffer = roomy.data();
        const Bytes around = LumoTokenCommand::packageAround(0x42, std::move(roomy));
        EXPECT_EQ(around, LumoTokenCommand::buildPackage(0x42, data)) << size;
        if (size > 0) {
            EXPECT_EQ(around.data(), buffer) << size;
        }
        EXPECT_EQ(LumoTokenCommand::packageAround(0x42, data), around) << size;
    }
}

TEST(LumoTokenCommand, ReportsInvalidLength) {
    const std::string msg = "Invalid lenght of package";
    expectError({}, 1, msg);
    expectError({0x35}, 1, msg);
    expectError({0x35, 0x00}, 1, msg);
    const Bytes pkg = LumoTokenCommand::buildPackage(0x10, Bytes{1, 2, 3, 4});
    // Length field promises more payload than present.
    expectError(Bytes(pkg.begin(), pkg.begin() + 5), 1, msg);
    // Payload complete but the CRC byte missing.
    expectError(Bytes(pkg.begin(), pkg.end() - 1), 1, msg);
    // A length field near the top of its range on a short buffer must not read past the end.
    expectError({0x10, 0xFF, 0xFF, 0x00, 0x00}, 1, msg);
}

TEST(LumoTokenCommand, ReportsCrcMismatchForEveryFlippedBit) {
    const Bytes pkg = LumoTokenCommand::buildPackage(0x61, Bytes{0xDE, 0xAD, 0xBE, 0xEF});
    // Flip every bit of code, payload and CRC byte. Length bits are left out: they mostly
    // change N, so the package fails on its length instead.
    for (size_t i = 0; i < pkg.size(); ++i) {
        if (i == 1 || i == 2) continue;
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = pkg;
            bad[i] ^= static_cast<uint8_t>(1 << bit);
            SCOPED_TRACE(testing::Message() << "byte " << i << " bit " << bit);
            expectError(bad, 2, "Invalid crc of package");
        }
    }
    // A length bit that shortens N still leaves the bytes for a CRC, which then mismatches.
    Bytes shorter = pkg;
    shorter[1] ^= 0x04;  // N 4 -> 0
    expectError(shorter, 2, "Invalid crc of package");
}

TEST(LumoTokenDataField, EncodesLengthTagAndData) {
    EXPECT_EQ(LumoTokenDataField(2, Bytes{0x41, 0x42, 0x43}).toData(), (Bytes{0x04, 0x02, 0x41, 0x42, 0x43}));
    EXPECT_EQ(LumoTokenDataField(0, {}).toData(), (Bytes{0x01, 0x00}));

    const Bytes max(254, 0x5A);
    const auto field = LumoTokenDataField::create(7, max);
    ASSERT_TRUE(field.has_value());
    ASSERT_EQ(field->toData().size(), 256u);
    EXPECT_EQ(field->toData()[0], 0xFF);
    EXPECT_EQ(field->toData()[1], 0x07);

    // 255 data bytes cannot be represented: no field rather than a wrong length byte.
    EXPECT_FALSE(LumoTokenDataField::create(7, Bytes(255, 0x5A)).has_value());
    EXPECT_FALSE(LumoTokenDataField::create(7, Bytes(1000, 0x5A)).has_value());
}

TEST(LumoTokenDataFieldDeathTest, OversizedDataIsAProgrammingError) {
    // Debug builds stop on the assertion; release builds keep a well-formed 254-byte field.
    const Bytes tooLong(300, 0x11);
    EXPECT_DEBUG_DEATH(
        {
            const LumoTokenDataField field(3, tooLong);
            EXPECT_EQ(field.toData().size(), 256u);
            EXPECT_EQ(field.toData()[0], 0xFF);
        },
        "254");
}

}  // namespace
}  // namespace vexa
