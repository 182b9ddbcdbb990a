#pragma once
// Errors of the token session: its own domain, codes, fixed messages and the reply-status table.
#include <cstdint>

#include "Platform/Error.h"

namespace vexa {

inline constexpr const char* kLumoTokenErrorDomain = "org.vexatokenkit.LumoToken";

enum LumoTokenErrorCode : int64_t {
    kLumoTokenErrorConnectionLost = 1,          // the link went down while commands waited
    kLumoTokenErrorInvalidResponse = 2,         // a reply that could not be joined, parsed or was empty
    kLumoTokenErrorCharacteristicsMissing = 3,  // the token service or one of its characteristics is missing
    kLumoTokenErrorTimeout = 4,                 // no reply within the reply time-out
    kLumoTokenErrorCommandTooLong = 5,          // the package does not fit into 256 frames
    kLumoTokenErrorEncryptionFailed = 6,        // the encryption hook failed
    kLumoTokenErrorCancelled = 7,               // the application cancelled the command
    kLumoTokenErrorReplyStatusBase = 0xFF00,    // 0xFF00 + the reply's status byte
};

/// The reply status that tells the set-up the session key needs updating.
inline constexpr uint8_t kReplyStatusInvalidSessionKey = 10;

/// An error in the token domain with one of the codes 1 to 7 and its fixed message.
Error lumoTokenError(LumoTokenErrorCode code);

/// The status table's message for a reply status ("Unknown error" past 13).
const char* replyStatusMessage(int64_t status);

/// Error for a non-zero reply status: code status | 0xFF00, message from the status table.
Error replyStatusError(int64_t status);

/// Whether `error` is the token's own answer to a command (a reply status), rather than a failure
/// to get one (time-out, lost link, broken reply).
bool isReplyStatusError(const Error& error);

}  // namespace vexa
