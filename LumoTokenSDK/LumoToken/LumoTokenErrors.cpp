#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"

namespace vexa {

Error lumoTokenError(LumoTokenErrorCode code) {
    const char* message = "";
    switch (code) {
        case kLumoTokenErrorConnectionLost: message = "The connection to the token was lost."; break;
        case kLumoTokenErrorInvalidResponse: message = "Invalid token response."; break;
        case kLumoTokenErrorCharacteristicsMissing: message = "The required characteristics was not found."; break;
        case kLumoTokenErrorTimeout: message = "The token did not answer in time."; break;
        case kLumoTokenErrorCommandTooLong: message = "The command is too long to send."; break;
        case kLumoTokenErrorEncryptionFailed: message = "The command could not be encrypted."; break;
        case kLumoTokenErrorCancelled: message = "The operation was cancelled."; break;
        case kLumoTokenErrorReplyStatusBase: return replyStatusError(0);
    }
    return Error{kLumoTokenErrorDomain, code, message};
}

const char* replyStatusMessage(int64_t status) {
    static const char* const kMessages[] = {
        "No error",
        "Command is not supported",
        "Error access to smart card",
        "Smart card was not initialized",
        "Transport protocol is incorrect established",
        "Unable to get battery level",
        "Unable to set time at device",
        "Unable to get serial number",
        "Invalid APDU",
        "Invalid message",
        "Invalid current session key",
        "Error operation at read/write file system",
        "Environment variable error",
        "Hardware version is not set",
    };
    constexpr int64_t count = sizeof(kMessages) / sizeof(kMessages[0]);
    if (status >= 0 && status < count) return kMessages[status];
    return "Unknown error";
}

Error replyStatusError(int64_t status) {
    return Error{kLumoTokenErrorDomain, status | kLumoTokenErrorReplyStatusBase, replyStatusMessage(status)};
}

bool isReplyStatusError(const Error& error) {
    return error.domain == kLumoTokenErrorDomain && (error.code & ~int64_t{0xFF}) == kLumoTokenErrorReplyStatusBase;
}

}  // namespace vexa
