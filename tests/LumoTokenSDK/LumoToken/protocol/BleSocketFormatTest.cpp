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

// Records every completion call.
struct Recorder {
    std::vector<Bytes> packages;
    std::vector<Error> errors;
    int calls = 0;
    BleSocketFormat::Completion completion() {
        return [this](const std::optional<Bytes>& package, const OptError& error) {
            ++calls;
            EXPECT_NE(package.has_value(), error.has_value()) << "exactly one of package and error";
            if (package) packages.push_back(*package);
            if (error) errors.push_back(*error);
        };
    }
};

const Error kIndexError{"LumoBleSocketError", 3, "An invalid index of frame in package."};
const Error kLengthError{"LumoBleSocketError", 4, "An invalid lenght of package."};

TEST(BleSocketFormatSplit, ByteExactFrames) {
    const BleSocketFormat fmt;
    auto frames = fmt.pack2Frames(Bytes{0x35, 0x00, 0x00, 0xEB});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{0x00, 0x04, 0x00, 0x35, 0x00, 0x00, 0xEB}));

    const Bytes p137 = patterned(137);
    frames = fmt.pack2Frames(p137);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), 140u);
    EXPECT_EQ(frames[0][0], 0x00);
    EXPECT_EQ(frames[0][1], 0x89);
    EXPECT_EQ(frames[0][2], 0x00);
    EXPECT_EQ(Bytes(frames[0].begin() + 3, frames[0].end()), p137);

    const Bytes p138 = patterned(138);
    frames = fmt.pack2Frames(p138);
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(frames[0].size(), 140u);
    EXPECT_EQ(frames[0][1], 0x8A);
    EXPECT_EQ(frames[0][2], 0x00);
    EXPECT_EQ(Bytes(frames[0].begin() + 3, frames[0].end()), Bytes(p138.begin(), p138.begin() + 137));
    EXPECT_EQ(frames[1], (Bytes{0x01, p138[137]}));

    EXPECT_TRUE(fmt.pack2Frames(Bytes{}).empty());
}

TEST(BleSocketFormatSplit, FrameCountsAtTheBoundaries) {
    const BleSocketFormat fmt;
    auto frames = fmt.pack2Frames(patterned(276));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 140u);
    EXPECT_EQ(frames[1].size(), 140u);

    frames = fmt.pack2Frames(patterned(277));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2], (Bytes{0x02, patterned(277)[276]}));

    // The largest package: 256 full frames, indexes 0..255, length 35582 = 0x8AFE.
    frames = fmt.pack2Frames(patterned(35582));
    ASSERT_EQ(frames.size(), 256u);
    EXPECT_EQ(frames[0][1], 0xFE);
    EXPECT_EQ(frames[0][2], 0x8A);
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].size(), 140u);
        ASSERT_EQ(frames[i][0], static_cast<uint8_t>(i));
    }

    // One byte more would need a 257th frame whose index repeats 0: nothing is produced.
    EXPECT_TRUE(fmt.pack2Frames(patterned(35583)).empty());
    EXPECT_TRUE(fmt.pack2Frames(patterned(70000)).empty());
}

TEST(BleSocketFormatJoin, SplitAndJoinRoundTrip) {
    for (size_t size : {1u, 4u, 137u, 138u, 276u, 277u, 2052u, 35582u}) {
        SCOPED_TRACE(size);
        BleSocketFormat sender;
        BleSocketFormat receiver;
        const Bytes package = patterned(size);
        const auto frames = sender.pack2Frames(package);
        for (size_t i = 0; i + 1 < frames.size(); ++i) ASSERT_EQ(receiver.addFrame(frames[i]), 2);
        ASSERT_EQ(receiver.addFrame(frames.back()), 1);
        EXPECT_EQ(receiver.getPackage(), package);

        // The same again through the completion path, on the same receiver.
        receiver.reset();
        Recorder rec;
        for (const auto& f : frames) receiver.addFrameWithCompletion(f, rec.completion());
        ASSERT_EQ(rec.calls, 1);
        ASSERT_EQ(rec.packages.size(), 1u);
        EXPECT_EQ(rec.packages[0], package);
        EXPECT_TRUE(receiver.getPackage().empty());
        EXPECT_EQ(receiver.waitLen(), size);
        EXPECT_EQ(receiver.lastIndex(), static_cast<uint8_t>(frames.size() - 1));
    }
}

