// Replies for a link that carries fewer than 140 bytes at a time: the frame format cut at 20
// bytes, byte by byte, and the token's reads kept short enough for 256 such frames.
#include <gtest/gtest.h>

#include "Emulator/VirtualTokenEndpoint.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "tests/Emulator/TokenTestBytes.h"
#include "tests/support/VirtualMainLoop.h"

namespace vexa {
namespace {

using test::cat;

TEST(ShortFrames, APackageSplitsIntoFramesOfTheGivenSize) {
    Bytes package(40);
    for (size_t i = 0; i < package.size(); ++i) package[i] = static_cast<uint8_t>(0xA0 + i);
    auto part = [&](size_t from, size_t to) { return Bytes(package.begin() + from, package.begin() + to); };
    const auto frames = BleSocketFormat().pack2Frames(package, 20);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], cat({Bytes{0x00, 0x28, 0x00}, part(0, 17)}));
    EXPECT_EQ(frames[1], cat({Bytes{0x01}, part(17, 36)}));
    EXPECT_EQ(frames[2], cat({Bytes{0x02}, part(36, 40)}));
    EXPECT_EQ(BleSocketFormat::maxPackageSize(20), 17u + 255u * 19u);
    EXPECT_TRUE(BleSocketFormat().pack2Frames(Bytes(17 + 255 * 19 + 1), 20).empty());
    EXPECT_EQ(BleSocketFormat().pack2Frames(package, 1).front().size(), 4u);  // at least one package byte a frame
}

TEST(ShortFrames, TheEndpointAnswersInShortFramesAndShortensReads) {
    test::VirtualMainLoop loop;
    auto endpoint = VirtualTokenEndpoint::create(VirtualTokenConfig{}, loop.loop);
    std::vector<Bytes> frames;
    std::optional<Bytes> reply;
    BleSocketFormat joiner;
    endpoint->setFrameSink([&](const Bytes& frame) {
        frames.push_back(frame);
        joiner.addFrameWithCompletion(frame, [&](const std::optional<Bytes>& package, const OptError&) { reply = package; });
        return true;
    });
    auto command = [&](uint8_t code, const Bytes& payload) {
        reply.reset();
        for (const auto& frame : BleSocketFormat().pack2Frames(LumoTokenCommand::buildPackage(code, payload))) endpoint->receiveFrame(frame);
        loop.runUntilIdle();
        std::optional<Bytes> answer;
        if (reply) LumoTokenCommand::parseCommand(*reply, [&](uint8_t, Bytes p) { answer = std::move(p); }, {});
        return answer;
    };
    endpoint->setMaxFrameLength(20);
    endpoint->connected();
    ASSERT_TRUE(endpoint->device().storage(0).writeFile("/big", Bytes(10000, 0x5A), 0));
    const auto open = command(kCodeOpenFile, cat({Bytes{0}, test::text0("/big")}));
    ASSERT_TRUE(open && open->size() == 2 && (*open)[0] == 0);
    frames.clear();
    const auto read = command(kCodeReadFile, Bytes{(*open)[1], 0x27, 0x10});  // asks for 10000 bytes
    ASSERT_TRUE(read);
    // 256 frames of 20 bytes carry 4862 bytes; with room for AES filler a reply payload holds 4844.
    EXPECT_EQ(read->size(), 4844u);
    EXPECT_EQ(frames.size(), 256u);
    for (const auto& frame : frames) EXPECT_LE(frame.size(), 20u);
}

}  // namespace
}  // namespace vexa
