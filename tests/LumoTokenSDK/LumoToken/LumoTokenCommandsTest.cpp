#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"

namespace vexa::test {
namespace {

const Error kInvalid = tokenError(2, "Invalid token response.");

class LumoTokenCommands : public ::testing::Test {
protected:
    void SetUp() override { h.connect(); }
    // The request of the command just issued; `reply` answers it.
    Sent exchange(const Bytes& reply) {
        h.main.runUntilIdle();
        Sent request = h.sent().back();
        h.reply(reply);
        return request;
    }
    SessionHarness h;
    LumoToken& t = *h.token;
};

TEST_F(LumoTokenCommands, RequestBytesOfEveryCommand) {
    setUnixTimeSource([] { return 1700000000.9; });
    const std::vector<std::pair<std::function<void()>, Sent>> cases = {
        {[&] { t.synDateTime(nullptr); }, {0x10, {0x65, 0x53, 0xF1, 0x00}}},
        {[&] { setUnixTimeSource([] { return 10.0; }), t.synDateTime(nullptr); }, {0x10, {0, 0, 0, 0x0A}}},
        {[&] { t.sendAPDU({0x00, 0x84, 0x00, 0x00, 0x08}, nullptr); }, {0x15, {0x00, 0x84, 0x00, 0x00, 0x08}}},
        {[&] { t.getFirmwareVersion(nullptr); }, {0x20, {}}},
        {[&] { t.getHardwareVersion(nullptr); }, {0x25, {}}},
        {[&] { t.getSerial(nullptr); }, {0x30, {}}},
        {[&] { t.getBatteryLevel(nullptr); }, {0x35, {}}},
        {[&] { t.powerOff(nullptr); }, {0x40, {}}},
        {[&] { t.powerSecureElementOn(nullptr); }, {0x45, {}}},
        {[&] { t.powerSecureElementOff(nullptr); }, {0x50, {}}},
        {[&] { t.setCommunicationProtocol(1, nullptr); }, {0x55, {1, 0, 0, 0}}},
        {[&] { t.writeEnvironmentVariable("abc", "xy", nullptr); }, {0x60, {'a', 'b', 'c', 0, 'x', 'y', 0}}},
        {[&] { t.writeEnvironmentVariable("abc", "", nullptr); }, {0x60, {'a', 'b', 'c', 0, 0}}},
        {[&] { t.removeEnvironmentVariable("abc", nullptr); }, {0x60, {'a', 'b', 'c', 0}}},
        {[&] { t.openFile("/é", 1, nullptr); }, {0x70, {0x01, '/', 0xC3, 0xA9, 0x00}}},
        {[&] { t.closeFile(3, nullptr); }, {0x75, {3}}},
        {[&] { t.readFile(3, 258, nullptr); }, {0x80, {3, 0x01, 0x02}}},
        {[&] { t.writeToFile(4, {}, nullptr); }, {0x85, {4, 0, 0}}},
        {[&] { t.removeFile("f", nullptr); }, {0x90, {'f', 0}}},
        {[&] { t.openDir("/", nullptr); }, {0x95, {'/', 0}}},
        {[&] { t.getDirItem(nullptr); }, {0xA0, {}}},
        {[&] { t.selectStorage(2, nullptr); }, {0xA5, {2}}},
        {[&] { t.readEnvironmentVariable("é", nullptr); }, {0xB0, {0xC3, 0xA9, 0}}},
    };
    const size_t before = h.sent().size();
    for (const auto& [issue, expected] : cases) {
        issue();  // without a callback the command still goes out and its reply is consumed
        const Sent s = exchange({0});
        EXPECT_EQ(s.code, expected.code);
        EXPECT_EQ(s.payload, expected.payload) << std::hex << int(expected.code);
    }
    EXPECT_EQ(h.sent().size(), before + cases.size());
    setUnixTimeSource(nullptr);
}

TEST_F(LumoTokenCommands, DecodingShortRepliesAndStatuses) {
    std::vector<std::string> got;
    auto err = [](const OptError& e) { return e ? "E" + std::to_string(e->code) : std::string(); };
    auto show = [](const std::optional<Bytes>& b) { return b ? std::to_string(b->size()) + "b" : std::string("-"); };
    t.getSerial([&](const std::string& s, const OptError& e) { got.push_back(s + err(e)); });
    exchange({0, '4', '2', 0, 0xC3});
    t.getSerial([&](const std::string& s, const OptError& e) { got.push_back(s + err(e)); });
    exchange({7});
    for (const Bytes& reply : {Bytes{0, 0x64, 1}, Bytes{5, 0x64}, Bytes{0}})
        t.getBatteryLevel([&](uint8_t v, const OptError& e) { got.push_back(std::to_string(v) + err(e)); }), exchange(reply);
    for (const Bytes& reply : {Bytes{0, 0x07}, Bytes{0, 0x1F, 0x33}, Bytes{0}, Bytes{13}})
        t.getHardwareVersion([&](const auto& v, const OptError& e) { got.push_back(v.value_or("-") + err(e)); }), exchange(reply);
    for (const Bytes& reply : {Bytes{0, 3}, Bytes{0}, Bytes{11, 4}})
        t.openFile("x", 0, [&](uint8_t v, const OptError& e) { got.push_back(std::to_string(v) + err(e)); }), exchange(reply);
    for (const Bytes& reply : {Bytes{0, 0x3B, 0}, Bytes{0}, Bytes{3}})
        t.powerSecureElementOn([&](const auto& d, const OptError& e) { got.push_back(show(d) + err(e)); }), exchange(reply);
    t.readFile(1, 9, [&](const auto& d, const OptError& e) { got.push_back(show(d) + err(e)); });
    exchange({0, 'h', 'i'});
    t.setCommunicationProtocol(1, [&](const OptError& e) { got.push_back("p" + err(e)); });
    exchange({4, 1});
    EXPECT_EQ(got, (std::vector<std::string>{std::string("42\0\xEF\xBF\xBD", 6), "E65287", "100", "0E65285", "0E2", "07", "1f",
                                              "-E2", "-E65293", "3", "0E2", "0E65291", "2b", "0b", "-E65283", "2b", "pE65284"}));
}

TEST_F(LumoTokenCommands, DirectoryEntries) {
    std::vector<std::optional<LumoToken::DirEntry>> entries;
    std::vector<OptError> errors;
    for (const Bytes& reply : {Bytes{0, '1', '2', 0, 'd', 0, 'a', 0, 'n', 0, 'x', 'y'}, Bytes{0, '1', 0, 'd', 0, 'a', 0, 'n'},
                               Bytes{0, '1', 0, 0, 'a', 0, 'n', 0}, Bytes{0}, Bytes{11}}) {
        t.getDirItem([&](const auto& e, const OptError& err) { entries.push_back(e), errors.push_back(err); });
        exchange(reply);
    }
    const LumoToken::DirEntry first{{"FSFileSize", "12"}, {"FSDateCreate", "d"}, {"FSAttributes", "a"}, {"FSName", "n"}};
    EXPECT_EQ(entries, (std::vector<std::optional<LumoToken::DirEntry>>{first, {}, {}, {}, {}}));
    EXPECT_EQ(errors, (std::vector<OptError>{{}, {}, {}, {}, tokenError(0xFF0B, "Error operation at read/write file system")}));
}

TEST_F(LumoTokenCommands, FileWriteInPiecesAndItsFailures) {
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const Bytes original = data;
    std::vector<OptError> results;
    const size_t base = h.sent().size();
    t.writeToFile(9, data, [&](const OptError& e) { results.push_back(e); });
    data.assign(data.size(), 0);  // the caller's buffer need not outlive the call
    exchange({0}), exchange({0});
    EXPECT_TRUE(results.empty());
    exchange({0});
    EXPECT_EQ(results, std::vector<OptError>{std::nullopt});
    Bytes joined;
    for (size_t i = 0; i < 3; ++i) {
        const Bytes p = h.sent().at(base + i).payload;
        EXPECT_EQ(Bytes(p.begin(), p.begin() + 3), (Bytes{9, static_cast<uint8_t>((p.size() - 3) >> 8), static_cast<uint8_t>(p.size() - 3)}));
        joined.insert(joined.end(), p.begin() + 3, p.end());
    }
    EXPECT_EQ(h.sent()[base + 2].payload.size(), 3u + 904);
    EXPECT_EQ(joined, original);

    // The second of three pieces fails: one report, the third never goes out, and a command
    // issued after the write still follows it.
    results.clear();
    std::string order;
    t.writeToFile(1, Bytes(3 * 2048, 0xEE), [&](const OptError& e) { results.push_back(e), order += "w"; });
    t.getSerial([&](const std::string&, const OptError&) { order += "s"; });
    exchange({0}), exchange({11}), exchange({0, '1'});
    EXPECT_EQ(results, std::vector<OptError>{tokenError(0xFF0B, "Error operation at read/write file system")});
    EXPECT_EQ(h.sent().back().code, 0x30);
    EXPECT_EQ(h.sent().size(), base + 6);
    EXPECT_EQ(order, "ws");

    // Each piece is built when its turn comes: the rest of the write waits as one entry, and a
    // piece whose encryption fails then is reported once; nothing more of the write goes out.
    results.clear(), order.clear();
    h.delegate->cipher = true;
    t.writeToFile(1, Bytes(3 * 2048, 0xEE), [&](const OptError& e) { results.push_back(e), order += "w"; });
    t.getSerial([&](const std::string&, const OptError&) { order += "s"; });
    EXPECT_EQ(t.queue().size(), 2u);
    h.main.runUntilIdle();
    const size_t written = h.frames().size();
    h.delegate->failEncrypt = true;
    h.reply({0});
    h.delegate->failEncrypt = false;
    EXPECT_EQ(results, std::vector<OptError>{tokenError(6, "The command could not be encrypted.")});
    EXPECT_EQ(h.frames().size(), written + 1);  // the serial request alone
    h.reply({0, '1'});
    EXPECT_EQ(order, "ws");
    h.delegate->cipher = false;

    // At the piece boundary: the length fields of each piece, and success after the last reply.
    const std::pair<size_t, std::vector<Bytes>> sizes[] = {{2048, {{8, 0}}}, {2049, {{8, 0}, {0, 1}}}, {0, {{0, 0}}}};
    for (const auto& [size, lengths] : sizes) {
        results.clear();
        t.writeToFile(2, Bytes(size, 5), [&](const OptError& e) { results.push_back(e); });
        for (const Bytes& length : lengths) {
            EXPECT_TRUE(results.empty());
            const Bytes p = exchange({0}).payload;
            EXPECT_EQ(Bytes(p.begin() + 1, p.begin() + 3), length) << size;
        }
        EXPECT_EQ(results, std::vector<OptError>{std::nullopt});
    }

    // A piece whose encryption fails: reported once, nothing after it is sent.
    results.clear();
    h.delegate->cipher = h.delegate->failEncrypt = true;
    const size_t frames = h.frames().size();
    t.writeToFile(1, Bytes(4096, 1), [&](const OptError& e) { results.push_back(e); });
    h.main.runUntilIdle();
    EXPECT_EQ(results, std::vector<OptError>{tokenError(6, "The command could not be encrypted.")});
    EXPECT_EQ(h.frames().size(), frames);
}

TEST_F(LumoTokenCommands, EnvironmentVariableReads) {
    using Read = std::tuple<std::optional<std::string>, std::optional<std::string>, OptError>;
    std::vector<Read> reads;
    for (const Bytes& reply : {Bytes{0, 'x', 'y', 0, 'z'}, Bytes{0, 'x', 'y'}, Bytes{0}, Bytes{0, 0xFF, 0}, Bytes{12}}) {
        t.readEnvironmentVariable("abc", [&](const auto& n, const auto& v, const OptError& e) { reads.emplace_back(n, v, e); });
        exchange(reply);
    }
    EXPECT_EQ(reads, (std::vector<Read>{{"abc", "xy", {}},
                                         {"abc", "xy", {}},
                                         {{}, {}, kInvalid},
                                         {"abc", {}, {}},
                                         {{}, {}, tokenError(0xFF0C, "Environment variable error")}}));
}

TEST(LumoTokenSplit, Pieces) {
    const Bytes data(5, 1);
    EXPECT_EQ(LumoToken::split({}, 2048).size(), 1u);
    const auto pieces = LumoToken::split(data, 2);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[2].size(), 1u);
    EXPECT_EQ(pieces[2].data(), data.data() + 4);  // views, not copies
    EXPECT_EQ(LumoToken::split(Bytes(2049), 2048).size(), 2u);
}

}  // namespace
}  // namespace vexa::test
