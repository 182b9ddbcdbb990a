#include "LumoTokenSDK/LumoToken/LumoReplyGuard.h"

#include <algorithm>

namespace vexa {

bool LumoReplyGuard::admitFrame(ByteView frame) {
    if (frame.empty()) return true;
    const uint8_t index = frame[0];
    // The same continuation frame twice in a row is a repeated notification: the joiner could only
    // refuse it, and so fail the command over a frame it already has.
    if (index != 0 && std::ranges::equal(frame, lastFrame_)) return false;
    if (!skipping_) return true;
    if (index != 0) {
        if (firstFrameDue_ && brokenFrames_.size() <= 0xFF) brokenFrames_.emplace_back(index, frame.size());
        return false;
    }
    // A first frame ends the skipping, unless it is the broken reply's own, arriving late: then it
    // and the rest of that reply are skipped as well, so that they never make up a reply for the
    // command written after the broken one.
    const bool late = firstFrameDue_ && startsBrokenReply(frame);
    skipping_ = late;
    firstFrameDue_ = false;
    brokenFrames_.clear();
    return !late;
}

void LumoReplyGuard::frameJoined(ByteView frame, bool complete) {
    lastFrame_.assign(frame.begin(), frame.end());
    if (frame[0] == 0) {
        joining_ = !complete;
    } else if (complete) {
        joining_ = false;
    }
}

void LumoReplyGuard::frameRefused(ByteView frame) {
    // A continuation refused while no first frame was being joined: that reply's first frame may
    // still be on its way (frames out of order), or be lost.
    firstFrameDue_ = !joining_ && frame[0] != 0;
    brokenFrames_.clear();
    if (firstFrameDue_) brokenFrames_.emplace_back(frame[0], frame.size());
    joining_ = false;
    skipping_ = true;
}

bool LumoReplyGuard::startsBrokenReply(ByteView first) const {
    constexpr size_t kFirstHeader = 3;  // index and package length
    if (first.size() <= kFirstHeader || brokenFrames_.empty()) return false;
    const size_t length = static_cast<size_t>(first[1] | (first[2] << 8));
    // A package longer than its first frame fills that frame, whose size is then the link's frame
    // size (140 bytes, or less on a short link); a package that fits one frame has no later frames.
    const size_t firstBody = first.size() - kFirstHeader;
    const size_t nextBody = first.size() - 1;
    if (length <= firstBody) return false;
    const size_t frames = 1 + (length - firstBody + nextBody - 1) / nextBody;
    return std::ranges::all_of(brokenFrames_, [&](const std::pair<uint8_t, size_t>& seen) {
        if (seen.first >= frames) return false;
        const size_t body = size_t{seen.first} + 1 < frames ? nextBody : length - firstBody - (frames - 2) * nextBody;
        return seen.second == body + 1;
    });
}

bool LumoReplyGuard::isStaleReply(uint8_t replyCode, const std::optional<uint8_t>& commandCode) {
    if (!commandCode) return false;
    if (codes_ == Codes::Unknown) codes_ = replyCode == *commandCode ? Codes::Repeated : Codes::NotRepeated;
    return codes_ == Codes::Repeated && replyCode != *commandCode;
}

}  // namespace vexa
