#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"

#include <gtest/gtest.h>

#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"

namespace vexa {
namespace {

Bytes patterned(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
    return b;
}
Bytes frame(size_t packageSize, size_t index) { return BleSocketFormat().pack2Frames(patterned(packageSize)).at(index); }

TEST(BleSocketFormatSplit, ByteExactFramesAndCountsAtTheBoundaries) {
    const BleSocketFormat fmt;
    EXPECT_EQ(fmt.pack2Frames(Bytes{0x35, 0x00, 0x00, 0xEB}), std::vector<Bytes>{(Bytes{0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB})});
    // size, frames, length field (little-endian); every frame but the last carries 140 bytes.
    const struct { size_t size, frames; uint8_t lo, hi; } rows[] = {
        {137, 1, 0x89, 0x00}, {138, 2, 0x8A, 0x00}, {276, 2, 0x14, 0x01}, {277, 3, 0x15, 0x01}, {35582, 256, 0xFE, 0x8A}};
    for (const auto& row : rows) {
        const Bytes package = patterned(row.size);
        const auto frames = fmt.pack2Frames(package);
        ASSERT_EQ(frames.size(), row.frames) << row.size;
        EXPECT_EQ(frames[0][1], row.lo) << row.size;
        EXPECT_EQ(frames[0][2], row.hi) << row.size;
        EXPECT_EQ(Bytes(frames[0].begin() + 3, frames[0].end()), Bytes(package.begin(), package.begin() + frames[0].size() - 3));
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(frames[i][0], static_cast<uint8_t>(i));
            ASSERT_TRUE(i + 1 == frames.size() || frames[i].size() == 140u) << i;
        }
        EXPECT_EQ(frames.back().back(), package.back());
    }
    EXPECT_EQ(fmt.pack2Frames(patterned(138))[1], (Bytes{0x01, patterned(138)[137]}));
    // Nothing to send, or a 257th frame whose index would repeat 0: no frames at all.
    for (size_t size : {0u, 35583u, 70000u}) EXPECT_TRUE(fmt.pack2Frames(patterned(size)).empty()) << size;
}

// Each row feeds its frames to a fresh joiner; addFrame answers 1 package complete, 2 more frames
// wanted, 3 wrong index, 4 wrong length, 5 empty frame. The last frame completes `package`.
TEST(BleSocketFormatJoin, BrokenFramesFailUntilTheNextIndexZero) {
    const struct Row {
        const char* fault;
        std::vector<Bytes> frames;
        std::vector<int> results;
        Bytes package;
    } rows[] = {
        {"lost frame: the expected index does not advance", {frame(500, 0), frame(500, 2), frame(500, 3), frame(500, 2), frame(500, 0),
          frame(500, 1), frame(500, 2), frame(500, 3)}, {2, 3, 3, 3, 2, 2, 2, 1}, patterned(500)},
        {"overrun, and the rest of its package", {{0x00, 0x05, 0x00, 1, 2, 3, 4, 5, 6}, {0x01, 7}, {0x02}, {0x00, 0x02, 0x00, 0xAB, 0xCD}},
         {4, 4, 4, 1}, {0xAB, 0xCD}},
        {"first frame of 1 byte", {{0x00, 0x10, 0x00, 1, 2}, {0x00}, {0x01}, {0x02, 0x09}, {0x05}, {0x00, 0x01, 0x00, 0x42}}, {2, 4, 4, 4, 3, 1}, {0x42}},
        {"first frame of 2 bytes", {{0x00, 0x05}, {0x01}, {0x00, 0x01, 0x00, 0x42}}, {4, 4, 1}, {0x42}},
        {"empty frame changes nothing", {{0x00, 0x04, 0x00, 0x35, 0x00}, {}, {0x01, 0x00, 0xEB}}, {2, 5, 1}, {0x35, 0x00, 0x00, 0xEB}},
        {"index 0 mid-package restarts", {frame(300, 0), frame(300, 1), {0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB}}, {2, 2, 1}, {0x35, 0x00, 0x00, 0xEB}},
    };
    for (const Row& row : rows) {
        BleSocketFormat fmt;
        std::vector<int> results;
        for (const Bytes& f : row.frames) results.push_back(fmt.addFrame(f));
        EXPECT_EQ(results, row.results) << row.fault;
        EXPECT_EQ(fmt.getPackage(), row.package) << row.fault;
    }
    // Once idle, only the index after the last accepted one is taken (joined to the stale length).
    BleSocketFormat fmt;
    ASSERT_EQ(fmt.addFrame(frame(200, 0)), 2);
    ASSERT_EQ(fmt.addFrame(frame(200, 1)), 1);
    fmt.reset();
    EXPECT_EQ(fmt.addFrame(frame(200, 1)), 3);
    EXPECT_EQ(fmt.addFrame(Bytes{0x07, 0x00}), 3);
    EXPECT_EQ(fmt.addFrame(Bytes{0x02, 0x00}), 2);

    // A buffer given back is joined into next, once nothing is being joined; its old bytes go.
    fmt.recycle(patterned(600));
    EXPECT_EQ(fmt.getPackage().size(), 1u);  // still joining (the frame above): not taken
    BleSocketFormat idle;
    Bytes spent = patterned(600);
    const uint8_t* buffer = spent.data();
    idle.recycle(std::move(spent));
    for (const Bytes& f : idle.pack2Frames(patterned(500))) idle.addFrame(f);
    EXPECT_EQ(idle.getPackage(), patterned(500));
    EXPECT_EQ(idle.getPackage().data(), buffer);
}

TEST(BleSocketFormatJoin, CompletionGetsExactlyOneOfPackageOrErrorAndMayFeedTheNextFrames) {
    BleSocketFormat fmt;
    std::vector<Bytes> got;
    std::vector<Error> errors;
    const auto framesB = fmt.pack2Frames(LumoTokenCommand::buildPackage(0x02, patterned(20)));
    std::function<void(const std::optional<Bytes>&, const OptError&)> completion = [&](const std::optional<Bytes>& p, const OptError& e) {
        ASSERT_NE(p.has_value(), e.has_value());
        if (e) return errors.push_back(*e);
        got.push_back(*p);
        if (got.size() == 1) fmt.addFrameWithCompletion(framesB[0], completion);
    };
    fmt.addFrameWithCompletion(frame(300, 0), completion);
    fmt.addFrameWithCompletion(frame(300, 2), completion);
    fmt.addFrameWithCompletion(Bytes{0x00}, completion);
    EXPECT_EQ(errors, (std::vector<Error>{{"LumoBleSocketError", 3, "An invalid index of frame in package."},
                                          {"LumoBleSocketError", 4, "An invalid lenght of package."}}));
    const Bytes a = LumoTokenCommand::buildPackage(0x01, patterned(10));
    fmt.addFrameWithCompletion(fmt.pack2Frames(a)[0], completion);
    EXPECT_EQ(got, (std::vector<Bytes>{a, LumoTokenCommand::buildPackage(0x02, patterned(20))}));
    EXPECT_TRUE(fmt.getPackage().empty());
    // Without a completion the state is still reset; a bad CRC is joined all the same (the parser judges it).
    fmt.addFrameWithCompletion(fmt.pack2Frames(a)[0], nullptr);
    EXPECT_TRUE(fmt.getPackage().empty());
    Bytes corrupt = a;
    corrupt.back() ^= 0xFF;
    fmt.addFrameWithCompletion(fmt.pack2Frames(corrupt)[0], completion);
    EXPECT_EQ(got.back(), corrupt);
}

}  // namespace
}  // namespace vexa
