#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"

namespace vexa::test {
namespace {

const Error kInvalid = lumoTokenError(kLumoTokenErrorInvalidResponse);

class LumoTokenCommands : public ::testing::Test {
protected:
    void SetUp() override { h.connect(); }
    // The request of the command just issued, then `reply` as its answer.
    Sent exchange(const Bytes& reply) {
        h.main.runUntilIdle();
        Sent request = h.sent().back();
        h.reply(reply);
        return request;
    }
    SessionHarness h;
};

TEST_F(LumoTokenCommands, InformationRequestsAndDecoding) {
    setUnixTimeSource([] { return 1700000000.9; });
    OptError timeError = Error{};
    h.token->synDateTime([&](const OptError& e) { timeError = e; });
    Sent s = exchange({0});
    setUnixTimeSource(nullptr);
    EXPECT_EQ(s.code, 0x10);
    EXPECT_EQ(s.payload, (Bytes{0x65, 0x53, 0xF1, 0x00}));
    EXPECT_FALSE(timeError);

    std::string serial = "x";
    h.token->getSerial([&](const std::string& text, const OptError&) { serial = text; });
    s = exchange({0, '4', '2', 0, 0xC3});
    EXPECT_EQ(s.code, 0x30);
    EXPECT_TRUE(s.payload.empty());
    EXPECT_EQ(serial, std::string("42\0\xEF\xBF\xBD", 6));

    std::vector<std::pair<uint8_t, OptError>> levels;
    auto level = [&](uint8_t v, const OptError& e) { levels.emplace_back(v, e); };
    h.token->getBatteryLevel(level);
    EXPECT_EQ(exchange({0, 0x64, 0x01}).code, 0x35);
    h.token->getBatteryLevel(level);
    exchange({5, 0x64});
    h.token->getBatteryLevel(level);
    exchange({0});  // too short
    ASSERT_EQ(levels.size(), 3u);
    EXPECT_EQ(levels[0], (std::pair<uint8_t, OptError>{100, std::nullopt}));
    EXPECT_EQ(levels[1], (std::pair<uint8_t, OptError>{0, Error{kLumoTokenErrorDomain, 0xFF05, "Unable to get battery level"}}));
    EXPECT_EQ(levels[2], (std::pair<uint8_t, OptError>{0, kInvalid}));

    std::vector<std::optional<std::string>> versions;
    std::vector<OptError> versionErrors;
    auto version = [&](const std::optional<std::string>& v, const OptError& e) {
        versions.push_back(v);
        versionErrors.push_back(e);
    };
    h.token->getFirmwareVersion(version);
    EXPECT_EQ(exchange({0, 0x07}).code, 0x20);
    h.token->getHardwareVersion(version);
    EXPECT_EQ(exchange({0, 0x1F, 0x33}).code, 0x25);
    h.token->getHardwareVersion(version);
    exchange({0});
    h.token->getFirmwareVersion(version);
    exchange({13});
    EXPECT_EQ(versions, (std::vector<std::optional<std::string>>{"07", "1f", std::nullopt, std::nullopt}));
    EXPECT_EQ(versionErrors[2], kInvalid);
    EXPECT_EQ(versionErrors[3]->code, 0xFF0D);
}

TEST_F(LumoTokenCommands, PowerProtocolAndApdu) {
    std::vector<OptError> errors;
    auto err = [&](const OptError& e) { errors.push_back(e); };
    h.token->powerOff(err);
    EXPECT_EQ(exchange({0, 9, 9}).code, 0x40);
    h.token->powerSecureElementOff(err);
    EXPECT_EQ(exchange({2}).code, 0x50);
    h.token->setCommunicationProtocol(1, err);
    Sent s = exchange({0});
    EXPECT_EQ(s.code, 0x55);
    EXPECT_EQ(s.payload, (Bytes{1, 0, 0, 0}));
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_FALSE(errors[0]);
    EXPECT_EQ(*errors[1], (Error{kLumoTokenErrorDomain, 0xFF02, "Error access to smart card"}));
    EXPECT_FALSE(errors[2]);

    std::vector<std::optional<Bytes>> data;
    auto got = [&](const std::optional<Bytes>& d, const OptError&) { data.push_back(d); };
    h.token->powerSecureElementOn(got);
    EXPECT_EQ(exchange({0, 0x3B, 0x00}).code, 0x45);
    h.token->sendAPDU({0x00, 0x84, 0x00, 0x00, 0x08}, got);
    s = exchange({0});
    EXPECT_EQ(s.code, 0x15);
    EXPECT_EQ(s.payload, (Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
    h.token->sendAPDU({0x01}, got);
    exchange({8});
    EXPECT_EQ(data, (std::vector<std::optional<Bytes>>{Bytes{0x3B, 0x00}, Bytes{}, std::nullopt}));

    // Without a callback the command is still sent and its reply consumed.
    const size_t before = h.sent().size();
    h.token->powerOff(nullptr);
    h.token->getSerial(nullptr);
    exchange({0});
    exchange({0});
    EXPECT_EQ(h.sent().size(), before + 2);
}

TEST_F(LumoTokenCommands, FileRequestsAndReplies) {
    std::vector<std::pair<uint8_t, OptError>> handles;
    h.token->openFile("/a/é", 1, [&](uint8_t handle, const OptError& e) { handles.emplace_back(handle, e); });
    Sent s = exchange({0, 3});
    EXPECT_EQ(s.code, 0x70);
    EXPECT_EQ(s.payload, (Bytes{0x01, '/', 'a', '/', 0xC3, 0xA9, 0x00}));
    h.token->openFile("x", 0, [&](uint8_t handle, const OptError& e) { handles.emplace_back(handle, e); });
    exchange({0});
    h.token->openFile("x", 0, [&](uint8_t handle, const OptError& e) { handles.emplace_back(handle, e); });
    exchange({11, 4});
    ASSERT_EQ(handles.size(), 3u);
    EXPECT_EQ(handles[0], (std::pair<uint8_t, OptError>{3, std::nullopt}));
    EXPECT_EQ(handles[1], (std::pair<uint8_t, OptError>{0, kInvalid}));
    EXPECT_EQ(handles[2].second->code, 0xFF0B);

    std::optional<Bytes> read;
    h.token->readFile(3, 258, [&](const std::optional<Bytes>& d, const OptError&) { read = d; });
    s = exchange({0, 'h', 'i'});
    EXPECT_EQ(s.code, 0x80);
    EXPECT_EQ(s.payload, (Bytes{3, 0x01, 0x02}));
    EXPECT_EQ(read, (Bytes{'h', 'i'}));

    int ok = 0;
    auto count = [&](const OptError& e) { ok += e ? 0 : 1; };
    h.token->closeFile(3, count);
    s = exchange({0});
    EXPECT_EQ(s.code, 0x75);
    EXPECT_EQ(s.payload, Bytes{3});
    h.token->removeFile("f", count);
    s = exchange({0});
    EXPECT_EQ(s.code, 0x90);
    EXPECT_EQ(s.payload, (Bytes{'f', 0}));
    h.token->openDir("/", count);
    s = exchange({0});
    EXPECT_EQ(s.code, 0x95);
    EXPECT_EQ(s.payload, (Bytes{'/', 0}));
    h.token->selectStorage(2, count);
    s = exchange({0});
    EXPECT_EQ(s.code, 0xA5);
    EXPECT_EQ(s.payload, Bytes{2});
    EXPECT_EQ(ok, 4);
}

TEST_F(LumoTokenCommands, DirectoryEntries) {
    std::vector<std::optional<LumoToken::DirEntry>> entries;
    std::vector<OptError> errors;
    auto item = [&](const std::optional<LumoToken::DirEntry>& e, const OptError& err) {
        entries.push_back(e);
        errors.push_back(err);
    };
    h.token->getDirItem(item);
    Sent s = exchange({0, '1', '2', 0, 'd', 0, 'a', 0, 'n', 0, 'x', 'y'});
    EXPECT_EQ(s.code, 0xA0);
    EXPECT_TRUE(s.payload.empty());
    h.token->getDirItem(item);
    exchange({0, '1', 0, 'd', 0, 'a', 0, 'n'});  // last field unterminated
    h.token->getDirItem(item);
    exchange({0, '1', 0, 0, 'a', 0, 'n', 0});  // an empty field
    h.token->getDirItem(item);
    exchange({0});
    h.token->getDirItem(item);
    exchange({11});
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0], (LumoToken::DirEntry{{"FSFileSize", "12"}, {"FSDateCreate", "d"}, {"FSAttributes", "a"}, {"FSName", "n"}}));
    for (size_t i = 1; i < 5; ++i) EXPECT_FALSE(entries[i]) << i;
    for (size_t i = 0; i < 4; ++i) EXPECT_FALSE(errors[i]) << i;
    EXPECT_EQ(errors[4]->code, 0xFF0B);
}

TEST_F(LumoTokenCommands, FileWriteInPieces) {
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const Bytes original = data;
    std::vector<OptError> results;
    const size_t base = h.sent().size();
    h.token->writeToFile(9, data, [&](const OptError& e) { results.push_back(e); });
    data.assign(data.size(), 0);  // the caller's buffer need not outlive the call
    exchange({0});
    exchange({0});
    EXPECT_TRUE(results.empty());
    exchange({0});
    const auto sent = h.sent();
    ASSERT_EQ(sent.size(), base + 3);
    const size_t lengths[] = {2048, 2048, 904};
    for (size_t i = 0; i < 3; ++i) {
        const Sent& piece = sent[base + i];
        EXPECT_EQ(piece.code, 0x85);
        ASSERT_EQ(piece.payload.size(), 3 + lengths[i]);
        EXPECT_EQ(piece.payload[0], 9);
        EXPECT_EQ((piece.payload[1] << 8) | piece.payload[2], static_cast<int>(lengths[i]));
        EXPECT_TRUE(std::equal(piece.payload.begin() + 3, piece.payload.end(), original.begin() + static_cast<long>(i * 2048)));
    }
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0]);

