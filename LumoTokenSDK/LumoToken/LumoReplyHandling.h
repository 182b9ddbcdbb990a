#pragma once
// The first steps every device command takes with its reply: an engine error or a non-zero
// status byte is a failure; otherwise the command decodes the bytes after the status byte.
#include <functional>

#include "LumoTokenSDK/LumoToken/LumoCommandContainer.h"
#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

/// A reply handler that hands `fail` the engine's error or the reply-status error, and
/// `succeed` the result bytes (everything after the status byte, possibly none).
LumoReplyHandler standardReply(std::function<void(const Error&)> fail, std::function<void(ByteView result)> succeed);

/// A reply handler for a command whose caller gave no callback: the reply is consumed unseen.
LumoReplyHandler ignoredReply();

/// Status-only commands: `result` gets the failure or nothing. No `result`: ignoredReply().
LumoReplyHandler statusOnlyReply(const std::function<void(const OptError&)>& result);

/// Commands whose result is the bytes after the status byte (possibly none): `result` gets them
/// or the failure. No `result`: ignoredReply().
LumoReplyHandler restAsData(std::function<void(const std::optional<Bytes>& data, const OptError& error)> result);

/// Commands whose result is one byte: a reply holding only the status byte fails with code 2.
LumoReplyHandler firstByteReply(std::function<void(const Error&)> fail, std::function<void(uint8_t)> succeed);

/// The failure of a reply, if any: the engine's error, or the error of a non-zero status byte.
OptError replyFailure(const std::optional<Bytes>& payload, const OptError& error);

}  // namespace vexa
