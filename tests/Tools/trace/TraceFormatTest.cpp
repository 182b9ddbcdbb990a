// The trace's bytes on disk, and reading captures laid out as other tools write them.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Tools/vexatoken/trace/AttLayout.h"
#include "Tools/vexatoken/trace/Btsnoop.h"
#include "Tools/vexatoken/trace/CaptureReader.h"
#include "Tools/vexatoken/trace/SessionDecoder.h"
#include "Tools/vexatoken/trace/TraceRecorder.h"
#include "tests/Tools/ToolTestSupport.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa::trace {
namespace {

Bytes readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(TraceFormat, RecordsAreByteExact) {
    tool::test::TempDir dir;
    test::VirtualMainLoop main;
    const auto token = LumoToken::create();
    std::string error;
    {
        const auto recorder = TraceRecorder::create(dir.file("t"), main.loop, error);
        ASSERT_TRUE(recorder) << error;
        recorder->frameWritten(*token, Bytes{0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB});
        main.clock->advanceBy(std::chrono::microseconds(1500));
        recorder->packageDecrypted(*token, Bytes(16, 0xEE), Bytes{0x35, 0x02, 0x00, 0x00, 0x64, 0x55});
        recorder->frameNotified(*token, Bytes{0x00, 0x06, 0x00});
    }
    const Bytes file = readFile(dir.file("t"));
    ASSERT_GE(file.size(), kBtsnoopHeaderSize);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), (Bytes{'b', 't', 's', 'n', 'o', 'o', 'p', 0, 0, 0, 0, 1, 0, 0, 0x03, 0xEA}));

    BtsnoopReader reader(file);
    std::vector<BtsnoopRecord> records;
    while (auto r = reader.next()) records.push_back(*r);
    ASSERT_FALSE(reader.truncatedAt());
    // Connection event and GATT discovery, then the frame, its write response, the record, the notification.
    ASSERT_EQ(records.size(), 19u + 4u);
    const auto tail = records.end() - 4;
    const auto data = [](const BtsnoopRecord& r) { return Bytes(r.data.begin(), r.data.end()); };
    EXPECT_EQ(records[0].flags, kBtsnoopReceived | kBtsnoopCommandOrEvent);
    EXPECT_EQ(tail[0].flags, 0u);
    EXPECT_EQ(data(tail[0]), (Bytes{0x02, 0x40, 0x00, 0x0E, 0x00, 0x0A, 0x00, 0x04, 0x00, 0x12, 0x12, 0x00,
                                    0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB}));
    EXPECT_EQ(data(tail[1]), (Bytes{0x02, 0x40, 0x20, 0x05, 0x00, 0x01, 0x00, 0x04, 0x00, 0x13}));
    EXPECT_EQ(tail[2].flags, kBtsnoopReceived);
    EXPECT_EQ(data(tail[2]), (Bytes{0x02, 0x40, 0x20, 0x12, 0x00, 0x0E, 0x00, 0x04, 0x00, 0x1B, 0xF0, 0xFF, 'V', 'X', 'P', 'T',
                                    0x01, 0x35, 0x02, 0x00, 0x00, 0x64, 0x55}));
    EXPECT_EQ(data(tail[3]), (Bytes{0x02, 0x40, 0x20, 0x0A, 0x00, 0x06, 0x00, 0x04, 0x00, 0x1B, 0x14, 0x00, 0x00, 0x06, 0x00}));
    EXPECT_EQ(tail[2].unixMicros - tail[0].unixMicros, 1500);
    // The record header: original and included length 19, flags, no drops.
    const size_t at = tail[0].offset;
    EXPECT_EQ(Bytes(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at) + 16),
              (Bytes{0, 0, 0, 19, 0, 0, 0, 19, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// ACL data of one ATT PDU in fragments of at most `size` bytes, as a controller's buffers cut it.
std::vector<Bytes> aclFragments(uint16_t connection, Bytes att, size_t size) {
    Bytes l2cap{static_cast<uint8_t>(att.size()), static_cast<uint8_t>(att.size() >> 8), 0x04, 0x00};
    l2cap.insert(l2cap.end(), att.begin(), att.end());
    std::vector<Bytes> out;
    for (size_t at = 0; at < l2cap.size(); at += size) {
        const size_t n = std::min(size, l2cap.size() - at);
        const uint16_t header = static_cast<uint16_t>(connection | (at == 0 ? 0x0000 : 0x1000));
        Bytes acl{static_cast<uint8_t>(header), static_cast<uint8_t>(header >> 8), static_cast<uint8_t>(n), 0};
        acl.insert(acl.end(), l2cap.begin() + static_cast<long>(at), l2cap.begin() + static_cast<long>(at + n));
        out.push_back(std::move(acl));
    }
    return out;
}

TEST(TraceFormat, ReadsBtmonCapturesWithFragmentsAndOtherHandles) {
    // btmon's monitor format on adapter 1: ACL TX opcode 4, RX opcode 5; the token's table puts
    // its characteristics on 0x002A (write) and 0x002D (notify).
    const AttUuid128 w = attUuid128(kLumoTokenWriteCharacteristicUUID), n = attUuid128(kLumoTokenNotifyCharacteristicUUID);
    Bytes declarations{0x09, 21, 0x29, 0x00, 0x08, 0x2A, 0x00};
    declarations.insert(declarations.end(), w.begin(), w.end());
    declarations.insert(declarations.end(), {0x2C, 0x00, 0x10, 0x2D, 0x00});
    declarations.insert(declarations.end(), n.begin(), n.end());
    const std::vector<std::pair<uint32_t, Bytes>> pdus{
        {4, {0x08, 0x28, 0x00, 0x30, 0x00, 0x03, 0x28}},
        {5, declarations},
        {4, {0x12, 0x2A, 0x00, 0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB}},
        {5, {0x1B, 0x2D, 0x00, 0x00, 0x06, 0x00, 0x35, 0x02, 0x00, 0x00, 0x64, 0x55}},
    };
    Bytes file = btsnoopFileHeader(kDatalinkMonitor);
    for (const auto& [opcode, att] : pdus)
        for (const Bytes& fragment : aclFragments(0x0041, att, 9)) appendBtsnoopRecord(file, 1000, 1u << 16 | opcode, fragment);

    for (const auto& given : {std::optional<TokenHandles>(), std::optional<TokenHandles>(TokenHandles{0x002A, 0x002D})}) {
        const TokenCapture capture = readTokenCapture(file, given);
        ASSERT_FALSE(capture.notCapture);
        ASSERT_EQ(capture.events.size(), 2u);
        EXPECT_EQ(capture.events[0].link, 0x10041u);
        const SessionDecode decoded = decodeSession(capture, std::nullopt);
        ASSERT_EQ(decoded.lines.size(), 2u);
        EXPECT_EQ(decoded.lines[0].command, "getBatteryLevel");
        EXPECT_EQ(decoded.lines[1].statusText, "No error");
        ASSERT_EQ(decoded.lines[1].fields.size(), 1u);
        EXPECT_EQ(decoded.lines[1].fields[0].number, 100);
    }
    // Cut inside the last record: everything before it is still read.
    const TokenCapture cut = readTokenCapture(ByteView(file).first(file.size() - 3));
    EXPECT_TRUE(cut.truncatedAt);
    EXPECT_EQ(cut.events.size(), 1u);
}

}  // namespace
}  // namespace vexa::trace
