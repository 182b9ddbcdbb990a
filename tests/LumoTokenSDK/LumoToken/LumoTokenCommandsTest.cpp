#include "tests/LumoTokenSDK/LumoToken/SessionHarness.h"

namespace vexa::test {
namespace {

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

// One row per command and reply shape: the request the command writes, and what its handler
// makes of the reply. Rows without a handler check that the reply is still consumed.
TEST_F(LumoTokenCommands, RequestBytesAndReplyDecodingOfEveryCommand) {
    setUnixTimeSource([] { return 1700000000.9; });
    std::string got;  // the answer: its value(s), then "E<code>" when it failed
    auto err = [](const OptError& e) { return e ? "E" + std::to_string(e->code) : std::string(); };
    auto done = [&](const OptError& e) { got = "ok" + err(e); };
    auto bytes = [&](const std::optional<Bytes>& b, const OptError& e) { got = (b ? std::to_string(b->size()) + "b" : "-") + err(e); };
    auto text = [&](const std::optional<std::string>& v, const OptError& e) { got = v.value_or("-") + err(e); };
    auto number = [&](auto v, const OptError& e) { got = std::to_string(v) + err(e); };
    auto serial = [&](const std::string& v, const OptError& e) { got = v + err(e); };
    auto variable = [&](const auto& n, const auto& v, const OptError& e) { got = n.value_or("-") + "=" + v.value_or("-") + err(e); };
    auto entry = [&](const std::optional<LumoToken::DirEntry>& d, const OptError& e) {
        got = d ? "" : "-";
        for (const auto& [key, value] : d.value_or(LumoToken::DirEntry{})) got += key + "=" + value + " ";
        got += err(e);
    };
    struct Row {
        std::function<void()> issue;
        Sent request;
        Bytes reply;
        std::string answer;
    };
    const Bytes getChallenge{0x00, 0x84, 0x00, 0x00, 0x08};
    const Row rows[] = {
        {[&] { t.synDateTime(done); }, {0x10, {0x65, 0x53, 0xF1, 0x00}}, {0}, "ok"},
        {[&] { setUnixTimeSource([] { return 10.0; }), t.synDateTime(nullptr); }, {0x10, {0, 0, 0, 0x0A}}, {0}, ""},
        {[&] { t.sendAPDU(getChallenge, bytes); }, {0x15, getChallenge}, {0, 1, 2}, "2b"},
        {[&] { t.getFirmwareVersion(text); }, {0x20, {}}, {0, 0x07}, "07"},
        {[&] { t.getHardwareVersion(text); }, {0x25, {}}, {0, 0x1F, 0x33}, "1f"},
        {[&] { t.getHardwareVersion(text); }, {0x25, {}}, {0}, "-E2"},
        {[&] { t.getHardwareVersion(text); }, {0x25, {}}, {13}, "-E65293"},
        {[&] { t.getSerial(serial); }, {0x30, {}}, {0, '4', '2', 0, 0xC3}, std::string("42\0\xEF\xBF\xBD", 6)},
        {[&] { t.getSerial(serial); }, {0x30, {}}, {7}, "E65287"},
        {[&] { t.getBatteryLevel(number); }, {0x35, {}}, {0, 0x64, 1}, "100"},
        {[&] { t.getBatteryLevel(number); }, {0x35, {}}, {5, 0x64}, "0E65285"},
        {[&] { t.getBatteryLevel(number); }, {0x35, {}}, {0}, "0E2"},
        {[&] { t.powerOff(done); }, {0x40, {}}, {0}, "ok"},
        {[&] { t.powerSecureElementOn(bytes); }, {0x45, {}}, {0, 0x3B, 0}, "2b"},
        {[&] { t.powerSecureElementOn(bytes); }, {0x45, {}}, {0}, "0b"},
        {[&] { t.powerSecureElementOn(bytes); }, {0x45, {}}, {3}, "-E65283"},
        {[&] { t.powerSecureElementOff(nullptr); }, {0x50, {}}, {0}, ""},
        {[&] { t.setCommunicationProtocol(1, done); }, {0x55, {1, 0, 0, 0}}, {4, 1}, "okE65284"},
        {[&] { t.writeEnvironmentVariable("abc", "xy", done); }, {0x60, {'a', 'b', 'c', 0, 'x', 'y', 0}}, {0}, "ok"},
        {[&] { t.writeEnvironmentVariable("abc", "", nullptr); }, {0x60, {'a', 'b', 'c', 0, 0}}, {0}, ""},
        {[&] { t.removeEnvironmentVariable("abc", done); }, {0x60, {'a', 'b', 'c', 0}}, {12}, "okE65292"},
        {[&] { t.openFile("/é", 1, number); }, {0x70, {0x01, '/', 0xC3, 0xA9, 0x00}}, {0, 3}, "3"},
        {[&] { t.openFile("x", 0, number); }, {0x70, {0x00, 'x', 0x00}}, {0}, "0E2"},
        {[&] { t.openFile("x", 0, number); }, {0x70, {0x00, 'x', 0x00}}, {11, 4}, "0E65291"},
        {[&] { t.closeFile(3, nullptr); }, {0x75, {3}}, {0}, ""},
        {[&] { t.readFile(3, 258, bytes); }, {0x80, {3, 0x01, 0x02}}, {0, 'h', 'i'}, "2b"},
        {[&] { t.writeToFile(4, {}, nullptr); }, {0x85, {4, 0, 0}}, {0}, ""},
        {[&] { t.removeFile("f", done); }, {0x90, {'f', 0}}, {0}, "ok"},
        {[&] { t.openDir("/", nullptr); }, {0x95, {'/', 0}}, {0}, ""},
        {[&] { t.getDirItem(entry); }, {0xA0, {}}, {0, '1', '2', 0, 'd', 0, 'a', 0, 'n', 0, 'x', 'y'},
         "FSAttributes=a FSDateCreate=d FSFileSize=12 FSName=n "},
        {[&] { t.getDirItem(entry); }, {0xA0, {}}, {0, '1', 0, 'd', 0, 'a', 0, 'n'}, "-"},  // an entry needs all four pieces
        {[&] { t.getDirItem(entry); }, {0xA0, {}}, {0, '1', 0, 0, 'a', 0, 'n', 0}, "-"},
        {[&] { t.getDirItem(entry); }, {0xA0, {}}, {0}, "-"},  // the end of the listing
        {[&] { t.getDirItem(entry); }, {0xA0, {}}, {11}, "-E65291"},
        {[&] { t.selectStorage(2, done); }, {0xA5, {2}}, {0}, "ok"},
        {[&] { t.readEnvironmentVariable("é", variable); }, {0xB0, {0xC3, 0xA9, 0}}, {0, 'x', 'y', 0, 'z'}, "é=xy"},
        {[&] { t.readEnvironmentVariable("abc", variable); }, {0xB0, {'a', 'b', 'c', 0}}, {0, 'x', 'y'}, "abc=xy"},  // no zero byte
        {[&] { t.readEnvironmentVariable("abc", variable); }, {0xB0, {'a', 'b', 'c', 0}}, {0}, "-=-E2"},
        {[&] { t.readEnvironmentVariable("abc", variable); }, {0xB0, {'a', 'b', 'c', 0}}, {0, 0xFF, 0}, "abc=-"},
        {[&] { t.readEnvironmentVariable("abc", variable); }, {0xB0, {'a', 'b', 'c', 0}}, {12}, "-=-E65292"},
    };
    const size_t before = h.sent().size();
    for (const auto& row : rows) {
        got.clear();
        row.issue();
        const Sent s = exchange(row.reply);
        EXPECT_EQ(s.code, row.request.code);
        EXPECT_EQ(s.payload, row.request.payload) << std::hex << int(row.request.code);
        EXPECT_EQ(got, row.answer) << std::hex << int(row.request.code);
    }
    EXPECT_EQ(h.sent().size(), before + std::size(rows));
    setUnixTimeSource(nullptr);
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

}  // namespace
}  // namespace vexa::test