    // Empty data: one piece, the handle and 00 00.
    results.clear();
    h.token->writeToFile(4, {}, [&](const OptError& e) { results.push_back(e); });
    EXPECT_EQ(exchange({0}).payload, (Bytes{4, 0, 0}));
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(LumoTokenCommands, FailedPieceStopsTheWriteAndLaterCommandsFollowIt) {
    std::vector<OptError> results;
    std::vector<std::string> order;
    const size_t base = h.sent().size();
    h.token->writeToFile(1, Bytes(3 * 2048, 0xEE), [&](const OptError& e) {
        results.push_back(e);
        order.push_back("write");
    });
    h.token->getSerial([&](const std::string&, const OptError&) { order.push_back("serial"); });
    exchange({0});
    exchange({11});  // the second piece fails
    exchange({0, '1'});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->code, 0xFF0B);
    ASSERT_EQ(h.sent().size(), base + 3);  // the third piece never went out
    EXPECT_EQ(h.sent()[base + 2].code, 0x30);
    EXPECT_EQ(order, (std::vector<std::string>{"write", "serial"}));

    // A piece whose encryption fails: reported once, nothing after it is sent.
    results.clear();
    h.delegate->cipher = true;
    h.delegate->failEncrypt = true;
    h.token->writeToFile(1, Bytes(4096, 1), [&](const OptError& e) { results.push_back(e); });
    h.main.runUntilIdle();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->code, 6);
    EXPECT_EQ(h.sent().size(), base + 3);
}