TEST(BleSocketFormatJoin, OutOfOrderStaysRejectedUntilIndexZero) {
    BleSocketFormat fmt;
    Recorder rec;
    const auto frames = fmt.pack2Frames(patterned(500));  // 4 frames
    ASSERT_EQ(frames.size(), 4u);

    fmt.addFrameWithCompletion(frames[0], rec.completion());
    fmt.addFrameWithCompletion(frames[2], rec.completion());  // frame 1 lost
    ASSERT_EQ(rec.errors.size(), 1u);
    EXPECT_EQ(rec.errors[0], kIndexError);
    EXPECT_EQ(fmt.lastIndex(), 0);
    EXPECT_EQ(fmt.getPackage().size(), 137u);  // a rejected frame changes nothing

    EXPECT_EQ(fmt.addFrame(frames[3]), 3);  // the expected index did not advance
    EXPECT_EQ(fmt.addFrame(frames[2]), 3);

    // A new package starts afresh and is accepted.
    for (const auto& f : frames) fmt.addFrameWithCompletion(f, rec.completion());
    EXPECT_EQ(rec.errors.size(), 1u);
    ASSERT_EQ(rec.packages.size(), 1u);
    EXPECT_EQ(rec.packages[0], patterned(500));
}

TEST(BleSocketFormatJoin, OverrunStaysUntilIndexZero) {
    BleSocketFormat fmt;
    Recorder rec;
    // Announces 5 bytes, carries 6.
    fmt.addFrameWithCompletion(Bytes{0x00, 0x05, 0x00, 1, 2, 3, 4, 5, 6}, rec.completion());
    ASSERT_EQ(rec.errors.size(), 1u);
    EXPECT_EQ(rec.errors[0], kLengthError);
    EXPECT_EQ(fmt.getPackage().size(), 6u);  // the held bytes stay

    // Further frames of the same package are appended and reported again.
    fmt.addFrameWithCompletion(Bytes{0x01, 7}, rec.completion());
    fmt.addFrameWithCompletion(Bytes{0x02}, rec.completion());
    ASSERT_EQ(rec.errors.size(), 3u);
    EXPECT_EQ(rec.errors[2], kLengthError);
    EXPECT_EQ(fmt.getPackage().size(), 7u);

    fmt.addFrameWithCompletion(Bytes{0x00, 0x02, 0x00, 0xAB, 0xCD}, rec.completion());
    ASSERT_EQ(rec.packages.size(), 1u);
    EXPECT_EQ(rec.packages[0], (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(rec.calls, 4);
}

TEST(BleSocketFormatJoin, TruncatedFirstFrameIsAnInvalidLength) {
    for (const Bytes& shortFirst : {Bytes{0x00}, Bytes{0x00, 0x05}}) {
        BleSocketFormat fmt;
        Recorder rec;
        // A package in progress is dropped, as by any frame with index 0.
        EXPECT_EQ(fmt.addFrame(Bytes{0x00, 0x10, 0x00, 1, 2}), 2);
        fmt.addFrameWithCompletion(shortFirst, rec.completion());
        ASSERT_EQ(rec.errors.size(), 1u);
        EXPECT_EQ(rec.errors[0], kLengthError);

        // The rest of that package, even frames without data, keeps failing: no empty
        // or partial package is ever delivered for it.
        EXPECT_EQ(fmt.addFrame(Bytes{0x01}), 4);
        EXPECT_EQ(fmt.addFrame(Bytes{0x02, 0x09}), 4);
        EXPECT_EQ(fmt.addFrame(Bytes{0x05}), 3);

        fmt.addFrameWithCompletion(Bytes{0x00, 0x01, 0x00, 0x42}, rec.completion());
        ASSERT_EQ(rec.packages.size(), 1u);
        EXPECT_EQ(rec.packages[0], Bytes{0x42});
    }
}

TEST(BleSocketFormatJoin, EmptyFrameChangesAndCallsNothing) {
    BleSocketFormat fmt;
    Recorder rec;
    fmt.addFrameWithCompletion(Bytes{0x00, 0x04, 0x00, 0x35, 0x00}, rec.completion());
    const Bytes held = fmt.getPackage();
    fmt.addFrameWithCompletion(Bytes{}, rec.completion());
    EXPECT_EQ(fmt.addFrame(Bytes{}), 5);
    EXPECT_EQ(rec.calls, 0);
    EXPECT_EQ(fmt.getPackage(), held);
    EXPECT_EQ(fmt.lastIndex(), 0);
    EXPECT_EQ(fmt.waitLen(), 4);
    fmt.addFrameWithCompletion(Bytes{0x01, 0x00, 0xEB}, rec.completion());
    ASSERT_EQ(rec.packages.size(), 1u);
    EXPECT_EQ(rec.packages[0], (Bytes{0x35, 0x00, 0x00, 0xEB}));
}

TEST(BleSocketFormatJoin, IndexZeroMidPackageRestartsSilently) {
    BleSocketFormat fmt;
    Recorder rec;
    const auto first = fmt.pack2Frames(patterned(300));
    fmt.addFrameWithCompletion(first[0], rec.completion());
    fmt.addFrameWithCompletion(first[1], rec.completion());
    const Bytes second = LumoTokenCommand::buildPackage(0x35);
    for (const auto& f : fmt.pack2Frames(second)) fmt.addFrameWithCompletion(f, rec.completion());
    EXPECT_EQ(rec.calls, 1);
    EXPECT_TRUE(rec.errors.empty());
    ASSERT_EQ(rec.packages.size(), 1u);
    EXPECT_EQ(rec.packages[0], second);
}

TEST(BleSocketFormatJoin, IdleAcceptsOnlyTheIndexAfterTheLastOne) {
    BleSocketFormat fmt;
    const auto frames = fmt.pack2Frames(patterned(200));  // indexes 0, 1
    ASSERT_EQ(fmt.addFrame(frames[0]), 2);
    ASSERT_EQ(fmt.addFrame(frames[1]), 1);
    fmt.reset();
    // A repeated last frame does not follow index 1.
    EXPECT_EQ(fmt.addFrame(frames[1]), 3);
    EXPECT_EQ(fmt.addFrame(Bytes{0x07, 0x00}), 3);
    // Index 2 follows the last accepted index: joined against the stale length, not complete.
    EXPECT_EQ(fmt.addFrame(Bytes{0x02, 0x00}), 2);
}

TEST(BleSocketFormatJoin, CompletionGetsThePackageAndMayFeedTheNextFrames) {
    BleSocketFormat fmt;
    const Bytes a = LumoTokenCommand::buildPackage(0x01, patterned(10));
    const Bytes b = LumoTokenCommand::buildPackage(0x02, patterned(20));
    const auto framesB = fmt.pack2Frames(b);
    std::vector<Bytes> got;
    std::function<void(const std::optional<Bytes>&, const OptError&)> completion =
        [&](const std::optional<Bytes>& package, const OptError& error) {
            ASSERT_TRUE(package.has_value());
            ASSERT_FALSE(error.has_value());
            got.push_back(*package);
            if (got.size() == 1) fmt.addFrameWithCompletion(framesB[0], completion);
        };
    fmt.addFrameWithCompletion(fmt.pack2Frames(a)[0], completion);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], a);
    EXPECT_EQ(got[1], b);
    EXPECT_TRUE(fmt.getPackage().empty());

    // Without a completion the state is still reset after a complete package.
    fmt.addFrameWithCompletion(fmt.pack2Frames(a)[0], nullptr);
    EXPECT_TRUE(fmt.getPackage().empty());
    // A package with a bad CRC is joined all the same; the parser judges it later.
    Bytes corrupt = a;
    corrupt.back() ^= 0xFF;
    fmt.addFrameWithCompletion(fmt.pack2Frames(corrupt)[0], completion);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], corrupt);
}

}  // namespace
}  // namespace vexa
