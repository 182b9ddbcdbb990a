#pragma once
// Keeps what is left of earlier replies away from the command that waits for its own: a repeated
// notification of the frame just joined, the rest of a broken reply up to the next first frame,
// the late first frame of a reply that broke before it arrived (with the rest of that reply), and,
// once the token has shown that its replies repeat their commands' codes, any whole reply that
// carries another command's code. One per session; main queue only.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "Platform/Bytes.h"

namespace vexa {

class LumoReplyGuard {
public:
    /// Forgets everything, also whether the token repeats codes: a new session.
    void reset() { *this = LumoReplyGuard(); }
    /// Whether a notified frame goes on to the frame joiner; false: it is dropped unseen.
    bool admitFrame(ByteView frame);
    /// Whether `frame` continues a reply no first frame started (the joiner, which keeps the last
    /// package's index, could take it as that package's next frame): the engine refuses it.
    bool continuesNoReply(ByteView frame) const { return !frame.empty() && frame[0] != 0 && !joining_; }
    /// The joiner took `frame`; `complete` when it completed a package.
    void frameJoined(ByteView frame, bool complete);
    /// The joiner refused `frame`: its reply is broken, and the rest of that reply is skipped.
    void frameRefused(ByteView frame);
    /// Whether a parsed reply carrying `replyCode` is stale for the waiting command `commandCode`
    /// (none: not known, never stale). The first reply of a session tells whether this token's
    /// replies repeat their commands' codes; only then is a reply with another code stale.
    bool isStaleReply(uint8_t replyCode, const std::optional<uint8_t>& commandCode);

private:
    // Whether `first` (a frame with index 0) announces a package that the refused frames fit.
    bool startsBrokenReply(ByteView first) const;

    enum class Codes { Unknown, Repeated, NotRepeated };
    Codes codes_ = Codes::Unknown;
    Bytes lastFrame_;             // the frame the joiner took last
    bool joining_ = false;        // a first frame was taken and its package is not complete yet
    bool skipping_ = false;       // dropping the rest of a broken reply, up to the next first frame
    bool firstFrameDue_ = false;  // the broken reply's own first frame has not arrived yet
    std::vector<std::pair<uint8_t, size_t>> brokenFrames_;  // index and size of its frames seen
};

}  // namespace vexa