TEST_F(LumoTokenCommands, EnvironmentVariables) {
    std::vector<std::tuple<std::optional<std::string>, std::optional<std::string>, OptError>> reads;
    auto read = [&](const std::optional<std::string>& n, const std::optional<std::string>& v, const OptError& e) { reads.emplace_back(n, v, e); };
    h.token->readEnvironmentVariable("abc", read);
    Sent s = exchange({0, 'x', 'y', 0, 'z'});
    EXPECT_EQ(s.code, 0xB0);
    EXPECT_EQ(s.payload, (Bytes{'a', 'b', 'c', 0}));
    h.token->readEnvironmentVariable("abc", read);
    exchange({0, 'x', 'y'});  // no zero byte: taken to the end
    h.token->readEnvironmentVariable("abc", read);
    exchange({0});  // only the status
    h.token->readEnvironmentVariable("abc", read);
    exchange({0, 0xFF, 0});  // not UTF-8
    h.token->readEnvironmentVariable("abc", read);
    exchange({12});
    ASSERT_EQ(reads.size(), 5u);
    EXPECT_EQ(reads[0], std::make_tuple(std::optional<std::string>("abc"), std::optional<std::string>("xy"), OptError()));
    EXPECT_EQ(reads[1], reads[0]);
    EXPECT_EQ(reads[2], std::make_tuple(std::optional<std::string>(), std::optional<std::string>(), OptError(kInvalid)));
    EXPECT_EQ(reads[3], std::make_tuple(std::optional<std::string>("abc"), std::optional<std::string>(), OptError()));
    EXPECT_EQ(std::get<2>(reads[4]), (Error{kLumoTokenErrorDomain, 0xFF0C, "Environment variable error"}));

    int ok = 0;
    h.token->writeEnvironmentVariable("abc", "xy", [&](const OptError& e) { ok += e ? 0 : 1; });
    s = exchange({0});
    EXPECT_EQ(s.code, 0x60);
    EXPECT_EQ(s.payload, (Bytes{'a', 'b', 'c', 0, 'x', 'y', 0}));
    h.token->writeEnvironmentVariable("é", "", [&](const OptError& e) { ok += e ? 0 : 1; });
    EXPECT_EQ(exchange({0}).payload, (Bytes{0xC3, 0xA9, 0, 0}));
    h.token->removeEnvironmentVariable("abc", [&](const OptError& e) { ok += e ? 0 : 1; });
    s = exchange({0});
    EXPECT_EQ(s.code, 0x60);
    EXPECT_EQ(s.payload, (Bytes{'a', 'b', 'c', 0}));
    EXPECT_EQ(ok, 3);
}

TEST(LumoTokenSplit, Pieces) {
    const Bytes data(5, 1);
    EXPECT_EQ(LumoToken::split({}, 2048).size(), 1u);
    EXPECT_TRUE(LumoToken::split({}, 2048)[0].empty());
    const auto pieces = LumoToken::split(data, 2);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[2].size(), 1u);
    EXPECT_EQ(pieces[2].data(), data.data() + 4);  // views, not copies
    EXPECT_EQ(LumoToken::split(data, 5).size(), 1u);
    EXPECT_EQ(LumoToken::split(Bytes(2049), 2048).size(), 2u);
}

}  // namespace
}  // namespace vexa::test
