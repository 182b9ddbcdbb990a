#pragma once
// Watches what a session puts on the link and takes from it, for traces: every frame in both
// directions, and each package beside its encrypted form. A session has none by default and then
// pays one pointer test per frame. Called synchronously on the main queue from inside the
// engine: record quickly and never call back into the session.
#include "Platform/Bytes.h"

namespace vexa {

class LumoToken;

class LumoFrameObserver {
public:
    virtual ~LumoFrameObserver() = default;

    /// A frame handed to the write characteristic (host to token), in write order.
    virtual void frameWritten(const LumoToken& token, ByteView frame) = 0;
    /// A value notified on the notify characteristic (token to host), before it is joined.
    virtual void frameNotified(const LumoToken& token, ByteView frame) = 0;
    /// An outgoing package and what the cipher made of it. The session is done with `plain`: the
    /// observer may keep it. Its frames follow when the command's turn comes, which may be after
    /// other commands' frames.
    virtual void packageEncrypted(const LumoToken& token, Bytes&& plain, ByteView encrypted) {
        (void)token, (void)plain, (void)encrypted;
    }
    /// A joined incoming package and its decryption, right after its last frame.
    virtual void packageDecrypted(const LumoToken& token, ByteView encrypted, ByteView plain) {
        (void)token, (void)encrypted, (void)plain;
    }
};

}  // namespace vexa
